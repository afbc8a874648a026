// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/FormatTLV.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "base/Error.h"
#include "base/Messages.h"
#include "tlv/StringUtils.h"

namespace kvitor {

std::string TFormatTLV::IntToBytes(int len, int64_t value) {
  if (len > 8 || len < 1) throw Error("to large data");
  std::string out(static_cast<std::size_t>(len), '\0');
  auto v = static_cast<uint64_t>(value);
  for (auto& c : out) {
    c = static_cast<char>(v & 0xFF);
    v >>= 8;
  }
  return out;
}

uint64_t TFormatTLV::BytesToInt(std::string_view bytes) {
  uint64_t v = 0;
  const std::size_t n = bytes.size() < 8 ? bytes.size() : 8;
  for (std::size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
  return v;
}

std::string FormatFixed(double value, int digits) {
  char buffer[400];  // enough for any double in fixed notation
  const auto r =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, digits);
  return std::string(buffer, r.ptr);
}

void AppendScaled(std::string& out, int64_t units, int digits) {
  // Below 2^48 the double lies within a quarter of the last shown digit of
  // the exact quotient, so the exact quotient's digits are what it shows,
  // made here without a double. Above, the double's own rounding is kept.
  constexpr int64_t kExact = int64_t{1} << 48;
  if (units <= -kExact || units >= kExact) {
    double n = static_cast<double>(units);
    // Divided step by step, as the value's own definition does, so that the
    // rounding is the same.
    for (int i = 0; i < digits; ++i) n /= 10;
    out += FormatFixed(n, digits);
    return;
  }
  char text[24];
  const uint64_t magnitude =
      units < 0 ? static_cast<uint64_t>(-units) : static_cast<uint64_t>(units);
  // At least digits + 1 digits: "0.005", not ".005".
  char* end = std::to_chars(text, text + sizeof text, magnitude).ptr;
  auto length = static_cast<std::size_t>(end - text);
  const auto wanted = static_cast<std::size_t>(digits) + 1;
  if (length < wanted) {
    std::memmove(text + (wanted - length), text, length);
    std::memset(text, '0', wanted - length);
    length = wanted;
  }
  if (units < 0) out += '-';
  const std::size_t whole = length - static_cast<std::size_t>(digits);
  out.append(text, whole);
  if (digits > 0) {
    out += '.';
    out.append(text + whole, static_cast<std::size_t>(digits));
  }
}

std::string TFormatTLV::FVLNToText(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int digits = static_cast<unsigned char>(bytes[0]);
  if (digits > 8 || bytes.size() < 2) throw Error(Tr("Неверная длина FVLN"));
  std::string text;
  AppendScaled(text, static_cast<int64_t>(BytesToInt(bytes.substr(1))), digits);
  return text;
}

std::string TFormatTLV::DateTimeToUnixTime(TDateTime value) {
  const double s = std::nearbyint((value - kUnixEpoch) * kSecondsPerDay);  // halves to even
  int64_t whole = 0;
  if (std::isfinite(s) && std::fabs(s) < 9.2e18) whole = static_cast<int64_t>(s);
  return IntToBytes(4, whole);
}

TDateTime TFormatTLV::UnixTimeToDateTime(std::string_view bytes) {
  if (bytes.size() != 4) return 0.0;
  const auto s = static_cast<int32_t>(static_cast<uint32_t>(BytesToInt(bytes)));
  return kUnixEpoch + s / kSecondsPerDay;
}

std::string TFormatTLV::BytesToText(std::string_view bytes) {
  return Cp866ToUtf8(bytes.substr(0, bytes.find('\0')));
}

}  // namespace kvitor
