#include "AppSetup.h"

#include <filesystem>
#include <system_error>

namespace kvitor {

std::string CatalogueParentFolder(const std::string& programFolder) {
  std::error_code ec;
  if (std::filesystem::is_directory(programFolder + "locale", ec)) return programFolder;
  std::string installed = programFolder + "../share/kvitor/";
  if (std::filesystem::is_directory(installed + "locale", ec)) {
    const auto normal = std::filesystem::weakly_canonical(installed, ec);
    if (!ec) {
      std::string folder = normal.string();
      if (folder.empty() || folder.back() != '/') folder += '/';
      return folder;
    }
    return installed;
  }
  return programFolder;
}

}  // namespace kvitor
