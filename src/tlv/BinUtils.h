// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>
#include <string_view>

namespace kvitor {

enum class THexCase { Upper, Lower };

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
