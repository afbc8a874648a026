// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "report/FNReport.h"
#include "tlv/TLVParser.h"

namespace kvitor {

class TStream;

// A sequential supply of bytes for TTLVReader.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // The next n bytes, fewer only at the end; valid until the next call.
  virtual std::string_view Take(std::size_t n) = 0;
};

class TMemorySource final : public TByteSource {
 public:
  explicit TMemorySource(std::string_view bytes) : rest_(bytes) {}
  std::string_view Take(std::size_t n) override;

 private:
  std::string_view rest_;
};

// One TLV item as the reader meets it, in file order.
struct TTLVItem {
  const TTagEntry* Entry = nullptr;  // the dictionary's, or the record of an unknown number
  bool Container = false;
  // A leaf's bytes as far as the data holds them (valid until the next
  // call); a container's content is read as its items.
  std::string_view Value;
  std::size_t ValueLength = 0;  // what the data holds of the value or content
  int32_t DeclaredLength = 0;
  std::size_t Depth = 0;  // 0 for an item of the data itself
  uint64_t Offset = 0;    // of the item's header, from the start of the data
};

// Walks TLV data without building a tree, by the parser's rules (the same
// items, values, containers and "TLV length error"). Memory grows with the
// nesting depth by a few bytes a level, never with the data's size.
class TTLVReader {
 public:
  enum class TEvent { Item, End, Done };

  // size bytes of TLV data from source; dictionary types the items.
  TTLVReader(TByteSource& source, uint64_t size, const TTLVParser& dictionary);

  // The next item, the end of the innermost open container, or the end of
  // the data.
  TEvent Next();
  [[nodiscard]] const TTLVItem& Item() const { return item_; }
  // Containers open after the last event.
  [[nodiscard]] std::size_t OpenContainers() const { return blocks_.size() - 1; }

 private:
  struct Block {
    uint64_t remaining;
    bool fresh;
  };
  const TTagEntry* EntryFor(uint16_t tag);

  TByteSource& source_;
  const TTLVParser& dictionary_;
  std::vector<Block> blocks_;
  std::vector<const TTagEntry*> unknown_;  // by number, made on first sight
  TTLVItem item_;
  uint64_t offset_ = 0;
};

enum class TExportForm { Text, Json, Csv };

// Writes items in form onto out: the header is written by Begin, every
// reader event goes to Item or End, and Finish ends the output.
class TExportWriter {
 public:
  virtual ~TExportWriter() = default;
  // Text: the text report (Windows-1251, CR LF); Json and Csv: UTF-8.
  [[nodiscard]] static std::unique_ptr<TExportWriter> Create(TExportForm form, TStream& out);
  virtual void Begin(const TFNReportHeader& header) = 0;
  virtual void Item(const TTLVItem& item) = 0;
  virtual void End() = 0;
  virtual void Finish() = 0;
};

// Checks a report file whole as `show` does (length, checksum, TLV data,
// values that cannot be shown) in one bounded pass, without keeping it,
// and then writes it in any form, as often as asked.
class TReportExport {
 public:
  // The refusals are those of TFNReportBinReader.
  explicit TReportExport(std::string fileName);
  TReportExport(const TReportExport&) = delete;
  TReportExport& operator=(const TReportExport&) = delete;

  [[nodiscard]] const TFNReportHeader& Header() const { return header_; }
  // Reads the file again; a file changed since the check is refused on the way.
  void Write(TExportForm form, TStream& out) const;

 private:
  std::string fileName_;
  TFNReportHeader header_;
  TTLVParser dictionary_;
};

// The header of a report file's bytes (358 or more), checked: Error for a
// short file or a wrong checksum, named name in the message.
[[nodiscard]] TFNReportHeader CheckedReportHeader(std::string_view bytes, const std::string& name);

// The ISO 8601 form ("YYYY-MM-DDThh:mm:ss") of a TLV time value; a value
// that is not 4 bytes is day 0, as in the text.
[[nodiscard]] std::string IsoTime(std::string_view value);

}  // namespace kvitor
