// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "FNReportBinReader.h"

#include <cstdio>

#include "Checksum.h"
#include "Error.h"
#include "FNReportBinWriter.h"
#include "FormatTLV.h"
#include "SafeFile.h"

namespace kvitor {
namespace {

// The format itself sets no bound below the 32-bit document numbers; this is
// far above any storage's archive and keeps a hostile file from taking all
// memory before it is refused.
constexpr std::size_t kMaxReportFileBytes = std::size_t{4} << 30;

std::string Field(std::string_view bytes, std::size_t offset, std::size_t width) {
  std::string_view field = bytes.substr(offset, width);
  while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
  return std::string(field);
}

int32_t Int32At(std::string_view bytes, std::size_t offset) {
  return static_cast<int32_t>(
      static_cast<uint32_t>(TFormatTLV::BytesToInt(bytes.substr(offset, 4))));
}

std::string Hex32(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

}  // namespace

void TFNReportBinReader::Load(std::string_view bytes, const std::string& name) {
  tags_.Clear();
  header_ = {};
  constexpr std::size_t kHeader = TFNReportBinWriter::kHeaderSize;
  if (bytes.size() < kHeader) {
    throw Error("\"" + name + "\" is not a report file: it has " + std::to_string(bytes.size()) +
                " bytes, the header alone takes " + std::to_string(kHeader));
  }
  const auto stored = static_cast<uint32_t>(Int32At(bytes, 354));
  const uint32_t computed =
      ChecksumUpdate(ChecksumUpdate(kChecksumStart, bytes.substr(0, 354)), bytes.substr(kHeader));
  if (stored != computed) {
    throw Error("\"" + name + "\" is damaged: its checksum is " + Hex32(stored) +
                ", its content gives " + Hex32(computed));
  }
  TFNReportHeader header;
  header.ReportName = Field(bytes, 0, 53);
  header.ProgramName = Field(bytes, 53, 256);
  header.RegNumber = Field(bytes, 309, 20);
  header.FNNumber = Field(bytes, 329, 16);
  header.FFDVersion = static_cast<uint8_t>(bytes[345]);
  header.ShiftCount = Int32At(bytes, 346);
  header.DocumentCount = Int32At(bytes, 350);
  header.Checksum = stored;
  try {
    parser_.ParseInto(bytes.substr(kHeader), tags_);
  } catch (const Error& e) {
    tags_.Clear();
    throw Error("\"" + name + "\" holds no valid TLV data: " + e.what());
  }
  header_ = header;
}

void TFNReportBinReader::LoadFromFile(const std::string& fileName) {
  std::string content;
  try {
    content = ReadRegularFile(fileName, kMaxReportFileBytes);
  } catch (const TFileReadError& e) {
    throw Error("Cannot open file \"" + fileName + "\". " + e.what());
  }
  Load(content, fileName);
}

}  // namespace kvitor
