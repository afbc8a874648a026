// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kvitor {

// The report file's checksum: a CRC with the polynomial 0x04C11DB7, most
// significant bit first, in the augmented-message form started at
// 0xFFFFFFFF, which equals the table-driven form started at kChecksumStart.
// No reflection and no final exclusive-or.
inline constexpr uint32_t kChecksumStart = 0xC704DD7B;

// Continues the checksum over more bytes (slicing by 8).
[[nodiscard]] uint32_t ChecksumUpdate(uint32_t crc, std::string_view bytes);
// Bit by bit, as the definition reads: for checking the fast one.
[[nodiscard]] uint32_t ChecksumReference(std::string_view bytes);

}  // namespace kvitor
