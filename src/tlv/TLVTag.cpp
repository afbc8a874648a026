// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/TLVTag.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "base/Error.h"
#include "tlv/FormatTLV.h"
#include "tlv/StringUtils.h"
#include "tlv/TagPool.h"

namespace kvitor {
namespace {

struct InfoHash {
  std::size_t operator()(const TTagInfo& i) const noexcept {
    const std::hash<std::string_view> h;
    std::size_t v =
        static_cast<std::size_t>(i.Tag) * 1000003u ^ static_cast<std::size_t>(i.TagType);
    v = v * 31 + static_cast<std::size_t>(i.MaxLength) * 2 + (i.FixedLength ? 1 : 0);
    return v ^ (h(i.Description) * 7) ^ (h(i.ShortName) * 13);
  }
};

struct InfoPool {
  std::mutex mutex;
  std::unordered_set<std::string> texts;  // node-based: addresses stay put
  std::unordered_map<TTagInfo, std::unique_ptr<TTagEntry>, InfoHash> entries;

  std::string_view Text(std::string_view s) {
    if (s.empty()) return {};
    return *texts.emplace(s).first;
  }
};

InfoPool& Pool() {
  static auto* pool = new InfoPool;  // never freed: tags may outlive static destruction
  return *pool;
}

constexpr uint32_t kMaxField = 0xFFFF;

void PutHeader(std::string& out, int32_t tag, std::size_t length) {
  if (tag < 0 || static_cast<uint32_t>(tag) > kMaxField) {
    throw Error("Невозможно записать тег " + std::to_string(tag) +
                ": номер не помещается в 16-битное поле");
  }
  const auto t = static_cast<uint32_t>(tag);
  const auto l = static_cast<uint32_t>(length);
  const char header[4] = {static_cast<char>(t & 0xFF), static_cast<char>(t >> 8),
                          static_cast<char>(l & 0xFF), static_cast<char>((l >> 8) & 0xFF)};
  out.append(header, 4);
}

void CheckLength(int32_t tag, std::size_t length) {
  if (length > kMaxField) {
    throw Error("Невозможно записать тег " + std::to_string(tag) + ": значение занимает " +
                std::to_string(length) + " байт, а поле длины вмещает не больше 65535");
  }
}

}  // namespace

namespace detail {
const TTagEntry* gTagEntries[kMaxTagEntries] = {};
}  // namespace detail

const TTagEntry* InternTagInfo(const TTagInfo& info) {
  InfoPool& pool = Pool();
  const std::lock_guard lock(pool.mutex);
  if (const auto it = pool.entries.find(info); it != pool.entries.end()) return it->second.get();
  if (pool.entries.size() == kMaxTagEntries) {
    throw Error("Too many kinds of tag: more than " + std::to_string(kMaxTagEntries) +
                " distinct dictionary entries");
  }
  auto entry = std::make_unique<TTagEntry>();
  entry->Index = static_cast<uint32_t>(pool.entries.size());
  detail::gTagEntries[entry->Index] = entry.get();
  entry->Info = info;
  entry->Info.Description = pool.Text(info.Description);
  entry->Info.ShortName = pool.Text(info.ShortName);
  entry->ShortName1251 = Utf8ToCp1251(info.ShortName);
  entry->LinePrefix1251 = std::to_string(info.Tag) + ',' + entry->ShortName1251 + ':';
  const TTagInfo key = entry->Info;
  return pool.entries.emplace(key, std::move(entry)).first->second.get();
}

// ---- TTLVTags ----

TTLVTags::~TTLVTags() { Clear(); }

void TTLVTags::Reserve(uint32_t capacity) {
  if (capacity <= capacity_) return;
  auto grown = std::make_unique<std::unique_ptr<TTLVTag>[]>(capacity);
  for (uint32_t i = 0; i < size_; ++i) grown[i] = std::move(items_[i]);
  items_ = std::move(grown);
  capacity_ = capacity;
}

TTLVTag& TTLVTags::PushBack(std::unique_ptr<TTLVTag> tag) {
  if (size_ == capacity_) Reserve(capacity_ == 0 ? 4 : capacity_ * 2);
  tag->owner_ = this;
  items_[size_] = std::move(tag);
  return *items_[size_++];
}

std::unique_ptr<TTLVTag> TTLVTags::TakeAt(uint32_t index) {
  std::unique_ptr<TTLVTag> taken = std::move(items_[index]);
  for (uint32_t i = index + 1; i < size_; ++i) items_[i - 1] = std::move(items_[i]);
  --size_;
  taken->owner_ = nullptr;
  return taken;
}

void TTLVTags::Clear() {
  // Take subtrees apart from the top so that freeing never recurses.
  std::vector<std::unique_ptr<TTLVTag>> pending;
  const auto moveOut = [&pending](TTLVTags& list) {
    for (uint32_t i = 0; i < list.size_; ++i) pending.push_back(std::move(list.items_[i]));
    list.items_.reset();
    list.size_ = list.capacity_ = 0;
  };
  moveOut(*this);
  while (!pending.empty()) {
    std::unique_ptr<TTLVTag> tag = std::move(pending.back());
    pending.pop_back();
    if (tag->children_.size_ > 0) moveOut(tag->children_);
  }
}

TTLVTag& TTLVTags::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw Error("List index out of bounds (" + std::to_string(index) + ")");
  }
  return *items_[static_cast<uint32_t>(index)];
}

TTLVTag& TTLVTags::Add(std::unique_ptr<TTLVTag> tag) { return PushBack(std::move(tag)); }

std::unique_ptr<TTLVTag> TTLVTags::Remove(const TTLVTag& tag) {
  for (uint32_t i = 0; i < size_; ++i) {
    if (items_[i].get() == &tag) return TakeAt(i);
  }
  return nullptr;
}

void TTLVTags::Delete(int index) {
  static_cast<void>(Items(index));  // range check
  // Freed through a list of its own, so that its subtree goes through Clear.
  TTLVTags doomed;
  doomed.PushBack(TakeAt(static_cast<uint32_t>(index)));
}

TTLVTag& TTLVTags::AddNew(const TTagInfo& info) {
  return PushBack(std::unique_ptr<TTLVTag>(new TTLVTag(InternTagInfo(info))));
}

TTLVTag& TTLVTags::AddNew(const TTagEntry& entry) {
  return PushBack(std::unique_ptr<TTLVTag>(new TTLVTag(&entry)));
}

TTLVTag& TTLVTags::AddCopy(const TTLVTag& source) {
  TTLVTag& tag = PushBack(std::unique_ptr<TTLVTag>(new TTLVTag(&source.Entry())));
  tag.Assign(source);
  return tag;
}

TTLVTag& TTLVTags::AddEntry(int32_t tag, std::string_view description, std::string_view shortName,
                            TTagType tagType, int32_t maxLength, bool fixedLength) {
  return AddNew(TTagInfo{tag, maxLength, tagType, fixedLength, description, shortName});
}

TTLVTag* TTLVTags::FindTag(int tag) const {
  for (uint32_t i = 0; i < size_; ++i) {
    if (items_[i]->Info().Tag == tag) return items_[i].get();
  }
  return nullptr;
}

bool TTLVTags::HasTag(int tag) const {
  // Pre-order, depth first, with an explicit stack.
  std::vector<const TTLVTags*> stack{this};
  while (!stack.empty()) {
    const TTLVTags* list = stack.back();
    stack.pop_back();
    for (uint32_t i = list->size_; i-- > 0;) {
      const TTLVTag& item = *list->items_[i];
      if (item.Info().Tag == tag) return true;
      if (item.children_.size_ > 0) stack.push_back(&item.children_);
    }
  }
  return false;
}

std::string TTLVTags::Encode() const {
  std::string out;
  EncodeTo(out);
  return out;
}

void TTLVTags::EncodeTo(std::string& out) const {
  // Containers get a length placeholder that is patched once their nested
  // tags are written; the stack replaces recursion.
  struct Frame {
    const TTLVTags* list;
    uint32_t next;
    std::size_t lengthAt;  // offset of the container's length field, or npos
    int32_t tag;
  };
  std::vector<Frame> stack{{this, 0, std::string::npos, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.list->size_) {
      if (frame.lengthAt != std::string::npos) {
        const std::size_t length = out.size() - frame.lengthAt - 2;
        CheckLength(frame.tag, length);
        out[frame.lengthAt] = static_cast<char>(length & 0xFF);
        out[frame.lengthAt + 1] = static_cast<char>(length >> 8);
      }
      stack.pop_back();
      continue;
    }
    const TTLVTag& tag = *frame.list->items_[frame.next++];
    const TTagInfo& info = tag.Info();
    if (info.TagType == ttSTLV) {
      PutHeader(out, info.Tag, 0);
      stack.push_back({&tag.children_, 0, out.size() - 2, info.Tag});
    } else {
      const std::string_view value = tag.value_.View();
      CheckLength(info.Tag, value.size());
      PutHeader(out, info.Tag, value.size());
      out += value;
    }
  }
}

void TTLVTags::Assign(const TTLVTags& source) {
  if (&source == this) return;
  if (source.size_ == 0) {
    Clear();
    return;
  }
  // Copy first, free afterwards: the source may stand in the subtree that
  // Clear frees, or this list in the source's subtree.
  TTLVTags fresh;
  std::vector<std::pair<const TTLVTags*, TTLVTags*>> stack{{&source, &fresh}};
  while (!stack.empty()) {
    const auto [from, to] = stack.back();
    stack.pop_back();
    to->Reserve(to->size_ + from->size_);
    for (uint32_t i = 0; i < from->size_; ++i) {
      const TTLVTag& item = *from->items_[i];
      TTLVTag& copy = to->PushBack(std::unique_ptr<TTLVTag>(new TTLVTag(&item.Entry())));
      copy.CopyFields(item);
      if (item.children_.size_ > 0) stack.emplace_back(&item.children_, &copy.children_);
    }
  }
  Clear();
  TakeAll(fresh);
}

void TTLVTags::TakeAll(TTLVTags& source) {
  if (&source == this) return;
  if (size_ == 0) {
    // The common case: a whole list changes hands without touching its tags'
    // storage.
    items_ = std::move(source.items_);
    size_ = source.size_;
    capacity_ = source.capacity_;
    source.size_ = source.capacity_ = 0;
    for (uint32_t i = 0; i < size_; ++i) items_[i]->owner_ = this;
    return;
  }
  Reserve(size_ + source.size_);
  for (uint32_t i = 0; i < source.size_; ++i) PushBack(std::move(source.items_[i]));
  source.items_.reset();
  source.size_ = source.capacity_ = 0;
}

// ---- TTLVTag ----

TTLVTag::TTLVTag(const TTagInfo& info) : entry_(InternTagInfo(info)->Index) {}

static_assert(sizeof(TTLVTag) <= 48 && alignof(TTLVTag) <= 8,
              "the node pool's slots hold 48 bytes");

void* TTLVTag::operator new(std::size_t size) { return AllocateTagNode(size); }
void TTLVTag::operator delete(void* node) noexcept { FreeTagNode(node); }

void TTLVTag::SetValue(std::string_view value) { value_.Assign(value); }

void TTLVTag::SetOwner(TTLVTags& list) {
  if (owner_ == &list) return;
  std::unique_ptr<TTLVTag> self = owner_ != nullptr ? owner_->Remove(*this) : nullptr;
  if (self) list.Add(std::move(self));
}

void TTLVTag::Free() {
  if (owner_ == nullptr) return;
  TTLVTags doomed;
  doomed.Add(owner_->Remove(*this));
}

void TTLVTag::CopyFields(const TTLVTag& source) {
  value_ = source.value_;
  entry_ = source.entry_;
  declaredLength_ = source.declaredLength_;
}

void TTLVTag::Assign(const TTLVTag& source) {
  if (&source == this) return;
  CopyFields(source);
  children_.Assign(source.children_);
}

uint64_t TTLVTag::ValueAsInt() const { return TFormatTLV::BytesToInt(value_.View()); }

std::string TTLVTag::Encode() const {
  std::string out;
  EncodeTo(out);
  return out;
}

void TTLVTag::EncodeTo(std::string& out) const {
  const TTagInfo& info = Info();
  if (info.TagType != ttSTLV) {
    const std::string_view value = value_.View();
    CheckLength(info.Tag, value.size());
    PutHeader(out, info.Tag, value.size());
    out += value;
    return;
  }
  const std::size_t start = out.size();
  PutHeader(out, info.Tag, 0);
  children_.EncodeTo(out);
  const std::size_t length = out.size() - start - 4;
  CheckLength(info.Tag, length);
  out[start + 2] = static_cast<char>(length & 0xFF);
  out[start + 3] = static_cast<char>(length >> 8);
}

}  // namespace kvitor
