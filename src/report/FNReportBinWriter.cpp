// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/FNReportBinWriter.h"

#include <new>
#include <optional>

#include "base/Error.h"

#include "base/Messages.h"
#include "base/SafeFile.h"
#include "report/Checksum.h"
#include "tlv/BinStream.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

void WriteHeader(TBinStream& out, const TFNReportHeader& header) {
  out.WriteString(FixedWidthString(header.ReportName, 53));
  out.WriteString(FixedWidthString(header.ProgramName, 256));
  out.WriteString(FixedWidthString(header.RegNumber, 20));
  out.WriteString(FixedWidthString(header.FNNumber, 16));
  out.WriteByte(header.FFDVersion);
  out.WriteInteger(header.ShiftCount);
  out.WriteInteger(header.DocumentCount);
}

std::string OutOfMemory(const TFNReport& report) {
  return Fmt(Tr("Недостаточно памяти для записи отчета (документов: %s)"), report.ContainerCount());
}

}  // namespace

std::string EncodeReportHeader(const TFNReportHeader& header) {
  TMemoryStream memory;
  TBinStream out(memory);
  WriteHeader(out, header);
  return out.GetBytes();
}

void TFNReportBinWriter::SaveToFile(const TFNReport& report, const std::string& fileName,
                                    TReportSave* save) const {
  // Refused before the file is touched.
  report.CheckEncodable();
  TSaveProgress unwatched;
  TSaveProgress& progress = save != nullptr ? save->Progress() : unwatched;
  progress.Reset();
  try {
    TSafeFileWriter file(fileName);
    TBinStream out(file.Stream());
    const std::string headerBytes = EncodeReportHeader(report.Header());
    out.WriteString(headerBytes);
    // The checksum covers the data behind it: in a file its place is filled
    // in last; a pipe or a device gets it from a pass of its own first.
    const bool seekable = file.Seekable();
    uint32_t checksum =
        seekable ? ChecksumUpdate(kChecksumStart, headerBytes) : CalcChecksum(report, save);
    out.WriteInteger(seekable ? 0 : static_cast<int32_t>(checksum));
    progress.Bytes.store(TFNReportBinWriter::kHeaderSize, std::memory_order_relaxed);
    report.EncodeTree(
        [&](std::string_view piece) {
          if (seekable) checksum = ChecksumUpdate(checksum, piece);
          out.WriteString(piece);
          progress.Bytes.fetch_add(static_cast<int64_t>(piece.size()), std::memory_order_relaxed);
        },
        [&](std::size_t documents) {
          progress.Documents.store(static_cast<int64_t>(documents), std::memory_order_relaxed);
        });
    if (seekable) {
      file.Stream().SetPosition(static_cast<int64_t>(headerBytes.size()));
      out.WriteInteger(static_cast<int32_t>(checksum));
    }
    file.Commit();
    if (save != nullptr) save->KeepChecksum(headerBytes, checksum);
  } catch (const std::bad_alloc&) {
    throw Error(OutOfMemory(report));
  }
}

uint32_t TFNReportBinWriter::CalcChecksum(const TFNReport& report, TReportSave* save) {
  const std::string headerBytes = EncodeReportHeader(report.Header());
  if (save != nullptr) {
    if (const std::optional<uint32_t> kept = save->KeptChecksum(headerBytes)) return *kept;
  }
  uint32_t checksum = 0;
  try {
    checksum = ChecksumUpdate(kChecksumStart, headerBytes);
    report.EncodeTree([&](std::string_view piece) { checksum = ChecksumUpdate(checksum, piece); });
  } catch (const std::bad_alloc&) {
    throw Error(OutOfMemory(report));
  }
  if (save != nullptr) save->KeepChecksum(headerBytes, checksum);
  return checksum;
}

}  // namespace kvitor
