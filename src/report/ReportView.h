// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "report/FNReport.h"
#include "tlv/TLVParser.h"

namespace kvitor {

// A report file held for browsing: checked as `show` checks it, its
// documents (the outer containers) indexed by offset with a one-line summary,
// every document's tag lines rendered only when asked for.
class TReportView {
 public:
  struct TDocument {
    uint64_t Offset = 0;  // of the outer container in the file
    uint64_t Size = 0;
    std::string Line;  // type and number, date-time, total (UTF-8)
  };
  // A tag line of a document as the text report shows it (UTF-8); Parent is
  // the index of the enclosing line, -1 for the document's own level.
  struct TLine {
    int Parent = -1;
    std::string Text;
  };

  // Reads and checks fileName; percent follows the indexing (0..100), and
  // cancel set from another thread ends it with an Error.
  [[nodiscard]] static std::unique_ptr<TReportView> Load(const std::string& fileName,
                                                         std::atomic<int>* percent = nullptr,
                                                         const std::atomic<bool>* cancel = nullptr);

  [[nodiscard]] const std::string& FileName() const { return fileName_; }
  [[nodiscard]] const TFNReportHeader& Header() const { return header_; }
  [[nodiscard]] std::size_t Count() const { return documents_.size(); }
  [[nodiscard]] const TDocument& Document(std::size_t index) const { return documents_[index]; }
  // The lines of the document's tags, depth first, its outer container left out.
  [[nodiscard]] std::vector<TLine> Lines(std::size_t index) const;
  // Whether the summary or a tag line of the document holds text (UTF-8).
  [[nodiscard]] bool Contains(std::size_t index, std::string_view text) const;

 private:
  TReportView() = default;

  std::string fileName_;
  std::string bytes_;
  TFNReportHeader header_;
  std::vector<TDocument> documents_;
  TTLVParser dictionary_{TDictionaryKind::Ffd12Names};  // ours: the newer tags named
};

}  // namespace kvitor
