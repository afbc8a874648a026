// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "report/FNReport.h"

namespace kvitor {

// The binary report file's header as its readers see it, and their refusals,
// so that `show`, the exports and the viewer refuse a file in the same words.

// The header fields of the first 358 bytes, texts without their padding.
[[nodiscard]] TFNReportHeader ReportHeaderFields(std::string_view bytes);
// A checksum as the reports show it: "0x1A2B3C4D".
[[nodiscard]] std::string ChecksumHex(uint32_t checksum);
// The checksum stored in the header.
[[nodiscard]] uint32_t StoredReportChecksum(std::string_view bytes);

[[noreturn]] void ThrowNotAReport(const std::string& name, uint64_t size);
[[noreturn]] void ThrowDamagedReport(const std::string& name, uint32_t stored, uint32_t computed);
[[noreturn]] void ThrowNoValidTlv(const std::string& name, const char* what);
// For a file that OpenRegularFile or ReadRegularFile refused with reason.
[[noreturn]] void ThrowCannotOpen(const std::string& name, const char* reason);

}  // namespace kvitor
