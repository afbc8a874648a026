// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors
#include "report/ReportFileFormat.h"

#include <cstdio>

#include "base/Error.h"
#include "base/Messages.h"
#include "report/FNReportBinWriter.h"
#include "tlv/FormatTLV.h"

namespace kvitor {
namespace {

constexpr std::size_t kChecksumAt = TFNReportBinWriter::kHeaderSize - 4;

std::string Field(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::string_view field = bytes.substr(offset, width);
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  return std::string(field);
}

int32_t Int32At(std::string_view bytes, std::size_t offset) {
  return static_cast<int32_t>(
      static_cast<uint32_t>(TFormatTLV::BytesToInt(bytes.substr(offset, 4))));
}

}  // namespace

std::string ChecksumHex(uint32_t checksum) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", checksum);
  return text;
}

TFNReportHeader ReportHeaderFields(std::string_view bytes) {
  TFNReportHeader header;
  header.ReportName = Field(bytes, 0, 53);
  header.ProgramName = Field(bytes, 53, 256);
  header.RegNumber = Field(bytes, 309, 20);
  header.FNNumber = Field(bytes, 329, 16);
  header.FFDVersion = static_cast<uint8_t>(bytes[345]);
  header.ShiftCount = Int32At(bytes, 346);
  header.DocumentCount = Int32At(bytes, 350);
  header.Checksum = StoredReportChecksum(bytes);
  return header;
}

uint32_t StoredReportChecksum(std::string_view bytes) {
  return static_cast<uint32_t>(Int32At(bytes, kChecksumAt));
}

void ThrowNotAReport(const std::string& name, uint64_t size) {
  throw Error(Fmt(TrEn("\"%s\" is not a report file: it has %s bytes, the header alone takes %s"),
                  name, size, TFNReportBinWriter::kHeaderSize));
}

void ThrowDamagedReport(const std::string& name, uint32_t stored, uint32_t computed) {
  throw Error(Fmt(TrEn("\"%s\" is damaged: its checksum is %s, its content gives %s"), name,
                  ChecksumHex(stored), ChecksumHex(computed)));
}

void ThrowNoValidTlv(const std::string& name, const char* what) {
  throw Error(Fmt(TrEn("\"%s\" holds no valid TLV data: %s"), name, std::string(what)));
}

void ThrowCannotOpen(const std::string& name, const char* reason) {
  throw Error(Fmt(TrEn("Cannot open file \"%s\". %s"), name, std::string(reason)));
}

}  // namespace kvitor
