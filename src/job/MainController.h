// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/DateTime.h"
#include "base/Error.h"
#include "drivers/Torvel.h"
#include "job/FNReportReader.h"
#include "job/NotifyThread.h"
#include "job/ReadJournal.h"
#include "report/FNReport.h"
#include "report/ReportSave.h"

namespace kvitor {

struct TReadParams {
  int32_t FirstNumber = 0;
  int32_t LastNumber = 0;
  bool OnlyIfTag1162Exist = false;
  bool Restart = false;  // discard the storage's journal and read everything
  bool Ffd12 = false;    // the tags of format 1.2 and later named and kept
};

// The read job's state as published; the values are fixed.
enum class TJobState : uint8_t {
  None = 0,      // no job has run yet
  Running = 1,   // a job is running
  Failed = 2,    // the last job ended with an error
  Finished = 3,  // the last job ended, finished or stopped
};

// The published status of the read job, copied whole.
struct TMainControllerStatus {
  TJobState State = TJobState::None;
  std::string Text;  // UTF-8
  int32_t Percent = 0;
  TDateTime EndTime = 0;
  TDateTime StartTime = 0;
  TDateTime Elapsed = 0;
  TDateTime Remaining = 0;
  bool AwaitingStorage = false;  // the line was lost; the job waits for the storage
};

// A document range that Start refuses; other errors of Start are not the
// caller's doing.
class TRangeError : public Error {
 public:
  using Error::Error;
};

// Whether the status carries an estimate of the running job's end: only once
// the job has published a percent (before that EndTime is an earlier job's).
[[nodiscard]] bool HasEstimate(const TMainControllerStatus& status);
// A duration as shown: never below zero, since the local clock may step back.
[[nodiscard]] TDateTime ShownDuration(TDateTime duration);
// A duration as shown, hours:minutes:seconds ("0:00:05", "27:03:09") in every
// locale, never below zero.
[[nodiscard]] std::string DurationText(TDateTime duration);
// "прочитано 89 из 300", what a stopped job read out of its range.
[[nodiscard]] std::string StoppedJobText(int32_t read, int32_t count);
// done * 100 / count to the nearest integer, halves to the even neighbour,
// at most 100; 0 for no count.
[[nodiscard]] int32_t RoundedPercent(int32_t done, int32_t count);

// The progress of a save running on its own thread.
struct TSaveStatus {
  bool Running = false;
  int64_t Written = 0;  // documents written so far
  int64_t Total = 0;    // documents of the report
  std::string Error;    // the failure's message once it has ended, else empty
};

// Runs read jobs on a worker thread, reads the storage status, owns the report
// and saves it. All public operations are called on one (the window's) thread.
class TMainController {
 public:
  using TDriverFactory = std::function<std::unique_ptr<TTorvel>()>;
  using TClock = std::function<TDateTime()>;
  using TNotify = std::function<void(TMainController& sender)>;
  using TNotifyError = std::function<void(TMainController& sender, const std::string& error)>;

  // The factory makes every driver instance (default CreateTorvel); the clock
  // gives "now" (default the local time).
  explicit TMainController(TDriverFactory driverFactory = {}, TClock clock = {});
  // Stops a running job and waits for it, and for a status read still running.
  ~TMainController();
  TMainController(const TMainController&) = delete;
  TMainController& operator=(const TMainController&) = delete;

  int ShowDriverSettings();

  // Checks the range and starts a read job; nothing when one runs.
  void Start(const TReadParams& params);
  // Asks the running job to stop; does not wait.
  void Stop();
  [[nodiscard]] TMainControllerStatus GetStatus() const;

  // Reads the storage status on the calling thread; errors reach the caller.
  void ReadFNStatus();
  // The same on a thread of its own, without waiting for it; its errors go
  // to the OnFNStatusFailed handler (on that thread), else are dropped.
  void ReadFNStatusAsync();

  // Binary the binary file, any other value the text file. Runs on the
  // calling thread.
  void SaveReport(const std::string& fileName, TReportFileType fileType);
  // The same on a thread of its own, so that the window stays responsive;
  // nothing when a save runs. Its progress and outcome: GetSaveStatus.
  void StartSave(const std::string& fileName, TReportFileType fileType);
  [[nodiscard]] TSaveStatus GetSaveStatus() const;
  // Called on the save's thread before it writes (tests hold a save there).
  void SetOnSaveThreadStart(std::function<void()> handler) {
    onSaveThreadStart_ = std::move(handler);
  }

  // Ready once the last job has built its report and its thread has let go
  // of it, so that the report is never read while a job writes it.
  [[nodiscard]] bool IsReportReady() const;
  [[nodiscard]] bool CanConfigureDriver() const { return !Running(); }
  [[nodiscard]] bool Running() const { return running_.load(std::memory_order_acquire); }
  // Whether the job thread of the last job has ended (true before any job).
  [[nodiscard]] bool JobFinished() const { return jobFinished_.load(std::memory_order_acquire); }
  // Once the last job has finished: whether a stop ended it before its last
  // document, how many documents it read, and how many its range holds.
  [[nodiscard]] bool JobStopped() const { return jobStopped_.load(std::memory_order_acquire); }
  [[nodiscard]] int32_t DocumentsRead() const {
    return documentsRead_.load(std::memory_order_acquire);
  }
  [[nodiscard]] int32_t DocumentsToRead() const { return lastNumber_ - firstNumber_ + 1; }
  [[nodiscard]] TFNStatusRec FNStatus() const;
  // Valid once the job that read them has finished.
  [[nodiscard]] const THeaderParams& HeaderParams() const { return headerParams_; }
  [[nodiscard]] const TFNReport& Report() const { return *report_; }
  void SetOnFNStatusRead(TNotify handler) { onFNStatusRead_ = std::move(handler); }
  void SetOnFNStatusFailed(TNotifyError handler) { onFNStatusFailed_ = std::move(handler); }

  // How long a job waits for a lost line to come back; 0 ends it at once.
  void SetReconnectWait(std::chrono::seconds wait) { reconnectWait_ = wait; }
  // Once the running job has opened its journal: how many documents of its
  // range the journal held, and the first number it reads from the storage.
  [[nodiscard]] std::optional<std::pair<int32_t, int32_t>> JournalUse() const;
  // How many documents of first..last the journal of the storage last read
  // by ReadFNStatus holds.
  [[nodiscard]] int32_t JournaledDocuments(int32_t first, int32_t last);
  // Once the last job has finished: its report holds only part of the range
  // (it failed), or it has been saved since.
  [[nodiscard]] bool ReportIncomplete() const { return reportIncomplete_; }
  [[nodiscard]] bool ReportSaved() const { return reportSaved_; }
  // After a save of the last job's report: deletes the journal when the job
  // read its whole range and the journal holds nothing beyond it.
  void ForgetSavedRead();

 private:
  // The shared driver instance, made on first use. Callers that use it hold
  // DriverLock() meanwhile: the start-up status read uses it too.
  [[nodiscard]] TTorvel& GetDriver();
  [[nodiscard]] std::unique_lock<std::mutex> DriverLock() { return std::unique_lock(driverMutex_); }
  void SetStatus(TJobState state, std::string text, int32_t percent, bool awaiting = false);
  void RunReadJob(TNotifyThread& thread);
  void EndReadJob(bool bodyRan);
  // The driver's warnings for the end message.
  std::string ReadDocuments(TNotifyThread& thread);
  void RunReadFNStatus();
  void WaitForStatusReads();
  void SaveBinReport(const std::string& fileName);
  void SaveTextReport(const std::string& fileName);
  [[nodiscard]] std::unique_ptr<TTorvel> MakeDriver() const;
  [[nodiscard]] std::unique_ptr<TReadJournal> OpenJournal(TTorvel& driver);
  void ReadRange(TNotifyThread& thread, std::unique_ptr<TTorvel>& driver,
                 std::unique_ptr<TFNReportReader>& reader, TReadJournal& journal);
  bool AwaitStorage(TNotifyThread& thread, std::unique_ptr<TTorvel>& driver,
                    std::unique_ptr<TFNReportReader>& reader, int32_t percent);

  TDriverFactory driverFactory_;
  TClock clock_;

  std::mutex driverMutex_;  // serialises every use of the shared driver
  std::unique_ptr<TTorvel> driver_;
  std::atomic<bool> running_{false};
  std::atomic<bool> jobFinished_{true};
  std::atomic<bool> jobStopped_{false};
  std::atomic<int32_t> documentsRead_{0};
  std::unique_ptr<TFNReport> report_;
  std::unique_ptr<TNotifyThread> jobThread_;
  mutable std::mutex lock_;  // guards status_, fnStatus_ and saveError_
  TFNStatusRec fnStatus_{};
  int32_t firstNumber_ = 0;
  int32_t lastNumber_ = 0;
  bool onlyIfTag1162Exist_ = false;
  bool restart_ = false;
  std::chrono::seconds reconnectWait_{120};
  // The journal's part in the running job; under lock_.
  std::optional<std::pair<int32_t, int32_t>> journalUse_;
  // Set by the job before it ends, read once it has.
  std::filesystem::path journalPath_;
  bool journalCovered_ = false;
  std::atomic<bool> reportIncomplete_{false};
  std::atomic<bool> reportSaved_{false};
  bool ffd12_ = false;
  TNotify onFNStatusRead_;
  TNotifyError onFNStatusFailed_;
  TMainControllerStatus status_;
  THeaderParams headerParams_;

  // The saves of the report: the one running on its own thread (or the last
  // one), the progress and the checksum they keep.
  std::unique_ptr<TNotifyThread> saveThread_;
  std::atomic<bool> saving_{false};
  TReportSave save_;
  int64_t saveTotal_ = 0;
  std::string saveError_;  // under lock_
  std::function<void()> onSaveThreadStart_;

  // Status reads on threads of their own, kept until the next one finds them
  // ended, a job starts or the controller goes.
  std::vector<std::unique_ptr<TNotifyThread>> statusThreads_;
};

}  // namespace kvitor
