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
#include "base/Messages.h"
#include "tlv/FormatTLV.h"
#include "tlv/StringUtils.h"

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
    throw Error(Fmt(Tr("Невозможно записать тег %s: номер не помещается в 16-битное поле"), tag));
  }
  const auto t = static_cast<uint32_t>(tag);
  const auto l = static_cast<uint32_t>(length);
  const char header[4] = {static_cast<char>(t & 0xFF), static_cast<char>(t >> 8),
                          static_cast<char>(l & 0xFF), static_cast<char>((l >> 8) & 0xFF)};
  out.append(header, 4);
}

void CheckLength(int32_t tag, std::size_t length) {
  if (length > kMaxField) {
    throw Error(Fmt(Tr("Невозможно записать тег %s: значение занимает %s байт, а поле длины "
                       "вмещает не больше 65535"),
                    tag, length));
  }
}

}  // namespace

const TTagEntry* InternTagInfo(const TTagInfo& info) {
  InfoPool& pool = Pool();
  const std::lock_guard lock(pool.mutex);
  if (const auto it = pool.entries.find(info); it != pool.entries.end()) return it->second.get();
  auto entry = std::make_unique<TTagEntry>();
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

TTLVTag& TTLVTags::PushBack(std::unique_ptr<TTLVTag> tag) {
  tag->owner_ = this;
  return *items_.emplace_back(std::move(tag));
}

std::unique_ptr<TTLVTag> TTLVTags::TakeAt(std::size_t index) {
  std::unique_ptr<TTLVTag> taken = std::move(items_[index]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
  taken->owner_ = nullptr;
  return taken;
}

void TTLVTags::Clear() {
  // Take subtrees apart from the top so that freeing never recurses.
  std::vector<std::unique_ptr<TTLVTag>> pending = std::move(items_);
  items_.clear();
  while (!pending.empty()) {
    const std::unique_ptr<TTLVTag> tag = std::move(pending.back());
    pending.pop_back();
    for (auto& child : tag->children_.items_) pending.push_back(std::move(child));
    tag->children_.items_.clear();
  }
}

TTLVTag& TTLVTags::Items(int index) const {
  if (index < 0 || index >= Count()) {
    throw Error(Fmt(TrEn("List index out of bounds (%s)"), index));
  }
  return *items_[static_cast<std::size_t>(index)];
}

TTLVTag& TTLVTags::Add(std::unique_ptr<TTLVTag> tag) { return PushBack(std::move(tag)); }

std::unique_ptr<TTLVTag> TTLVTags::Remove(const TTLVTag& tag) {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == &tag) return TakeAt(i);
  }
  return nullptr;
}

void TTLVTags::Delete(int index) {
  static_cast<void>(Items(index));  // range check
  // Freed through a list of its own, so that its subtree goes through Clear.
  TTLVTags doomed;
  doomed.PushBack(TakeAt(static_cast<std::size_t>(index)));
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
  for (const auto& item : items_) {
    if (item->Info().Tag == tag) return item.get();
  }
  return nullptr;
}

bool TTLVTags::HasTag(int tag) const {
  // An explicit stack: any nesting depth is safe.
  std::vector<const TTLVTags*> stack{this};
  while (!stack.empty()) {
    const TTLVTags* list = stack.back();
    stack.pop_back();
    for (const auto& item : list->items_) {
      if (item->Info().Tag == tag) return true;
      if (!item->children_.items_.empty()) stack.push_back(&item->children_);
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
    std::size_t next;
    std::size_t lengthAt;  // offset of the container's length field, or npos
    int32_t tag;
  };
  std::vector<Frame> stack{{this, 0, std::string::npos, 0}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.list->items_.size()) {
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
      CheckLength(info.Tag, tag.value_.size());
      PutHeader(out, info.Tag, tag.value_.size());
      out += tag.value_;
    }
  }
}

void TTLVTags::Assign(const TTLVTags& source) {
  if (&source == this) return;
  if (source.items_.empty()) {
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
    to->items_.reserve(to->items_.size() + from->items_.size());
    for (const auto& item : from->items_) {
      TTLVTag& copy = to->PushBack(std::unique_ptr<TTLVTag>(new TTLVTag(&item->Entry())));
      copy.CopyFields(*item);
      if (!item->children_.items_.empty()) stack.emplace_back(&item->children_, &copy.children_);
    }
  }
  Clear();
  TakeAll(fresh);
}

void TTLVTags::TakeAll(TTLVTags& source) {
  if (&source == this) return;
  if (items_.empty()) {
    // The common case: a whole list changes hands without touching its tags.
    items_ = std::move(source.items_);
    source.items_.clear();
    for (const auto& item : items_) item->owner_ = this;
    return;
  }
  items_.reserve(items_.size() + source.items_.size());
  for (auto& item : source.items_) PushBack(std::move(item));
  source.items_.clear();
}

// ---- TTLVTag ----

TTLVTag::TTLVTag(const TTagInfo& info) : entry_(InternTagInfo(info)) {}

void TTLVTag::SetValue(std::string_view value) {
  value_ = value;
  contentSize_ = 0;
}

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
  contentSize_ = source.contentSize_;
  entry_ = source.entry_;
  declaredLength_ = source.declaredLength_;
}

void TTLVTag::Assign(const TTLVTag& source) {
  if (&source == this) return;
  CopyFields(source);
  children_.Assign(source.children_);
}

uint64_t TTLVTag::ValueAsInt() const { return TFormatTLV::BytesToInt(value_); }

std::string TTLVTag::Encode() const {
  std::string out;
  EncodeTo(out);
  return out;
}

void TTLVTag::EncodeTo(std::string& out) const {
  const TTagInfo& info = Info();
  if (info.TagType != ttSTLV) {
    CheckLength(info.Tag, value_.size());
    PutHeader(out, info.Tag, value_.size());
    out += value_;
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
