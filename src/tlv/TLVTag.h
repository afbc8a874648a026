// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kvitor {

enum TTagType : int32_t {
  ttByte = 0,
  ttUInt16 = 1,
  ttUInt32 = 2,
  ttVLN = 3,
  ttFVLN = 4,
  ttUnixTime = 6,
  ttString = 7,
  ttSTLV = 8,
  ttByteArray = 9,
  ttUnknown = 10,
};

// A dictionary entry. The texts are UTF-8 and immutable for the life of the
// process (see InternTagInfo), so a copy of the record is a copy of its texts.
struct TTagInfo {
  int32_t Tag = 0;
  int32_t MaxLength = 0;
  TTagType TagType = ttByte;
  bool FixedLength = false;
  std::string_view Description;
  std::string_view ShortName;

  friend bool operator==(const TTagInfo&, const TTagInfo&) = default;
};

// The shared record behind the Info of tags: the entry, and its print name
// ready in the report's code page (Windows-1251).
struct TTagEntry {
  TTagInfo Info;
  std::string ShortName1251;
  // "number,short name:", as a report line of a known tag starts, Windows-1251.
  std::string LinePrefix1251;
};

// The one shared, never freed record of an entry equal to info. Every item
// read refers to one of a few hundred such records instead of holding two
// texts of its own.
[[nodiscard]] const TTagEntry* InternTagInfo(const TTagInfo& info);

class TTLVTag;

// A dictionary entry of format 1.2 that holds only inside its parent: a
// number the older formats give another meaning.
struct TNestedEntry {
  int32_t Parent = 0;
  const TTagEntry* Entry = nullptr;
};
[[nodiscard]] std::vector<TNestedEntry> Ffd12NestedEntries();

// An ordered list that owns its tags. A tag knows its list; a list does not
// know the tag whose children it holds.
class TTLVTags {
 public:
  TTLVTags() = default;
  ~TTLVTags();
  TTLVTags(const TTLVTags&) = delete;
  TTLVTags& operator=(const TTLVTags&) = delete;

  // Frees every tag with its subtree. Iterative: any nesting depth is safe.
  void Clear();
  [[nodiscard]] int Count() const { return static_cast<int>(items_.size()); }
  // The tag at index; Error "List index out of bounds (%d)" outside 0..Count-1.
  [[nodiscard]] TTLVTag& Items(int index) const;

  // Appends the tag and makes this list its owner.
  TTLVTag& Add(std::unique_ptr<TTLVTag> tag);
  // Takes the first occurrence of tag out of the list and hands it over.
  [[nodiscard]] std::unique_ptr<TTLVTag> Remove(const TTLVTag& tag);
  // Frees the tag at index (and its subtree).
  void Delete(int index);
  // Frees every tag of this list (not nested lists) for which drop is true,
  // keeping the order of the others: one pass, whatever the count.
  template <class Predicate>
  void DeleteIf(Predicate drop);

  // A new tag at the end with its own copy of info, an empty value.
  TTLVTag& AddNew(const TTagInfo& info);
  // A new tag at the end with the shared record entry (one InternTagInfo
  // gave), an empty value.
  TTLVTag& AddNew(const TTagEntry& entry);
  // A new tag at the end that is a deep copy of source.
  TTLVTag& AddCopy(const TTLVTag& source);
  TTLVTag& AddEntry(int32_t tag, std::string_view description, std::string_view shortName,
                    TTagType tagType, int32_t maxLength, bool fixedLength);

  // First tag of this list (not nested lists) with that number, or nullptr.
  [[nodiscard]] TTLVTag* FindTag(int tag) const;
  // Whether a tag with that number stands anywhere in the tree under this list.
  [[nodiscard]] bool HasTag(int tag) const;
  // TLV encoding of the whole list. Error when a tag number or a length does
  // not fit its 16-bit field.
  [[nodiscard]] std::string Encode() const;
  // Appends the encoding to out.
  void EncodeTo(std::string& out) const;
  // Makes this list a deep copy of source; the tags held before are freed.
  void Assign(const TTLVTags& source);
  // Appends every tag of source, in order, leaving source empty: what a copy
  // followed by clearing the source gives, without copying.
  void TakeAll(TTLVTags& source);
  // Refills the list with the tag dictionary (TagDictionary.cpp); with ffd12
  // also the tags of format 1.2 and later that keep one meaning everywhere.
  void FillDictionary(bool ffd12 = false);

  [[nodiscard]] static std::string_view VatRateText() { return "20"; }
  [[nodiscard]] static std::string_view VatCalcRateText() { return "20/120"; }

  [[nodiscard]] auto begin() const { return items_.cbegin(); }
  [[nodiscard]] auto end() const { return items_.cend(); }

 private:
  friend class TTLVTag;
  friend class TTLVParser;
  TTLVTag& PushBack(std::unique_ptr<TTLVTag> tag);
  std::unique_ptr<TTLVTag> TakeAt(std::size_t index);

  std::vector<std::unique_ptr<TTLVTag>> items_;
};

// One TLV node: number and dictionary entry, value bytes, nested tags.
//
// A parsed container keeps the length of its raw content but not the bytes:
// its nested tags hold them, and keeping both would make memory grow with
// the square of the nesting depth. Its Value is then empty and ValueSize the
// length that was read.
class TTLVTag {
 public:
  explicit TTLVTag(const TTagInfo& info);
  ~TTLVTag() = default;
  TTLVTag(const TTLVTag&) = delete;
  TTLVTag& operator=(const TTLVTag&) = delete;

  [[nodiscard]] TTLVTags* Owner() const { return owner_; }
  [[nodiscard]] TTLVTags& Children() { return children_; }
  [[nodiscard]] const TTLVTags& Children() const { return children_; }
  [[nodiscard]] std::string_view Value() const { return value_; }
  // The length of the value as read or set (for a parsed container, of its content).
  [[nodiscard]] std::size_t ValueSize() const {
    return value_.empty() ? contentSize_ : value_.size();
  }
  void SetValue(std::string_view value);
  [[nodiscard]] const TTagInfo& Info() const { return entry_->Info; }
  void SetInfo(const TTagInfo& info) { entry_ = InternTagInfo(info); }
  [[nodiscard]] int32_t DeclaredLength() const { return declaredLength_; }
  void SetDeclaredLength(int32_t length) { declaredLength_ = length; }

  // Moves the tag from its list to the end of list; nothing when it is there.
  void SetOwner(TTLVTags& list);
  // Takes the tag out of its list and frees it.
  void Free();
  // Copies value, entry and declared length, and makes the children a deep
  // copy of the source's. The owner does not change.
  void Assign(const TTLVTag& source);
  [[nodiscard]] uint64_t ValueAsInt() const;
  [[nodiscard]] std::string Encode() const;
  // Appends the encoding to out.
  void EncodeTo(std::string& out) const;

  // The report line of this tag, Windows-1251 (TagText.cpp).
  [[nodiscard]] std::string TagText(bool withNumber) const;
  // The same appended to line.
  void AppendTagText(std::string& line, bool withNumber) const;
  // The value as readable text, UTF-8 (TagText.cpp).
  [[nodiscard]] std::string ValueText() const;

 private:
  friend class TTLVTags;
  friend class TTLVParser;
  explicit TTLVTag(const TTagEntry* entry) : entry_(entry) {}
  // A parsed tag: a leaf with its value, or a container with the length of
  // its content.
  TTLVTag(const TTagEntry* entry, std::string_view value, std::size_t contentSize,
          int32_t declaredLength)
      : value_(value), contentSize_(contentSize), entry_(entry), declaredLength_(declaredLength) {}
  [[nodiscard]] const TTagEntry& Entry() const { return *entry_; }
  void CopyFields(const TTLVTag& source);

  TTLVTags* owner_ = nullptr;
  TTLVTags children_;
  std::string value_;
  std::size_t contentSize_ = 0;  // a parsed container's, whose value_ is empty
  const TTagEntry* entry_;
  int32_t declaredLength_ = 0;
};

// The rendering behind TagText and ValueText, for a value that is not in a
// tree (TagText.cpp). valueLength is the length read (a parsed container's
// content length; value is not looked at for a container).
//
// The value as readable text, UTF-8.
[[nodiscard]] std::string ValueTextOf(const TTagInfo& info, std::string_view value);
// The part of the report line after the colon, Windows-1251, appended to line.
void AppendValuePart(std::string& line, const TTagInfo& info, std::string_view value,
                     std::size_t valueLength, int32_t declaredLength);
// The whole report line, Windows-1251, appended to line.
void AppendTagLine(std::string& line, const TTagEntry& entry, std::string_view value,
                   std::size_t valueLength, int32_t declaredLength, bool withNumber);

template <class Predicate>
void TTLVTags::DeleteIf(Predicate drop) {
  TTLVTags doomed;  // frees the dropped subtrees through Clear
  std::size_t kept = 0;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (drop(static_cast<const TTLVTag&>(*items_[i]))) {
      doomed.PushBack(std::move(items_[i]));
    } else if (kept++ != i) {
      items_[kept - 1] = std::move(items_[i]);
    }
  }
  items_.resize(kept);
}

}  // namespace kvitor
