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

uint32_t Checksum(std::string_view headerBytes, std::string_view tlv) {
  return ChecksumUpdate(ChecksumUpdate(kChecksumStart, headerBytes), tlv);
}

}  // namespace

std::string EncodeReportHeader(const TFNReportHeader& header) {
  TMemoryStream memory;
  TBinStream out(memory);
  WriteHeader(out, header);
  return out.GetBytes();
}

void TFNReportBinWriter::SaveToFile(const TFNReport& report, const std::string& fileName) const {
  const TFNReportHeader header = report.Header();
  const std::string tlv = report.Tags().Encode();
  TSafeFileWriter file(fileName);
  TBinStream out(file.Stream());
  WriteHeader(out, header);
  const std::string headerBytes = out.GetBytes();
  out.WriteInteger(static_cast<int32_t>(Checksum(headerBytes, tlv)));
  out.WriteString(tlv);
  file.Commit();
}

uint32_t TFNReportBinWriter::CalcChecksum(const TFNReport& report) {
  return Checksum(EncodeReportHeader(report.Header()), report.Tags().Encode());
}

}  // namespace kvitor
