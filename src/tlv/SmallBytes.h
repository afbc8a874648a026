// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace kvitor {

// The bytes of a tag's value in 16 bytes: up to 12 inline (numbers, dates,
// ИНН, fiscal signs), longer ones on the heap. A report holds millions.
// Holding no bytes, it can still record a length: that of a container's
// content, which the nested tags hold.
class TSmallBytes {
 public:
  TSmallBytes() = default;
  explicit TSmallBytes(std::string_view bytes) { Assign(bytes); }
  TSmallBytes(const TSmallBytes& other) { CopyFrom(other); }
  TSmallBytes& operator=(const TSmallBytes& other) {
    if (this != &other) {
      Release();
      CopyFrom(other);
    }
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

  // No bytes, and length as the recorded length.
  [[nodiscard]] static TSmallBytes LengthOnly(uint32_t length) {
    TSmallBytes bytes;
    std::memcpy(bytes.inline_, &length, sizeof length);
    return bytes;
  }

  void Assign(std::string_view bytes) {
    if (bytes.size() > kInline) {
      char* heap = new char[bytes.size()];
      std::memcpy(heap, bytes.data(), bytes.size());
      Release();
      SetHeap(heap);
    } else {
      Release();
      std::memset(inline_, 0, sizeof(uint32_t));  // no recorded length
      if (!bytes.empty()) std::memcpy(inline_, bytes.data(), bytes.size());
    }
    size_ = static_cast<uint32_t>(bytes.size());
  }
  [[nodiscard]] std::string_view View() const { return {Data(), size_}; }
  [[nodiscard]] std::size_t size() const { return size_; }
  // The number of bytes held, or without any, the recorded length.
  [[nodiscard]] std::size_t Length() const {
    if (size_ != 0) return size_;
    uint32_t length = 0;
    std::memcpy(&length, inline_, sizeof length);
    return length;
  }

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
  // Into an empty object; inline bytes include a recorded length.
  void CopyFrom(const TSmallBytes& other) {
    if (other.size_ > kInline) {
      Assign(other.View());
    } else {
      std::memcpy(inline_, other.inline_, kInline);
      size_ = other.size_;
    }
  }
  void Steal(TSmallBytes& other) {
    size_ = other.size_;
    std::memcpy(inline_, other.inline_, kInline);
    other.size_ = 0;
    std::memset(other.inline_, 0, sizeof(uint32_t));
  }

  uint32_t size_ = 0;
  char inline_[kInline] = {};
};

static_assert(sizeof(TSmallBytes) == 16);

}  // namespace kvitor
