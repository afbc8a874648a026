// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "TlvTestUtil.h"
#include "tlv/TLVParser.h"

namespace kvitor {
namespace {

class TagDictionary : public ::testing::Test {
 protected:
  TagDictionary() { dictionary_.FillDictionary(); }
  const TTagInfo& Entry(int tag) {
    const TTLVTag* found = dictionary_.FindTag(tag);
    return found != nullptr ? found->Info() : missing_;
  }
  std::string Name(int tag) { return std::string(Entry(tag).ShortName); }
  TTLVTags dictionary_;
  const TTagInfo missing_{-1, 0, ttUnknown, false, "(missing)", "(missing)"};
};

TEST_F(TagDictionary, OneFindableEntryPerNumberAndAShadowedMarkupAmount) {
  dictionary_.FillDictionary();  // a second fill replaces the first
  EXPECT_EQ(dictionary_.Count(), 206);
  std::map<int32_t, int> seen;
  for (const auto& node : dictionary_) {
    EXPECT_TRUE(node->Value().empty() && node->DeclaredLength() == 0 &&
                node->Children().Count() == 0);
    if (++seen[node->Info().Tag] == 1) {
      EXPECT_EQ(dictionary_.FindTag(node->Info().Tag), node.get());
    }
  }
  EXPECT_EQ(seen.size(), 205u);
  EXPECT_EQ(seen[1034], 2);
  EXPECT_EQ(Entry(1034).TagType, ttFVLN);
  EXPECT_EQ(Name(1034), "НАЦЕНКА(СТАВКА)");
  EXPECT_EQ(dictionary_.Items(205).Info(),
            (TTagInfo{1034, 8, ttVLN, false, "наценка (сумма)", "НАЦЕНКА(СУММА)"}));
  EXPECT_EQ(dictionary_.FindTag(1019), nullptr);
}

TEST_F(TagDictionary, ValueTypesLengthsAndFixedFlags) {
  const std::map<TTagType, std::vector<int>> byType = {
      {ttByteArray, {1162, 1077, 1078, 2001, 2002, 2003, 2016, 2017}},
      {ttByte, {1054, 1055, 1209, 2013, 2014, 2018, 2019, 2020}},
      {ttUInt16, {1213, 2015}},
      {ttUInt32, {1038, 1040, 1205}},
      {ttVLN, {1020, 1102, 1106}},
      {ttUnixTime, {1012, 1098, 1178}},
      {ttString,
       {1000, 2010, 2011, 2012, 2050, 2053, 2055, 2057, 2061, 2062, 2099, 2200, 2201, 2202, 2203,
        2299}},
      {ttSTLV, {101, 107, 141, 1059, 1084, 1112, 1174, 1223, 1224, 65001, 65002, 65011, 65012}},
  };
  for (const auto& [type, tags] : byType) {
    for (const int tag : tags) EXPECT_EQ(Entry(tag).TagType, type) << tag;
  }
  EXPECT_EQ(Entry(1059).MaxLength, 1024);
  EXPECT_EQ(Entry(65001).MaxLength, 0);
  EXPECT_EQ(Entry(1196).MaxLength, 0);
  for (const int fixed : {1018, 1037, 1041, 1230, 2200, 2050, 2099}) {
    EXPECT_TRUE(Entry(fixed).FixedLength) << fixed;
  }
  EXPECT_FALSE(Entry(1013).FixedLength);
}

TEST_F(TagDictionary, TheParserDescendsIntoContainersOnly) {
  TTLVParser parser;
  const std::string inner = test::Tlv(1002, "\x01");
  for (const uint16_t tag : {1059, 1084, 1112, 1174, 1223, 1224, 1162, 1077, 1019}) {
    parser.Parse(test::Tlv(tag, inner));
    const bool container = tag != 1162 && tag != 1077 && tag != 1019;
    EXPECT_EQ(parser.Tags().Items(0).Children().Count(), container ? 1 : 0) << tag;
  }
  EXPECT_EQ(parser.Tags().Items(0).Info().TagType, ttUnknown);
}

TEST_F(TagDictionary, PrintNamesAndDescriptions) {
  for (const auto& [a, b] : {std::pair{1055, 1062}, {1101, 1205}, {1103, 1140}, {1102, 1139}}) {
    EXPECT_EQ(Name(a), Name(b)) << a << " " << b;
  }
  EXPECT_EQ(Name(1055), "СНО");
  EXPECT_EQ(Name(1101), "ИЗМ. СВЕД. О ККТ");
  EXPECT_EQ(Name(1103), "СУММА НДС 10%");
  EXPECT_EQ(Name(1129), "СЧЕТЧИКИ ОПЕР. \"ПРИХОД\"");
  EXPECT_EQ(Name(65012), "ОНЛАЙН РЕЖИМ, ФФД 1.1");
  EXPECT_EQ(Entry(103).Description, "Кассовый чек");
  EXPECT_EQ(Entry(65011).Description,
            "Фискальные данные фискального документа, сформированного в автономном режиме и "
            "имеющего формат фискальных данных версии 1.1");

  // Rate texts joined into the names at fill time.
  EXPECT_EQ(Name(1102), "СУММА НДС 20%");
  EXPECT_EQ(Name(1151), "СУММА КОРРЕКЦИЙ НДС 20%");
  EXPECT_EQ(Name(1106), "СУММА НДС 20/120");
  EXPECT_EQ(Name(1141), "СУМ. НДС РАСЧ. 20/120");
  EXPECT_EQ(Name(1153), "СУММА КОРРЕКЦИЙ НДС ПО РАСЧ. СТ. 20/120");
  EXPECT_EQ(Entry(1139).Description, "сумма НДС по ставке 20%");
  EXPECT_EQ(Entry(1106).Description, "сумма НДС чека по расч. ставке 20/120");
}

}  // namespace
}  // namespace kvitor
