#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "FNDocument.h"
#include "TLVParser.h"
#include "TLVTag.h"

namespace kvitor {

// The first part of both report files. Texts are Windows-1251.
struct TFNReportHeader {
  std::string ReportName;
  std::string ProgramName;
  std::string RegNumber;
  std::string FNNumber;
  uint8_t FFDVersion = 0;  // 1 "1.0", 2 "1.05", 3 "1.1"
  int32_t ShiftCount = 0;
  int32_t DocumentCount = 0;
  uint32_t Checksum = 0;

  friend bool operator==(const TFNReportHeader&, const TFNReportHeader&) = default;
};

// The report model: the documents of the last read job, the header, and the
// container tree that Build makes of them.
class TFNReport {
 public:
  TFNReport() = default;
  TFNReport(const TFNReport&) = delete;
  TFNReport& operator=(const TFNReport&) = delete;

  // Empties the tree and the documents; the report is no longer ready.
  void Clear();
  TFNDocument& AddDocument(const TFNDocumentRec& rec) { return documents_.Add(rec); }
  // Turns every document, in reading order, into its containers; then ready.
  // A body the parser rejects ends it with the parser's error, not ready.
  void Build(bool onlyIfTag1162Exist);

  // Written by the job's thread, read by the window's: hence atomic.
  [[nodiscard]] bool Ready() const { return ready_.load(std::memory_order_acquire); }
  [[nodiscard]] const TFNReportHeader& Header() const { return header_; }
  void SetHeader(const TFNReportHeader& header) { header_ = header; }
  [[nodiscard]] const TTLVTags& Tags() const { return tags_; }
  [[nodiscard]] const TFNDocuments& Documents() const { return documents_; }
  [[nodiscard]] bool OnlyIfTag1162Exist() const { return onlyIfTag1162Exist_; }
  [[nodiscard]] const TTLVParser& Parser() const { return parser_; }

 private:
  void ProcessDocument(const TFNDocumentRec& rec);
  [[nodiscard]] static int32_t GetContainerTag(const TTLVTags& parsed);
  [[nodiscard]] static int32_t GetDocumentFFDVersion(const TTLVTags& parsed);
  void RaiseFFDVersion(int32_t version);
  TTLVTag& NewTag(int32_t tagNumber, TTLVTags& list);

  TTLVParser parser_;
  // The records of the container numbers the dictionary lacks, made once.
  std::unordered_map<int32_t, const TTagEntry*> containerEntries_;
  TFNDocuments documents_;
  TTLVTags tags_;
  TFNReportHeader header_;
  bool onlyIfTag1162Exist_ = false;
  std::atomic<bool> ready_{false};
};

}  // namespace kvitor
