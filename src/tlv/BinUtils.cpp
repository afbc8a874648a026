// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/BinUtils.h"

namespace kvitor {
namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

void AppendHex(std::string& out, std::string_view bytes, THexCase letters, char separator) {
  if (bytes.empty()) return;
  const THexPairs& pairs = letters == THexCase::Upper ? kUpperHexPairs : kLowerHexPairs;
  const std::size_t width = separator != '\0' ? 3 : 2;
  const std::size_t at = out.size();
  out.resize(at + bytes.size() * width - (width - 2));
  char* p = out.data() + at;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (width == 3 && i > 0) *p++ = separator;
    const auto& digits = pairs[static_cast<unsigned char>(bytes[i])];
    *p++ = digits[0];
    *p++ = digits[1];
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
