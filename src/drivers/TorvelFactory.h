// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <memory>

#include "drivers/Torvel.h"

namespace kvitor {

// A new driver instance, configured from the driver's settings and the
// environment (TORVEL_PORT, TORVEL_IMAGE, TORVEL_BAUD, TORVEL_TRACE): the
// serial driver when the connection is a serial port, else the emulated one. Error "Driver runtime
// is not initialised on this thread" outside a TDriverThreadScope. A broken settings file does not
// stop the creation: the instance reports it from its device operations, so that its settings
// dialog can still be opened to mend it.
[[nodiscard]] std::unique_ptr<TTorvel> CreateTorvel();

}  // namespace kvitor
