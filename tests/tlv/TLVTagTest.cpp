// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "TlvTestUtil.h"
#include "tlv/TLVTag.h"

namespace kvitor {
namespace {

using test::Contains;
using test::ErrorText;
using test::Hex;
using test::Tlv;

TTLVTag& Add(TTLVTags& list, int32_t number, const std::string& value = {},
             TTagType type = ttByteArray) {
  TTLVTag& tag = list.AddNew(TTagInfo{number, 0, type, false, {}, {}});
  tag.SetValue(value);
  return tag;
}

TTLVTag& AddContainer(TTLVTags& list, int32_t number) { return Add(list, number, {}, ttSTLV); }

std::vector<int32_t> Numbers(const TTLVTags& list) {
  std::vector<int32_t> out;
  for (int i = 0; i < list.Count(); ++i) out.push_back(list.Items(i).Info().Tag);
  return out;
}

TEST(TLVTag, EncodesNumberLengthAndValue) {
  TTLVTags list;
  EXPECT_EQ(list.Encode(), "");
  TTLVTag& receipt = AddContainer(list, 103);
  EXPECT_EQ(receipt.Encode(), Hex("67 00 00 00"));
  receipt.SetValue("stale");  // a container writes its children, not its Value
  EXPECT_EQ(receipt.Encode(), Hex("67 00 00 00"));

  TTLVTag& flag = Add(receipt.Children(), 1002, "\x01", ttByte);
  EXPECT_EQ(flag.Encode(), Hex("EA 03 01 00 01"));
  EXPECT_EQ(receipt.Encode(), Hex("67 00 05 00 EA 03 01 00 01"));

  TTLVTag& outer = AddContainer(list, 65001);
  receipt.SetOwner(outer.Children());
  TTLVTag& shift = Add(list, 1038, Hex("04 00 00 00"), ttUInt32);
  Add(shift.Children(), 1020, "xx");  // a non-container writes its Value only
  shift.SetDeclaredLength(40);        // and announced lengths play no part
  EXPECT_EQ(list.Encode(), Hex("E9 FD 09 00 67 00 05 00 EA 03 01 00 01  0E 04 04 00 04 00 00 00"));
}

TEST(TLVTag, EncodeRefusesWhatSixteenBitFieldsCannotHold) {
  for (const int32_t number : {70000, -1, 65536}) {
    TTLVTags list;
    TTLVTag& tag = Add(list, number, "\x01");
    EXPECT_TRUE(Contains(ErrorText([&] { (void)tag.Encode(); }), std::to_string(number)));
    tag.SetInfo(TTagInfo{number, 0, ttSTLV, false, {}, {}});
    EXPECT_TRUE(Contains(ErrorText([&] { (void)list.Encode(); }), std::to_string(number)));
  }
  TTLVTags list;
  TTLVTag& big = Add(list, 1002, std::string(65536, 'v'));
  std::string message = ErrorText([&] { (void)big.Encode(); });
  EXPECT_TRUE(Contains(message, "1002") && Contains(message, "65536")) << message;
  big.SetValue(std::string(65535, 'v'));
  EXPECT_EQ(list.Encode(), Hex("EA 03 FF FF") + std::string(65535, 'v'));

  // The child fits, the content of 4 + 65532 bytes does not.
  TTLVTag& receipt = AddContainer(AddContainer(list, 65001).Children(), 103);
  TTLVTag& child = Add(receipt.Children(), 1030, std::string(65532, 'v'));
  message = ErrorText([&] { (void)list.Encode(); });
  EXPECT_TRUE(Contains(message, "103") && Contains(message, "65536")) << message;
  EXPECT_EQ(ErrorText([&] { (void)receipt.Encode(); }), message);
  child.SetValue(std::string(65531, 'v'));
  EXPECT_EQ(receipt.Encode().size(), 4u + 65535u);
}

TEST(TLVTags, FindTagSearchesOneListHasTagTheWholeTree) {
  TTLVTags list;
  TTLVTag& first = Add(list, 1002, "a");
  Add(list, 1002, "b");
  EXPECT_EQ(list.FindTag(1002), &first);
  EXPECT_EQ(list.FindTag(1), nullptr);

  TTLVTag& receipt = AddContainer(list, 103);
  TTLVTag& item = AddContainer(receipt.Children(), 1059);
  TTLVTag& name = Add(item.Children(), 1030, "x");
  EXPECT_TRUE(list.HasTag(1030));
  EXPECT_EQ(list.FindTag(1030), nullptr);
  EXPECT_EQ(item.Children().FindTag(1030), &name);
  EXPECT_FALSE(list.HasTag(9999));
  EXPECT_FALSE(receipt.Children().HasTag(1002));  // below only, never above
  Add(first.Children(), 4444);                    // nested tags of a non-container count too
  EXPECT_TRUE(list.HasTag(4444));
}

TEST(TLVTags, FreeingKeepsTheOrderOfTheOthers) {
  TTLVTags list;
  EXPECT_THROW((void)list.Items(0), Error);
  for (int n = 1; n <= 5; ++n) Add(list, n);
  EXPECT_THROW((void)list.Items(-1), Error);
  EXPECT_THROW((void)list.Items(5), Error);
  EXPECT_THROW(list.Delete(5), Error);
  list.Items(2).Free();
  EXPECT_EQ(Numbers(list), (std::vector<int32_t>{1, 2, 4, 5}));
  list.Delete(0);
  EXPECT_EQ(Numbers(list), (std::vector<int32_t>{2, 4, 5}));

  TTLVTag& receipt = AddContainer(list, 103);
  Add(AddContainer(receipt.Children(), 1059).Children(), 1030);
  receipt.Free();  // with its subtree
  EXPECT_FALSE(list.HasTag(1030));
  Add(AddContainer(list, 103).Children(), 1030);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  Add(list, 9);  // a cleared list is usable again
  EXPECT_EQ(Numbers(list), (std::vector<int32_t>{9}));

  // DeleteIf: one pass over this list only, the others in order.
  list.Clear();
  for (int n = 1; n <= 6; ++n) Add(AddContainer(list, n).Children(), 100 + n);
  list.DeleteIf([](const TTLVTag& tag) { return tag.Info().Tag % 2 == 1; });
  EXPECT_EQ(Numbers(list), (std::vector<int32_t>{2, 4, 6}));
  EXPECT_FALSE(list.HasTag(101) || list.HasTag(103));
  EXPECT_TRUE(list.HasTag(104));
  for (int i = 0; i < list.Count(); ++i) EXPECT_EQ(list.Items(i).Owner(), &list);
  list.DeleteIf([](const TTLVTag& tag) { return tag.Info().Tag == 104; });  // nested: untouched
  EXPECT_EQ(Numbers(list), (std::vector<int32_t>{2, 4, 6}));
  list.DeleteIf([](const TTLVTag&) { return true; });
  EXPECT_EQ(list.Count(), 0);
}

TEST(TLVTag, SetOwnerRemoveAndAddMoveTagsBetweenLists) {
  TTLVTags a;
  TTLVTags b;
  for (int n = 1; n <= 3; ++n) Add(a, n);
  Add(b, 7);
  a.Items(0).SetOwner(a);  // already there: stays in place
  EXPECT_EQ(Numbers(a), (std::vector<int32_t>{1, 2, 3}));
  TTLVTag& two = a.Items(1);
  two.SetOwner(b);
  EXPECT_EQ(Numbers(a), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(Numbers(b), (std::vector<int32_t>{7, 2}));
  EXPECT_EQ(two.Owner(), &b);

  std::unique_ptr<TTLVTag> one = a.Remove(a.Items(0));
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->Owner(), nullptr);
  EXPECT_EQ(a.Remove(two), nullptr);  // stands in b, not in a
  EXPECT_EQ(b.Add(std::move(one)).Owner(), &b);
  EXPECT_EQ(Numbers(b), (std::vector<int32_t>{7, 2, 1}));

  TTLVTag& box = AddContainer(a, 103);
  b.Items(0).SetOwner(box.Children());
  EXPECT_EQ(box.Children().Items(0).Owner(), &box.Children());
  EXPECT_EQ(a.Encode(), Hex("03 00 00 00  67 00 04 00 07 00 00 00"));
}

TEST(TLVTags, AssignMakesAnIndependentDeepCopy) {
  TTLVTags source;
  TTLVTag& receipt = AddContainer(source, 103);
  receipt.SetValue("raw");
  receipt.SetDeclaredLength(30);
  TTLVTag& item = AddContainer(receipt.Children(), 1059);
  Add(item.Children(), 1030, "abc").SetDeclaredLength(7);
  Add(source, 1002, "\x01");
  const std::string before = source.Encode();

  TTLVTags target;
  Add(AddContainer(target, 65001).Children(), 4321);
  target.Assign(source);
  EXPECT_EQ(Numbers(target), (std::vector<int32_t>{103, 1002}));
  EXPECT_FALSE(target.HasTag(4321));
  EXPECT_EQ(target.Encode(), before);
  TTLVTag& copy = target.Items(0);
  EXPECT_TRUE(copy.Owner() == &target && copy.Value() == "raw" && copy.DeclaredLength() == 30);
  TTLVTag& copiedItem = copy.Children().Items(0);
  EXPECT_EQ(copiedItem.Owner(), &copy.Children());
  EXPECT_EQ(copiedItem.Children().Items(0).DeclaredLength(), 7);

  copiedItem.Children().Items(0).SetValue("changed");
  Add(copiedItem.Children(), 1079, "1");
  EXPECT_EQ(source.Encode(), before);

  // Tag-level copies keep their own owner.
  TTLVTag& holder = Add(target, 5, "old");
  holder.Assign(receipt);
  EXPECT_EQ(holder.Owner(), &target);
  EXPECT_EQ(holder.Info(), receipt.Info());
  EXPECT_EQ(holder.DeclaredLength(), 30);
  EXPECT_EQ(holder.Encode(), receipt.Encode());
  EXPECT_EQ(target.AddCopy(item.Children().Items(0)).DeclaredLength(), 7);
}

TEST(TLVTags, AssignFromTheSameTreeCopiesBeforeFreeing) {
  const std::string leaf = Tlv(1030, "x");
  const auto build = [](TTLVTags& list) -> TTLVTag& {
    TTLVTag& receipt = AddContainer(list, 103);
    Add(AddContainer(receipt.Children(), 1059).Children(), 1030, "x");
    return receipt;
  };
  TTLVTags one;
  TTLVTag& receipt = build(one);
  receipt.Assign(receipt.Children().Items(0));  // a tag takes its own child's place
  EXPECT_EQ(one.Encode(), Tlv(1059, leaf));
  TTLVTags two;
  two.Assign(build(two).Children());  // a list takes a list nested in it
  EXPECT_EQ(two.Encode(), Tlv(1059, leaf));
  TTLVTags three;
  build(three).Children().Items(0).Children().Assign(three);  // and the other way round
  EXPECT_EQ(three.Encode(), Tlv(103, Tlv(1059, Tlv(103, Tlv(1059, leaf)))));
}

TEST(TLVTags, ChainsFarDeeperThanAnyBodyDoNotOverflowTheStack) {
  constexpr int kDepth = 500'000;  // a recursive walk would need more stack than a thread has
  TTLVTags list;
  TTLVTags* level = &list;
  for (int i = 0; i < kDepth; ++i) level = &AddContainer(*level, 1059).Children();
  Add(*level, 1002, "\x01", ttByte);
  EXPECT_TRUE(list.HasTag(1002));
  TTLVTags copy;
  copy.Assign(list);
  EXPECT_TRUE(copy.HasTag(1002));
  list.Items(0).Free();
  // The content outgrows the 16-bit length long before the top is reached.
  EXPECT_TRUE(Contains(ErrorText([&] { (void)copy.Encode(); }), "1059"));
}

TEST(TLVTag, ValueAsIntAndAddEntry) {
  struct Row {
    const char* bytes;
    uint64_t value;
  };
  const Row rows[] = {{"01 02", 513}, {"", 0}, {"01 02 03 04 05 06 07 08 09", 0x0807060504030201}};
  TTLVTags list;
  {
    const std::string description = "описание, которое исчезнет";
    list.AddEntry(1234, description, std::string("ИМЯ"), ttVLN, 6, true);
  }  // the entry holds its own texts
  TTLVTag& entry = list.Items(0);
  EXPECT_EQ(entry.Info(), (TTagInfo{1234, 6, ttVLN, true, "описание, которое исчезнет", "ИМЯ"}));
  EXPECT_EQ(entry.DeclaredLength(), 0);
  EXPECT_EQ(entry.ValueAsInt(), 0u);
  for (const Row& r : rows) {
    entry.SetValue(Hex(r.bytes));
    EXPECT_EQ(entry.ValueAsInt(), r.value) << r.bytes;
  }
}

}  // namespace
}  // namespace kvitor
