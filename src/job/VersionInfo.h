// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>

namespace kvitor {

struct TFileVersion {
  uint16_t Major = 0, Minor = 0, Release = 0, Build = 0;
};

// The build's own version numbers.
[[nodiscard]] TFileVersion ReadFileVersion();
// "%d.%d.%d.%d" of a version.
[[nodiscard]] std::string FormatFileVersion(const TFileVersion& version);
[[nodiscard]] std::string GetFileVersionText();

}  // namespace kvitor
