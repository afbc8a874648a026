// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "tlv/TagPool.h"

namespace kvitor {
namespace {

constexpr std::size_t kNodeSize = 48;

struct TNode {
  void* at;
  uint64_t mark;
};

TNode Make(uint64_t mark) {
  void* at = AllocateTagNode(kNodeSize);
  for (std::size_t i = 0; i < kNodeSize; i += sizeof mark)
    std::memcpy(static_cast<char*>(at) + i, &mark, sizeof mark);
  return {at, mark};
}

bool Intact(const TNode& node) {
  for (std::size_t i = 0; i < kNodeSize; i += sizeof node.mark) {
    uint64_t v = 0;
    std::memcpy(&v, static_cast<const char*>(node.at) + i, sizeof v);
    if (v != node.mark) return false;
  }
  return true;
}

bool Distinct(const std::vector<const std::vector<TNode>*>& lists) {
  std::set<void*> addresses;
  for (const auto* list : lists) {
    for (const TNode& node : *list) {
      if (!addresses.insert(node.at).second || !Intact(node)) return false;
    }
  }
  return true;
}

// Nodes made on one thread and freed on others, in amounts past the per-thread
// batches, never overlap and come back for reuse.
TEST(TagPool, NodesCrossThreadsWithoutOverlapping) {
  std::vector<TNode> live;
  std::thread([&] {
    for (uint64_t n = 0; n < 5000; ++n) live.push_back(Make(n));
  }).join();  // the maker leaves, its unused nodes go back
  ASSERT_TRUE(Distinct({&live}));

  std::vector<TNode> kept;
  std::vector<TNode> freed;
  for (const TNode& node : live) (node.mark % 3 == 0 ? freed : kept).push_back(node);
  std::thread freer([&] {
    for (const TNode& node : freed) FreeTagNode(node.at);
  });
  std::vector<TNode> more;
  for (uint64_t n = 0; n < 3000; ++n) more.push_back(Make(100000 + n));
  freer.join();
  for (uint64_t n = 0; n < 3000; ++n) more.push_back(Make(200000 + n));

  EXPECT_TRUE(Distinct({&kept, &more}));
  for (const auto* list : {&kept, &more}) {
    for (const TNode& node : *list) FreeTagNode(node.at);
  }
  FreeTagNode(nullptr);
}

}  // namespace
}  // namespace kvitor
