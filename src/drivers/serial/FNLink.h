// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "base/Error.h"
#include "drivers/serial/FNCommands.h"
#include "drivers/serial/FNTransport.h"

namespace kvitor {

// How long to wait and how often to ask again. Public tools wait 300 ms for
// ordinary commands and longer for the ones that search the archive.
struct TFNLinkOptions {
  std::chrono::milliseconds Answer{300};
  std::chrono::milliseconds SlowAnswer{3000};  // 40h, 43h, 44h, 45h
  int Retries = 3;                             // after the first attempt
  int Baud = 0;  // when set, the wait grows with the frame's time on the line
};

struct TFNAnswer {
  uint8_t Code = 0;
  std::string Data;
};

// A request that cannot be repeated (46h) got no intact answer: the caller
// starts over from the command that makes it possible again.
class TFNAnswerLost : public Error {
 public:
  using Error::Error;
};

// The command layer: sends a request, reads one answer framed by its length,
// and checks it (CRC, a length that fits the command). A lost or broken
// answer to a repeatable request is asked again, at most Retries times; then
// Error names the port and the command. A line that is gone raises at once.
class TFNLink {
 public:
  TFNLink(std::unique_ptr<TFNTransport> transport, TFNLinkOptions options);

  // maxData bounds a successful answer's data (46h: what is left of the
  // document); 0 leaves the command's own bound.
  TFNAnswer Exchange(const TFNRequest& request, std::size_t maxData = 0);

  [[nodiscard]] const std::string& PortName() const { return transport_->Name(); }
  // Answers lost or broken so far, each followed by a new attempt or a restart.
  [[nodiscard]] int Failures() const { return failures_; }

 private:
  enum class TOutcome { Answer, Silent, Broken };
  TOutcome Once(const TFNRequest& request, std::size_t maxData, TFNAnswer& answer,
                std::string& why);
  // Waits for the line to fall quiet, so that the rest of a broken answer is
  // not taken for the next one.
  void Drain();

  std::unique_ptr<TFNTransport> transport_;
  TFNLinkOptions options_;
  int failures_ = 0;
};

}  // namespace kvitor
