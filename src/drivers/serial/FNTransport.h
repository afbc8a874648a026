// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "drivers/TorvelSettings.h"

namespace kvitor {

// The line is gone: the adapter was unplugged or the terminal closed.
class TFNLineError : public Error {
 public:
  using Error::Error;
};

// A port that cannot be opened; Busy when another connection holds it.
class TFNPortError : public Error {
 public:
  TFNPortError(const std::string& message, bool busy) : Error(message), busy_(busy) {}
  [[nodiscard]] bool Busy() const { return busy_; }

 private:
  bool busy_;
};

// Bytes to and from the storage. Knows nothing of frames.
class TFNTransport {
 public:
  TFNTransport() = default;
  virtual ~TFNTransport() = default;
  TFNTransport(const TFNTransport&) = delete;
  TFNTransport& operator=(const TFNTransport&) = delete;

  // Sends all of bytes; TFNLineError when the line is gone.
  virtual void Write(std::string_view bytes) = 0;
  // Waits at most timeout for bytes, then appends what has arrived (up to
  // most bytes) to buffer and returns their count: 0 when nothing came.
  // TFNLineError when the line is gone.
  virtual std::size_t Read(std::string& buffer, std::size_t most,
                           std::chrono::milliseconds timeout) = 0;
  // Drops what has arrived and was not read.
  virtual void DiscardInput() = 0;
  // The port's name for messages.
  [[nodiscard]] virtual const std::string& Name() const = 0;
  // Changes the line's speed; false when this transport has no speed.
  virtual bool SetBaud(int /*baud*/) { return false; }
  // Whether the line is still there, as far as can be told without sending.
  [[nodiscard]] virtual bool Alive() const { return true; }
};

// A POSIX terminal device in raw mode, 8N1, no flow control, DTR and RTS
// raised, held exclusively (flock and TIOCEXCL) until destroyed; TIOCEXCL is
// cleared before closing, since a terminal keeps it past its last close and
// would refuse everyone but root.
class TSerialPort final : public TFNTransport {
 public:
  // TFNPortError naming the port and the system's reason.
  TSerialPort(const std::string& path, int baud);
  ~TSerialPort() override;

  void Write(std::string_view bytes) override;
  std::size_t Read(std::string& buffer, std::size_t most,
                   std::chrono::milliseconds timeout) override;
  void DiscardInput() override;
  [[nodiscard]] const std::string& Name() const override { return path_; }
  bool SetBaud(int baud) override;
  [[nodiscard]] bool Alive() const override;

 private:
  [[noreturn]] void Lost(const std::string& why) const;

  std::string path_;
  int fd_ = -1;
};

// The system's reason for an error number as a Russian phrase: the common
// ones in our words, the others as the system words them in the user's
// language (LC_MESSAGES of the environment).
[[nodiscard]] std::string SystemReason(int error);

// The serial ports present: /dev/serial/by-id/* first (the names that stay
// with an adapter), then /dev/ttyUSB* and /dev/ttyACM*.
[[nodiscard]] std::vector<std::string> ListSerialPorts();

}  // namespace kvitor
