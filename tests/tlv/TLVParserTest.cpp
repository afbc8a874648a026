// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "TlvTestUtil.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVParser.h"

namespace kvitor {
namespace {

using test::ErrorText;
using test::Hex;
using test::Tlv;

// Every node of a tree in pre-order, without recursion.
std::vector<const TTLVTag*> AllNodes(const TTLVTags& list) {
  std::vector<const TTLVTag*> out;
  std::vector<const TTLVTags*> stack{&list};
  while (!stack.empty()) {
    const TTLVTags* l = stack.back();
    stack.pop_back();
    for (int i = l->Count() - 1; i >= 0; --i) {
      out.push_back(&l->Items(i));
      stack.push_back(&l->Items(i).Children());
    }
  }
  return out;
}

class TLVParser : public ::testing::Test {
 protected:
  std::string Parse(const std::string& body) {
    return ErrorText([&] { parser_.Parse(body); });
  }
  const TTLVTag& Top(int i) { return parser_.Tags().Items(i); }
  TTLVParser parser_;
};

TEST_F(TLVParser, EmptyAndTooShortBodies) {
  EXPECT_EQ(Parse(""), "(no error)");
  EXPECT_EQ(parser_.Tags().Count(), 0);
  for (const char* body : {"EA", "EA 03", "EA 03 01"}) {
    EXPECT_EQ(Parse(Hex(body)), "TLV length error") << body;
    EXPECT_EQ(parser_.Tags().Count(), 0);
  }
}

TEST_F(TLVParser, TypesTagsFromTheDictionaryAndDescendsIntoContainers) {
  parser_.Parse(Hex("EA 03 01 00 01"));
  ASSERT_EQ(parser_.Tags().Count(), 1);
  EXPECT_EQ(Top(0).Value(), "\x01");
  EXPECT_EQ(Top(0).DeclaredLength(), 1);
  EXPECT_EQ(Top(0).Info(), parser_.Dictionary().FindTag(1002)->Info());

  parser_.Parse(Hex("23 04 05 00 EA 03 01 00 01"));
  ASSERT_EQ(parser_.Tags().Count(), 1);
  EXPECT_EQ(Top(0).Info().Tag, 1059);
  // The content lives in the nested tags; the container keeps its length.
  EXPECT_EQ(Top(0).ValueSize(), 5u);
  EXPECT_EQ(Top(0).Children().Encode(), Hex("EA 03 01 00 01"));
  ASSERT_EQ(Top(0).Children().Count(), 1);
  EXPECT_EQ(Top(0).Children().Items(0).Info().Tag, 1002);
  EXPECT_EQ(Top(0).Children().Items(0).Value(), "\x01");

  // Nested containers, siblings behind them, an empty container; then a second
  // Parse replaces the first one's tags.
  const std::string body =
      Tlv(103, Tlv(1059, Tlv(1030, "x") + Tlv(1079, "\x05")) + Tlv(1020, "\x10")) + Tlv(1084, "");
  parser_.Parse(body);
  ASSERT_EQ(parser_.Tags().Count(), 2);
  EXPECT_EQ(Top(0).Children().Items(0).Children().Count(), 2);
  EXPECT_EQ(Top(0).Children().Items(1).Info().Tag, 1020);
  EXPECT_EQ(Top(1).Children().Count(), 0);
  EXPECT_EQ(parser_.Tags().Encode(), body);

  TTLVTags list;  // ParseInto appends
  parser_.ParseInto(Tlv(1001, "\x01"), list);
  parser_.ParseInto(Tlv(1002, "\x01"), list);
  EXPECT_EQ(list.Encode(), Tlv(1001, "\x01") + Tlv(1002, "\x01"));
  EXPECT_EQ(parser_.Tags().Encode(), body);
}

TEST_F(TLVParser, ContainersKeepTheirContentLengthThroughCopies) {
  // Says 10 bytes, 5 follow: the line reports it, before and after a copy.
  parser_.Parse(Hex("23 04 0A 00 EA 03 01 00 01"));
  const TTLVTag& cut = Top(0);
  EXPECT_EQ(cut.Value(), "");
  EXPECT_EQ(cut.ValueSize(), 5u);
  const std::string error = Utf8ToCp1251("1059,ПРЕДМ. РАСЧЕТА:Ошибка! Некорректная длина");
  EXPECT_EQ(cut.TagText(true), error);
  TTLVTags copies;
  TTLVTag& copy = copies.AddCopy(cut);
  EXPECT_EQ(copy.ValueSize(), 5u);
  EXPECT_EQ(copy.TagText(true), error);
  TTLVTags assigned;
  assigned.Assign(copies);
  EXPECT_EQ(assigned.Items(0).TagText(true), error);
  copy.SetValue("");  // a value set replaces the length that was read
  EXPECT_EQ(copy.ValueSize(), 0u);
  EXPECT_EQ(copy.Encode(), Tlv(1059, Tlv(1002, "\x01")));

  parser_.Parse(Hex("23 04 05 00 EA 03 01 00 01"));  // whole
  EXPECT_EQ(Top(0).TagText(true), Utf8ToCp1251("1059,ПРЕДМ. РАСЧЕТА:"));
}

TEST_F(TLVParser, DictionaryEntryIsTheFirstEntryOfANumber) {
  for (const auto& entry : parser_.Dictionary()) {
    const TTagEntry* found = parser_.DictionaryEntry(entry->Info().Tag);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Info, parser_.Dictionary().FindTag(entry->Info().Tag)->Info());
  }
  parser_.Parse(Tlv(9999, "x"));  // numbers seen in bodies are still not the dictionary's
  EXPECT_EQ(parser_.DictionaryEntry(9999), nullptr);
  EXPECT_NE(parser_.DictionaryEntry(65001), nullptr);  // the report's outer containers are in it
  EXPECT_EQ(parser_.DictionaryEntry(-1), nullptr);
  EXPECT_EQ(parser_.DictionaryEntry(0x10000 + 1002), nullptr);
}

TEST_F(TLVParser, ShortContainerContentFailsAfterTheContainerIsAppended) {
  EXPECT_EQ(Parse(Hex("EA 03 01 00 01  23 04 02 00 EA 03  EA 03 01 00 01")), "TLV length error");
  ASSERT_EQ(parser_.Tags().Count(), 2);
  EXPECT_EQ(Top(1).Info().Tag, 1059);
  EXPECT_EQ(Top(1).Children().Count(), 0);
}

TEST_F(TLVParser, CutOffItemsAtTheEndTakeWhatRemains) {
  // Three bytes after the last whole tag: number from two, length from one.
  parser_.Parse(Hex("EA 03 01 00 01  26 04 07"));
  ASSERT_EQ(parser_.Tags().Count(), 2);
  EXPECT_EQ(Top(1).Info().Tag, 1062);
  EXPECT_EQ(Top(1).Value(), "");
  EXPECT_EQ(Top(1).DeclaredLength(), 7);

  parser_.Parse(Hex("EA 03 01 00 01  FE"));  // one byte is a number by itself
  ASSERT_EQ(parser_.Tags().Count(), 2);
  EXPECT_EQ(Top(1).Info().Tag, 0xFE);
  EXPECT_EQ(Top(1).DeclaredLength(), 0);

  parser_.Parse(Hex("28 04 0A 00 01 02 03 04"));  // says 10 bytes, 4 follow
  ASSERT_EQ(parser_.Tags().Count(), 1);
  EXPECT_EQ(Top(0).Value(), Hex("01 02 03 04"));
  EXPECT_EQ(Top(0).DeclaredLength(), 10);

  parser_.Parse(Tlv(1059, Hex("EA 03 05 00 01")) + Tlv(1002, "\x01"));  // inside a container
  ASSERT_EQ(parser_.Tags().Count(), 2);
  EXPECT_EQ(Top(0).Children().Items(0).DeclaredLength(), 5);
}

TEST_F(TLVParser, UnknownNumbersKeepTheirRawValue) {
  const std::string inner = Tlv(1002, "\x01");  // valid TLV, yet not descended into
  parser_.Parse(Tlv(9999, inner));
  EXPECT_EQ(Top(0).Info(), (TTagInfo{9999, 0, ttUnknown, true, {}, {}}));
  EXPECT_EQ(Top(0).Value(), inner);
  EXPECT_EQ(Top(0).Children().Count(), 0);
}

TEST_F(TLVParser, SurvivesThousandsOfNestedContainers) {
  // 16000 containers 1059, each holding the next, around one tag 1002.
  constexpr int kDepth = 16000;
  std::string body;
  for (int i = 0; i < kDepth; ++i) {
    const int length = 4 * (kDepth - 1 - i) + 5;
    body += Hex("23 04") + static_cast<char>(length & 0xFF) + static_cast<char>(length >> 8);
  }
  body += Hex("EA 03 01 00 01");
  ASSERT_LE(body.size(), 65536u);

  parser_.Parse(body);
  EXPECT_EQ(parser_.Tags().Encode(), body);
  EXPECT_TRUE(parser_.Tags().HasTag(1002));
  TTLVTags copy;
  copy.Assign(parser_.Tags());
  parser_.Parse("");
  EXPECT_TRUE(copy.HasTag(1002));
  EXPECT_EQ(copy.Items(0).Encode(), body);

  const std::vector<const TTLVTag*> nodes = AllNodes(copy);
  ASSERT_EQ(nodes.size(), static_cast<std::size_t>(kDepth + 1));
  const std::string containerLine = Utf8ToCp1251("1059,ПРЕДМ. РАСЧЕТА:");
  for (int i = 0; i < kDepth; ++i) ASSERT_EQ(nodes[i]->TagText(true), containerLine) << i;
  EXPECT_EQ(nodes.back()->TagText(true), Utf8ToCp1251("1002,АВТОНОМН. РЕЖИМ:1"));
  copy.Items(0).Free();
  parser_.Parse(body);  // left for the parser's destructor
}

TEST_F(TLVParser, SurvivesHostileInput) {
  std::mt19937 random(20240611);
  // Numbers that make header-shaped noise nest, and types worth rendering.
  const uint16_t kNumbers[] = {103,  1059, 1084, 65001, 1034, 1012,
                               1020, 1030, 1054, 1077,  1205, 9999};
  for (int round = 0; round < 3000; ++round) {
    std::string body;
    const std::size_t size = random() % (round % 3 == 0 ? 70000 : 300);
    while (body.size() < size) {
      if (round % 2 == 0) {
        body += static_cast<char>(random());
        continue;
      }
      const uint16_t number = kNumbers[random() % std::size(kNumbers)];
      const auto length = static_cast<char>(random() % 24);  // often longer than what follows
      body +=
          std::string{static_cast<char>(number & 0xFF), static_cast<char>(number >> 8), length, 0};
      for (int i = 0; i < length / 2; ++i) body += static_cast<char>(random());
    }
    const std::string error = Parse(body);
    EXPECT_TRUE(error == "(no error)" || error == "TLV length error") << error;
    for (const TTLVTag* node : AllNodes(parser_.Tags())) {
      const std::string text = ErrorText([&] { (void)node->TagText(true); });
      EXPECT_TRUE(text == "(no error)" || text == "Неверная длина FVLN") << text;
    }
    // The encoding of a parse is well-formed TLV that parses to itself; only
    // cut-off items re-encoded past 65535 bytes may be refused.
    std::string encoded;
    if (ErrorText([&] { encoded = parser_.Tags().Encode(); }) != "(no error)") continue;
    parser_.Parse(encoded);
    EXPECT_EQ(parser_.Tags().Encode(), encoded);
    if (HasFailure()) {
      ADD_FAILURE() << "round " << round << ", " << body.size() << " bytes";
      return;
    }
  }
}

}  // namespace
}  // namespace kvitor
