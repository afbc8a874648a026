// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tlv/TLVTag.h"

namespace kvitor::test {

// A file under the scratch folder, unique to this test process, holding content.
[[nodiscard]] std::string ScratchFile(const std::string& name, std::string_view content);
// A fresh, empty folder under the scratch folder, unique to this test process.
[[nodiscard]] std::string ScratchFolder(const std::string& name);

// Sets (or with nullopt unsets) an environment variable for the life of the
// object, then restores it.
class TScopedEnv {
 public:
  TScopedEnv(const char* name, std::optional<std::string> value);
  ~TScopedEnv();
  TScopedEnv(const TScopedEnv&) = delete;
  TScopedEnv& operator=(const TScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Bytes from hexadecimal pairs ("EA 03 01"), for expected values.
[[nodiscard]] std::string Bytes(std::string_view hex);

// Every tag with that number anywhere in the tree, in document order.
[[nodiscard]] std::vector<const TTLVTag*> FindAll(const TTLVTags& tags, int number);
// Describes the first tag whose value is cut short or whose number the
// dictionary does not know; empty when every tag is whole and known.
[[nodiscard]] std::string FirstMalformedTag(const TTLVTags& tags);

}  // namespace kvitor::test
