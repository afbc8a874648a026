// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Ffd12Documents.h"
#include "TlvTestUtil.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVParser.h"
#include "tlv/TLVReader.h"

namespace kvitor {
namespace {

namespace f = test::ffd12;
using test::Hex;
using test::Tlv;

// Every tag line of data as the parser's tree gives it, indented, UTF-8.
std::vector<std::string> TreeLines(TDictionaryKind kind, const std::string& data) {
  TTLVParser parser(kind);
  parser.Parse(data);
  std::vector<std::string> lines;
  const auto walk = [&lines](const auto& self, const TTLVTags& list, std::size_t depth) -> void {
    for (const auto& tag : list) {
      lines.push_back(std::string(2 * depth, ' ') + Cp1251ToUtf8(tag->TagText(true)));
      self(self, tag->Children(), depth + 1);
    }
  };
  walk(walk, parser.Tags(), 0);
  return lines;
}

// The same as the streaming reader gives them.
std::vector<std::string> ReaderLines(TDictionaryKind kind, const std::string& data) {
  const TTLVParser dictionary(kind);
  TMemorySource source(data);
  TTLVReader reader(source, data.size(), dictionary);
  std::vector<std::string> lines;
  for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
    if (event != TTLVReader::TEvent::Item) continue;
    const TTLVItem& item = reader.Item();
    std::string line(2 * item.Depth, ' ');
    AppendTagLine(line, *item.Entry, item.Value, item.ValueLength, item.DeclaredLength, true);
    lines.push_back(Cp1251ToUtf8(line));
  }
  return lines;
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  for (const auto& l : lines)
    if (l == line) return true;
  return false;
}

TEST(Ffd12, NewTagsAreNamedAndDescendedOnlyWithTheNewerDictionary) {
  const std::string item = f::MarkedItem();
  const auto classic = TreeLines(TDictionaryKind::Classic, item);
  EXPECT_TRUE(Has(classic, "  2108,НЕИЗВЕСТНЫЙ ТЕГ"));
  EXPECT_TRUE(Has(classic, "  1163,НЕИЗВЕСТНЫЙ ТЕГ"));
  EXPECT_EQ(classic.size(), 12U);  // 1163 and 1260 not descended

  const auto lines = TreeLines(TDictionaryKind::Ffd12, item);
  for (const char* expected :
       {"  2108,МЕРА КОЛ-ВА ПРЕДМ. РАСЧЕТА:0", "  1163,КОД ТОВАРА:",
        "    1305,КТ GS1.М:0104650194496316215Qbag!\x1d"
        "93Zjqw",
        "  2106,РЕЗУЛЬТАТ ПРОВЕРКИ СВЕД. О ТОВАРЕ:15", "  1260,ОТРАСЛ. РЕКВ. ПРЕДМ. РАСЧЕТА:",
        "    1262,ИД. ФОИВ:030", "    1263,ДАТА ДОК. ОСНОВАНИЯ:21.11.2023",
        "    1264,НОМЕР ДОК. ОСНОВАНИЯ:1944", "    1265,ЗНАЧ. ОТРАСЛ. РЕКВИЗИТА:mode=horeca",
        "  1199,СТАВКА НДС:11", "  1212,ПРИЗН. ПРЕДМЕТА РАСЧ.:33"}) {
    EXPECT_TRUE(Has(lines, expected)) << expected;
  }
  for (const auto& line : lines) EXPECT_EQ(line.find("НЕИЗВЕСТНЫЙ"), std::string::npos) << line;
  // The exports' dictionary names them too.
  EXPECT_EQ(TreeLines(TDictionaryKind::Ffd12Names, item), lines);
}

TEST(Ffd12, ReusedNumbersTakeTheMeaningOfTheirParent) {
  const auto lines = TreeLines(TDictionaryKind::Ffd12, f::VatReceipt());
  EXPECT_TRUE(Has(lines, "1115,СУММЫ НДС ЧЕКА:"));
  EXPECT_TRUE(Has(lines, "  1119,СУММА НДС ЧЕКА:"));
  EXPECT_TRUE(Has(lines, "    1199,СТАВКА НДС:11"));
  EXPECT_TRUE(Has(lines, "    1120,СУММА НДС:89.98"));
  EXPECT_TRUE(Has(lines, "  1235,СВЕД. ОБ ОПЛАТЕ БЕЗНАЛ.:"));
  EXPECT_TRUE(Has(lines, "    1082,СУММА ОПЛАТЫ БЕЗНАЛ.:499.00"));
  EXPECT_TRUE(Has(lines, "1125,ПРИЗН. РАСЧЕТА В ИНТЕРНЕТ:1"));
  // Elsewhere the old meanings stand.
  EXPECT_TRUE(Has(lines, "1119,ТЛФ. ОПЕР. ПО ПРИЕМУ ПЛАТ.:+79001234567"));
  EXPECT_TRUE(Has(TreeLines(TDictionaryKind::Ffd12, Tlv(1082, "+7900")),
                  "1082,ТЕЛ. БАНК. СУБАГЕНТА:+7900"));
  EXPECT_TRUE(Has(TreeLines(TDictionaryKind::Ffd12, Tlv(1059, Tlv(1119, "+7901"))),
                  "  1119,ТЛФ. ОПЕР. ПО ПРИЕМУ ПЛАТ.:+7901"));
  // The report's own dictionary knows 1115 not at all.
  EXPECT_TRUE(Has(TreeLines(TDictionaryKind::Classic, f::VatReceipt()), "1115,НЕИЗВЕСТНЫЙ ТЕГ"));
}

TEST(Ffd12, UnknownTagsShowTheirBytesOrTheirItems) {
  const std::string data = Tlv(1019, Hex("AB CD")) +
                           Tlv(9000, Tlv(1020, Hex("64")) + Tlv(9001, "")) +
                           Tlv(9002, Hex("01 00 00 00")) + Tlv(9003, Hex("EA 03 05 00 01"));
  const std::vector<std::string> expected{
      "1019,НЕИЗВЕСТНЫЙ ТЕГ:AB CD",
      "9000,НЕИЗВЕСТНЫЙ ТЕГ:",
      "  1020,ИТОГ:1.00",
      "  9001,НЕИЗВЕСТНЫЙ ТЕГ:",
      "9002,НЕИЗВЕСТНЫЙ ТЕГ:01 00 00 00",      // a number below the format's
      "9003,НЕИЗВЕСТНЫЙ ТЕГ:EA 03 05 00 01"};  // not TLV to its end
  EXPECT_EQ(TreeLines(TDictionaryKind::Ffd12, data), expected);
  EXPECT_EQ(TreeLines(TDictionaryKind::Classic, data)[0], "1019,НЕИЗВЕСТНЫЙ ТЕГ");
  EXPECT_EQ(TreeLines(TDictionaryKind::Ffd12Names, data)[1], "9000,НЕИЗВЕСТНЫЙ ТЕГ");
}

TEST(Ffd12, TheReaderGivesWhatTheParserGives) {
  // Unknown tags holding unknown tags, the newer containers, a reused number.
  const std::string inner =
      Tlv(9100, Tlv(9101, Tlv(1040, Hex("05 00 00 00"))) + Tlv(1020, Hex("01")));
  const std::string data = Tlv(65002, Tlv(103, f::VatReceipt() + f::MarkedItem() + inner) +
                                          Tlv(107, Tlv(1012, Hex("00 00 00 00")))) +
                           inner;
  for (const auto kind :
       {TDictionaryKind::Classic, TDictionaryKind::Ffd12, TDictionaryKind::Ffd12Names}) {
    EXPECT_EQ(ReaderLines(kind, data), TreeLines(kind, data)) << static_cast<int>(kind);
  }
}

}  // namespace
}  // namespace kvitor
