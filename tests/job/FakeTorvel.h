// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "drivers/Torvel.h"
#include "drivers/emulated/StorageImage.h"
#include "job/MainController.h"

namespace kvitor::test {

// A point where a driver call waits for the test: the call announces that it
// has arrived and waits until the test opens the gate.
class TGate {
 public:
  void Arrive();
  // Whether a call has arrived; gives up after a generous bound.
  [[nodiscard]] bool WaitArrived();
  void Open();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool arrived_ = false;
  bool open_ = false;
};

struct TFakeDocument {
  int32_t Type = 3;
  std::string Body;
  std::optional<TTicketImage> Ticket;
};

// One driver operation as an instance saw it.
struct TFakeCall {
  int Instance = 0;            // creation order, from 0
  std::string Operation;       // "OpenDevice", ... and "Destroy" for the destructor
  int64_t DocumentNumber = 0;  // property 128 when the call began
  std::thread::id Thread;
  bool ScopeActive = false;  // TDriverThreadScope::IsActive() on that thread
  bool Opened = false;       // the instance had been opened (a job's instance)
};

inline constexpr char16_t kHookFaultText[] = u"Сбой по сценарию";
inline constexpr char kHookFaultTextUtf8[] = "Сбой по сценарию";

struct TFakeCreation {
  std::thread::id Thread;
  bool ScopeActive = false;
};

// The scripted storage behind every instance the factory makes, and the record
// of what they were asked. The script is set before the controller runs and is
// read-only afterwards; the record is guarded.
class TFakeStorage : public std::enable_shared_from_this<TFakeStorage> {
 public:
  struct TFault {
    std::string Operation;
    int64_t Document = 0;  // 0: whatever the document number
    int Code = 0;
    std::u16string Description;
  };

  std::map<int32_t, TFakeDocument> Documents;
  std::array<int64_t, 5> Status{};
  TDateTime Date = 0;
  TDateTime Time = 0;
  std::u16string SerialNumber = u"9999078900012345";
  int64_t LastDocumentNumber = 0;
  int64_t SessionNumber = 0;
  std::optional<int64_t> RegisterTable;  // model parameter 72
  std::u16string RegNumber = u"0000000001012345";
  std::size_t BlockSize = 4;
  int SettingsDialogResult = 0;
  std::vector<TFault> Faults;
  // Called at the start of every operation, on the calling thread; a
  // non-zero result fails the call with that code and kHookFaultText.
  std::function<int(const TFakeCall&)> OnCall;
  // Creations from this index on throw, as a driver that cannot be made.
  int FailCreationFrom = 1 << 30;

  // Documents first..last: receipts whose body holds their number (tag 1040),
  // each confirmed.
  void AddReceipts(int32_t first, int32_t last);

  [[nodiscard]] TMainController::TDriverFactory Factory();
  [[nodiscard]] std::unique_ptr<TTorvel> Create();

  void Record(const TFakeCall& call);
  [[nodiscard]] std::vector<TFakeCall> Calls() const;
  [[nodiscard]] std::vector<TFakeCreation> Creations() const;
  // The document numbers of the calls of one operation, in order; instance -1
  // for every instance.
  [[nodiscard]] std::vector<int64_t> NumbersOf(const std::string& operation,
                                               int instance = -1) const;
  // Position of the first matching call in the record, or -1.
  [[nodiscard]] int IndexOf(const std::string& operation, int instance) const;
  [[nodiscard]] int LastIndexOf(int instance) const;

 private:
  mutable std::mutex mutex_;
  std::vector<TFakeCall> calls_;
  std::vector<TFakeCreation> creations_;
};

// A settable clock; the controller calls it from its job thread.
class TTestClock {
 public:
  explicit TTestClock(TDateTime start) : now_(start) {}
  void Set(TDateTime now) { now_.store(now); }
  [[nodiscard]] TDateTime Now() const { return now_.load(); }
  [[nodiscard]] TMainController::TClock Function() {
    return [this] { return now_.load(); };
  }

 private:
  std::atomic<TDateTime> now_;
};

}  // namespace kvitor::test
