// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "drivers/emulated/StorageImage.h"

namespace kvitor {

// The data file's "wire_faults": faults of the line and of the storage, and
// how the storage hands out a document.
struct TWireFaults {
  struct TAnswer {
    uint8_t Command = 0;
    std::optional<int64_t> Document;
    uint8_t Code = 0;
  };
  struct TLate {
    uint8_t Command = 0;
    std::optional<int64_t> Document;
    int Ms = 0;
  };
  std::vector<TAnswer> Answers;  // that command answers that code
  int CorruptEvery = 0;          // every Nth answer has one byte changed
  int SilentEvery = 0;           // every Nth request gets no answer
  int DisconnectAfter = 0;       // the line is closed after N answers
  // Newer members.
  bool Echo = false;                // every request comes back before its answer
  std::vector<TLate> Late;          // the first answer to that command comes late
  double DamagePercent = 0;         // answers with one byte changed, at random
  double LossPercent = 0;           // requests without an answer, at random
  uint32_t Seed = 1;                // of the two above
  int WakeMs = 0;                   // no answer until this long after the first request
  int CutAfter = 0;                 // the Nth answer stops halfway and the line closes
  bool LengthCountsHeader = false;  // 45h's length counts the document's 4-byte header
  // Not a fault: the data file sets block_size, so 46h hands out pieces of
  // that size rather than one TLV each.
  bool FixedPieces = false;
};

// The wire faults of a data file's JSON text (none when it has none). Errors
// name the file and the member, like the loader's.
[[nodiscard]] TWireFaults ParseWireFaults(std::string_view json, const std::string& name);

// The emulated storage as its serial protocol shows it: turns one request
// into one answer frame, from the same storage image the emulated driver
// serves. Knows nothing of terminals.
class TFNWireStorage {
 public:
  TFNWireStorage(std::shared_ptr<const TStorageImage> image, TWireFaults faults);

  struct TReply {
    std::string Frame;        // empty: the request gets no answer
    int DelayMs = 0;          // to wait before answering
    bool Disconnect = false;  // close the line after this answer
    bool Echo = false;        // send the request back first
    bool Cut = false;         // send half the answer, then close the line
  };
  // A request frame's code and data.
  [[nodiscard]] TReply Handle(uint8_t code, std::string_view data);

  [[nodiscard]] int64_t Requests() const { return requests_; }

 private:
  struct TAnswer {
    uint8_t Code = 0;
    std::string Data;
  };
  TAnswer Answer(uint8_t code, std::string_view data, int& delayMs);
  [[nodiscard]] std::optional<std::string> RegistrationNumber() const;

  std::shared_ptr<const TStorageImage> image_;
  TWireFaults faults_;
  int64_t requests_ = 0;
  int64_t answers_ = 0;
  int64_t current_ = 0;  // the document last asked for
  std::optional<std::string> body_;
  std::size_t offset_ = 0;
  std::vector<bool> lateDone_;
  std::mt19937 random_;
  std::optional<std::chrono::steady_clock::time_point> firstRequest_;
};

}  // namespace kvitor
