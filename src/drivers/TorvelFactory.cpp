#include "TorvelFactory.h"

#include "EmulatedTorvel.h"
#include "Error.h"
#include "TorvelSettings.h"

namespace kvitor {

std::unique_ptr<TTorvel> CreateTorvel() {
  if (!TDriverThreadScope::IsActive()) {
    throw Error("Driver runtime is not initialised on this thread");
  }
  TEmulatedTorvel::TOptions options;
  try {
    const TTorvelSettings settings = LoadTorvelSettings();
    options.ImagePath = EffectiveImagePath(settings);
    options.DelayMs = settings.DelayMs;
  } catch (const Error& e) {
    options.SetupError = e.what();
  }
  return std::make_unique<TEmulatedTorvel>(std::move(options));
}

}  // namespace kvitor
