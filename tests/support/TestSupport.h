// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

// Small helpers shared by the test suites.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>

#include "base/Error.h"
#include "tlv/TLVTag.h"

namespace kvitor::test {

// The message of the kvitor::Error that f raises, or "(no error)".
template <class F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

// Runs f in a child process; its exit status, or 128 + the signal that ended it.
template <class F>
int InChild(F&& f) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 99;
    try {
      code = f();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child: %s\n", e.what());
    }
    ::_exit(code);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// One TLV item in the wire encoding: number and length, each 16-bit
// little-endian, then the value.
inline std::string Tlv(uint16_t tag, std::string_view value) {
  std::string out;
  out += static_cast<char>(tag & 0xFF);
  out += static_cast<char>(tag >> 8);
  out += static_cast<char>(value.size() & 0xFF);
  out += static_cast<char>((value.size() >> 8) & 0xFF);
  out.append(value);
  return out;
}

// The tree's tag numbers, containers with their nested tags in parentheses:
// "65002(103(1040 1162))".
inline std::string Shape(const TTLVTags& list) {
  std::string out;
  for (const auto& tag : list) {
    if (!out.empty()) out += ' ';
    out += std::to_string(tag->Info().Tag);
    if (tag->Info().TagType == ttSTLV) {
      // Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
      // "(" + std::string.
      out += '(';
      out += Shape(tag->Children());
      out += ')';
    }
  }
  return out;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// A folder of the running test's own under the scratch folder; removed with
// its content at the end.
class TScratchDir {
 public:
  explicit TScratchDir(std::string_view prefix = "test") {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(prefix) + "-" + info->test_suite_name() + "." + info->name() +
                       "-" + std::to_string(::getpid());
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    dir_ = std::filesystem::path(KVITOR_TEST_SCRATCH) / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    dir_ = std::filesystem::canonical(dir_);
  }
  ~TScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;

  [[nodiscard]] const std::filesystem::path& Dir() const { return dir_; }
  [[nodiscard]] std::string Path(std::string_view name) const { return (dir_ / name).string(); }
  // Names of the entries of a folder, hidden ones included.
  [[nodiscard]] static std::set<std::string> Entries(const std::filesystem::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }
  [[nodiscard]] std::set<std::string> Entries() const { return Entries(dir_); }

 private:
  std::filesystem::path dir_;
};

}  // namespace kvitor::test
