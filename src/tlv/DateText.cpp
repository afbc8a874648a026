// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/DateText.h"

#include <langinfo.h>

#include <chrono>
#include <ctime>

#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

std::tm ToTm(TDateTime value) {
  const TDateTimeParts p = DecodeDateTime(value);
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  const std::chrono::sys_days day{std::chrono::year{p.Year} / p.Month / p.Day};
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

std::string FormatShortDate(TDateTime value) { return Format(value, D_FMT); }
std::string FormatLongTime(TDateTime value) { return Format(value, T_FMT); }

bool AppendShortDateNumeric(std::string& out, const TDateTimeParts& parts) {
  return AppendNumeric(out, nl_langinfo(D_FMT), parts);
}

bool AppendLongTimeNumeric(std::string& out, const TDateTimeParts& parts) {
  return AppendNumeric(out, nl_langinfo(T_FMT), parts);
}

}  // namespace kvitor
