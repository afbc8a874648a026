// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/ReportView.h"

#include <cstdint>
#include <optional>

#include "base/Error.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "report/FNReportBinWriter.h"
#include "report/ReportExport.h"
#include "report/ReportFileFormat.h"
#include "tlv/FormatTLV.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVReader.h"

namespace kvitor {
namespace {

constexpr std::size_t kHeaderSize = TFNReportBinWriter::kHeaderSize;

// The whole file: the viewer keeps it for the lines it renders on request.
std::string WholeFile(const std::string& name) {
  try {
    return ReadRegularFile(name, SIZE_MAX);
  } catch (const TFileReadError& e) {
    ThrowCannotOpen(name, e.what());
  }
}

std::string ValueOf(const TTLVItem& item) {
  std::string text;
  AppendValuePart(text, item.Entry->Info, item.Value, item.ValueLength, item.DeclaredLength);
  return Cp1251ToUtf8(text);
}

}  // namespace

std::unique_ptr<TReportView> TReportView::Load(const std::string& fileName,
                                               std::atomic<int>* percent,
                                               const std::atomic<bool>* cancel) {
  std::unique_ptr<TReportView> view(new TReportView);
  view->fileName_ = fileName;
  view->bytes_ = WholeFile(fileName);
  view->header_ = CheckedReportHeader(view->bytes_, fileName);
  const std::string_view data = std::string_view(view->bytes_).substr(kHeaderSize);
  TMemorySource source(data);
  TTLVReader reader(source, data.size(), view->dictionary_);
  std::optional<std::string> valueError;
  TDocument* document = nullptr;
  int innerCount = 0;  // items met at depth 1 of the current outer container
  std::string number, time, total;
  const auto finish = [&] {
    if (document == nullptr) return;
    if (!number.empty()) document->Line += " № " + number;
    if (!time.empty()) document->Line += ", " + time;
    if (!total.empty()) document->Line += ", " + total;
    number.clear();
    time.clear();
    total.clear();
  };
  try {
    for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
      if (event != TTLVReader::TEvent::Item) continue;
      const TTLVItem& item = reader.Item();
      const int32_t tag = item.Entry->Info.Tag;
      if (item.Depth == 0) {
        finish();
        if (cancel != nullptr && cancel->load()) throw Error(Tr("Отменено"));
        if (percent != nullptr && !data.empty())
          percent->store(static_cast<int>(item.Offset * 100 / data.size()));
        if (!view->documents_.empty()) {
          view->documents_.back().Size = item.Offset + kHeaderSize - view->documents_.back().Offset;
        }
        document = &view->documents_.emplace_back();
        document->Offset = item.Offset + kHeaderSize;
        std::string line;
        AppendTagLine(line, *item.Entry, item.Value, item.ValueLength, item.DeclaredLength, true);
        document->Line = Cp1251ToUtf8(line);
        innerCount = 0;
      } else if (item.Depth == 1) {
        // The document container opens the outer one: the line names it.
        if (innerCount++ == 0 && item.Container) {
          document->Line = Cp1251ToUtf8(item.Entry->ShortName1251);
        }
      } else if (item.Depth == 2 && innerCount == 1) {
        if (tag == 1040 && number.empty()) number = ValueOf(item);
        if (tag == 1012 && time.empty()) time = ValueOf(item);
        if (tag == 1020 && total.empty()) total = ValueOf(item);
      }
      if (item.Entry->Info.TagType == ttFVLN && !valueError && !item.Short()) {
        try {
          static_cast<void>(TFormatTLV::FVLNToText(item.Value));
        } catch (const Error& e) {
          valueError = e.what();
        }
      }
    }
  } catch (const Error& e) {
    if (cancel != nullptr && cancel->load()) throw;
    ThrowNoValidTlv(fileName, e.what());
  }
  finish();
  if (!view->documents_.empty()) {
    view->documents_.back().Size = view->bytes_.size() - view->documents_.back().Offset;
  }
  if (valueError) throw Error(*valueError);
  if (percent != nullptr) percent->store(100);
  return view;
}

std::vector<TReportView::TLine> TReportView::Lines(std::size_t index) const {
  const TDocument& doc = documents_.at(index);
  TMemorySource source(std::string_view(bytes_).substr(doc.Offset, doc.Size));
  TTLVReader reader(source, doc.Size, dictionary_);
  std::vector<TLine> lines;
  std::vector<int> open;  // the line of each open container below the outer one
  std::string line;
  for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
    if (event == TTLVReader::TEvent::End) {
      if (!open.empty()) open.pop_back();
      continue;
    }
    const TTLVItem& item = reader.Item();
    if (item.Depth == 0) continue;
    line.clear();
    AppendTagLine(line, *item.Entry, item.Value, item.ValueLength, item.DeclaredLength, true);
    lines.push_back({open.empty() ? -1 : open.back(), Cp1251ToUtf8(line)});
    if (item.Container) open.push_back(static_cast<int>(lines.size()) - 1);
  }
  return lines;
}

bool TReportView::Contains(std::size_t index, std::string_view text) const {
  const TDocument& doc = documents_.at(index);
  if (doc.Line.find(text) != std::string::npos) return true;
  // Searched in the report's own code page: the lines need no conversion.
  const std::string wanted = Utf8ToCp1251(text);
  TMemorySource source(std::string_view(bytes_).substr(doc.Offset, doc.Size));
  TTLVReader reader(source, doc.Size, dictionary_);
  std::string line;
  for (auto event = reader.Next(); event != TTLVReader::TEvent::Done; event = reader.Next()) {
    if (event != TTLVReader::TEvent::Item || reader.Item().Depth == 0) continue;
    const TTLVItem& item = reader.Item();
    line.clear();
    AppendTagLine(line, *item.Entry, item.Value, item.ValueLength, item.DeclaredLength, true);
    if (line.find(wanted) != std::string::npos) return true;
  }
  return false;
}

}  // namespace kvitor
