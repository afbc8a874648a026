// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/TagPool.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVITOR_PLAIN_TAG_NODES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define KVITOR_PLAIN_TAG_NODES 1
#endif
#endif

namespace kvitor {

#ifdef KVITOR_PLAIN_TAG_NODES

void* AllocateTagNode(std::size_t size) { return ::operator new(size); }
void FreeTagNode(void* node) noexcept { ::operator delete(node); }

#else

namespace {

constexpr std::size_t kNodeSize = 48;  // sizeof(TTLVTag), checked there
constexpr std::size_t kBatch = 256;
constexpr std::size_t kNodesPerSlab = 64 * kBatch;

constexpr std::size_t kPrefetchAhead = 8;

// A free node. Besides its link it points to the node kPrefetchAhead places
// further down its chain, so that taking nodes one by one can fetch ahead:
// freed nodes are cold, and a chain is otherwise read one miss at a time.
// The first node of a chain that waits in the pool also holds the chain's
// particulars, so that chains change hands whole, without a walk and
// without allocating.
struct FreeNode {
  FreeNode* next;
  FreeNode* ahead;  // a hint only: may since have been taken
  FreeNode* nextChain;
  FreeNode* last;
  std::size_t count;
};
static_assert(sizeof(FreeNode) <= kNodeSize);

struct TChain {
  FreeNode* first = nullptr;
  FreeNode* last = nullptr;
  std::size_t count = 0;
  FreeNode* pushed[kPrefetchAhead] = {};  // the last nodes pushed, a ring

  void Push(void* p) noexcept {
    auto* node = static_cast<FreeNode*>(p);
    node->next = first;
    // Taken last in, first out: the node pushed kPrefetchAhead pushes ago
    // is taken kPrefetchAhead takes after this one.
    FreeNode*& slot = pushed[count % kPrefetchAhead];
    node->ahead = slot;
    slot = node;
    if (first == nullptr) last = node;
    first = node;
    ++count;
  }
  void* Pop() noexcept {
    FreeNode* node = first;
    first = node->next;
    if (first == nullptr) last = nullptr;
    --count;
    return node;
  }
};

// Chains of freed nodes, and never used nodes handed out in address order
// (which the processor's prefetcher follows), shared by all threads.
class TPool {
 public:
  // A chain of freed nodes if there is one; otherwise empty, with up to
  // kBatch fresh nodes at fresh.
  TChain Take(unsigned char*& fresh, std::size_t& freshCount) {
    const std::lock_guard lock(mutex_);
    if (chains_ != nullptr) {
      FreeNode* head = chains_;
      chains_ = head->nextChain;
      return TChain{head, head->last, head->count};
    }
    if (freshLeft_ == 0) Grow();
    freshCount = std::min(kBatch, freshLeft_);
    fresh = fresh_;
    fresh_ += freshCount * kNodeSize;
    freshLeft_ -= freshCount;
    return {};
  }

  void GiveBack(const TChain& chain) noexcept {
    if (chain.count == 0) return;
    const std::lock_guard lock(mutex_);
    chain.first->last = chain.last;
    chain.first->count = chain.count;
    chain.first->nextChain = chains_;
    chains_ = chain.first;
  }

 private:
  void Grow() {
    // Not value-initialised: every node is written before it is used.
    slabs_.emplace_back(new unsigned char[kNodeSize * kNodesPerSlab]);
    fresh_ = slabs_.back().get();
    freshLeft_ = kNodesPerSlab;
  }

  std::mutex mutex_;
  FreeNode* chains_ = nullptr;
  unsigned char* fresh_ = nullptr;
  std::size_t freshLeft_ = 0;
  std::vector<std::unique_ptr<unsigned char[]> > slabs_;
};

TPool& Pool() {
  static auto* pool = new TPool;  // never freed: nodes may outlive static destruction
  return *pool;
}

// The calling thread's nodes: the lock is taken once per batch, not per node.
// It keeps at most two batches of freed nodes; a third goes back to the pool.
class TLocalNodes {
 public:
  ~TLocalNodes() {
    while (freshCount_ > 0) current_.Push(TakeFresh());
    Pool().GiveBack(current_);
    Pool().GiveBack(spare_);
  }

  void* Take() {
    if (current_.count == 0) {
      std::swap(current_, spare_);
      if (current_.count == 0 && freshCount_ == 0) current_ = Pool().Take(fresh_, freshCount_);
      if (current_.count == 0) return TakeFresh();
    }
    auto* node = static_cast<FreeNode*>(current_.Pop());
    if (node->ahead != nullptr) __builtin_prefetch(node->ahead);
    return node;
  }

  void Put(void* node) noexcept {
    current_.Push(node);
    if (current_.count < kBatch) return;
    Pool().GiveBack(spare_);
    spare_ = current_;
    current_ = {};
  }

 private:
  void* TakeFresh() noexcept {
    void* node = fresh_;
    fresh_ += kNodeSize;
    --freshCount_;
    return node;
  }

  TChain current_;
  TChain spare_;
  unsigned char* fresh_ = nullptr;
  std::size_t freshCount_ = 0;
};

TLocalNodes& Local() {
  thread_local TLocalNodes nodes;
  return nodes;
}

}  // namespace

void* AllocateTagNode(std::size_t size) {
  if (size > kNodeSize) return ::operator new(size);
  return Local().Take();
}

void FreeTagNode(void* node) noexcept {
  if (node != nullptr) Local().Put(node);
}

#endif

}  // namespace kvitor
