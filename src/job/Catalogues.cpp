// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/Catalogues.h"

#include <filesystem>
#include <system_error>

#include "KvitorPaths.h"

namespace kvitor {

namespace {

bool HasCatalogues(const std::string& folder) {
  std::error_code ec;
  return std::filesystem::is_directory(folder + "locale", ec);
}

std::string Normal(const std::string& folder) {
  std::error_code ec;
  const auto normal = std::filesystem::weakly_canonical(folder, ec);
  if (ec) return folder;
  std::string text = normal.string();
  if (text.empty() || text.back() != '/') text += '/';
  return text;
}

}  // namespace

std::string CatalogueParentFolder(const std::string& programFolder) {
  if (HasCatalogues(programFolder)) return programFolder;
  // Relative first, so that an installation moved elsewhere (a DESTDIR, a
  // temporary prefix) reads its own catalogues, not another one's.
  const std::string relative = programFolder + kInstalledCatalogueParentFromBin;
  if (HasCatalogues(relative)) return Normal(relative);
  if (HasCatalogues(kInstalledCatalogueParent)) return kInstalledCatalogueParent;
  return programFolder;
}

}  // namespace kvitor
