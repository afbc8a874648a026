#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace kvitor {

// The bytes of a tag's value in 16 bytes: up to 12 inline (numbers, dates,
// ИНН, fiscal signs), longer ones on the heap. A report holds millions.
class TSmallBytes {
 public:
  TSmallBytes() = default;
  explicit TSmallBytes(std::string_view bytes) { Assign(bytes); }
  TSmallBytes(const TSmallBytes& other) { Assign(other.View()); }
  TSmallBytes& operator=(const TSmallBytes& other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  TSmallBytes(TSmallBytes&& other) noexcept { Steal(other); }
  TSmallBytes& operator=(TSmallBytes&& other) noexcept {
    if (this != &other) {
      Release();
      Steal(other);
    }
    return *this;
  }
  ~TSmallBytes() { Release(); }

  void Assign(std::string_view bytes) {
    if (bytes.size() > kInline) {
      char* heap = new char[bytes.size()];
      std::memcpy(heap, bytes.data(), bytes.size());
      Release();
      SetHeap(heap);
    } else {
      Release();
      if (!bytes.empty()) std::memcpy(inline_, bytes.data(), bytes.size());
    }
    size_ = static_cast<uint32_t>(bytes.size());
  }
  [[nodiscard]] std::string_view View() const { return {Data(), size_}; }
  [[nodiscard]] std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t kInline = 12;
  static constexpr std::size_t kPointerAt = 4;  // 8-byte aligned within the object

  [[nodiscard]] char* Heap() const {
    char* p = nullptr;
    std::memcpy(&p, inline_ + kPointerAt, sizeof p);
    return p;
  }
  void SetHeap(char* p) { std::memcpy(inline_ + kPointerAt, &p, sizeof p); }
  [[nodiscard]] const char* Data() const { return size_ > kInline ? Heap() : inline_; }
  void Release() {
    if (size_ > kInline) delete[] Heap();
    size_ = 0;
  }
  void Steal(TSmallBytes& other) {
    size_ = other.size_;
    std::memcpy(inline_, other.inline_, kInline);
    other.size_ = 0;
  }

  uint32_t size_ = 0;
  char inline_[kInline] = {};
};

static_assert(sizeof(TSmallBytes) == 16);

}  // namespace kvitor
