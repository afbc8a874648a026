// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Every input that a fuzz target once failed on, or that was written for a
// known hostile shape, run again through the target's own code. A crash or a
// sanitizer report ends the test program; an exception other than
// kvitor::Error fails the case.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzTargets.h"
#include "TestSupport.h"
#include "base/Error.h"
#include "drivers/emulated/StorageImage.h"

namespace kvitor {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> Inputs(const std::string& target) {
  const fs::path folder = fs::path(KVITOR_TEST_DATA_DIR) / "fuzz" / target;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

void Replay(const std::string& target, void (*run)(std::string_view)) {
  const auto files = Inputs(target);
  ASSERT_FALSE(files.empty()) << "no inputs for " << target;
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const std::string bytes = test::ReadFile(file);
    ASSERT_FALSE(bytes.empty());
    EXPECT_NO_THROW(run(bytes));
  }
}

TEST(FuzzRegressionTest, TlvInputs) { Replay("fuzz_tlv", &fuzz::RunTlv); }

TEST(FuzzRegressionTest, ReportFileInputs) { Replay("fuzz_report_file", &fuzz::RunReportFile); }

TEST(FuzzRegressionTest, ShowInputs) { Replay("fuzz_show", &fuzz::RunShow); }

TEST(FuzzRegressionTest, ReportBuildInputs) { Replay("fuzz_report_build", &fuzz::RunReportBuild); }

TEST(FuzzRegressionTest, TorvelSettingsInputs) {
  Replay("fuzz_torvel_settings", &fuzz::RunTorvelSettings);
}

TEST(FuzzRegressionTest, StorageImageInputs) {
  Replay("fuzz_storage_image", &fuzz::RunStorageImage);
}

// What the first storage image finding left unsaid: the refusal is our own
// error, naming the file and what is wrong.
TEST(FuzzRegressionTest, FnFrameInputs) { Replay("fuzz_fn_frame", &fuzz::RunFnFrames); }

TEST(FuzzRegressionTest, NumberOutOfRangeIsRefusedWithTheFileName) {
  const std::string message = test::ErrorOf([] {
    (void)TStorageImage::LoadText(R"({"storage": {"serial_number": 1e400}})", "big.json");
  });
  EXPECT_NE(message.find("Storage image \"big.json\": value out of range"), std::string::npos)
      << message;
  EXPECT_NE(message.find("1e400"), std::string::npos) << message;
}

}  // namespace
}  // namespace kvitor
