// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/emulated/StorageImage.h"

namespace kvitor {

// A generated run of fiscal documents: a registration report, then shifts
// (opening report, receipts with the odd БСО, correction and state report,
// closing report with its counters), perhaps a storage closing report last.
// Only the shift layout is held (a few bytes per shift); each body and
// confirmation is made on request from (seed, number), so 250,000 documents
// cost little memory and start-up time. The same seed and count always give
// the same documents: the generator uses its own splitmix64 sequence, not the
// standard library's distributions, whose output differs between versions.
class TSyntheticDocuments {
 public:
  // Who the documents belong to. Empty members are derived from the seed.
  struct TIdentity {
    std::string FNNumber;   // 16 digits
    std::string RegNumber;  // РН ККТ, up to 20 characters
  };

  // count documents numbered from firstNumber; continuesStorage: documents
  // precede them, so the first one is a registration change (11), not 1.
  // ffd12: documents of format 1.2 as storages of 2026 hold them (marking
  // codes in 1163, measures, industry requisites, VAT of 22 % in 1115).
  TSyntheticDocuments(uint64_t seed, int32_t count, int32_t firstNumber, bool continuesStorage,
                      const TIdentity& identity, bool ffd12 = false);

  [[nodiscard]] int32_t Count() const { return count_; }
  [[nodiscard]] int32_t FirstNumber() const { return firstNumber_; }
  [[nodiscard]] bool Contains(int64_t number) const {
    return count_ > 0 && number >= firstNumber_ && number - firstNumber_ < count_;
  }
  // Shift opening reports in the run.
  [[nodiscard]] int32_t ShiftCount() const { return shiftCount_; }
  [[nodiscard]] const std::string& FNNumber() const { return fnNumber_; }
  [[nodiscard]] const std::string& RegNumber() const { return regNumber_; }

  // For a number that Contains.
  [[nodiscard]] int32_t TypeOf(int32_t number) const;
  [[nodiscard]] std::string BodyOf(int32_t number) const;
  // The body written into body (its capacity reused, so that a reader of
  // many documents allocates nothing per document); returns the type.
  int32_t BodyInto(int32_t number, std::string& body) const;
  // None for the last few documents, which the operator has not confirmed yet.
  [[nodiscard]] std::optional<TTicketImage> TicketOf(int32_t number) const;
  // The same written into ticket, its texts' buffers reused; false for none.
  bool TicketInto(int32_t number, TTicketImage& ticket) const;
  // The document's date-time (its tag 1012) as seconds since 1970, local.
  [[nodiscard]] int64_t TimeOf(int32_t number) const;

  // Documents at the end of the run without confirmation.
  static constexpr int32_t kUnconfirmedTail = 3;

 private:
  struct TBlock {
    int32_t Start = 0;    // position of its first document
    int32_t Length = 0;   // documents, the registration change included
    int32_t Shift = 0;    // shift number; 0 for the registration and the tail
    int32_t Opening = 0;  // its day's first document, in seconds after 08:00
    bool Change = false;  // begins with a registration change report
    bool Closed = false;  // ends with a shift closing report
    bool Tail = false;    // state reports before the storage closing report
  };

  struct TPlace {
    const TBlock* Block;
    int32_t Offset;  // within the block
  };

  [[nodiscard]] TPlace Locate(int32_t position) const;
  // With the place of position, when the caller has it already.
  [[nodiscard]] int32_t TypeAt(const TPlace& place, int32_t position) const;
  [[nodiscard]] int32_t MiddleType(int32_t number) const;
  [[nodiscard]] int64_t TimeAt(const TPlace& place, int32_t position) const;
  // The day's first document, in seconds after 08:00 (day counts blocks).
  [[nodiscard]] int32_t OpeningOf(int64_t day) const;

  uint64_t id_;  // tells runs apart in a thread's tally of a shift
  uint64_t seed_;
  int32_t count_;
  int32_t firstNumber_;
  bool continuesStorage_;
  bool closesStorage_ = false;
  int32_t shiftCount_ = 0;
  uint8_t ffdVersion_ = 2;
  bool ffd12_ = false;
  bool autonomous_ = false;  // registered for work without the operator
  int64_t firstDay_ = 0;     // seconds since 1970 of the first day, midnight
  std::string fnNumber_;
  std::string regNumber_;
  std::string inn_;
  std::string serialKKT_;
  int owner_ = 0;  // index of the user's name and address
  // Items that stay the same through the run, encoded once: those around a
  // document's time and number, and the place with each cashier.
  std::string headFront_;
  std::string headBack_;
  std::vector<std::string> places_;
  std::vector<TBlock> blocks_;
  // The block of every kBucket-th position, where Locate starts: a block
  // holds seven documents or more but for a few, so it steps past few.
  static constexpr int32_t kBucket = 64;
  std::vector<uint32_t> firstBlock_;

  friend class TSyntheticBodyWriter;
};

}  // namespace kvitor
