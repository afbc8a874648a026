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
    : source_(source), dictionary_(dictionary), blocks_{{size, true, 0}} {}

std::string_view TTLVReader::Take(std::size_t n) {
  // An unknown tag's items lie wholly in its bytes: a take never spans two.
  while (!replays_.empty() && replays_.back().pos == replays_.back().bytes.size())
    replays_.pop_back();
  if (!replays_.empty()) {
    Replay& replay = replays_.back();
    const std::string_view bytes = std::string_view(replay.bytes).substr(replay.pos, n);
    replay.pos += bytes.size();
    return bytes;
  }
  const std::string_view bytes = source_.Take(n);
  offset_ += bytes.size();
  return bytes;
}

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
    const uint64_t offset = offset_;
    const std::string_view header = Take(headerSize);
    if (header.size() != headerSize) throw Error("TLV data ends early");
    std::size_t at = 0;
    const uint16_t number = ReadTLVField(header, at);
    const uint16_t length = ReadTLVField(header, at);
    block.remaining -= headerSize;
    const auto valueSize = static_cast<std::size_t>(std::min<uint64_t>(length, block.remaining));
    block.remaining -= valueSize;

    const int32_t parent = block.parent;
    item_.Entry = dictionary_.EntryFor(number, parent, {});
    item_.ValueLength = valueSize;
    item_.DeclaredLength = length;
    item_.Depth = blocks_.size() - 1;
    item_.Offset = offset;
    if (item_.Entry->Info.TagType != ttSTLV) {
      item_.Value = Take(valueSize);
      if (item_.Value.size() != valueSize) throw Error("TLV data ends early");
      if (item_.Entry->Info.TagType == ttUnknown && dictionary_.Kind() == TDictionaryKind::Ffd12) {
        item_.Entry = dictionary_.EntryFor(number, parent, item_.Value);
        if (item_.Entry->Info.TagType == ttSTLV) replays_.push_back({std::string(item_.Value), 0});
      }
    }
    item_.Container = item_.Entry->Info.TagType == ttSTLV;
    if (item_.Container) {
      item_.Value = {};
      blocks_.push_back({valueSize, true, number});
    }
    return TEvent::Item;
  }
  return TEvent::Done;
}

}  // namespace kvitor
