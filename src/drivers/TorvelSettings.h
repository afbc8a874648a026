// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kvitor {

// How the driver reaches the storage: the emulated storage, or a fiscal
// storage on a serial port.
enum class TTorvelConnection { Emulator, Serial };

// The line speeds a serial connection accepts, and its default.
[[nodiscard]] bool IsSupportedBaud(int baud);
inline constexpr int kDefaultBaud = 115200;
inline constexpr int kDefaultReconnectWait = 120;
inline constexpr int kMaxReconnectWait = 24 * 3600;

// The driver's own settings, kept in $XDG_CONFIG_HOME/torvel/settings.json
// (~/.config/torvel/settings.json without XDG_CONFIG_HOME):
//   {"image": "/path/file.json", "delay_ms": null,
//    "connection": "emulator", "port": "", "baud": 115200,
//    "reconnect_wait": 120}
struct TTorvelSettings {
  // The storage image to serve; empty for the built-in demo storage.
  std::string Image;
  // Replaces the image's delay_ms when set.
  std::optional<int> DelayMs;
  TTorvelConnection Connection = TTorvelConnection::Emulator;
  // The serial port's device path, and its speed.
  std::string Port{};
  int Baud = kDefaultBaud;
  // Seconds a read waits for a lost line to come back; 0 ends it at once.
  int ReconnectWait = kDefaultReconnectWait;

  friend bool operator==(const TTorvelSettings&, const TTorvelSettings&) = default;
};

// Where the settings file is.
[[nodiscard]] std::string TorvelSettingsPath();

// The settings from the file; defaults when there is none. A file that cannot
// be read or parsed raises Error naming the file (and the member).
[[nodiscard]] TTorvelSettings LoadTorvelSettings();
// The settings from a settings file's text; name stands for the file in
// messages. Raises Error as LoadTorvelSettings does.
[[nodiscard]] TTorvelSettings ParseTorvelSettings(std::string_view text, const std::string& name);
// The text SaveTorvelSettings writes. Raises Error for a text the file cannot
// hold (a path that is not UTF-8).
[[nodiscard]] std::string FormatTorvelSettings(const TTorvelSettings& settings);

// Why the JSON parser refused a text, in the user's language (its own
// messages are English): id and message as it raised them, byte where.
[[nodiscard]] std::string JsonRefusalText(int id, std::size_t byte, const std::string& message);

// Writes the file with the program's safe writer (TSafeFileWriter), so that a
// failing write leaves the old file whole. Raises Error on failure.
void SaveTorvelSettings(const TTorvelSettings& settings);

// The storage image a new driver instance serves: TORVEL_IMAGE when set and
// not empty, else the settings' image (empty: the demo storage).
[[nodiscard]] std::string EffectiveImagePath(const TTorvelSettings& settings);

// What a new driver instance uses: TORVEL_PORT (when set and not empty)
// selects the serial connection on that port, else TORVEL_IMAGE the emulated
// storage with that file, else the settings. TORVEL_BAUD overrides the speed
// and TORVEL_TRACE names the file that logs every frame. Error for a
// TORVEL_BAUD that is not a supported speed.
struct TTorvelChoice {
  TTorvelConnection Connection = TTorvelConnection::Emulator;
  std::string Image;
  std::string Port{};
  int Baud = kDefaultBaud;
  std::string TracePath;
};
[[nodiscard]] TTorvelChoice EffectiveConnection(const TTorvelSettings& settings);

// The largest delay accepted from a settings or image file, in milliseconds.
inline constexpr int kMaxDelayMs = 60'000;

}  // namespace kvitor
