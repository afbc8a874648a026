// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kvitor {

// The frame of the fiscal storage's serial protocol, the same for a request
// and an answer: start byte 04h, the length (16-bit little-endian, counting
// the command or answer code and the data), the code, the data, and the
// CRC-16/CCITT-FALSE of length, code and data, low byte first. Knows nothing
// of ports or commands.
inline constexpr uint8_t kFrameStart = 0x04;
// Start, length and CRC around the code and the data.
inline constexpr std::size_t kFrameOverhead = 5;
// The largest data a frame can carry: the length field counts the code too.
inline constexpr std::size_t kMaxFrameData = 0xFFFF - 1;

// CRC-16/CCITT-FALSE: polynomial 1021h, initial FFFFh, no reflection, no final xor.
[[nodiscard]] uint16_t FrameCrc(std::string_view bytes);

// The whole frame for a code and its data; Error when the data do not fit.
[[nodiscard]] std::string EncodeFrame(uint8_t code, std::string_view data);

enum class TFrameStatus {
  NeedMore,   // a frame has begun and is not complete yet
  Frame,      // a whole, intact frame
  Skip,       // bytes before a start byte: not part of any frame
  BadLength,  // a length of 0 or above the caller's bound
  BadCrc,     // a whole frame whose CRC does not match
};

struct TFrameResult {
  TFrameStatus Status = TFrameStatus::NeedMore;
  // Bytes of the input that this result accounts for: the frame, the bytes
  // skipped, or, for a bad frame, its start byte alone, so that decoding
  // resynchronises on the next start byte. 0 with NeedMore.
  std::size_t Consumed = 0;
  uint8_t Code = 0;       // with Frame
  std::string_view Data;  // with Frame: points into the input
  // With BadLength and BadCrc the length field read.
  std::size_t Length = 0;
};

// Decodes the first thing at the start of bytes. maxLength bounds the length
// field (code plus data) before anything is read past it, so that a broken
// length never makes the caller wait for, or hold, more than that.
[[nodiscard]] TFrameResult DecodeFrame(std::string_view bytes, std::size_t maxLength);

}  // namespace kvitor
