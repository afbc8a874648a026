// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "tlv/TLVTag.h"

namespace kvitor {

// One item of a TLV block as the parser reads it, without a node: what a
// parsed tag would hold. Value and Raw lie in the bytes walked.
struct TTLVWalkItem {
  const TTagEntry* Entry = nullptr;  // the dictionary's, or the record of an unknown number
  std::string_view Value;            // a container's: its content, which is walked next
  std::string_view Raw;              // the item's own bytes as they stand, header included
  int32_t DeclaredLength = 0;        // the length that the header announced
  uint32_t Depth = 0;                // 0 for the items of the block itself

  [[nodiscard]] bool IsContainer() const { return Entry->Info.TagType == ttSTLV; }
  // Header and value whole: the item's encoding is then its raw bytes, as far
  // as the item itself goes (its nested items are walked on their own).
  [[nodiscard]] bool Whole() const {
    return Raw.size() >= 4 && Value.size() == static_cast<std::size_t>(DeclaredLength);
  }
};

// What a dictionary knows beyond the formats 1.0 to 1.1.
enum class TDictionaryKind : uint8_t {
  Classic,     // the report's own: the formats 1.0 to 1.1, unknown tags bare
  Ffd12,       // also format 1.2 and later; an unknown tag shows its bytes, or
               // its items when they are TLV to the end
  Ffd12Names,  // format 1.2 and later named; unknown tags as in Classic
};

// Whether value is a sequence of TLV items to its very end, each numbered as
// the format numbers its tags (1000 and above): what an unknown tag's bytes
// must be to be shown as items.
[[nodiscard]] bool HoldsTLV(std::string_view value);

// Turns a TLV body into a tag tree, typing every tag from its own dictionary
// and descending into the dictionary's containers.
class TTLVParser {
 public:
  explicit TTLVParser(TDictionaryKind kind = TDictionaryKind::Classic);
  ~TTLVParser();
  TTLVParser(const TTLVParser&) = delete;
  TTLVParser& operator=(const TTLVParser&) = delete;

  // Empties Tags, then parses data into it.
  void Parse(std::string_view data);
  // Appends the tags of data to list. Error "TLV length error" for a block
  // (the body or a container's content) of 1 to 3 bytes; with checkBlock
  // false, data itself is taken as part of a block already checked.
  void ParseInto(std::string_view data, TTLVTags& list, bool checkBlock = true) const;

  // Calls visit(const TTLVWalkItem&) for every item of data, depth first in
  // pre-order, exactly as Parse would make the tags, with the same error at
  // the same point; nothing is allocated per item. With checkBlock false the
  // size of data itself is not checked: a part of a block that was checked
  // as a whole. Safe from any thread once the parser is made.
  template <class Visit>
  void Walk(std::string_view data, Visit&& visit, bool checkBlock = true) const;

  [[nodiscard]] TDictionaryKind Kind() const { return kind_; }
  [[nodiscard]] TTLVTags& Tags() { return tags_; }
  [[nodiscard]] const TTLVTags& Dictionary() const { return dictionary_; }
  // The record of the dictionary's first entry for tag (what FindTag on the
  // dictionary gives), or nullptr when it has none.
  [[nodiscard]] const TTagEntry* DictionaryEntry(int32_t tag) const;
  // The record a parsed tag with that number carries.
  [[nodiscard]] const TTagEntry* EntryFor(uint16_t tag) const {
    const TIndexPage* page = pages_[tag >> 8U].load(std::memory_order_acquire);
    const TTagEntry* entry =
        page != nullptr ? (*page)[tag & 0xFFU].load(std::memory_order_acquire) : nullptr;
    return entry != nullptr ? entry : UnknownEntry(tag);
  }
  // The record of an item with that number inside a container numbered
  // parent (0 at the top) whose value is value: where format 1.2 gave a
  // number another meaning, the parent decides.
  [[nodiscard]] const TTagEntry* EntryFor(uint16_t tag, int32_t parent,
                                          std::string_view value) const {
    if (kind_ == TDictionaryKind::Classic) return EntryFor(tag);
    return NewerEntry(tag, parent, value);
  }

 private:
  using TIndexPage = std::array<std::atomic<const TTagEntry*>, 0x100>;
  [[nodiscard]] const TTagEntry* UnknownEntry(uint16_t tag) const;
  // The index page of tag, made when it has none yet.
  TIndexPage& Page(uint16_t tag) const;
  [[nodiscard]] const TTagEntry* NewerEntry(uint16_t tag, int32_t parent,
                                            std::string_view value) const;

  TDictionaryKind kind_;
  std::vector<TNestedEntry> nested_;
  TTLVTags tags_;
  TTLVTags dictionary_;
  // Lookups by number: the first dictionary entry (as FindTag gives it), and
  // the records of numbers without one, made on first sight by any thread.
  // Pages of 256 numbers, made on first use and owned here: the dictionary
  // fills a few of them, so that a parser is cheap to make.
  mutable std::array<std::atomic<TIndexPage*>, 0x100> pages_{};
  std::unique_ptr<std::bitset<0x10000>> known_;  // numbers the dictionary has
};

// A 16-bit little-endian field of a TLV header at pos in what remains of a
// block, pos then moved past it: one byte alone is the value, none is 0. The
// one rule of the parser and the reader.
inline uint16_t ReadTLVField(std::string_view data, std::size_t& pos) {
  uint16_t v = 0;
  if (pos + 1 < data.size()) {
    v = static_cast<uint16_t>(static_cast<unsigned char>(data[pos]) |
                              static_cast<unsigned char>(data[pos + 1]) << 8);
  } else if (pos < data.size()) {
    v = static_cast<unsigned char>(data[pos]);
  }
  pos += 2;
  return v;
}

template <class Visit>
void TTLVParser::Walk(std::string_view data, Visit&& visit, bool checkBlock) const {
  struct Block {
    std::string_view data;
    std::size_t pos;
    int32_t parent;
  };
  // An explicit stack: any nesting depth is safe. A container's content is
  // walked right after the container, before its next sibling.
  thread_local std::vector<Block> stack;
  const std::size_t base = stack.size();  // a visitor may walk again
  if (data.empty()) return;
  if (checkBlock && data.size() < 4) throw Error("TLV length error");
  stack.push_back({data, 0, 0});
  try {
    while (stack.size() > base) {
      Block& block = stack.back();
      if (block.pos >= block.data.size()) {
        stack.pop_back();
        continue;
      }
      const std::size_t start = block.pos;
      const uint16_t number = ReadTLVField(block.data, block.pos);
      const uint16_t length = ReadTLVField(block.data, block.pos);
      TTLVWalkItem item;
      if (block.pos < block.data.size()) item.Value = block.data.substr(block.pos, length);
      block.pos += length;
      item.Raw = block.data.substr(start, block.pos - start);
      item.Entry = EntryFor(number, block.parent, item.Value);
      item.DeclaredLength = length;
      item.Depth = static_cast<uint32_t>(stack.size() - base - 1);
      const std::string_view content = item.Value;
      const bool container = item.IsContainer();
      visit(static_cast<const TTLVWalkItem&>(item));
      if (container && !content.empty()) {
        if (content.size() < 4) throw Error("TLV length error");
        stack.push_back({content, 0, static_cast<int32_t>(number)});
      }
    }
  } catch (...) {
    stack.resize(base);
    throw;
  }
}

}  // namespace kvitor
