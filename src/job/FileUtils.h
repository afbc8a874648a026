// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>

namespace kvitor {

// The full file name of the running executable (/proc/self/exe).
[[nodiscard]] std::string GetModuleLongFileName();
// The folder part of a file name, ending in one '/'.
[[nodiscard]] std::string FolderOf(const std::string& fileName);
// The folder of the running executable, ending in '/'.
[[nodiscard]] std::string GetProgramFolder();

}  // namespace kvitor
