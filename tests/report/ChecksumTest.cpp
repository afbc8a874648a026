// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "report/Checksum.h"

namespace kvitor {
namespace {

TEST(Checksum, CheckValues) {
  const struct {
    std::string bytes;
    uint32_t crc;
  } cases[] = {
      {"", 0xC704DD7B},
      {"123456789", 0x373C5870},
      {"abc", 0xAD13F0CA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(ChecksumUpdate(kChecksumStart, c.bytes), c.crc);
    EXPECT_EQ(ChecksumReference(c.bytes), c.crc);
  }
  // Not CRC-32/MPEG-2, which starts the table-driven form at 0xFFFFFFFF.
  EXPECT_NE(ChecksumUpdate(kChecksumStart, "123456789"), 0x0376E6E7u);
  // From a zero register one byte selects its table entry.
  EXPECT_EQ(ChecksumUpdate(0, std::string(1, '\x01')), 0x04C11DB7u);
  EXPECT_EQ(ChecksumUpdate(0, std::string(1, '\x02')), 0x09823B6Eu);
}

std::string RandomBytes(std::mt19937& rng, std::size_t n) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(byte(rng));
  return s;
}

TEST(Checksum, SlicedFormEqualsTheBitwiseDefinition) {
  std::mt19937 rng(20240531);
  for (std::size_t n = 0; n <= 100; ++n) {
    SCOPED_TRACE(n);
    for (int round = 0; round < 3; ++round) {
      const std::string s = RandomBytes(rng, n);
      EXPECT_EQ(ChecksumUpdate(kChecksumStart, s), ChecksumReference(s));
    }
    // Runs of one byte value catch a wrong table row more surely than noise.
    EXPECT_EQ(ChecksumUpdate(kChecksumStart, std::string(n, '\xFF')),
              ChecksumReference(std::string(n, '\xFF')));
    EXPECT_EQ(ChecksumUpdate(kChecksumStart, std::string(n, '\0')),
              ChecksumReference(std::string(n, '\0')));
  }
  // A long input read from every alignment.
  const std::string big = RandomBytes(rng, 5000);
  for (std::size_t offset = 0; offset < 8; ++offset) {
    const std::string_view part = std::string_view(big).substr(offset);
    EXPECT_EQ(ChecksumUpdate(kChecksumStart, part), ChecksumReference(part));
  }
}

TEST(Checksum, ContinuingOverPiecesEqualsOnePass) {
  std::mt19937 rng(7);
  for (const std::size_t n : {1u, 7u, 8u, 9u, 16u, 17u, 63u, 100u}) {
    const std::string s = RandomBytes(rng, n);
    const uint32_t whole = ChecksumReference(s);
    for (std::size_t cut = 0; cut <= n; ++cut) {
      SCOPED_TRACE(std::to_string(n) + " cut at " + std::to_string(cut));
      const std::string_view v(s);
      EXPECT_EQ(ChecksumUpdate(ChecksumUpdate(kChecksumStart, v.substr(0, cut)), v.substr(cut)),
                whole);
    }
    // Three pieces, the middle one empty.
    const std::string_view v(s);
    EXPECT_EQ(ChecksumUpdate(ChecksumUpdate(ChecksumUpdate(kChecksumStart, v.substr(0, n / 2)), ""),
                             v.substr(n / 2)),
              whole);
  }
}

}  // namespace
}  // namespace kvitor
