// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "fn-emulator/FNWireStorage.h"

namespace kvitor {

// The emulated storage on a new pseudo-terminal: the other end (its path,
// e.g. /dev/pts/7) is opened like a serial adapter's port.
class TPtyServer {
 public:
  // Error when no pseudo-terminal can be made.
  explicit TPtyServer(TFNWireStorage& storage);
  ~TPtyServer();
  TPtyServer(const TPtyServer&) = delete;
  TPtyServer& operator=(const TPtyServer&) = delete;

  [[nodiscard]] const std::string& Path() const { return path_; }
  // The terminal's own end, which this server reads and writes.
  [[nodiscard]] int Descriptor() const { return master_; }

  struct TServeOptions {
    // When above zero, serving ends once no one has had the terminal open for
    // this long after someone had, or for FirstWait before anyone has.
    std::chrono::milliseconds Idle{0};
    std::chrono::milliseconds FirstWait{0};
    // The line's speed: a request sent at another speed is noise to the
    // storage and gets no answer. 0 takes any speed.
    int Baud = 0;
    // When set, bytes take the time they would on a line of this speed.
    int PaceBaud = 0;
  };
  // Serves requests until stop is set, the storage's disconnect fault closes
  // the terminal, or the idle limits pass. The terminal is closed at the end.
  void Serve(const std::atomic<bool>& stop, TServeOptions options);

 private:
  void WriteAll(const std::string& bytes) const;
  // At the line's speed when pacing, counted from start.
  void Send(std::string_view bytes, const TServeOptions& options) const;
  [[nodiscard]] bool SpeedMatches(int baud) const;

  TFNWireStorage& storage_;
  int master_ = -1;
  std::string path_;
};

}  // namespace kvitor
