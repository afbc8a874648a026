// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/Checksum.h"

#include <array>
#include <cstring>

namespace kvitor {
namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7;

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ kPolynomial : r << 1;
    t[0][i] = r;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  }
  return t;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x04C11DB7 && kTables[0][2] == 0x09823B6E);

inline uint32_t LoadBigEndian(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

}  // namespace

uint32_t ChecksumUpdate(uint32_t crc, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  const auto& t = kTables;
  while (n >= 8) {
    const uint32_t a = crc ^ LoadBigEndian(p);
    const uint32_t b = LoadBigEndian(p + 4);
    crc = t[7][a >> 24] ^ t[6][(a >> 16) & 0xFF] ^ t[5][(a >> 8) & 0xFF] ^ t[4][a & 0xFF] ^
          t[3][b >> 24] ^ t[2][(b >> 16) & 0xFF] ^ t[1][(b >> 8) & 0xFF] ^ t[0][b & 0xFF];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = t[0][(crc >> 24) ^ *p++] ^ (crc << 8);
  return crc;
}

uint32_t ChecksumReference(std::string_view bytes) {
  // The augmented form: shift every message bit in, then 32 zero bits.
  uint32_t reg = 0xFFFFFFFF;
  auto shiftIn = [&reg](unsigned char byte) {
    for (int bit = 7; bit >= 0; --bit) {
      const bool top = (reg & 0x80000000u) != 0;
      reg = (reg << 1) | ((byte >> bit) & 1u);
      if (top) reg ^= kPolynomial;
    }
  };
  for (const char c : bytes) shiftIn(static_cast<unsigned char>(c));
  for (int i = 0; i < 4; ++i) shiftIn(0);
  return reg;
}

}  // namespace kvitor
