// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>

#include "job/MainController.h"
#include "tlv/TLVTag.h"

#include "TestSupport.h"

namespace kvitor::test {

inline std::string Le32(uint32_t v) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// The tree's numbers, containers with their nested tags in brackets.
// Polls the controller (as the window's timer does) until the job's thread
// has ended; false after a generous bound.
inline bool WaitForJob(const TMainController& controller) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!controller.JobFinished()) {
    static_cast<void>(controller.GetStatus());
    static_cast<void>(controller.IsReportReady());
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The 32-bit little-endian number at offset.
inline uint32_t U32At(std::string_view bytes, std::size_t offset) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(bytes[offset + static_cast<std::size_t>(i)]);
  return v;
}

}  // namespace kvitor::test
