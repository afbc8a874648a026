// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// libFuzzer entry point; the work is in FuzzTargets.cpp.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  kvitor::fuzz::RunShow(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
