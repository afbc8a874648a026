// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Every test keeps its journals in a folder of its own, made afresh: a read
// of one test must not go on from another's, nor from an earlier run's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

class TPrivateStateHome final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestStart(const ::testing::TestInfo& test) override {
    std::string name =
        "state-" + std::to_string(::getpid()) + "-" + test.test_suite_name() + "." + test.name();
    for (char& c : name) {
      if (c == '/') c = '_';  // parameterised names
    }
    dir_ = std::filesystem::path(KVITOR_TEST_SCRATCH) / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ::setenv("XDG_STATE_HOME", dir_.c_str(), 1);
  }
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

 private:
  std::filesystem::path dir_;
};

[[maybe_unused]] const bool kInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TPrivateStateHome);  // gtest owns it
  return true;
}();

}  // namespace
