// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "TlvTestUtil.h"
#include "base/DateTime.h"
#include "tlv/FormatTLV.h"

namespace kvitor {
namespace {

using test::ErrorText;
using test::Hex;

TEST(FormatTLV, IntegerConversions) {
  struct Row {
    int len;
    int64_t value;
    const char* bytes;
  };
  const Row rows[] = {
      {2, 1012, "F4 03"},
      {1, 0x1FF, "FF"},  // higher bytes are dropped
      {3, 0x123456, "56 34 12"},
      {4, -2, "FE FF FF FF"},
      {8, std::numeric_limits<int64_t>::min(), "00 00 00 00 00 00 00 80"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(TFormatTLV::IntToBytes(r.len, r.value), Hex(r.bytes)) << r.value;
    EXPECT_EQ(TFormatTLV::BytesToInt(Hex(r.bytes)),
              static_cast<uint64_t>(r.value) & (~uint64_t{0} >> (64 - 8 * r.len)));
  }
  for (const int len : {0, 9, -1}) {
    EXPECT_EQ(ErrorText([&] { (void)TFormatTLV::IntToBytes(len, 5); }), "to large data") << len;
  }
  EXPECT_EQ(TFormatTLV::BytesToInt(""), 0u);
  EXPECT_EQ(TFormatTLV::BytesToInt(Hex("01 00 00 00 00 00 00 00 FF")), 1u);  // 8 bytes count
  EXPECT_EQ(TFormatTLV::VLNToInt(Hex("FF FF FF FF FF FF FF FF")),
            std::numeric_limits<uint64_t>::max());
}

TEST(FormatTLV, FVLNToTextPlacesTheDecimalPoint) {
  struct Row {
    const char* bytes;
    const char* text;
  };
  const Row rows[] = {
      {"", ""},
      {"03 DC 05", "1.500"},
      {"00 05", "5"},
      {"08 01", "0.00000001"},
      {"00 05 00 00 00 00 00 00 00 07", "5"},   // only 8 bytes of the number count
      {"02 FF FF FF FF FF FF FF FF", "-0.01"},  // top bit set: negative
      // 2^53 + 1 does not fit a double and loses its last digit.
      {"00 01 00 00 00 00 00 20 00", "9007199254740992"},
  };
  for (const Row& r : rows) EXPECT_EQ(TFormatTLV::FVLNToText(Hex(r.bytes)), r.text) << r.bytes;
  for (const char* bad : {"02", "09 01", "FF 01 02"}) {
    EXPECT_EQ(ErrorText([&] { (void)TFormatTLV::FVLNToText(Hex(bad)); }), "Неверная длина FVLN")
        << bad;
  }
}

// Whole numbers below 2^48 are shown without a double; the text must be the
// one the double divided step by step gives, at every scale and near the
// edge where the double takes over again.
TEST(FormatTLV, ScaledNumbersShowWhatTheDoubleShows) {
  const auto viaDouble = [](int64_t units, int digits) {
    double n = static_cast<double>(units);
    for (int i = 0; i < digits; ++i) n /= 10;
    return FormatFixed(n, digits);
  };
  std::mt19937_64 random(20261208);
  constexpr int64_t kEdge = int64_t{1} << 48;
  for (int digits = 0; digits <= 8; ++digits) {
    std::vector<int64_t> values = {0, 1, -1, 5, -5, 999, kEdge - 1, -(kEdge - 1), kEdge, -kEdge};
    for (int i = 0; i < 20000; ++i) {
      const int bits = static_cast<int>(random() % 57);  // past the edge too
      const auto units = static_cast<int64_t>(random() >> (64 - std::max(bits, 1)));
      values.push_back(i % 2 == 0 ? units : -units);
    }
    for (const int64_t units : values) {
      std::string text;
      AppendScaled(text, units, digits);
      ASSERT_EQ(text, viaDouble(units, digits)) << units << " / 10^" << digits;
    }
  }
}

TEST(FormatTLV, NumbersUseADotWhateverTheLocaleSays) {
  KVITOR_NEED_LOCALE("de_DE.UTF-8");
  KVITOR_NEED_LOCALE("ru_RU.UTF-8");
  for (const char* name : {"de_DE.UTF-8", "ru_RU.UTF-8"}) {
    const test::LocaleGuard guard(name);
    ASSERT_TRUE(guard.Ok()) << name << " is not installed";
    const std::string before = std::setlocale(LC_ALL, nullptr);
    EXPECT_EQ(TFormatTLV::FVLNToText(Hex("03 DC 05")), "1.500") << name;
    EXPECT_EQ(FormatFixed(-1234.5, 2), "-1234.50") << name;
    EXPECT_EQ(std::setlocale(LC_ALL, nullptr), before) << "the locale is left as it was";
  }
}

TEST(FormatTLV, UnixTimeConversions) {
  const TDateTime jan1 = 25569.0;  // days from 1899-12-30 to 1970-01-01
  EXPECT_DOUBLE_EQ(EncodeDateTime({1970, 1, 1}), jan1);
  EXPECT_EQ(TFormatTLV::DateTimeToUnixTime(jan1), Hex("00 00 00 00"));
  EXPECT_EQ(TFormatTLV::DateTimeToUnixTime(jan1 + 1), Hex("80 51 01 00"));
  EXPECT_EQ(TFormatTLV::DateTimeToUnixTime(jan1 - 1), Hex("80 AE FE FF"));            // -86400
  EXPECT_EQ(TFormatTLV::DateTimeToUnixTime(jan1 + 0.6 / 86400), Hex("01 00 00 00"));  // rounded

  EXPECT_DOUBLE_EQ(TFormatTLV::UnixTimeToDateTime(Hex("80 51 01 00")), jan1 + 1);
  const TDateTimeParts p = DecodeDateTime(TFormatTLV::UnixTimeToDateTime(Hex("FF FF FF FF")));
  EXPECT_EQ((std::array{p.Year, p.Month, p.Day, p.Hour, p.Minute, p.Second}),
            (std::array{1969, 12, 31, 23, 59, 59}));
  for (const char* wrongSize : {"", "01 02 03", "01 02 03 04 05"}) {
    EXPECT_EQ(TFormatTLV::UnixTimeToDateTime(Hex(wrongSize)), 0.0) << wrongSize;
  }
  for (const int64_t s :
       {int64_t{1}, int64_t{1'700'000'000}, int64_t{-1}, int64_t{INT32_MAX}, int64_t{INT32_MIN}}) {
    const std::string bytes = TFormatTLV::IntToBytes(4, s);
    EXPECT_EQ(TFormatTLV::DateTimeToUnixTime(TFormatTLV::UnixTimeToDateTime(bytes)), bytes) << s;
  }
}

TEST(FormatTLV, BytesToTextDecodesCodePage866UpToTheFirstZero) {
  EXPECT_EQ(TFormatTLV::BytesToText(Hex("80 81 00 41")), "АБ");
  EXPECT_EQ(TFormatTLV::BytesToText(""), "");
  EXPECT_EQ(TFormatTLV::BytesToText(Hex("00 41")), "");
  EXPECT_EQ(TFormatTLV::BytesToText(Hex("48 69 9F A0 E0 EF F0 F1")), "HiЯаряЁё");
}

}  // namespace
}  // namespace kvitor
