// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "DeviceTestSupport.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace kvitor::test {
namespace {

std::string UniqueName(const std::string& name) {
  static std::atomic<int> counter{0};
  return std::string(KVITOR_TEST_SCRATCH) + "/device/" + std::to_string(::getpid()) + "-" +
         std::to_string(++counter) + "-" + name;
}

}  // namespace

std::string ScratchFile(const std::string& name, std::string_view content) {
  const std::string path = UniqueName(name);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary)
      .write(content.data(), static_cast<std::streamsize>(content.size()));
  return path;
}

std::string ScratchFolder(const std::string& name) {
  const std::string path = UniqueName(name);
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

TScopedEnv::TScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
}

TScopedEnv::~TScopedEnv() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

std::string Bytes(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

std::vector<const TTLVTag*> FindAll(const TTLVTags& tags, int number) {
  std::vector<const TTLVTag*> found;
  for (const auto& tag : tags) {
    if (tag->Info().Tag == number) found.push_back(tag.get());
    for (const TTLVTag* inner : FindAll(tag->Children(), number)) found.push_back(inner);
  }
  return found;
}

std::string FirstMalformedTag(const TTLVTags& tags) {
  for (const auto& tag : tags) {
    const int number = tag->Info().Tag;
    if (tag->Info().TagType == ttUnknown) return "tag " + std::to_string(number) + " is unknown";
    if (static_cast<int32_t>(tag->ValueSize()) != tag->DeclaredLength()) {
      return "tag " + std::to_string(number) + " is cut short";
    }
    if (std::string inner = FirstMalformedTag(tag->Children()); !inner.empty()) {
      return inner + " (in " + std::to_string(number) + ")";
    }
  }
  return {};
}

}  // namespace kvitor::test
