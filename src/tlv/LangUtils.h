// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Messages.h"

namespace kvitor {

[[nodiscard]] bool IsBitSet(uint32_t value, int bit);
// "1.0", "1.05", "1.1" for 1..3, else the code in decimal. Windows-1251.
[[nodiscard]] std::string FFDVersionName(int32_t code);
// The rest give UTF-8.
[[nodiscard]] std::string PaymentKindName(int32_t code);
[[nodiscard]] std::string TaxSystemsText(uint32_t bits);
[[nodiscard]] std::string BitNumbersText(uint32_t bits);

}  // namespace kvitor
