// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>

#include "report/FNReport.h"
#include "report/ReportSave.h"

namespace kvitor {

// The binary report file: a 358-byte header ending in the checksum, then the
// TLV encoding of the report's tree.
class TFNReportBinWriter {
 public:
  static constexpr int kHeaderSize = 358;

  // Reads the report, never changes it; the file appears whole or not at all.
  // A report the encoding cannot carry is refused before the file is made.
  // A save, when given, counts what is written and keeps the checksum.
  void SaveToFile(const TFNReport& report, const std::string& fileName,
                  TReportSave* save = nullptr) const;
  // The checksum that SaveToFile would write for the report now; one that a
  // given save keeps for the same header is not worked out again.
  [[nodiscard]] static uint32_t CalcChecksum(const TFNReport& report, TReportSave* save = nullptr);
};

// The 354 header bytes before the checksum.
[[nodiscard]] std::string EncodeReportHeader(const TFNReportHeader& header);

}  // namespace kvitor
