// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "report/FNDocument.h"
#include "tlv/FormatTLV.h"
#include "tlv/TLVParser.h"
#include "tlv/TLVTag.h"

namespace kvitor {

// The first part of both report files. Texts are Windows-1251.
struct TFNReportHeader {
  std::string ReportName;
  std::string ProgramName;
  std::string RegNumber;
  std::string FNNumber;
  uint8_t FFDVersion = 0;  // 1 "1.0", 2 "1.05", 3 "1.1", 4 "1.2"
  int32_t ShiftCount = 0;
  int32_t DocumentCount = 0;
  uint32_t Checksum = 0;

  friend bool operator==(const TFNReportHeader&, const TFNReportHeader&) = default;
};

// A node of the report's tree as the text shows it.
struct TReportNode {
  const TTagEntry* Entry = nullptr;
  std::string_view Value;  // a parsed container's: its content
  int32_t DeclaredLength = 0;
  uint32_t Depth = 0;  // 0 for an outer container
};

// The report model: the documents of the last read job, the header, and the
// container tree that Build makes of them.
//
// The tree is not held as nodes: a report of a million documents would need
// tens of millions. Build keeps, per document taken in, its two container
// numbers and the ranges of its body that hold the kept top-level items; the
// values stay in the bodies that the document list keeps, container lengths
// are worked out, and the writers walk the bodies again. Tags() makes the
// nodes on request, for inspection and small reports.
class TFNReport {
 public:
  TFNReport() = default;
  TFNReport(const TFNReport&) = delete;
  TFNReport& operator=(const TFNReport&) = delete;

  // Empties the tree and the documents; the report is no longer ready.
  void Clear();
  // Error "Недостаточно памяти для …" when memory runs out.
  TFNDocument& AddDocument(const TFNDocumentRec& rec);
  // Turns every document, in reading order, into its containers; then ready.
  // A body the parser rejects ends it with the parser's error, not ready.
  // With ffd12 the tags of format 1.2 and later are named and kept, and the
  // filter also takes the marking code of 1.2 (1163).
  void Build(bool onlyIfTag1162Exist, bool ffd12 = false);

  // Written by the job's thread, read by the window's: hence atomic.
  [[nodiscard]] bool Ready() const { return ready_.load(std::memory_order_acquire); }
  [[nodiscard]] const TFNReportHeader& Header() const { return header_; }
  void SetHeader(const TFNReportHeader& header) { header_ = header; }
  // The tree as tag nodes, made on the first call after a change: costly for
  // a large report, which the writers never ask for.
  [[nodiscard]] const TTLVTags& Tags() const;
  [[nodiscard]] const TFNDocuments& Documents() const { return documents_; }
  [[nodiscard]] bool OnlyIfTag1162Exist() const { return onlyIfTag1162Exist_; }
  [[nodiscard]] const TTLVParser& Parser() const { return *parser_; }
  [[nodiscard]] bool Ffd12() const { return parser_->Kind() != TDictionaryKind::Classic; }
  // Whether the last Build, without ffd12, met a document of format 1.2 or
  // later (1209 of 4 and above) or a tag the dictionary does not know.
  [[nodiscard]] bool NewerFormatSeen() const { return newerFormatSeen_; }

  // The number of outer containers (documents taken in).
  [[nodiscard]] std::size_t ContainerCount() const { return entries_.size(); }
  // Error naming the first document whose containers the 16-bit lengths of
  // the encoding cannot carry; nothing when every one fits.
  void CheckEncodable() const;
  // The TLV encoding of the tree, handed to sink in pieces, in order; after
  // each outer container, done(containers written so far) if given.
  void EncodeTree(const std::function<void(std::string_view)>& sink,
                  const std::function<void(std::size_t)>& done = {}) const;
  // Every node of the tree, depth first in pre-order, as Tags() would hold it;
  // after each outer container, done(containers walked so far).
  template <class Visit, class Done>
  void ForEachNode(Visit&& visit, Done&& done) const;

 private:
  // A document taken in.
  struct TEntry {
    uint32_t Document = 0;  // index in Documents
    uint16_t OuterTag = 0;  // 65001, 65002, 65011 or 65012
    uint16_t DocumentTag = 0;
    uint32_t FirstRun = 0;  // its kept items: runs_[FirstRun, FirstRun + RunCount)
    uint32_t RunCount = 0;
    uint32_t ContentSize = 0;  // encoded size of the document container's content
    uint32_t OfdInnBegin = 0;  // the kept 1017 for the confirmation, when OfdInnEnd > 0
    uint32_t OfdInnEnd = 0;
    uint32_t OfdInnSize = 0;  // its encoded size
    bool Whole = true;        // every kept item encodes as its own bytes
  };
  struct TRun {
    uint32_t Begin;
    uint32_t End;
  };

  void ProcessDocument(uint32_t index);
  // The record of a tag the report makes: the dictionary's, or a bare container.
  [[nodiscard]] const TTagEntry* ContainerEntry(int32_t tagNumber);
  [[nodiscard]] const TTagEntry* MadeEntry(int32_t tagNumber) const;
  void RaiseFFDVersion(int32_t version);
  void Invalidate();
  // Encodes one range of a body item by item, as its parsed tags would encode.
  void EncodeRange(std::string_view bytes, std::string& out) const;
  void MakeTags(TTLVTags& tags) const;

  std::unique_ptr<TTLVParser> parser_ = std::make_unique<TTLVParser>();
  // The records of the container numbers the dictionary lacks, made once.
  std::unordered_map<int32_t, const TTagEntry*> containerEntries_;
  TFNDocuments documents_;
  std::vector<TEntry> entries_;
  std::vector<TRun> runs_;
  std::string encodeError_;  // the first document that cannot be encoded
  TFNReportHeader header_;
  bool onlyIfTag1162Exist_ = false;
  bool newerFormatSeen_ = false;
  std::atomic<bool> ready_{false};

  mutable std::mutex cacheLock_;  // guards the nodes made on request
  mutable TTLVTags tags_;         // one list for the report's life: references to it stay good
  mutable bool tagsMade_ = false;
};

template <class Visit, class Done>
void TFNReport::ForEachNode(Visit&& visit, Done&& done) const {
  TReportNode node;
  const auto walk = [&](std::string_view bytes, uint32_t depth) {
    parser_->Walk(
        bytes,
        [&](const TTLVWalkItem& item) {
          node.Entry = item.Entry;
          node.Value = item.Value;
          node.DeclaredLength = item.DeclaredLength;
          node.Depth = item.Depth + depth;
          visit(static_cast<const TReportNode&>(node));
        },
        false);
  };
  const auto made = [&](int32_t tag, std::string_view value, uint32_t depth) {
    node.Entry = MadeEntry(tag);
    node.Value = value;
    node.DeclaredLength = 0;
    node.Depth = depth;
    visit(static_cast<const TReportNode&>(node));
  };
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const TEntry& entry = entries_[i];
    const TFNDocumentRec& rec = documents_.Items(static_cast<int32_t>(entry.Document)).Rec();
    const std::string_view body = rec.TLVData;
    made(entry.OuterTag, {}, 0);
    made(entry.DocumentTag, {}, 1);
    for (uint32_t r = 0; r < entry.RunCount; ++r) {
      const TRun& run = runs_[entry.FirstRun + r];
      walk(body.substr(run.Begin, run.End - run.Begin), 2);
    }
    if (!rec.Ticket.TicketData.empty()) {
      made(107, {}, 1);
      const std::string time = TFormatTLV::DateTimeToUnixTime(rec.Ticket.TicketDateTime);
      made(1012, time, 2);
      made(1078, rec.Ticket.FiscalSign, 2);
      if (entry.OfdInnEnd > 0)
        walk(body.substr(entry.OfdInnBegin, entry.OfdInnEnd - entry.OfdInnBegin), 2);
    }
    done(i + 1);
  }
}

}  // namespace kvitor
