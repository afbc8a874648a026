// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

#include "report/FNDocument.h"
#include "tlv/TLVTag.h"

#include "TestSupport.h"

namespace kvitor::test {

inline std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (const int b : bytes) out += static_cast<char>(b);
  return out;
}

inline std::string Le32(uint32_t v) {
  return Bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
                static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v >> 24)});
}

// The tree's numbers, containers with their nested tags in brackets:
// "65002(103(1040 1059(1030)))".
using ScratchDir = TScratchDir;

// A document of that type with that body, its declared length the body's.
inline TFNDocumentRec Doc(int32_t type, std::string body) {
  TFNDocumentRec rec;
  rec.DocType = type;
  rec.TLVData = std::move(body);
  rec.DataLength = static_cast<int32_t>(rec.TLVData.size());
  return rec;
}

}  // namespace kvitor::test
