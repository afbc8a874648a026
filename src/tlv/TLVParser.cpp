// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/TLVParser.h"

#include <string>
#include <vector>

#include "base/Error.h"
#include "tlv/LangUtils.h"

namespace kvitor {

bool HoldsTLV(std::string_view value) {
  if (value.size() < 4) return false;
  std::size_t pos = 0;
  while (pos < value.size()) {
    if (value.size() - pos < 4) return false;
    const uint16_t number = ReadTLVField(value, pos);
    const uint16_t length = ReadTLVField(value, pos);
    if (number < 1000 || value.size() - pos < length) return false;
    pos += length;
  }
  return true;
}

TTLVParser::TTLVParser(TDictionaryKind kind)
    : kind_(kind), known_(std::make_unique<std::bitset<0x10000>>()) {
  dictionary_.FillDictionary(kind != TDictionaryKind::Classic);
  if (kind != TDictionaryKind::Classic) nested_ = Ffd12NestedEntries();
  for (const auto& entry : dictionary_) {
    const int32_t tag = entry->Info().Tag;
    if (tag >= 0 && tag <= 0xFFFF && !known_->test(static_cast<std::size_t>(tag))) {
      Page(static_cast<uint16_t>(tag))[static_cast<std::size_t>(tag) & 0xFFU].store(
          &entry->Entry(), std::memory_order_relaxed);
      known_->set(static_cast<std::size_t>(tag));
    }
  }
}

const TTagEntry* TTLVParser::DictionaryEntry(int32_t tag) const {
  if (tag < 0 || tag > 0xFFFF || !known_->test(static_cast<std::size_t>(tag))) return nullptr;
  return Page(static_cast<uint16_t>(tag))[static_cast<std::size_t>(tag) & 0xFFU].load(
      std::memory_order_acquire);
}

TTLVParser::~TTLVParser() {
  for (auto& page : pages_) delete page.load(std::memory_order_relaxed);
}

TTLVParser::TIndexPage& TTLVParser::Page(uint16_t tag) const {
  std::atomic<TIndexPage*>& slot = pages_[tag >> 8U];
  TIndexPage* page = slot.load(std::memory_order_acquire);
  if (page != nullptr) return *page;
  auto made = std::make_unique<TIndexPage>();
  for (auto& entry : *made) entry.store(nullptr, std::memory_order_relaxed);
  // Another thread may have made it first: then its page is the one.
  if (slot.compare_exchange_strong(page, made.get(), std::memory_order_acq_rel,
                                   std::memory_order_acquire)) {
    return *made.release();
  }
  return *page;
}

const TTagEntry* TTLVParser::UnknownEntry(uint16_t tag) const {
  // InternTagInfo gives every thread the same record, so a race only stores
  // it twice.
  const std::string name = kind_ == TDictionaryKind::Ffd12 ? Tr("НЕИЗВЕСТНЫЙ ТЕГ") : std::string();
  const TTagEntry* entry = InternTagInfo(TTagInfo{tag, 0, ttUnknown, true, {}, name});
  Page(tag)[tag & 0xFFU].store(entry, std::memory_order_release);
  return entry;
}

const TTagEntry* TTLVParser::NewerEntry(uint16_t tag, int32_t parent,
                                        std::string_view value) const {
  for (const TNestedEntry& nested : nested_) {
    if (nested.Parent == parent && nested.Entry->Info.Tag == tag) return nested.Entry;
  }
  const TTagEntry* entry = EntryFor(tag);
  if (kind_ != TDictionaryKind::Ffd12 || entry->Info.TagType != ttUnknown || !HoldsTLV(value))
    return entry;
  // Rare: made on each sight rather than kept.
  return InternTagInfo(TTagInfo{tag, 0, ttSTLV, true, {}, entry->Info.ShortName});
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
