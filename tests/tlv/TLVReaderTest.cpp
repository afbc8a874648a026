// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/TLVReader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "TlvTestUtil.h"

namespace kvitor {
namespace {

using test::Hex;
using test::Tlv;

// An item as both readers give it, and the error that ends them.
struct TSeen {
  const TTagEntry* entry;
  std::string value;
  std::size_t length;
  int32_t declared;
  std::size_t depth;
  bool operator==(const TSeen&) const = default;
};

std::string Walked(const TTLVParser& parser, const std::string& data, std::vector<TSeen>& seen) {
  return test::ErrorText([&] {
    parser.Walk(data, [&](const TTLVWalkItem& item) {
      const bool container = item.IsContainer();
      seen.push_back({item.Entry, container ? "" : std::string(item.Value), item.Value.size(),
                      item.DeclaredLength, item.Depth});
    });
  });
}

std::string Read(const TTLVParser& parser, const std::string& data, std::vector<TSeen>& seen) {
  return test::ErrorText([&] {
    TMemorySource source(data);
    TTLVReader reader(source, data.size(), parser);
    for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
      if (event != TTLVReader::TEvent::Item) continue;
      const TTLVItem& item = reader.Item();
      seen.push_back(
          {item.Entry, std::string(item.Value), item.ValueLength, item.DeclaredLength, item.Depth});
    }
  });
}

// A body of containers (1059) and leaves, cut or altered at random.
std::string RandomBody(std::mt19937& random, int depth) {
  std::string body;
  const int items = static_cast<int>(random() % 4);
  for (int i = 0; i < items; ++i) {
    if (depth < 4 && random() % 3 == 0) {
      body += Tlv(1059, RandomBody(random, depth + 1));
    } else {
      body += Tlv(random() % 2 == 0 ? 1040 : 9999, std::string(random() % 6, 'v'));
    }
  }
  if (!body.empty() && random() % 4 == 0) body.resize(random() % body.size());
  if (!body.empty() && random() % 4 == 0) body[random() % body.size()] ^= 0x04;
  return body;
}

TEST(TLVReader, MeetsTheItemsAndErrorsOfTheParsersWalk) {
  const TTLVParser parser;
  std::vector<std::string> bodies = {"",
                                     Hex("EA"),
                                     Hex("EA 03 01"),
                                     Hex("EA 03 01 00 01 2A"),  // a field of one byte after an item
                                     Hex("EA 03 04 00 01 02"),  // a value cut short
                                     Hex("23 04 03 00 EA 03 01"),  // a container of three bytes
                                     Tlv(1059, Tlv(1030, "ab") + Tlv(1059, "")) + Tlv(9999, "x")};
  std::mt19937 random(7);
  for (int i = 0; i < 500; ++i) bodies.push_back(RandomBody(random, 0));
  int refused = 0;
  for (const std::string& body : bodies) {
    std::vector<TSeen> walked;
    std::vector<TSeen> read;
    const std::string walkError = Walked(parser, body, walked);
    EXPECT_EQ(Read(parser, body, read), walkError);
    EXPECT_EQ(read, walked);
    refused += walkError != "(no error)" ? 1 : 0;
  }
  // Both kinds of body were met.
  EXPECT_GT(refused, 10);
  EXPECT_LT(refused, 400);
}

}  // namespace
}  // namespace kvitor
