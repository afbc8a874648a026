// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <charconv>
#include <memory>
#include <string>
#include <string_view>

#include "report/FNReport.h"
#include "tlv/TLVReader.h"

namespace kvitor {

class TStream;

enum class TExportForm { Text, Json, Csv };

// Writes items in form onto out: the header is written by Begin, every
// reader event goes to Item or End, and Finish ends the output.
class TExportWriter {
 public:
  virtual ~TExportWriter() = default;
  // Text: the text report (Windows-1251, CR LF), with ffd12 its header as a
  // report read with format 1.2 has it; Json and Csv: UTF-8.
  [[nodiscard]] static std::unique_ptr<TExportWriter> Create(TExportForm form, TStream& out,
                                                             bool ffd12 = false);
  virtual void Begin(const TFNReportHeader& header) = 0;
  virtual void Item(const TTLVItem& item) = 0;
  virtual void End() = 0;
  virtual void Finish() = 0;
};

// The forms, each in a file of its own (TextExport.cpp, JsonExport.cpp,
// CsvExport.cpp).
[[nodiscard]] std::unique_ptr<TExportWriter> MakeTextExport(TStream& out, bool ffd12);
[[nodiscard]] std::unique_ptr<TExportWriter> MakeJsonExport(TStream& out);
[[nodiscard]] std::unique_ptr<TExportWriter> MakeCsvExport(TStream& out);

// Output through a buffer of its own: a stream's Write per token would cost
// a virtual call and a check each.
class TBufferedExport : public TExportWriter {
 public:
  explicit TBufferedExport(TStream& out) : out_(out) {}

 protected:
  void Flush();
  void MaybeFlush() {
    if (buffer_.size() >= kFlushAt) Flush();
  }
  std::string buffer_;

 private:
  static constexpr std::size_t kFlushAt = 1 << 16;
  TStream& out_;
};

template <typename Int>
void AppendInt(std::string& out, Int value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The ISO 8601 form ("YYYY-MM-DDThh:mm:ss") of a TLV time value; a value
// that is not 4 bytes is day 0, as in the text.
[[nodiscard]] std::string IsoTime(std::string_view value);

}  // namespace kvitor
