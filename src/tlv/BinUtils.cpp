// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/BinUtils.h"

namespace kvitor {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

std::string Hex(std::string_view bytes, bool spaced) {
  std::string out;
  if (bytes.empty()) return out;
  out.resize(bytes.size() * (spaced ? 3 : 2) - (spaced ? 1 : 0));
  char* at = out.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (spaced && i > 0) *at++ = ' ';
    const auto b = static_cast<unsigned char>(bytes[i]);
    *at++ = kDigits[b >> 4];
    *at++ = kDigits[b & 0x0F];
  }
  return out;
}

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

}  // namespace

std::string BytesToHex(std::string_view bytes) { return Hex(bytes, false); }
std::string BytesToHexSpaced(std::string_view bytes) { return Hex(bytes, true); }

std::string TrimValueText(std::string_view text) {
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

}  // namespace kvitor
