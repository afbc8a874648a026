// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/TLVReader.h"

#include <algorithm>

#include "base/Error.h"

namespace kvitor {

std::string_view TMemorySource::Take(std::size_t n) {
  const std::string_view bytes = rest_.substr(0, n);
  rest_.remove_prefix(bytes.size());
  return bytes;
}

TTLVReader::TTLVReader(TByteSource& source, uint64_t size, const TTLVParser& dictionary)
    : source_(source), dictionary_(dictionary), blocks_{{size, true}} {}

TTLVReader::TEvent TTLVReader::Next() {
  while (!blocks_.empty()) {
    Block& block = blocks_.back();
    if (block.fresh) {
      block.fresh = false;
      if (block.remaining > 0 && block.remaining < 4) throw Error("TLV length error");
    }
    if (block.remaining == 0) {
      blocks_.pop_back();
      if (blocks_.empty()) break;
      return TEvent::End;
    }
    const std::size_t headerSize = static_cast<std::size_t>(std::min<uint64_t>(4, block.remaining));
    const std::string_view header = source_.Take(headerSize);
    if (header.size() != headerSize) throw Error("TLV data ends early");
    std::size_t at = 0;
    const uint16_t number = ReadTLVField(header, at);
    const uint16_t length = ReadTLVField(header, at);
    block.remaining -= headerSize;
    const auto valueSize = static_cast<std::size_t>(std::min<uint64_t>(length, block.remaining));
    block.remaining -= valueSize;

    item_.Entry = dictionary_.EntryFor(number);
    item_.Container = item_.Entry->Info.TagType == ttSTLV;
    item_.ValueLength = valueSize;
    item_.DeclaredLength = length;
    item_.Depth = blocks_.size() - 1;
    item_.Offset = offset_;
    offset_ += headerSize;
    if (item_.Container) {
      item_.Value = {};
      blocks_.push_back({valueSize, true});
    } else {
      item_.Value = source_.Take(valueSize);
      if (item_.Value.size() != valueSize) throw Error("TLV data ends early");
      offset_ += valueSize;
    }
    return TEvent::Item;
  }
  return TEvent::Done;
}

}  // namespace kvitor
