// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/ExportWriter.h"

#include <chrono>
#include <cstdio>

#include "base/Stream.h"
#include "tlv/FormatTLV.h"

namespace kvitor {

std::unique_ptr<TExportWriter> TExportWriter::Create(TExportForm form, TStream& out, bool ffd12) {
  switch (form) {
    case TExportForm::Json: return MakeJsonExport(out);
    case TExportForm::Csv: return MakeCsvExport(out);
    default: return MakeTextExport(out, ffd12);
  }
}

void TBufferedExport::Flush() {
  out_.Write(buffer_.data(), buffer_.size());
  buffer_.clear();
}

std::string IsoTime(std::string_view value) {
  using namespace std::chrono;
  seconds since{-2209161600};  // day 0, 1899-12-30
  if (value.size() == 4) {
    since = seconds{static_cast<int32_t>(static_cast<uint32_t>(TFormatTLV::BytesToInt(value)))};
  }
  const sys_seconds at{since};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss time{at - day};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02lld:%02lld:%02lld", int{date.year()},
                unsigned{date.month()}, unsigned{date.day()},
                static_cast<long long>(time.hours().count()),
                static_cast<long long>(time.minutes().count()),
                static_cast<long long>(time.seconds().count()));
  return text;
}

}  // namespace kvitor
