// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Stream.h"

namespace kvitor {

// Writes bytes, little-endian integers and byte strings onto a stream it does
// not own, and reads the stream's whole content back.
class TBinStream {
 public:
  explicit TBinStream(TStream& stream) : stream_(stream) {}

  void WriteByte(uint8_t value);
  void WriteInteger(int32_t value);
  void WriteString(std::string_view s);
  // The whole content from offset 0; afterwards the position is at the end.
  [[nodiscard]] std::string GetBytes();

 private:
  TStream& stream_;
};

}  // namespace kvitor
