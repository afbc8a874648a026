// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>
#include <string_view>

#include "report/FNReport.h"
#include "tlv/TLVParser.h"

namespace kvitor {

// Reads a binary report file of any origin back into a tag tree: checks its
// length and checksum and parses its TLV data with the parser's dictionary.
// Refuses (Error) what is short, altered or not TLV; never trusts a length.
// The reference the streaming readers of the program are checked against.
class TFNReportBinReader {
 public:
  // name appears in the messages.
  void Load(std::string_view bytes, const std::string& name);
  void LoadFromFile(const std::string& fileName);

  // The header as stored: the checksum read from the file, the four text
  // fields without their padding blanks on the right.
  [[nodiscard]] const TFNReportHeader& Header() const { return header_; }
  [[nodiscard]] const TTLVTags& Tags() const { return tags_; }

 private:
  TTLVParser parser_;
  TTLVTags tags_;
  TFNReportHeader header_;
};

}  // namespace kvitor
