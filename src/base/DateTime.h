// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

namespace kvitor {

// Day count since 1899-12-30; the fraction is the time of day. Differences of
// two date-times are durations in days.
using TDateTime = double;

inline constexpr TDateTime kUnixEpoch = 25569.0;  // 1970-01-01 00:00
inline constexpr double kSecondsPerDay = 86400.0;

struct TDateTimeParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

[[nodiscard]] TDateTime EncodeDateTime(const TDateTimeParts& parts);
[[nodiscard]] TDateTimeParts DecodeDateTime(TDateTime value);
// The local wall-clock time now.
[[nodiscard]] TDateTime NowDateTime();

}  // namespace kvitor
