// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <string>
#include <string_view>

namespace kvitor {

enum class THexCase { Upper, Lower };

// Both digits of every byte value, so that a byte is placed in one step: the
// one table behind every hexadecimal text of the program.
using THexPairs = std::array<std::array<char, 2>, 256>;
namespace detail {
constexpr THexPairs MakeHexPairs(const char* digits) {
  THexPairs pairs{};
  for (std::size_t b = 0; b < pairs.size(); ++b) pairs[b] = {digits[b >> 4], digits[b & 0x0F]};
  return pairs;
}
}  // namespace detail
inline constexpr THexPairs kUpperHexPairs = detail::MakeHexPairs("0123456789ABCDEF");
inline constexpr THexPairs kLowerHexPairs = detail::MakeHexPairs("0123456789abcdef");

// Two hexadecimal digits a byte appended to out, with separator between two
// bytes unless it is '\0': the program's one hexadecimal form of bytes.
void AppendHex(std::string& out, std::string_view bytes, THexCase letters = THexCase::Upper,
               char separator = '\0');
// Upper-case hexadecimal, two digits a byte.
[[nodiscard]] std::string BytesToHex(std::string_view bytes);
// The same with one blank between two bytes.
[[nodiscard]] std::string BytesToHexSpaced(std::string_view bytes);
// Without leading and trailing characters of code 32 or less.
[[nodiscard]] std::string TrimValueText(std::string_view text);

}  // namespace kvitor
