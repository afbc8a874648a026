// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/BinUtils.h"

namespace kvitor {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

void AppendHex(std::string& out, std::string_view bytes, THexCase letters, char separator) {
  if (bytes.empty()) return;
  const char* digits = letters == THexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  const std::size_t width = separator != '\0' ? 3 : 2;
  std::size_t at = out.size();
  out.resize(at + bytes.size() * width - (width - 2));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && separator != '\0') out[at++] = separator;
    const auto b = static_cast<unsigned char>(bytes[i]);
    out[at++] = digits[b >> 4];
    out[at++] = digits[b & 0x0F];
  }
}

std::string BytesToHex(std::string_view bytes) {
  std::string out;
  AppendHex(out, bytes);
  return out;
}

std::string BytesToHexSpaced(std::string_view bytes) {
  std::string out;
  AppendHex(out, bytes, THexCase::Upper, ' ');
  return out;
}

std::string TrimValueText(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

}  // namespace kvitor
