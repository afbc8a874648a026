// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "FNReportBinReader.h"

#include "base/Error.h"
#include "base/SafeFile.h"
#include "report/Checksum.h"
#include "report/FNReportBinWriter.h"
#include "report/ReportFileFormat.h"

namespace kvitor {
namespace {

// The format itself sets no bound below the 32-bit document numbers; this is
// far above any storage's archive and keeps a hostile file from taking all
// memory before it is refused.
constexpr std::size_t kMaxReportFileBytes = std::size_t{4} << 30;

}  // namespace

void TFNReportBinReader::Load(std::string_view bytes, const std::string& name) {
  tags_.Clear();
  header_ = {};
  constexpr std::size_t kHeader = TFNReportBinWriter::kHeaderSize;
  if (bytes.size() < kHeader) ThrowNotAReport(name, bytes.size());
  TFNReportHeader header = ReportHeaderFields(bytes);
  const uint32_t computed = ChecksumUpdate(
      ChecksumUpdate(kChecksumStart, bytes.substr(0, kHeader - 4)), bytes.substr(kHeader));
  if (header.Checksum != computed) ThrowDamagedReport(name, header.Checksum, computed);
  try {
    parser_.ParseInto(bytes.substr(kHeader), tags_);
  } catch (const Error& e) {
    tags_.Clear();
    ThrowNoValidTlv(name, e.what());
  }
  header_ = header;
}

void TFNReportBinReader::LoadFromFile(const std::string& fileName) {
  std::string content;
  try {
    content = ReadRegularFile(fileName, kMaxReportFileBytes);
  } catch (const TFileReadError& e) {
    ThrowCannotOpen(fileName, e.what());
  }
  Load(content, fileName);
}

}  // namespace kvitor
