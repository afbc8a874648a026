#pragma once

#include <string>

namespace kvitor {

// The folder whose "locale" subfolder holds the message catalogues: the
// program's own folder when it has one (the build tree), else the installed
// <prefix>/share/kvitor/ beside <prefix>/bin/. Ends in '/'.
[[nodiscard]] std::string CatalogueParentFolder(const std::string& programFolder);

}  // namespace kvitor
