// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <algorithm>
#include <cstdio>
#include <unordered_map>

#include "report/ExportWriter.h"
#include "report/ReportFileFormat.h"
#include "tlv/BinUtils.h"
#include "tlv/FormatTLV.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

// Windows-1251 text as UTF-8; most values are plain ASCII and need no iconv.
std::string Utf8Of(std::string_view cp1251) {
  const bool ascii = std::all_of(cp1251.begin(), cp1251.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  return ascii ? std::string(cp1251) : Cp1251ToUtf8(cp1251);
}

void AppendJsonString(std::string& out, std::string_view utf8) {
  out += '"';
  for (const char c : utf8) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

// The library's writer would hold the whole document before dumping it; this
// one writes each item as it comes and keeps nothing per level.
class TJsonExport final : public TBufferedExport {
 public:
  using TBufferedExport::TBufferedExport;
  void Begin(const TFNReportHeader& h) override {
    buffer_ += "{\"report\": {\"name\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.ReportName));
    buffer_ += ", \"program\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.ProgramName));
    buffer_ += ", \"reg_number\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.RegNumber));
    buffer_ += ", \"fn_number\": ";
    AppendJsonString(buffer_, Cp1251ToUtf8(h.FNNumber));
    buffer_ += ", \"ffd_version\": ";
    AppendInt(buffer_, int{h.FFDVersion});
    buffer_ += ", \"shift_count\": ";
    AppendInt(buffer_, h.ShiftCount);
    buffer_ += ", \"document_count\": ";
    AppendInt(buffer_, h.DocumentCount);
    buffer_ += ", \"checksum\": \"" + ChecksumHex(h.Checksum) + "\"},\n \"items\": [";
  }

  void Item(const TTLVItem& item) override {
    if (comma_) buffer_ += ',';
    if (item.Depth == 0) buffer_ += "\n  ";
    const TTagInfo& info = item.Entry->Info;
    const bool known = info.TagType != ttUnknown;
    buffer_ += "{\"tag\": ";
    AppendInt(buffer_, info.Tag);
    buffer_ += ", \"name\": ";
    AppendJsonString(buffer_, known ? NameOf(*item.Entry) : std::string_view());
    if (item.Short()) {
      buffer_ += ", \"error\": ";
      AppendJsonString(buffer_, "Некорректная длина");
      buffer_ += ", \"text\": ";
      AppendJsonString(buffer_, known ? Tr("Ошибка! Некорректная длина") : "");
    } else if (!item.Container) {
      buffer_ += ", \"value\": ";
      AppendValue(item);
      buffer_ += ", \"text\": ";
      std::string text;
      if (known) AppendValuePart(text, info, item.Value, item.ValueLength, item.DeclaredLength);
      AppendJsonString(buffer_, Utf8Of(text));
    }
    if (item.Container) {
      buffer_ += ", \"items\": [";
      comma_ = false;
    } else {
      buffer_ += '}';
      comma_ = true;
    }
    MaybeFlush();
  }

  void End() override {
    buffer_ += "]}";
    comma_ = true;
  }

  void Finish() override {
    buffer_ += "\n]}\n";
    Flush();
  }

 private:
  // A few hundred entries, each converted once.
  const std::string& NameOf(const TTagEntry& entry) {
    auto [at, added] = names_.try_emplace(&entry);
    if (added) at->second = Cp1251ToUtf8(entry.ShortName1251);
    return at->second;
  }

  void AppendValue(const TTLVItem& item) {
    const TTagInfo& info = item.Entry->Info;
    const uint64_t v = TFormatTLV::BytesToInt(item.Value);
    switch (info.TagType) {
      case ttByte: AppendInt(buffer_, static_cast<int64_t>(v)); return;
      case ttUInt16:
      case ttUInt32: AppendInt(buffer_, static_cast<uint32_t>(v)); return;
      case ttVLN:
        AppendInt(buffer_, static_cast<int64_t>(TFormatTLV::VLNToInt(item.Value)));
        return;
      case ttFVLN: AppendJsonString(buffer_, TFormatTLV::FVLNToText(item.Value)); return;
      case ttUnixTime: AppendJsonString(buffer_, IsoTime(item.Value)); return;
      case ttString: AppendJsonString(buffer_, ValueTextOf(info, item.Value)); return;
      default:  // hexadecimal digits need no escaping
        buffer_ += '"';
        AppendHex(buffer_, item.Value, THexCase::Lower);
        buffer_ += '"';
        return;
    }
  }

  std::unordered_map<const TTagEntry*, std::string> names_;
  bool comma_ = false;
};

}  // namespace

std::unique_ptr<TExportWriter> MakeJsonExport(TStream& out) {
  return std::make_unique<TJsonExport>(out);
}

}  // namespace kvitor
