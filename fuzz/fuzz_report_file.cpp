// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// libFuzzer entry point; the work is in FuzzTargets.cpp.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzTargets.h"

extern "C" std::size_t LLVMFuzzerMutate(uint8_t* data, std::size_t size, std::size_t maxSize);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  kvitor::fuzz::RunReportFile(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}

// One mutation in eight grows the input long and deep; the rest are
// libFuzzer's own.
extern "C" std::size_t LLVMFuzzerCustomMutator(uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned seed) {
  if (seed % 8 == 0) {
    const std::size_t grown = kvitor::fuzz::GrowReportFile(data, size, maxSize, seed / 8);
    if (grown != 0) return grown;
  }
  return LLVMFuzzerMutate(data, size, maxSize);
}
