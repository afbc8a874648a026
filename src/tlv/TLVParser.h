#pragma once

#include <array>
#include <bitset>
#include <memory>
#include <string_view>

#include "TLVTag.h"

namespace kvitor {

// Turns a TLV body into a tag tree, typing every tag from its own dictionary
// and descending into the dictionary's containers.
class TTLVParser {
 public:
  TTLVParser();
  TTLVParser(const TTLVParser&) = delete;
  TTLVParser& operator=(const TTLVParser&) = delete;

  // Empties Tags, then parses data into it.
  void Parse(std::string_view data);
  // Appends the tags of data to list. Error "TLV length error" for a block
  // (the body or a container's content) of 1 to 3 bytes.
  void ParseInto(std::string_view data, TTLVTags& list);

  [[nodiscard]] TTLVTags& Tags() { return tags_; }
  [[nodiscard]] const TTLVTags& Dictionary() const { return dictionary_; }
  // The record of the dictionary's first entry for tag (what FindTag on the
  // dictionary gives), or nullptr when it has none.
  [[nodiscard]] const TTagEntry* DictionaryEntry(int32_t tag) const;

 private:
  const TTagEntry* EntryFor(uint16_t tag);

  TTLVTags tags_;
  TTLVTags dictionary_;
  // Lookups by number: the first dictionary entry (as FindTag gives it), and
  // the records of numbers without one, made on first sight.
  std::unique_ptr<std::array<const TTagEntry*, 0x10000>> index_;
  std::unique_ptr<std::bitset<0x10000>> known_;  // numbers the dictionary has
};

}  // namespace kvitor
