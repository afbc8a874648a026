// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "report/FNReport.h"
#include "report/ReportSave.h"

namespace kvitor {

// The text report file: ten header lines, then one line per tag, indented two
// blanks per level; Windows-1251, every line ended by CR LF.
class TFNReportTextWriter {
 public:
  // Reads the report, never changes it. A tag that cannot be rendered ends the
  // save with its error, and no file is created or changed. Progress, when
  // given, counts what is written.
  void SaveToFile(const TFNReport& report, const std::string& fileName,
                  TSaveProgress* progress = nullptr) const;
};

// The ten header lines, Windows-1251, without line ends; with ffd12 the
// version of format 1.2 is named.
[[nodiscard]] std::vector<std::string> ReportHeaderLines(const TFNReportHeader& header,
                                                         bool ffd12 = false);

class TStream;
// Writes the report's lines onto out (header, then the tree); written, when
// given, counts the root items written.
void WriteReportText(const TFNReportHeader& header, const TTLVTags& tags, TStream& out,
                     std::atomic<int64_t>* written = nullptr);
// The same for a report, from its bodies without making nodes; progress,
// when given, counts what is written.
void WriteReportText(const TFNReport& report, TStream& out, TSaveProgress* progress = nullptr);

}  // namespace kvitor
