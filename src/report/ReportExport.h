// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>
#include <string_view>

#include "report/ExportWriter.h"
#include "report/FNReport.h"
#include "tlv/TLVParser.h"

namespace kvitor {

// Checks a report file whole as `show` does (length, checksum, TLV data,
// values that cannot be shown) in one bounded pass, without keeping it,
// and then writes it in any form, as often as asked.
class TReportExport {
 public:
  // Refuses (Error) a short file, a wrong checksum, data that is not TLV
  // and a value the text cannot show, as `show` words it. With ffd12 the
  // text form names the tags of format 1.2 and later as a report read with
  // them does; the JSON and CSV forms always do.
  explicit TReportExport(std::string fileName, bool ffd12 = false);
  TReportExport(const TReportExport&) = delete;
  TReportExport& operator=(const TReportExport&) = delete;

  [[nodiscard]] const TFNReportHeader& Header() const { return header_; }
  // Reads the file again; a file changed since the check is refused on the way.
  void Write(TExportForm form, TStream& out) const;

 private:
  std::string fileName_;
  bool ffd12_;
  TFNReportHeader header_;
  TTLVParser dictionary_;
};

// The header of a report file's bytes (358 or more), checked: Error for a
// short file or a wrong checksum, named name in the message.
[[nodiscard]] TFNReportHeader CheckedReportHeader(std::string_view bytes, const std::string& name);

}  // namespace kvitor
