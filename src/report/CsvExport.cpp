// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <algorithm>
#include <array>
#include <optional>

#include "report/ExportWriter.h"
#include "tlv/FormatTLV.h"

namespace kvitor {
namespace {

// Kopecks as roubles with two decimals, as the text report shows them.
void AppendRoubles(std::string& out, std::string_view value) {
  std::string line;
  AppendValuePart(line, TTagInfo{0, 0, ttVLN, false, {}, {}}, value, value.size(), 0);
  out += line;
}

// A field quoted where RFC 4180 needs it.
void AppendCsvField(std::string& out, std::string_view field) {
  if (field.find_first_of(",\"\r\n") == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// One row per document, from its container's items and its confirmation's.
class TCsvExport final : public TBufferedExport {
 public:
  using TBufferedExport::TBufferedExport;
  void Begin(const TFNReportHeader&) override {
    buffer_ +=
        "outer,type,number,date_time,fiscal_sign,shift,operation,total,cash,electronic,vat20,"
        "vat10,vat0,no_vat,vat20_120,vat10_110,confirmed,confirmed_at\r\n";
  }

  void Item(const TTLVItem& item) override {
    const int32_t tag = item.Entry->Info.Tag;
    if (item.Depth == 0) {
      outer_ = tag;
      row_.reset();
      firstInOuter_ = true;
    } else if (item.Depth == 1 && row_ == std::nullopt && firstInOuter_ && item.Container) {
      row_.emplace();
      (*row_)[0] = std::to_string(outer_);
      (*row_)[1] = std::to_string(tag - 100);
      (*row_)[16] = "0";
      inDocument_ = true;
    } else if (item.Depth == 1 && row_ && tag == 107 && item.Container) {
      (*row_)[16] = "1";
      inDocument_ = false;
      inConfirmation_ = true;
    } else if (item.Depth == 2 && row_ && (inDocument_ || inConfirmation_)) {
      Cell(item);
    }
    if (item.Depth == 1) firstInOuter_ = false;
    if (item.Container) ++open_;
  }

  void End() override {
    --open_;
    if (open_ == 1) inDocument_ = inConfirmation_ = false;
    if (open_ == 0 && row_) {
      for (std::size_t i = 0; i < row_->size(); ++i) {
        if (i > 0) buffer_ += ',';
        AppendCsvField(buffer_, (*row_)[i]);
      }
      buffer_ += "\r\n";
      row_.reset();
      MaybeFlush();
    }
  }

  void Finish() override { Flush(); }

 private:
  void Cell(const TTLVItem& item) {
    if (item.Short() || item.Container) return;
    const int32_t tag = item.Entry->Info.Tag;
    const std::string_view v = item.Value;
    if (inConfirmation_) {
      if (tag == 1012 && (*row_)[17].empty()) (*row_)[17] = IsoTime(v);
      return;
    }
    std::string& cell = (*row_)[Column(tag)];
    if (Column(tag) == 0 || !cell.empty()) return;
    switch (tag) {
      case 1012: cell = IsoTime(v); return;
      case 1077: {
        const std::string text = ValueTextOf(item.Entry->Info, v);
        cell = text.substr(0, text.find(' '));
        return;
      }
      case 1040:
      case 1038: AppendInt(cell, static_cast<uint32_t>(TFormatTLV::BytesToInt(v))); return;
      case 1054: AppendInt(cell, static_cast<int64_t>(TFormatTLV::BytesToInt(v))); return;
      default: AppendRoubles(cell, v); return;
    }
  }

  // The column of a document's tag; 0 for none.
  static std::size_t Column(int32_t tag) {
    static constexpr std::array<int32_t, 14> kTags = {1040, 1012, 1077, 1038, 1054, 1020, 1031,
                                                      1081, 1102, 1103, 1104, 1105, 1106, 1107};
    const auto* at = std::find(kTags.begin(), kTags.end(), tag);
    return at == kTags.end() ? 0 : static_cast<std::size_t>(at - kTags.begin()) + 2;
  }

  int32_t outer_ = 0;
  std::optional<std::array<std::string, 18>> row_;
  bool firstInOuter_ = false;
  bool inDocument_ = false;
  bool inConfirmation_ = false;
  int open_ = 0;
};

}  // namespace

std::unique_ptr<TExportWriter> MakeCsvExport(TStream& out) {
  return std::make_unique<TCsvExport>(out);
}

}  // namespace kvitor
