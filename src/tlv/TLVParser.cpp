// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/TLVParser.h"

#include <vector>

#include "base/Error.h"

namespace kvitor {

TTLVParser::TTLVParser()
    : index_(std::make_unique<std::array<std::atomic<const TTagEntry*>, 0x10000>>()),
      known_(std::make_unique<std::bitset<0x10000>>()) {
  dictionary_.FillDictionary();
  for (auto& slot : *index_) slot.store(nullptr, std::memory_order_relaxed);
  for (const auto& entry : dictionary_) {
    const int32_t tag = entry->Info().Tag;
    if (tag >= 0 && tag <= 0xFFFF && !known_->test(static_cast<std::size_t>(tag))) {
      (*index_)[static_cast<std::size_t>(tag)].store(&entry->Entry(), std::memory_order_relaxed);
      known_->set(static_cast<std::size_t>(tag));
    }
  }
}

const TTagEntry* TTLVParser::DictionaryEntry(int32_t tag) const {
  if (tag < 0 || tag > 0xFFFF || !known_->test(static_cast<std::size_t>(tag))) return nullptr;
  return (*index_)[static_cast<std::size_t>(tag)].load(std::memory_order_acquire);
}

const TTagEntry* TTLVParser::UnknownEntry(uint16_t tag) const {
  // InternTagInfo gives every thread the same record, so a race only stores
  // it twice.
  const TTagEntry* entry = InternTagInfo(TTagInfo{tag, 0, ttUnknown, true, {}, {}});
  (*index_)[tag].store(entry, std::memory_order_release);
  return entry;
}

void TTLVParser::Parse(std::string_view data) {
  tags_.Clear();
  ParseInto(data, tags_);
}

void TTLVParser::ParseInto(std::string_view data, TTLVTags& list, bool checkBlock) const {
  // The walk gives the items in pre-order: an item's list is the one opened
  // by the last container one level up.
  std::vector<TTLVTags*> lists{&list};
  Walk(
      data,
      [&lists](const TTLVWalkItem& item) {
        lists.resize(item.Depth + 1);
        const bool container = item.IsContainer();
        // A container's content stays in data, which outlives the parse; only the
        // nested tags keep it.
        TTLVTag& tag = lists.back()->PushBack(std::unique_ptr<TTLVTag>(
            new TTLVTag(item.Entry, container ? std::string_view() : item.Value,
                        container ? item.Value.size() : 0, item.DeclaredLength)));
        if (container) lists.push_back(&tag.children_);
      },
      checkBlock);
}

}  // namespace kvitor
