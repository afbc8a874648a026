// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/ExportWriter.h"
#include "report/FNReportTextWriter.h"

namespace kvitor {
namespace {

// The text report, line by line as the items come.
class TTextExport final : public TBufferedExport {
 public:
  TTextExport(TStream& out, bool ffd12) : TBufferedExport(out), ffd12_(ffd12) {}
  void Begin(const TFNReportHeader& header) override {
    for (const auto& line : ReportHeaderLines(header, ffd12_)) {
      buffer_ += line;
      buffer_ += "\r\n";
    }
  }
  void Item(const TTLVItem& item) override {
    buffer_.append(2 * item.Depth, ' ');
    AppendTagLine(buffer_, *item.Entry, item.Value, item.ValueLength, item.DeclaredLength, true);
    buffer_ += "\r\n";
    MaybeFlush();
  }
  void End() override {}
  void Finish() override { Flush(); }

 private:
  bool ffd12_;
};

}  // namespace

std::unique_ptr<TExportWriter> MakeTextExport(TStream& out, bool ffd12) {
  return std::make_unique<TTextExport>(out, ffd12);
}

}  // namespace kvitor
