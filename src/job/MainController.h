#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "DateTime.h"
#include "FNReport.h"
#include "FNReportReader.h"
#include "NotifyThread.h"
#include "Torvel.h"

namespace kvitor {

struct TReadParams {
  int32_t FirstNumber = 0;
  int32_t LastNumber = 0;
  bool OnlyIfTag1162Exist = false;
};

// The published status of the read job, copied whole.
struct TMainControllerStatus {
  uint8_t State = 0;  // 0 none yet, 1 running, 2 ended with an error, 3 ended
  std::string Text;   // UTF-8
  int32_t Percent = 0;
  TDateTime EndTime = 0;
  TDateTime StartTime = 0;
  TDateTime Elapsed = 0;
  TDateTime Remaining = 0;
};

// Runs read jobs on a worker thread, reads the storage status, owns the report
// and saves it. All public operations are called on one (the window's) thread.
class TMainController {
 public:
  using TDriverFactory = std::function<std::unique_ptr<TTorvel>()>;
  using TClock = std::function<TDateTime()>;
  using TNotify = std::function<void(TMainController& sender)>;

  // The factory makes every driver instance (default CreateTorvel); the clock
  // gives "now" (default the local time).
  explicit TMainController(TDriverFactory driverFactory = {}, TClock clock = {});
  // Stops a running job and waits for it, and for a status read still running.
  ~TMainController();
  TMainController(const TMainController&) = delete;
  TMainController& operator=(const TMainController&) = delete;

  // The shared driver instance, made on first use. Callers that use it hold
  // DriverLock() meanwhile: the start-up status read uses it too.
  [[nodiscard]] TTorvel& GetDriver();
  [[nodiscard]] std::unique_lock<std::mutex> DriverLock() { return std::unique_lock(driverMutex_); }
  int ShowDriverSettings();

  // Checks the range and starts a read job; nothing when one runs.
  void Start(const TReadParams& params);
  // Asks the running job to stop; does not wait.
  void Stop();
  [[nodiscard]] TMainControllerStatus GetStatus() const;

  // Reads the storage status on the calling thread; errors reach the caller.
  void ReadFNStatus();
  // The same on a thread of its own; its errors are dropped.
  void ReadFNStatusAsync();

  // File type 1 the binary file, any other the text file.
  void SaveReport(const std::string& fileName, int32_t fileType);

  // Ready once the last job has built its report and its thread has let go
  // of it, so that the report is never read while a job writes it.
  [[nodiscard]] bool IsReportReady() const;
  [[nodiscard]] bool CanConfigureDriver() const { return !Running(); }
  [[nodiscard]] bool Running() const { return running_.load(std::memory_order_acquire); }
  // Whether the job thread of the last job has ended (true before any job).
  [[nodiscard]] bool JobFinished() const { return jobFinished_.load(std::memory_order_acquire); }
  [[nodiscard]] TFNStatusRec FNStatus() const;
  // Valid once the job that read them has finished.
  [[nodiscard]] const THeaderParams& HeaderParams() const { return headerParams_; }
  [[nodiscard]] const TFNReport& Report() const { return *report_; }
  void SetOnFNStatusRead(TNotify handler) { onFNStatusRead_ = std::move(handler); }

 private:
  void SetStatus(uint8_t state, std::string text, int32_t percent);
  void RunReadJob(TNotifyThread& thread);
  void ReadDocuments(TNotifyThread& thread);
  void RunReadFNStatus();
  void SaveBinReport(const std::string& fileName);
  void SaveTextReport(const std::string& fileName);
  [[nodiscard]] std::unique_ptr<TTorvel> MakeDriver() const;

  TDriverFactory driverFactory_;
  TClock clock_;

  std::mutex driverMutex_;  // serialises every use of the shared driver
  std::unique_ptr<TTorvel> driver_;
  std::atomic<bool> running_{false};
  std::atomic<bool> jobFinished_{true};
  std::unique_ptr<TFNReport> report_;
  std::unique_ptr<TNotifyThread> jobThread_;
  mutable std::mutex lock_;  // guards status_ and fnStatus_
  TFNStatusRec fnStatus_{};
  int32_t firstNumber_ = 0;
  int32_t lastNumber_ = 0;
  bool onlyIfTag1162Exist_ = false;
  TNotify onFNStatusRead_;
  TMainControllerStatus status_;
  THeaderParams headerParams_;

  // Start-up status reads still running; the destructor waits for them.
  std::mutex statusThreadsMutex_;
  std::condition_variable statusThreadsDone_;
  int statusThreads_ = 0;
};

}  // namespace kvitor
