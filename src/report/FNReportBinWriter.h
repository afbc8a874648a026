// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "report/FNReport.h"

namespace kvitor {

// The binary report file: a 358-byte header ending in the checksum, then the
// TLV encoding of the report's tree.
class TFNReportBinWriter {
 public:
  static constexpr int kHeaderSize = 358;

  // Reads the report, never changes it; the file appears whole or not at all.
  // A report the encoding cannot carry is refused before the file is made.
  // The report's SaveProgress counts what is written; written, when given,
  // counts the documents (root items) written as well.
  void SaveToFile(const TFNReport& report, const std::string& fileName,
                  std::atomic<int64_t>* written = nullptr) const;
  // The checksum that SaveToFile would write for the report now; after a
  // save or a call with the same header it is not worked out again.
  [[nodiscard]] static uint32_t CalcChecksum(const TFNReport& report);
};

// The 354 header bytes before the checksum.
[[nodiscard]] std::string EncodeReportHeader(const TFNReportHeader& header);

}  // namespace kvitor
