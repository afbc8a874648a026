// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The driver's settings file, TORVEL_IMAGE, and creating driver instances.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "DeviceTestSupport.h"
#include "TestSupport.h"
#include "base/Error.h"
#include "drivers/TorvelFactory.h"
#include "drivers/TorvelSettings.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using test::TScopedEnv;
using ::testing::HasSubstr;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

using test::ErrorOf;

// Every test gets a configuration folder of its own: tests run in parallel.
class deviceSettings : public ::testing::Test {
 protected:
  const std::string config_ = test::ScratchFolder("config");
  TScopedEnv xdg_{"XDG_CONFIG_HOME", config_};
  TScopedEnv image_{"TORVEL_IMAGE", std::nullopt};
  const std::string path_ = config_ + "/torvel/settings.json";
};

TEST_F(deviceSettings, PathFollowsXdgThenHome) {
  EXPECT_EQ(TorvelSettingsPath(), path_);
  {
    TScopedEnv home("HOME", "/home/kassir");
    TScopedEnv unset("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(TorvelSettingsPath(), "/home/kassir/.config/torvel/settings.json");
    TScopedEnv relative("XDG_CONFIG_HOME", "relative/folder");
    EXPECT_EQ(TorvelSettingsPath(), "/home/kassir/.config/torvel/settings.json");
  }
}

TEST_F(deviceSettings, SaveAndLoadRoundTrip) {
  EXPECT_EQ(LoadTorvelSettings(), TTorvelSettings{});
  TTorvelSettings chosen{config_ + "/Касса №1.json", 15};
  chosen.ReconnectWait = 30;
  SaveTorvelSettings(chosen);
  EXPECT_EQ(LoadTorvelSettings(), chosen);
  SaveTorvelSettings(TTorvelSettings{});
  EXPECT_EQ(LoadTorvelSettings(), TTorvelSettings{});
  EXPECT_THAT(Read(path_), HasSubstr("\"delay_ms\": null"));
  // The temporary file was renamed, not left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config_ + "/torvel"),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(deviceSettings, BadFilesAndFailedSavesAreClearErrors) {
  std::filesystem::create_directories(config_ + "/torvel");
  const struct {
    const char* Content;
    const char* Message;
  } cases[] = {
      {"{\"image\": ", "not JSON: syntax error at line 1"},
      {"[]", "expected a JSON object, found array"},
      {"{\"image\": 5}", "member image: expected a string, found number"},
      {"{\"delay_ms\": -1}", "member delay_ms: expected null or an integer 0..60000, found -1"},
      {"{\"delay_ms\": \"5\"}", "member delay_ms: expected null or an integer"},
      {"{\"delay_ms\": 1e400}", "value out of range: 1e400"},
      {"{\"reconnect_wait\": -5}", "member reconnect_wait: expected an integer 0..86400, found -5"},
  };
  for (const auto& c : cases) {
    std::ofstream(path_) << c.Content;
    EXPECT_THAT(ErrorOf([] { (void)LoadTorvelSettings(); }),
                HasSubstr("Driver settings \"" + path_ + "\": " + c.Message))
        << c.Content;
  }

  // A folder that cannot be made: the file stands where the folder should.
  TScopedEnv blocked("XDG_CONFIG_HOME", path_);
  EXPECT_THAT(ErrorOf([] { SaveTorvelSettings({}); }),
              HasSubstr("Driver settings \"" + path_ +
                        "/torvel/settings.json\": cannot create the folder"));
}

TEST_F(deviceSettings, HostileTextsAreRefusedWithoutBeingBuiltOrPrinted) {
  const std::string deep = "{\"delay_ms\": " + std::string(100'000, '[') + "]}";
  EXPECT_EQ(ErrorOf([&] { (void)ParseTorvelSettings(deep, "s.json"); }),
            "Driver settings \"s.json\": nested deeper than 16 levels");
  EXPECT_EQ(ErrorOf([] { (void)ParseTorvelSettings("{\"baud\": [1, 2, 3]}", "s.json"); }),
            "Driver settings \"s.json\": member baud: expected 9600, 19200, 38400, 57600 or "
            "115200, found an array");
  // A file name need not be UTF-8; the settings file cannot hold it.
  TTorvelSettings settings;
  settings.Image = "/tmp/\xff.json";
  EXPECT_THAT(ErrorOf([&] { SaveTorvelSettings(settings); }), HasSubstr("not UTF-8"));
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(deviceSettings, CreateTorvelNeedsTheThreadScope) {
  EXPECT_FALSE(TDriverThreadScope::IsActive());
  EXPECT_EQ(ErrorOf([] { (void)CreateTorvel(); }),
            "Driver runtime is not initialised on this thread");
  {
    TDriverThreadScope outer;
    {
      TDriverThreadScope inner;
      EXPECT_NE(CreateTorvel(), nullptr);
    }
    EXPECT_TRUE(TDriverThreadScope::IsActive());
    EXPECT_NE(CreateTorvel(), nullptr);
    // The scope belongs to its thread alone.
    std::string elsewhere;
    std::thread([&] { elsewhere = ErrorOf([] { (void)CreateTorvel(); }); }).join();
    EXPECT_EQ(elsewhere, "Driver runtime is not initialised on this thread");
  }
  EXPECT_FALSE(TDriverThreadScope::IsActive());
}

TEST_F(deviceSettings, CreateTorvelServesTheConfiguredImage) {
  const std::string a = test::ScratchFile("a.json", R"({"storage": {"serial_number": "AAAA"}})");
  const std::string b = test::ScratchFile("b.json", R"({"storage": {"serial_number": "BBBB"}})");
  TDriverThreadScope scope;
  const auto serial = [] {
    const auto driver = CreateTorvel();
    EXPECT_EQ(driver->QueryStorageStatus(), 0);
    return Utf16ToUtf8(driver->GetText(TTorvelProperty::SerialNumber));
  };
  EXPECT_EQ(serial(), "9999078900012345");  // no settings: the demo storage
  SaveTorvelSettings({a, std::nullopt});
  EXPECT_EQ(serial(), "AAAA");
  {
    TScopedEnv env("TORVEL_IMAGE", b);
    EXPECT_EQ(serial(), "BBBB");
  }
  {
    TScopedEnv env("TORVEL_IMAGE", "");
    EXPECT_EQ(serial(), "AAAA");
  }

  // A broken settings file: the instance exists, its device operations fail
  // with the reason, and its settings dialog still opens.
  std::ofstream(path_) << "{";
  const auto driver = CreateTorvel();
  EXPECT_EQ(driver->OpenDevice(), TTorvelResult::SetupError);
  EXPECT_THAT(Utf16ToUtf8(driver->GetText(TTorvelProperty::ResultCodeDescription)),
              HasSubstr("Driver settings \"" + path_ + "\": not JSON"));
  SetSettingsDialogHook([] { return 0; });
  EXPECT_EQ(driver->ShowSettingsDialog(), 0);
  SetSettingsDialogHook({});
}

}  // namespace
}  // namespace kvitor
