// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tlv/TLVParser.h"

namespace kvitor {

// A sequential supply of bytes for TTLVReader.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // The next n bytes, fewer only at the end; valid until the next call.
  virtual std::string_view Take(std::size_t n) = 0;
};

class TMemorySource final : public TByteSource {
 public:
  explicit TMemorySource(std::string_view bytes) : rest_(bytes) {}
  std::string_view Take(std::size_t n) override;

 private:
  std::string_view rest_;
};

// One TLV item as the reader meets it, in file order.
struct TTLVItem {
  const TTagEntry* Entry = nullptr;  // the dictionary's, or the record of an unknown number
  bool Container = false;
  // A leaf's bytes as far as the data holds them (valid until the next
  // call); a container's content is read as its items.
  std::string_view Value;
  std::size_t ValueLength = 0;  // what the data holds of the value or content
  int32_t DeclaredLength = 0;
  std::size_t Depth = 0;  // 0 for an item of the data itself
  uint64_t Offset = 0;    // of the item's header, from the start of the data

  // The data ended before the value did.
  [[nodiscard]] bool Short() const {
    return ValueLength < static_cast<std::size_t>(std::max(DeclaredLength, 0));
  }
};

// Walks TLV data without building a tree, by the parser's rules (the same
// items, values, containers and "TLV length error"). Memory grows with the
// nesting depth by a few bytes a level, never with the data's size.
class TTLVReader {
 public:
  enum class TEvent { Item, End, Done };

  // size bytes of TLV data from source; dictionary types the items.
  TTLVReader(TByteSource& source, uint64_t size, const TTLVParser& dictionary);

  // The next item, the end of the innermost open container, or the end of
  // the data.
  TEvent Next();
  [[nodiscard]] const TTLVItem& Item() const { return item_; }
  // Containers open after the last event.
  [[nodiscard]] std::size_t OpenContainers() const { return blocks_.size() - 1; }

 private:
  struct Block {
    uint64_t remaining;
    bool fresh;
    int32_t parent;  // the number of the container whose content it is, 0 for the data
  };
  // The bytes of an unknown tag shown as items, read again from here.
  struct Replay {
    std::string bytes;
    std::size_t pos;
  };

  std::string_view Take(std::size_t n);

  TByteSource& source_;
  const TTLVParser& dictionary_;
  std::vector<Block> blocks_;
  std::vector<Replay> replays_;
  TTLVItem item_;
  uint64_t offset_ = 0;
};

}  // namespace kvitor
