// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNFrame.h"

#include "base/Error.h"
#include "base/Messages.h"

namespace kvitor {

uint16_t FrameCrc(std::string_view bytes) {
  uint16_t crc = 0xFFFF;
  for (const char c : bytes) {
    crc ^= static_cast<uint16_t>(static_cast<uint8_t>(c) << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

std::string EncodeFrame(uint8_t code, std::string_view data) {
  if (data.size() > kMaxFrameData) {
    throw Error(Fmt(TrEn("A frame cannot carry %s bytes of data"), data.size()));
  }
  const std::size_t length = data.size() + 1;
  std::string frame;
  frame.reserve(data.size() + 1 + kFrameOverhead);
  frame += static_cast<char>(kFrameStart);
  frame += static_cast<char>(length & 0xFF);
  frame += static_cast<char>(length >> 8);
  frame += static_cast<char>(code);
  frame.append(data);
  const uint16_t crc = FrameCrc(std::string_view(frame).substr(1));
  frame += static_cast<char>(crc & 0xFF);
  frame += static_cast<char>(crc >> 8);
  return frame;
}

TFrameResult DecodeFrame(std::string_view bytes, std::size_t maxLength) {
  TFrameResult result;
  if (bytes.empty()) return result;
  if (static_cast<uint8_t>(bytes[0]) != kFrameStart) {
    const std::size_t start = bytes.find(static_cast<char>(kFrameStart));
    result.Status = TFrameStatus::Skip;
    result.Consumed = start == std::string_view::npos ? bytes.size() : start;
    return result;
  }
  if (bytes.size() < 3) return result;
  const std::size_t length = static_cast<uint8_t>(bytes[1]) |
                             (static_cast<std::size_t>(static_cast<uint8_t>(bytes[2])) << 8);
  result.Length = length;
  if (length == 0 || length > maxLength) {
    result.Status = TFrameStatus::BadLength;
    result.Consumed = 1;
    return result;
  }
  const std::size_t total = length + kFrameOverhead;
  if (bytes.size() < total) return result;
  const uint16_t expected = FrameCrc(bytes.substr(1, length + 2));
  const uint16_t found = static_cast<uint16_t>(static_cast<uint8_t>(bytes[total - 2]) |
                                               (static_cast<uint8_t>(bytes[total - 1]) << 8));
  if (expected != found) {
    result.Status = TFrameStatus::BadCrc;
    result.Consumed = 1;
    return result;
  }
  result.Status = TFrameStatus::Frame;
  result.Consumed = total;
  result.Code = static_cast<uint8_t>(bytes[3]);
  result.Data = bytes.substr(4, length - 1);
  return result;
}

}  // namespace kvitor
