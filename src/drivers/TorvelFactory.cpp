// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/TorvelFactory.h"

#include "base/Error.h"
#include "base/Messages.h"
#include "drivers/TorvelSettings.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "drivers/serial/FNSerialTorvel.h"

namespace kvitor {

std::unique_ptr<TTorvel> CreateTorvel() {
  if (!TDriverThreadScope::IsActive()) {
    throw Error(TrEn("Driver runtime is not initialised on this thread"));
  }
  TTorvelSettings settings;
  TTorvelChoice choice;
  std::string setupError;
  try {
    settings = LoadTorvelSettings();
    choice = EffectiveConnection(settings);
  } catch (const Error& e) {
    setupError = e.what();
    // Only the environment may still say which connection is meant.
    try {
      choice = EffectiveConnection(TTorvelSettings{});
    } catch (const Error&) {
      choice = TTorvelChoice{};
    }
  }
  if (choice.Connection == TTorvelConnection::Serial) {
    TFNSerialTorvel::TOptions options;
    options.Port = choice.Port;
    options.Baud = choice.Baud;
    options.TracePath = choice.TracePath;
    options.SetupError = setupError;
    return std::make_unique<TFNSerialTorvel>(std::move(options));
  }
  TEmulatedTorvel::TOptions options;
  options.ImagePath = choice.Image;
  options.DelayMs = settings.DelayMs;
  options.SetupError = setupError;
  return std::make_unique<TEmulatedTorvel>(std::move(options));
}

}  // namespace kvitor
