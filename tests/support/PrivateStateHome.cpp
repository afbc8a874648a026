// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Every test program keeps its journals in a folder of its own, made afresh:
// reads of one test must not continue from another's, nor from an earlier run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class TPrivateStateHome final : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::filesystem::path(KVITOR_TEST_SCRATCH) / ("state-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ::setenv("XDG_STATE_HOME", dir_.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path dir_;
};

[[maybe_unused]] const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TPrivateStateHome);  // gtest owns it

}  // namespace
