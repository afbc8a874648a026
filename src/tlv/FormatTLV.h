// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/DateTime.h"

namespace kvitor {

// Conversions of TLV values between their byte form and numbers, date-times
// and text. Integers are little-endian.
class TFormatTLV {
 public:
  TFormatTLV() = delete;

  // The len (1..8) least significant bytes of value; "to large data" otherwise.
  [[nodiscard]] static std::string IntToBytes(int len, int64_t value);
  // Unsigned little-endian; only the first 8 bytes count.
  [[nodiscard]] static uint64_t BytesToInt(std::string_view bytes);
  [[nodiscard]] static uint64_t VLNToInt(std::string_view bytes) { return BytesToInt(bytes); }
  // Point position byte, then the number: "Неверная длина FVLN" when malformed.
  [[nodiscard]] static std::string FVLNToText(std::string_view bytes);
  [[nodiscard]] static std::string DateTimeToUnixTime(TDateTime value);
  [[nodiscard]] static TDateTime UnixTimeToDateTime(std::string_view bytes);
  // Code page 866 up to the first zero byte, as UTF-8.
  [[nodiscard]] static std::string BytesToText(std::string_view bytes);
};

// Fixed-point decimal text with "." whatever LC_NUMERIC says.
[[nodiscard]] std::string FormatFixed(double value, int digits);
// Appends FormatFixed of units / 10^digits (digits 0..8) as the double that
// dividing by 10 `digits` times gives would show; units is a whole number.
void AppendScaled(std::string& out, int64_t units, int digits);

}  // namespace kvitor
