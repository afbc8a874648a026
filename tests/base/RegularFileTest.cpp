// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/SafeFile.h"

namespace kvitor {
namespace {

namespace fs = std::filesystem;

class RegularFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = std::string(KVITOR_TEST_SCRATCH) + "/regular-XXXXXX";
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    dir_ = name;
    ASSERT_EQ(::mkfifo((dir_ / "pipe").c_str(), 0600), 0);
    std::ofstream(dir_ / "ten") << "0123456789";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The refusal as "code reason", or what was read.
  static std::string Outcome(const std::string& path, std::size_t limit) {
    try {
      return ReadRegularFile(path, limit);
    } catch (const TFileReadError& e) {
      return std::to_string(e.Code()) + " " + e.what();
    }
  }
  fs::path dir_;
};

TEST_F(RegularFile, RefusesSpecialFilesAndFilesOverTheLimitWithoutBlocking) {
  EXPECT_EQ(Outcome("/dev/zero", 1 << 20), "0 Not a regular file");
  EXPECT_EQ(Outcome(dir_ / "pipe", 1 << 20), "0 Not a regular file");
  EXPECT_EQ(Outcome(dir_, 1 << 20), std::to_string(EISDIR) + " " + std::strerror(EISDIR));
  EXPECT_EQ(Outcome(dir_ / "missing", 1 << 20),
            std::to_string(ENOENT) + " " + std::strerror(ENOENT));
  EXPECT_EQ(Outcome(dir_ / "ten", 9), "0 larger than 9 bytes");
  EXPECT_EQ(Outcome(dir_ / "ten", 10), "0123456789");

  // Opened, it reads from the start and knows its size; moved, it stays open.
  TRegularFile opened = OpenRegularFile(dir_ / "ten", 10);
  const TRegularFile file(std::move(opened));
  EXPECT_EQ(file.Size(), 10u);
  char head[4] = {};
  ASSERT_EQ(::read(file.Fd(), head, 4), 4);
  EXPECT_EQ(std::string(head, 4), "0123");
  EXPECT_THROW((void)OpenRegularFile(dir_ / "pipe", 10), TFileReadError);
}

}  // namespace
}  // namespace kvitor
