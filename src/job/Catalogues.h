// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>

namespace kvitor {

// The folder whose "locale" subfolder holds the message catalogues, ending in
// '/': the program's own folder when it has one (the build tree), else the
// installed data folder, found from the program's folder by the install
// layout's relative path, else at the install prefix fixed at build time.
[[nodiscard]] std::string CatalogueParentFolder(const std::string& programFolder);

}  // namespace kvitor
