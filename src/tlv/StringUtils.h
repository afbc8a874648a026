// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <string>
#include <string_view>

// Texts in this program: byte strings are std::string; "8-bit text" is
// Windows-1251 in a std::string; wide texts (dictionary names, rendered
// values, version and folder) are UTF-8 in a std::string; the driver's texts
// are UTF-16 in a std::u16string.
namespace kvitor {

// The first `width` bytes of s, padded on the right with blanks to exactly
// `width` bytes.
[[nodiscard]] std::string FixedWidthString(std::string_view s, int width);

// Code page conversions through iconv; a character the target cannot hold
// becomes '?'.
[[nodiscard]] std::string Cp866ToUtf8(std::string_view bytes);
[[nodiscard]] std::string Cp866ToCp1251(std::string_view bytes);
// The byte-for-byte table behind Cp866ToCp1251.
[[nodiscard]] const std::array<char, 256>& Cp866ToCp1251Table();
[[nodiscard]] std::string Utf8ToCp1251(std::string_view text);
[[nodiscard]] std::string Cp1251ToUtf8(std::string_view text);
[[nodiscard]] std::string Utf16ToCp1251(std::u16string_view text);
[[nodiscard]] std::u16string Cp1251ToUtf16(std::string_view text);
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view text);
[[nodiscard]] std::string Utf16ToUtf8(std::u16string_view text);
// From and to the code set of the current LC_CTYPE locale (the terminal's).
[[nodiscard]] std::string LocaleToUtf8(std::string_view text);
[[nodiscard]] std::string Utf8ToLocale(std::string_view text);

}  // namespace kvitor
