// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "base/DateTime.h"

#include <chrono>
#include <cmath>
#include <ctime>

namespace kvitor {
namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr auto kEpoch = sys_days{std::chrono::year{1899} / 12 / 30};
constexpr long long kMsPerDay = 86'400'000;

}  // namespace

TDateTime EncodeDateTime(const TDateTimeParts& p) {
  const sys_days day = sys_days{std::chrono::year{p.Year} / p.Month / p.Day};
  const double dayCount = static_cast<double>((day - kEpoch).count());
  const double fraction =
      ((p.Hour * 60.0 + p.Minute) * 60.0 + p.Second + p.Millisecond / 1000.0) / kSecondsPerDay;
  return dayCount + fraction;
}

TDateTimeParts DecodeDateTime(TDateTime value) {
  TDateTimeParts p;
  // Outside years 1..9999 there is no calendar date to show.
  if (!std::isfinite(value) || value < -693593.0 || value >= 2958466.0) return p;
  const long long ms = std::llround(value * kMsPerDay);
  long long dayCount = ms / kMsPerDay;
  long long rest = ms % kMsPerDay;
  if (rest < 0) {
    rest += kMsPerDay;
    --dayCount;
  }
  const year_month_day ymd{kEpoch + days{dayCount}};
  p.Year = static_cast<int>(ymd.year());
  p.Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  p.Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  p.Hour = static_cast<int>(rest / 3'600'000);
  p.Minute = static_cast<int>(rest / 60'000 % 60);
  p.Second = static_cast<int>(rest / 1000 % 60);
  p.Millisecond = static_cast<int>(rest % 1000);
  return p;
}

TDateTime NowDateTime() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  return EncodeDateTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                         local.tm_min, local.tm_sec, static_cast<int>(ms)});
}

}  // namespace kvitor
