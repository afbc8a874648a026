// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/BinStream.h"

namespace kvitor {

void TBinStream::WriteByte(uint8_t value) { stream_.Write(&value, 1); }

void TBinStream::WriteInteger(int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  const unsigned char bytes[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                  static_cast<unsigned char>(v >> 16),
                                  static_cast<unsigned char>(v >> 24)};
  stream_.Write(bytes, 4);
}

void TBinStream::WriteString(std::string_view s) {
  if (!s.empty()) stream_.Write(s.data(), s.size());
}

std::string TBinStream::GetBytes() {
  std::string result;
  stream_.SetPosition(0);
  const int64_t size = stream_.Size();
  if (size <= 0) return result;
  result.resize(static_cast<std::size_t>(size));
  const std::size_t got = stream_.Read(result.data(), result.size());
  result.resize(got);
  return result;
}

}  // namespace kvitor
