// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "drivers/serial/FNCommands.h"
#include "drivers/serial/FNTransport.h"

namespace kvitor {

// How long to wait and how often to ask again. The protocol documents no
// timeouts: public tools wait 300 ms for ordinary commands and longer for the
// ones that search the archive.
struct TFNLinkOptions {
  // For the first byte of an answer.
  std::chrono::milliseconds Answer{300};
  std::chrono::milliseconds SlowAnswer{3000};  // 40h, 41h, 43h, 44h, 45h
  // Between bytes of one answer: a slow line keeps the wait alive.
  std::chrono::milliseconds InterByte{200};
  // The quiet that ends a drain, and that tells an answer out of turn from
  // the one that follows it.
  std::chrono::milliseconds Settle{100};
  // How long the first command after opening is sent again while the storage
  // wakes up.
  std::chrono::milliseconds WakeUp{6000};
  int Retries = 3;  // after the first attempt
  // The speed the port was opened at; when set and nothing answers at it,
  // the other speeds are tried.
  int Baud = 0;
};

struct TFNAnswer {
  uint8_t Code = 0;
  std::string Data;
};

// A request that cannot be repeated (46h) got no intact answer: the caller
// starts over from the command that makes it possible again.
class TFNAnswerLost : public Error {
 public:
  // damagedLength: the length field of a whole frame that came with a wrong
  // CRC (the storage did answer, and its answer was that long); 0 when
  // nothing whole came.
  TFNAnswerLost(const std::string& message, std::size_t damagedLength)
      : Error(message), damagedLength_(damagedLength) {}
  [[nodiscard]] std::size_t DamagedLength() const { return damagedLength_; }

 private:
  std::size_t damagedLength_;
};

// The command layer: sends a request, reads one answer framed by its length,
// and takes it only when it fits the request. The protocol has no sequence
// number, so an echo of the request is skipped, an answer of the wrong code
// or length is read past as one out of turn, the line is drained after a
// failed attempt, and after a failed attempt the answer taken is held for a
// settle time in case it was the late answer to the attempt before. A lost
// or broken answer to a repeatable request is asked again, at most Retries
// times; then TConnectionLost names the port and the command.
class TFNLink {
 public:
  TFNLink(std::unique_ptr<TFNTransport> transport, TFNLinkOptions options);

  // maxData bounds a successful answer's data (46h: what is left of the
  // document, 0 when nothing can be left); none leaves the command's own.
  TFNAnswer Exchange(const TFNRequest& request, std::optional<std::size_t> maxData = {});
  // The first command after opening: sent again while the storage wakes up,
  // then at the other speeds.
  TFNAnswer Wake(const TFNRequest& request);

  [[nodiscard]] const std::string& PortName() const { return transport_->Name(); }
  // Answers lost or broken so far, each followed by a new attempt or a restart.
  [[nodiscard]] int Failures() const { return failures_; }
  // The speed the storage answered at, when not the one asked for.
  [[nodiscard]] int Baud() const { return options_.Baud; }
  // Marks the line as holding a possible answer out of turn, so that the
  // next exchange drains it first (a refused answer asked again).
  void Unsettle() { dirty_ = true; }

  // The transport back, for keeping the port open.
  [[nodiscard]] std::unique_ptr<TFNTransport> Release() { return std::move(transport_); }

 private:
  enum class TOutcome { Answer, Silent, Broken };
  TOutcome Once(const TFNRequest& request, std::size_t maxData, TFNAnswer& answer,
                std::string& why);
  // Discards what arrives until the line has been quiet for the settle time.
  void Drain();

  std::unique_ptr<TFNTransport> transport_;
  TFNLinkOptions options_;
  int failures_ = 0;
  bool dirty_ = false;             // the line may hold the rest of a failed attempt
  bool suspect_ = false;           // an earlier attempt's answer may still come
  std::size_t damagedLength_ = 0;  // of the last attempt's frame with a wrong CRC
};

// The speeds tried when the storage is silent at the one set, in this order.
[[nodiscard]] std::vector<int> ProbeSpeeds(int configured);

}  // namespace kvitor
