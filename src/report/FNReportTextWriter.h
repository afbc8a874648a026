#pragma once

#include <string>
#include <vector>

#include "FNReport.h"

namespace kvitor {

// The text report file: ten header lines, then one line per tag, indented two
// blanks per level; Windows-1251, every line ended by CR LF.
class TFNReportTextWriter {
 public:
  // Reads the report, never changes it. A tag that cannot be rendered ends the
  // save with its error, and no file is created or changed.
  void SaveToFile(const TFNReport& report, const std::string& fileName) const;
};

// The ten header lines, Windows-1251, without line ends.
[[nodiscard]] std::vector<std::string> ReportHeaderLines(const TFNReportHeader& header);

class TStream;
// Writes the report's lines onto out (header, then the tree).
void WriteReportText(const TFNReportHeader& header, const TTLVTags& tags, TStream& out);

}  // namespace kvitor
