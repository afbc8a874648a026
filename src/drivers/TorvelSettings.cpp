// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/TorvelSettings.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "base/Error.h"
#include "base/Messages.h"
#include "base/SafeFile.h"

namespace kvitor {
namespace {

using nlohmann::json;

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
  if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  throw Error(TrEn("Driver settings: neither XDG_CONFIG_HOME nor HOME names a folder"));
}

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw Error(Fmt(TrEn("Driver settings \"%s\": %s"), path, what));
}

// A settings file is a few lines; a huge one is not ours.
constexpr std::size_t kMaxSettingsBytes = 1u << 20;
constexpr int kMaxSettingsDepth = 16;

// A value found where another was expected, short enough for a message.
std::string Shown(const json& value) {
  if (value.is_object() || value.is_array()) return std::string("an ") + value.type_name();
  std::string text = value.dump();
  if (text.size() > 40) text = text.substr(0, 37) + "...";
  return text;
}

}  // namespace

std::string TorvelSettingsPath() {
  // XDG: a relative XDG_CONFIG_HOME is invalid and is to be ignored.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base =
      (xdg != nullptr && xdg[0] == '/') ? std::string(xdg) : HomeFolder() + "/.config";
  return base + "/torvel/settings.json";
}

std::string JsonRefusalText(int id, std::size_t byte, const std::string& message) {
  // Not only syntax errors: a number out of range (1e400) is another kind,
  // whose message quotes the number.
  if (id >= 400 && id < 500) {
    const std::size_t from = message.find('\'');
    const std::size_t to = message.rfind('\'');
    const std::string number =
        from != std::string::npos && to > from ? message.substr(from + 1, to - from - 1) : "";
    return Fmt(TrEn("value out of range: %s"), number);
  }
  if (id == 101) {
    int line = 0, column = 0;
    const std::size_t at = message.find("at line ");
    if (at != std::string::npos &&
        std::sscanf(message.c_str() + at, "at line %d, column %d", &line, &column) == 2)
      return Fmt(TrEn("not JSON: syntax error at line %s, column %s"), line, column);
    return Fmt(TrEn("not JSON: syntax error at byte %s"), byte);
  }
  const std::size_t end = message.find("] ");
  return Fmt(TrEn("not JSON: %s"), end == std::string::npos ? message : message.substr(end + 2));
}

TTorvelSettings LoadTorvelSettings() {
  const std::string path = TorvelSettingsPath();
  TTorvelSettings settings;
  std::string text;
  try {
    text = ReadRegularFile(path, kMaxSettingsBytes);
  } catch (const TFileReadError& e) {
    if (e.Code() == ENOENT) return settings;
    Fail(path, Fmt(TrEn("cannot be read: %s"), std::string(e.what())));
  }
  return ParseTorvelSettings(text, path);
}

TTorvelSettings ParseTorvelSettings(std::string_view text, const std::string& path) {
  TTorvelSettings settings;
  json root;
  try {
    // A settings file is a flat object: deep nesting is refused while it is
    // read, before it can cost memory or a deep walk.
    root = json::parse(text.begin(), text.end(), [&](int depth, json::parse_event_t, json&) {
      if (depth > kMaxSettingsDepth)
        Fail(path, Fmt(TrEn("nested deeper than %s levels"), kMaxSettingsDepth));
      return true;
    });
  } catch (const json::exception& e) {
    const auto* syntax = dynamic_cast<const json::parse_error*>(&e);
    Fail(path, JsonRefusalText(e.id, syntax != nullptr ? syntax->byte : 0, e.what()));
  }
  if (!root.is_object())
    Fail(path, Fmt(TrEn("expected a JSON object, found %s"), std::string(root.type_name())));
  if (const auto it = root.find("image"); it != root.end() && !it->is_null()) {
    if (!it->is_string())
      Fail(path, Fmt(TrEn("member %s: expected a string, found %s"), std::string("image"),
                     std::string(it->type_name())));
    settings.Image = it->get<std::string>();
  }
  if (const auto it = root.find("delay_ms"); it != root.end() && !it->is_null()) {
    if (!it->is_number_integer() ||
        (it->is_number_unsigned() && it->get<uint64_t>() > kMaxDelayMs) || it->get<int64_t>() < 0 ||
        it->get<int64_t>() > kMaxDelayMs) {
      Fail(path, Fmt(TrEn("member delay_ms: expected null or an integer 0..%s, found %s"),
                     kMaxDelayMs, Shown(*it)));
    }
    settings.DelayMs = static_cast<int>(it->get<int64_t>());
  }
  if (const auto it = root.find("connection"); it != root.end() && !it->is_null()) {
    if (*it == "serial") {
      settings.Connection = TTorvelConnection::Serial;
    } else if (*it != "emulator") {
      Fail(path, Fmt(TrEn("member connection: expected \"emulator\" or \"serial\", found %s"),
                     Shown(*it)));
    }
  }
  if (const auto it = root.find("port"); it != root.end() && !it->is_null()) {
    if (!it->is_string())
      Fail(path, Fmt(TrEn("member %s: expected a string, found %s"), std::string("port"),
                     std::string(it->type_name())));
    settings.Port = it->get<std::string>();
  }
  if (const auto it = root.find("baud"); it != root.end() && !it->is_null()) {
    if (!it->is_number_integer() || !IsSupportedBaud(static_cast<int>(it->get<int64_t>())) ||
        it->get<int64_t>() != static_cast<int>(it->get<int64_t>())) {
      Fail(path, Fmt(TrEn("member baud: expected 9600, 19200, 38400, 57600 or 115200, found %s"),
                     Shown(*it)));
    }
    settings.Baud = static_cast<int>(it->get<int64_t>());
  }
  if (const auto it = root.find("reconnect_wait"); it != root.end() && !it->is_null()) {
    if (!it->is_number_integer() || it->get<int64_t>() < 0 ||
        it->get<int64_t>() > kMaxReconnectWait) {
      Fail(path, Fmt(TrEn("member reconnect_wait: expected an integer 0..%s, found %s"),
                     kMaxReconnectWait, Shown(*it)));
    }
    settings.ReconnectWait = static_cast<int>(it->get<int64_t>());
  }
  return settings;
}

void SaveTorvelSettings(const TTorvelSettings& settings) {
  const std::string path = TorvelSettingsPath();
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) Fail(path, Fmt(TrEn("cannot create the folder: %s"), ec.message()));

  const std::string text = FormatTorvelSettings(settings);
  TSafeFileWriter file(path);
  file.Stream().Write(text.data(), text.size());
  file.Commit();
}

bool IsSupportedBaud(int baud) {
  return baud == 9600 || baud == 19200 || baud == 38400 || baud == 57600 || baud == 115200;
}

TTorvelChoice EffectiveConnection(const TTorvelSettings& settings) {
  const auto env = [](const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
  };
  TTorvelChoice choice;
  choice.Connection = settings.Connection;
  choice.Image = settings.Image;
  choice.Port = settings.Port;
  choice.Baud = settings.Baud;
  if (const std::string port = env("TORVEL_PORT"); !port.empty()) {
    choice.Connection = TTorvelConnection::Serial;
    choice.Port = port;
  } else if (const std::string image = env("TORVEL_IMAGE"); !image.empty()) {
    choice.Connection = TTorvelConnection::Emulator;
    choice.Image = image;
  }
  if (const std::string baud = env("TORVEL_BAUD"); !baud.empty()) {
    int value = 0;
    const auto [end, ec] = std::from_chars(baud.data(), baud.data() + baud.size(), value);
    if (ec != std::errc() || end != baud.data() + baud.size() || !IsSupportedBaud(value)) {
      throw Error(Fmt(
          TrEn("TORVEL_BAUD: expected 9600, 19200, 38400, 57600 or 115200, found \"%s\""), baud));
    }
    choice.Baud = value;
  }
  choice.TracePath = env("TORVEL_TRACE");
  return choice;
}

std::string FormatTorvelSettings(const TTorvelSettings& settings) {
  json root = json::object();
  root["image"] = settings.Image;
  root["delay_ms"] = settings.DelayMs ? json(*settings.DelayMs) : json(nullptr);
  root["connection"] = settings.Connection == TTorvelConnection::Serial ? "serial" : "emulator";
  root["port"] = settings.Port;
  root["baud"] = settings.Baud;
  root["reconnect_wait"] = settings.ReconnectWait;
  try {
    return root.dump(2) + "\n";
  } catch (const json::type_error&) {
    // A file name need not be UTF-8; the settings file holds only UTF-8.
    throw Error(
        TrEn("Driver settings: the image or port path is not UTF-8 text, which the settings "
             "file cannot hold"));
  }
}

std::string EffectiveImagePath(const TTorvelSettings& settings) {
  if (const char* image = std::getenv("TORVEL_IMAGE"); image != nullptr && *image != '\0') {
    return image;
  }
  return settings.Image;
}

}  // namespace kvitor
