// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/DateTime.h"

#include <langinfo.h>

#include <chrono>
#include <cmath>
#include <ctime>

#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using std::chrono::days;
using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr auto kEpoch = sys_days{std::chrono::year{1899} / 12 / 30};
constexpr long long kMsPerDay = 86'400'000;

std::tm ToTm(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  const sys_days day{std::chrono::year{p.Year} / p.Month / p.Day};
  tm.tm_wday = static_cast<int>(std::chrono::weekday{day}.c_encoding());
  return tm;
}

std::string Format(TDateTime value, nl_item item) {
  const std::tm tm = ToTm(value);
  char buffer[128];
  // The C library returns the format in the locale's own code set.
  const std::size_t n = std::strftime(buffer, sizeof buffer, nl_langinfo(item), &tm);
  return LocaleToUtf8(std::string_view(buffer, n));
}

// The text strftime gives for format, when every field in it is numeric.
bool AppendNumeric(std::string& out, const char* format, const TDateTimeParts& p) {
  const std::size_t start = out.size();
  const auto two = [&out](int v) {
    out += static_cast<char>('0' + v / 10 % 10);
    out += static_cast<char>('0' + v % 10);
  };
  const auto field = [&](char c) {
    switch (c) {
      case 'd': two(p.Day); return true;
      case 'm': two(p.Month); return true;
      case 'y': two(p.Year % 100); return true;
      case 'Y':
        if (p.Year < 1000 || p.Year > 9999) return false;
        two(p.Year / 100);
        two(p.Year % 100);
        return true;
      case 'H': two(p.Hour); return true;
      case 'M': two(p.Minute); return true;
      case 'S': two(p.Second); return true;
      case 'T':
        two(p.Hour);
        out += ':';
        two(p.Minute);
        out += ':';
        two(p.Second);
        return true;
      default: return false;
    }
  };
  for (const char* f = format; *f != '\0'; ++f) {
    bool done = false;
    if (*f == '%') {
      done = field(*++f);
    } else if (static_cast<unsigned char>(*f) < 0x80) {  // else in the locale's code set
      out += *f;
      done = true;
    }
    if (!done) {
      out.resize(start);
      return false;
    }
  }
  return true;
}

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

std::string FormatShortDate(TDateTime value) { return Format(value, D_FMT); }
std::string FormatLongTime(TDateTime value) { return Format(value, T_FMT); }

bool AppendShortDateNumeric(std::string& out, const TDateTimeParts& parts) {
  return AppendNumeric(out, nl_langinfo(D_FMT), parts);
}

bool AppendLongTimeNumeric(std::string& out, const TDateTimeParts& parts) {
  return AppendNumeric(out, nl_langinfo(T_FMT), parts);
}

}  // namespace kvitor
