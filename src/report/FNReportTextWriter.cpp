// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/FNReportTextWriter.h"

#include <cstdio>
#include <new>

#include "base/Error.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "base/Stream.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

const std::string kRule(57, '-');

void PutLine(TStream& out, std::string_view line) {
  out.Write(line.data(), line.size());
  out.Write("\r\n", 2);
}

}  // namespace

std::vector<std::string> ReportHeaderLines(const TFNReportHeader& header, bool ffd12) {
  std::string version = FFDVersionName(header.FFDVersion);
  if (ffd12 && header.FFDVersion == 4) version += Utf8ToCp1251(" (ФФД 1.2)");
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "%08X", header.Checksum);
  const auto label = [](const char* utf8) { return Utf8ToCp1251(utf8); };
  return {
      kRule,
      label("Наименование файла выгрузки : ") + header.ReportName,
      label("Программа выгрузки          : ") + header.ProgramName,
      label("Регистрационный номер ККТ   : ") + header.RegNumber,
      label("Номер ФН                    : ") + header.FNNumber,
      label("Номер версии ФФД            : ") + version,
      label("Количество смен             : ") + std::to_string(header.ShiftCount),
      label("Количество документов       : ") + std::to_string(header.DocumentCount),
      label("Контрольная сумма           : 0x") + checksum,
      kRule,
  };
}

void WriteReportText(const TFNReportHeader& header, const TTLVTags& tags, TStream& out,
                     std::atomic<int64_t>* written) {
  for (const auto& line : ReportHeaderLines(header)) PutLine(out, line);
  // Depth first with an explicit stack; the depth is the stack's height.
  struct Frame {
    const TTLVTags* list;
    int next;
  };
  std::vector<Frame> stack{{&tags, 0}};
  std::string line;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.list->Count()) {
      stack.pop_back();
      continue;
    }
    if (stack.size() == 1 && written != nullptr) written->fetch_add(1, std::memory_order_relaxed);
    const TTLVTag& tag = frame.list->Items(frame.next++);
    line.assign(2 * (stack.size() - 1), ' ');
    tag.AppendTagText(line, true);
    PutLine(out, line);
    if (tag.Children().Count() > 0) stack.push_back({&tag.Children(), 0});
  }
}

void WriteReportText(const TFNReport& report, TStream& out, TSaveProgress* progress) {
  for (const auto& line : ReportHeaderLines(report.Header(), report.Ffd12())) PutLine(out, line);
  int64_t bytes = out.Position();
  // Lines are made straight into large pieces that go to the stream whole: a
  // report has tens of millions of them.
  constexpr std::size_t kPiece = 256 << 10;
  std::string piece;
  piece.reserve(kPiece + 4096);
  const auto put = [&] {
    out.Write(piece.data(), piece.size());
    bytes += static_cast<int64_t>(piece.size());
    piece.clear();
  };
  report.ForEachNode(
      [&](const TReportNode& node) {
        piece.append(2 * std::size_t{node.Depth}, ' ');
        AppendTagLine(piece, *node.Entry, node.Value, node.Value.size(), node.DeclaredLength, true);
        piece += "\r\n";
        if (piece.size() >= kPiece) put();
      },
      [&](std::size_t documents) {
        if (progress == nullptr) return;
        progress->Documents.store(static_cast<int64_t>(documents), std::memory_order_relaxed);
        progress->Bytes.store(bytes + static_cast<int64_t>(piece.size()),
                              std::memory_order_relaxed);
      });
  put();
}

void TFNReportTextWriter::SaveToFile(const TFNReport& report, const std::string& fileName,
                                     TSaveProgress* progress) const {
  if (progress != nullptr) progress->Reset();
  try {
    // Streamed into the temporary file: a rendering error abandons it, so the
    // target is never half written, and the lines need not all be in memory.
    TSafeFileWriter file(fileName);
    WriteReportText(report, file.Stream(), progress);
    file.Commit();
  } catch (const std::bad_alloc&) {
    throw Error(
        Fmt(Tr("Недостаточно памяти для записи отчета (документов: %s)"), report.ContainerCount()));
  }
}

}  // namespace kvitor
