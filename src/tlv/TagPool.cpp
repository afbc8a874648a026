#include "TagPool.h"

#include <memory>
#include <mutex>
#include <new>
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

constexpr std::size_t kNodeSize = 56;  // sizeof(TTLVTag), checked there
constexpr std::size_t kNodesPerSlab = 16384;

struct FreeNode {
  FreeNode* next;
};

// One shared free list under a lock, and a small one per thread in front of
// it, so that the lock is taken once per batch, not once per node.
class TPool {
 public:
  // Up to kBatch nodes; count tells how many.
  FreeNode* TakeBatch(std::size_t& count) {
    const std::lock_guard lock(mutex_);
    if (free_ == nullptr) Grow();
    FreeNode* first = free_;
    FreeNode* last = first;
    count = 1;
    for (; count < kBatch && last->next != nullptr; ++count) last = last->next;
    free_ = last->next;
    last->next = nullptr;
    return first;
  }

  void GiveBack(FreeNode* first, FreeNode* last) noexcept {
    const std::lock_guard lock(mutex_);
    last->next = free_;
    free_ = first;
  }

  static constexpr std::size_t kBatch = 256;

 private:
  void Grow() {
    auto slab = std::make_unique<unsigned char[]>(kNodeSize * kNodesPerSlab);
    for (std::size_t i = kNodesPerSlab; i-- > 0;) {
      auto* node = reinterpret_cast<FreeNode*>(slab.get() + i * kNodeSize);
      node->next = free_;
      free_ = node;
    }
    slabs_.push_back(std::move(slab));
  }

  std::mutex mutex_;
  FreeNode* free_ = nullptr;
  std::vector<std::unique_ptr<unsigned char[]> > slabs_;
};

TPool& Pool() {
  static auto* pool = new TPool;  // never freed: nodes may outlive static destruction
  return *pool;
}

// The calling thread's nodes; what it holds beyond two batches goes back.
class TLocalNodes {
 public:
  ~TLocalNodes() {
    if (first_ != nullptr) Pool().GiveBack(first_, Last());
  }

  void* Take() {
    if (first_ == nullptr) first_ = Pool().TakeBatch(count_);
    FreeNode* node = first_;
    first_ = node->next;
    --count_;
    return node;
  }

  void Put(void* p) noexcept {
    auto* node = static_cast<FreeNode*>(p);
    node->next = first_;
    first_ = node;
    if (++count_ < 2 * TPool::kBatch) return;
    // Hand back all but one batch.
    FreeNode* last = first_;
    for (std::size_t n = 1; n < TPool::kBatch; ++n) last = last->next;
    FreeNode* rest = last->next;
    last->next = nullptr;
    FreeNode* restLast = rest;
    while (restLast->next != nullptr) restLast = restLast->next;
    Pool().GiveBack(rest, restLast);
    count_ = TPool::kBatch;
  }

 private:
  FreeNode* Last() const {
    FreeNode* last = first_;
    while (last->next != nullptr) last = last->next;
    return last;
  }

  FreeNode* first_ = nullptr;
  std::size_t count_ = 0;
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
