// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/FileUtils.h"

#include <filesystem>
#include <system_error>

namespace kvitor {

std::string GetModuleLongFileName() {
  std::error_code ec;
  const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::string FolderOf(const std::string& fileName) {
  const auto slash = fileName.find_last_of('/');
  std::string folder = slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

std::string GetProgramFolder() { return FolderOf(GetModuleLongFileName()); }

}  // namespace kvitor
