#include "FNReportBinWriter.h"

#include "BinStream.h"
#include "Checksum.h"
#include "SafeFile.h"
#include "StringUtils.h"

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

// Encodes the tree one outer container at a time, so that a large report
// never exists twice in memory; sink gets every piece in order.
template <typename Sink>
void EncodeTree(const TTLVTags& tags, Sink&& sink) {
  std::string piece;
  for (const auto& tag : tags) {
    piece.clear();
    tag->EncodeTo(piece);
    sink(std::string_view(piece));
  }
}

}  // namespace

std::string EncodeReportHeader(const TFNReportHeader& header) {
  TMemoryStream memory;
  TBinStream out(memory);
  WriteHeader(out, header);
  return out.GetBytes();
}

void TFNReportBinWriter::SaveToFile(const TFNReport& report, const std::string& fileName,
                                    std::atomic<int64_t>* written) const {
  const TFNReportHeader& header = report.Header();
  TSafeFileWriter file(fileName);
  TBinStream out(file.Stream());
  WriteHeader(out, header);
  const std::string headerBytes = out.GetBytes();
  // The checksum covers the data behind it: its place is filled in last.
  out.WriteInteger(0);
  uint32_t checksum = ChecksumUpdate(kChecksumStart, headerBytes);
  EncodeTree(report.Tags(), [&](std::string_view piece) {
    checksum = ChecksumUpdate(checksum, piece);
    out.WriteString(piece);
    if (written != nullptr) written->fetch_add(1, std::memory_order_relaxed);
  });
  file.Stream().SetPosition(static_cast<int64_t>(headerBytes.size()));
  out.WriteInteger(static_cast<int32_t>(checksum));
  file.Commit();
}

uint32_t TFNReportBinWriter::CalcChecksum(const TFNReport& report) {
  uint32_t checksum = ChecksumUpdate(kChecksumStart, EncodeReportHeader(report.Header()));
  EncodeTree(report.Tags(),
             [&](std::string_view piece) { checksum = ChecksumUpdate(checksum, piece); });
  return checksum;
}

}  // namespace kvitor
