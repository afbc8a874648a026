// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <langinfo.h>

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <string>

#include "TlvTestUtil.h"
#include "tlv/BinUtils.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVParser.h"

namespace kvitor {
namespace {

using test::Hex;
using test::Tlv;

class TagText : public ::testing::Test {
 protected:
  // The line of the first tag of body, back in UTF-8 for readable failures.
  std::string LineOf(const std::string& body, bool withNumber = true) {
    parser_.Parse(body);
    return Cp1251ToUtf8(parser_.Tags().Items(0).TagText(withNumber));
  }
  std::string Line(uint16_t tag, const std::string& value) { return LineOf(Tlv(tag, value)); }
  std::string Value(uint16_t tag, const char* hex) {
    parser_.Parse(Tlv(tag, Hex(hex)));
    return parser_.Tags().Items(0).ValueText();
  }
  TTLVParser parser_;
};

// What the C library shows for a date and time in the current locale.
std::string Strftime(nl_item item, int year, int month, int day, int h = 0, int m = 0, int s = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = h;
  tm.tm_min = m;
  tm.tm_sec = s;
  char buffer[128];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, nl_langinfo(item), &tm));
}

TEST_F(TagText, LineIsNumberPrintNameAndValueInWindows1251) {
  parser_.Parse(Tlv(1054, "\x01"));
  EXPECT_EQ(parser_.Tags().Items(0).TagText(true), Utf8ToCp1251("1054,ПРИЗН. РАСЧЕТА:1 (Приход)"));
  EXPECT_EQ(LineOf(Tlv(1054, "\x01"), false), "ПРИЗН. РАСЧЕТА:1 (Приход)");
  EXPECT_EQ(LineOf(Tlv(1019, "\x01"), false), "НЕИЗВЕСТНЫЙ ТЕГ");
  EXPECT_EQ(Line(1019, "\x01\x02"), "1019,НЕИЗВЕСТНЫЙ ТЕГ");
  EXPECT_EQ(Line(103, Tlv(1002, "\x01")), "103,Кассовый чек:");
  EXPECT_EQ(Line(65001, ""), "65001,АВТ.РЕЖИМ, ФФД 1.0, 1.05:");
  // The body ends 2 bytes into a 4-byte value.
  EXPECT_EQ(LineOf(Hex("10 04 04 00 01 02")), "1040,ФД:Ошибка! Некорректная длина");
  EXPECT_EQ(LineOf(Hex("10 04 04 00 01 02 03 04")), "1040,ФД:67305985");
}

TEST_F(TagText, ValuesByTypeAndNumber) {
  struct Row {
    uint16_t tag;
    const char* value;
    const char* text;
  };
  const Row rows[] = {
      {1054, "01", "1 (Приход)"},
      {1054, "02", "2 (Возврат прихода)"},
      {1054, "03", "3 (Расход)"},
      {1054, "04", "4 (Возврат расхода)"},
      {1054, "07", "7 (Неизв. тип: 7)"},
      {1055, "00", "0 (Нет)"},
      {1055, "03", "3 (ОБЩ.+УД)"},
      {1055, "40", "64 ()"},
      {1062, "3F", "63 (ОБЩ.+УД+УДМР+ЕНВД+ЕСН+ПСН)"},
      {1209, "02", "2 (1.05)"},
      {1209, "04", "4 (4)"},
      {1189, "03", "3 (1.1)"},
      {1001, "FF", "255"},
      {1001, "FF FF FF FF FF FF FF FF", "-1"},  // type 0 is read as signed 64-bit
      {1205, "05 00 00 00", "1,3"},
      {1205, "00 00 00 00", "0"},
      {1205, "01 00 00 80", "1,32"},
      {1040, "FF FF FF FF 01", "4294967295"},  // types 1 and 2 show the low 32 bits
      {1213, "FF FF 01", "131071"},
      {1020, "39 30", "123.45"},
      {1020, "", "0.00"},
      {1020, "FF FF FF FF FF FF FF FF", "-0.01"},
      {1034, "03 DC 05", "1.500"},
      {1077, "00 00 49 96 02 D2", "1234567890 (0000499602D2)"},
      {1162, "00 05 0A", "00 05 0A"},
      {1162, "", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(Value(r.tag, r.value), r.text) << r.tag << " " << r.value;
  EXPECT_EQ(test::ErrorText([&] { (void)LineOf(Tlv(1034, Hex("09 01"))); }), "Неверная длина FVLN");
}

TEST_F(TagText, StringsAreTrimmedAndEndAtAZeroByte) {
  struct Row {
    const char* value;
    const char* text;
  };
  const Row rows[] = {
      {"80 81 20 20 00 00", "АБ"},   // trailing blanks and zero bytes
      {"20 09 41 20 42 0A", "A B"},  // blanks and control characters at both ends
      {"41 00 42", "A"},             // a zero byte in the middle ends the text
      {"B0 41", "?A"},               // a box character has no place in Windows-1251
      {"20 00 41", ""},              // nothing but blanks
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Line(1021, Hex(r.value)), std::string("1021,КАССИР:") + r.text) << r.value;
  }
}

TEST_F(TagText, DatesUseTheLocalesShortDateAndLongTime) {
  KVITOR_NEED_LOCALE("de_DE.UTF-8");
  KVITOR_NEED_LOCALE("ru_RU.UTF-8");
  KVITOR_NEED_LOCALE("en_US.UTF-8");
  // en_US shows the time with AM or PM: made by the C library, not by hand.
  for (const char* locale : {"C", "de_DE.UTF-8", "ru_RU.UTF-8", "en_US.UTF-8"}) {
    const test::LocaleGuard guard(locale);
    ASSERT_TRUE(guard.Ok()) << locale;
    const std::string jan2 = Strftime(D_FMT, 1970, 1, 2);
    const std::string time = Strftime(T_FMT, 1970, 1, 2, 1, 1, 1);  // 90061 seconds
    EXPECT_EQ(Line(1012, Hex("CD 5F 01 00")), "1012,ДАТА, ВРЕМЯ:" + jan2 + " " + time) << locale;
    EXPECT_EQ(Line(1098, Hex("CD 5F 01 00")), "1098,ФД НЕ ПЕРЕДАНЫ С:" + jan2);
    EXPECT_EQ(Line(1178, Hex("CD 5F 01 00")), "1178,ДАТА СОВЕРШ. КОРРЕКТ. РАСЧ.:" + jan2);
    EXPECT_EQ(Line(1012, Hex("00 00 00 00")), "1012,ДАТА, ВРЕМЯ:" + Strftime(D_FMT, 1970, 1, 1));
    EXPECT_EQ(Line(1012, Hex("FF FF FF FF")), "1012,ДАТА, ВРЕМЯ:" + Strftime(D_FMT, 1969, 12, 31) +
                                                  " " + Strftime(T_FMT, 1969, 12, 31, 23, 59, 59));
    // Not 4 bytes: date-time 0, 30 December 1899, at midnight.
    EXPECT_EQ(Line(1012, Hex("01 02 03")), "1012,ДАТА, ВРЕМЯ:" + Strftime(D_FMT, 1899, 12, 30));
  }
}

TEST_F(TagText, AmountsUseADotInEveryLocale) {
  KVITOR_NEED_LOCALE("de_DE.UTF-8");
  KVITOR_NEED_LOCALE("ru_RU.UTF-8");
  for (const char* locale : {"de_DE.UTF-8", "ru_RU.UTF-8"}) {
    const test::LocaleGuard guard(locale);
    ASSERT_TRUE(guard.Ok()) << locale;
    EXPECT_EQ(Line(1020, Hex("39 30")), "1020,ИТОГ:123.45") << locale;
    EXPECT_EQ(Line(1023, Hex("03 DC 05")), "1023,КОЛ-ВО ПРЕДМ. РАСЧЕТА:1.500") << locale;
  }
}

TEST(NamingFunctions, CodesAndBitsAsText) {
  EXPECT_EQ(FFDVersionName(1), "1.0");
  EXPECT_EQ(FFDVersionName(-5), "-5");
  EXPECT_EQ(PaymentKindName(-1), "Неизв. тип: -1");
  EXPECT_EQ(TaxSystemsText(0xFFFFFFC0u), "");  // bits 6 to 31 have no names
  EXPECT_EQ(BitNumbersText(0xC0000001u), "1,31,32");
  EXPECT_TRUE(IsBitSet(1, 32));  // bit numbers are taken modulo 32
  EXPECT_FALSE(IsBitSet(1, 1));
  EXPECT_EQ(BytesToHex(Hex("00 0A FF")), "000AFF");
  EXPECT_EQ(BytesToHexSpaced(Hex("7F")), "7F");
  EXPECT_EQ(TrimValueText(Hex("01 20 41 A0 1F")), Hex("41 A0"));  // codes up to 32 only
}

}  // namespace
}  // namespace kvitor
