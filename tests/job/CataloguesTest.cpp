// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <filesystem>

#include "KvitorPaths.h"
#include "TestSupport.h"
#include "job/Catalogues.h"

namespace kvitor {
namespace {

TEST(Catalogues, BesideTheProgramOrInTheInstalledDataFolder) {
  const test::TScratchDir root;
  const std::string bin = root.Path("bin") + "/";
  std::filesystem::create_directories(bin);
  // No catalogues in the tree: the prefix fixed at build time, or the program's folder.
  const std::string fallback = CatalogueParentFolder(bin);
  EXPECT_TRUE(fallback == bin || fallback == kInstalledCatalogueParent) << fallback;

  // Installed: the data folder reached from bin/ by the install layout.
  const auto locale = std::filesystem::weakly_canonical(
      std::filesystem::path(bin) / kInstalledCatalogueParentFromBin / "locale");
  std::filesystem::create_directories(locale);
  const std::string installed = locale.parent_path().string() + "/";
  EXPECT_EQ(CatalogueParentFolder(bin), installed);
  EXPECT_TRUE(installed.starts_with(root.Dir().string())) << installed;

  // The build tree: locale beside the program wins.
  std::filesystem::create_directories(bin + "locale");
  EXPECT_EQ(CatalogueParentFolder(bin), bin);
}

}  // namespace
}  // namespace kvitor
