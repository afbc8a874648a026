#include "TagPool.h"

#include <memory>
#include <mutex>
#include <new>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVITOR_PLAIN_TAG_NODES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
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

class TPool {
 public:
  void* Allocate() {
    const std::lock_guard lock(mutex_);
    if (free_ == nullptr) Grow();
    FreeNode* node = free_;
    free_ = node->next;
    return node;
  }

  void Free(void* p) noexcept {
    auto* node = static_cast<FreeNode*>(p);
    const std::lock_guard lock(mutex_);
    node->next = free_;
    free_ = node;
  }

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
  std::vector<std::unique_ptr<unsigned char[]>> slabs_;
};

TPool& Pool() {
  static auto* pool = new TPool;  // never freed: nodes may outlive static destruction
  return *pool;
}

}  // namespace

void* AllocateTagNode(std::size_t size) {
  if (size > kNodeSize) return ::operator new(size);
  return Pool().Allocate();
}

void FreeTagNode(void* node) noexcept {
  if (node != nullptr) Pool().Free(node);
}

#endif

}  // namespace kvitor
