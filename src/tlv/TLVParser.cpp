#include "TLVParser.h"

#include <vector>

#include "Error.h"

namespace kvitor {
namespace {

// Reads a 16-bit little-endian field from what remains: one byte alone is
// the value, none is 0.
uint16_t ReadField(std::string_view data, std::size_t& pos) {
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

// The number of items in a block, from their headers alone, so that a list
// is allocated once at its final size.
uint32_t CountItems(std::string_view data) {
  uint32_t count = 0;
  for (std::size_t pos = 0; pos < data.size(); ++count) {
    const std::size_t lengthAt = pos + 2;
    std::size_t length = 0;
    if (lengthAt < data.size()) {
      length = static_cast<unsigned char>(data[lengthAt]);
      if (lengthAt + 1 < data.size())
        length |= std::size_t{static_cast<unsigned char>(data[lengthAt + 1])} << 8;
    }
    pos += 4 + length;
  }
  return count;
}

}  // namespace

TTLVParser::TTLVParser()
    : index_(std::make_unique<std::array<const TTagEntry*, 0x10000>>()),
      known_(std::make_unique<std::bitset<0x10000>>()) {
  dictionary_.FillDictionary();
  index_->fill(nullptr);
  for (const auto& entry : dictionary_) {
    const int32_t tag = entry->Info().Tag;
    if (tag >= 0 && tag <= 0xFFFF && (*index_)[static_cast<std::size_t>(tag)] == nullptr) {
      (*index_)[static_cast<std::size_t>(tag)] = &entry->Entry();
      known_->set(static_cast<std::size_t>(tag));
    }
  }
}

const TTagEntry* TTLVParser::DictionaryEntry(int32_t tag) const {
  if (tag < 0 || tag > 0xFFFF || !known_->test(static_cast<std::size_t>(tag))) return nullptr;
  return (*index_)[static_cast<std::size_t>(tag)];
}

const TTagEntry* TTLVParser::EntryFor(uint16_t tag) {
  const TTagEntry*& slot = (*index_)[tag];
  if (slot == nullptr) slot = InternTagInfo(TTagInfo{tag, 0, ttUnknown, true, {}, {}});
  return slot;
}

void TTLVParser::Parse(std::string_view data) {
  tags_.Clear();
  ParseInto(data, tags_);
}

void TTLVParser::ParseInto(std::string_view data, TTLVTags& list) {
  struct Block {
    std::string_view data;
    TTLVTags* list;
    std::size_t pos;
  };
  // Depth first with an explicit stack: a container's content is parsed right
  // after the container is appended, before its next sibling.
  std::vector<Block> stack{{data, &list, 0}};
  bool fresh = true;
  while (!stack.empty()) {
    Block& block = stack.back();
    if (fresh) {
      fresh = false;
      if (block.data.empty()) {
        stack.pop_back();
        continue;
      }
      if (block.data.size() < 4) throw Error("TLV length error");
      block.list->Reserve(block.list->size_ + CountItems(block.data));
    }
    if (block.pos >= block.data.size()) {
      stack.pop_back();
      continue;
    }
    const uint16_t number = ReadField(block.data, block.pos);
    const uint16_t length = ReadField(block.data, block.pos);
    std::string_view value;
    if (block.pos < block.data.size()) value = block.data.substr(block.pos, length);
    block.pos += length;

    const TTagEntry* entry = EntryFor(number);
    // A container's content stays in data, which outlives the parse; only the
    // nested tags keep it.
    const bool container = entry->Info.TagType == ttSTLV;
    TTLVTag& tag = block.list->PushBack(std::unique_ptr<TTLVTag>(
        new TTLVTag(entry,
                    container ? TSmallBytes::LengthOnly(static_cast<uint32_t>(value.size()))
                              : TSmallBytes(value),
                    length)));
    if (container) {
      stack.push_back({value, &tag.children_, 0});
      fresh = true;
    }
  }
}

}  // namespace kvitor
