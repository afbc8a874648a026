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
        "vat10,vat0,no_vat,vat20_120,vat10_110,confirmed,confirmed_at,vat22,marked\r\n";
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
      if (inDocument_) Top(tag);
    } else if (item.Depth > 2 && row_ && inDocument_) {
      Nested(item);
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
  // A document's item (1059) or VAT sums (1115) begin.
  void Top(int32_t tag) {
    top_ = tag;
    if (tag == 1059) {
      marked_ = false;
      std::string& count = (*row_)[kMarked];
      if (count.empty()) count = "0";
    }
  }

  // What the document's newer containers hold: marked items (an item with
  // 1162 or 1163) and the VAT sum of 22 % (1119 of rate 11 in 1115).
  void Nested(const TTLVItem& item) {
    const int32_t tag = item.Entry->Info.Tag;
    if (top_ == 1059 && item.Depth == 3 && (tag == 1162 || tag == 1163) && !marked_) {
      marked_ = true;
      std::string& count = (*row_)[kMarked];
      count = std::to_string(std::stoi(count) + 1);
    } else if (top_ == 1115 && item.Depth == 3 && tag == 1119) {
      rate_ = -1;
      vatSum_.clear();
    } else if (top_ == 1115 && item.Depth == 4 && !item.Container && !item.Short()) {
      if (tag == 1199) rate_ = static_cast<int>(TFormatTLV::BytesToInt(item.Value));
      if (tag == 1120) vatSum_ = item.Value;
      if (rate_ == 11 && !vatSum_.empty() && (*row_)[kVat22].empty())
        AppendRoubles((*row_)[kVat22], vatSum_);
    }
  }

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

  static constexpr std::size_t kVat22 = 18;
  static constexpr std::size_t kMarked = 19;

  int32_t outer_ = 0;
  std::optional<std::array<std::string, 20>> row_;
  int32_t top_ = 0;
  bool marked_ = false;
  int rate_ = -1;
  std::string vatSum_;
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
