// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>

#include "job/FileUtils.h"
#include "job/VersionInfo.h"

namespace kvitor::test {
namespace {

TEST(IdentityTest, VersionTextIsTheBuildsFourNumbers) {
  const std::string text = GetFileVersionText();
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << text;
  EXPECT_EQ(text, KVITOR_PROJECT_VERSION);
  const TFileVersion v = ReadFileVersion();
  EXPECT_EQ(text, std::to_string(v.Major) + "." + std::to_string(v.Minor) + "." +
                      std::to_string(v.Release) + "." + std::to_string(v.Build));
  EXPECT_EQ(FormatFileVersion({1, 1, 0, 6}), "1.1.0.6");
  EXPECT_EQ(FormatFileVersion({1, 12, 0, 106}), "1.12.0.106");
  EXPECT_EQ(FormatFileVersion({0, 0, 0, 0}), "0.0.0.0");
  EXPECT_EQ(FormatFileVersion({65535, 0, 7, 65535}), "65535.0.7.65535");
}

TEST(IdentityTest, ProgramFolderIsTheTestBinarysFolderWithOneTrailingSlash) {
  const std::string folder = GetProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_FALSE(folder.size() >= 2 && folder.compare(folder.size() - 2, 2, "//") == 0) << folder;
  EXPECT_EQ(std::filesystem::canonical(folder), std::filesystem::canonical(KVITOR_TEST_BINARY_DIR));
  EXPECT_EQ(std::filesystem::canonical(GetModuleLongFileName()),
            std::filesystem::canonical(KVITOR_TEST_BINARY_FILE));

  EXPECT_EQ(FolderOf("/opt/kvitor/bin/kvitor"), "/opt/kvitor/bin/");
  EXPECT_EQ(FolderOf("/opt/kvitor/bin/"), "/opt/kvitor/bin/");
  EXPECT_EQ(FolderOf("/kvitor"), "/");
}

}  // namespace
}  // namespace kvitor::test
