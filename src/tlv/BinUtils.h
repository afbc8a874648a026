// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>
#include <string_view>

namespace kvitor {

// Upper-case hexadecimal, two digits a byte.
[[nodiscard]] std::string BytesToHex(std::string_view bytes);
// The same with one blank between two bytes.
[[nodiscard]] std::string BytesToHexSpaced(std::string_view bytes);
// Without leading and trailing characters of code 32 or less.
[[nodiscard]] std::string TrimValueText(std::string_view text);

}  // namespace kvitor
