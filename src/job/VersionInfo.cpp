// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/VersionInfo.h"

#include <cstdio>

#include "KvitorVersion.h"

namespace kvitor {

TFileVersion ReadFileVersion() {
  return {KVITOR_VERSION_MAJOR + 0, KVITOR_VERSION_MINOR + 0, KVITOR_VERSION_PATCH + 0,
          KVITOR_VERSION_TWEAK + 0};
}

std::string FormatFileVersion(const TFileVersion& v) {
  char text[32];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", v.Major, v.Minor, v.Release, v.Build);
  return text;
}

std::string GetFileVersionText() { return FormatFileVersion(ReadFileVersion()); }

}  // namespace kvitor
