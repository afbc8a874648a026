#pragma once

#include <optional>
#include <string>

namespace kvitor {

// The driver's own settings, kept in $XDG_CONFIG_HOME/torvel/settings.json
// (~/.config/torvel/settings.json without XDG_CONFIG_HOME):
//   {"image": "/path/file.json", "delay_ms": null}
struct TTorvelSettings {
  // The storage image to serve; empty for the built-in demo storage.
  std::string Image;
  // Replaces the image's delay_ms when set.
  std::optional<int> DelayMs;

  friend bool operator==(const TTorvelSettings&, const TTorvelSettings&) = default;
};

// Where the settings file is.
[[nodiscard]] std::string TorvelSettingsPath();

// The settings from the file; defaults when there is none. A file that cannot
// be read or parsed raises Error naming the file (and the member).
[[nodiscard]] TTorvelSettings LoadTorvelSettings();

// Writes the file with the program's safe writer (TSafeFileWriter), so that a
// failing write leaves the old file whole. Raises Error on failure.
void SaveTorvelSettings(const TTorvelSettings& settings);

// The storage image a new driver instance serves: TORVEL_IMAGE when set and
// not empty, else the settings' image (empty: the demo storage).
[[nodiscard]] std::string EffectiveImagePath(const TTorvelSettings& settings);

// The largest delay accepted from a settings or image file, in milliseconds.
inline constexpr int kMaxDelayMs = 60'000;

}  // namespace kvitor
