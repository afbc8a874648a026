// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/MainController.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <thread>

#include "base/Error.h"
#include "base/Messages.h"
#include "drivers/TorvelFactory.h"
#include "job/VersionInfo.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"
#include "tlv/StringUtils.h"

namespace kvitor {

int32_t RoundedPercent(int32_t done, int32_t count) {
  if (count <= 0) return 0;
  const double exact = static_cast<double>(done) * 100.0 / count;
  return static_cast<int32_t>(std::min(100.0, std::nearbyint(exact)));  // halves to even
}

bool HasEstimate(const TMainControllerStatus& status) {
  return status.State == TJobState::Running && status.Percent > 0;
}

TDateTime ShownDuration(TDateTime duration) { return duration > 0 ? duration : 0; }

std::string DurationText(TDateTime duration) {
  const auto seconds = std::llround(ShownDuration(duration) * kSecondsPerDay);
  std::array<char, 32> text{};
  std::snprintf(text.data(), text.size(), "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                seconds % 60);
  return text.data();
}

std::string StoppedJobText(int32_t read, int32_t count) {
  return Fmt(Tr("прочитано %s из %s"), read, count);
}

TMainController::TMainController(TDriverFactory driverFactory, TClock clock)
    : driverFactory_(std::move(driverFactory)),
      clock_(std::move(clock)),
      report_(std::make_unique<TFNReport>()) {
  if (!clock_) clock_ = NowDateTime;
}

TMainController::~TMainController() {
  Stop();
  jobThread_.reset();   // waits for the job's end
  saveThread_.reset();  // and for a save's
  WaitForStatusReads();
}

void TMainController::WaitForStatusReads() {
  // Waited for, not stopped: a read once asked for is done.
  for (const auto& thread : statusThreads_) thread->WaitFor();
  statusThreads_.clear();
}

std::unique_ptr<TTorvel> TMainController::MakeDriver() const {
  return driverFactory_ ? driverFactory_() : CreateTorvel();
}

TTorvel& TMainController::GetDriver() {
  if (!driver_) driver_ = MakeDriver();
  return *driver_;
}

int TMainController::ShowDriverSettings() {
  const auto lock = DriverLock();
  const int result = GetDriver().ShowSettingsDialog();
  // An instance keeps the settings it was made with: the next use makes one
  // with the settings the dialog may have changed.
  driver_.reset();
  return result;
}

void TMainController::Start(const TReadParams& params) {
  if (Running()) return;
  if (params.FirstNumber < 1) throw TRangeError(Tr("Неверное значение номера первого документа"));
  if (params.LastNumber < 1) throw TRangeError(Tr("Неверное значение номера последнего документа"));
  if (params.LastNumber < params.FirstNumber) {
    // The line break stands where the window's message box has always broken it.
    throw TRangeError(std::string(Tr("Значение номера первого документа должно")) + " \r\n" +
                      Tr("быть меньше номера последнего документа"));
  }
  firstNumber_ = params.FirstNumber;
  lastNumber_ = params.LastNumber;
  onlyIfTag1162Exist_ = params.OnlyIfTag1162Exist;
  restart_ = params.Restart;
  ffd12_ = params.Ffd12;
  // A start-up status read still running would take the device again after
  // it is released here, and the job would find it busy.
  WaitForStatusReads();
  {
    const auto lock = DriverLock();
    static_cast<void>(GetDriver().ReleaseDevice());
  }
  jobThread_.reset();   // a stopped job may still be finishing its document
  saveThread_.reset();  // the report must not change under a save
  save_.Forget();
  jobThread_ = std::make_unique<TNotifyThread>([this](TNotifyThread& t) { RunReadJob(t); });
  // Also when a Stop comes before the thread runs and its body is skipped.
  jobThread_->SetOnTerminate([this](TNotifyThread&, bool bodyRan) { EndReadJob(bodyRan); });
  jobStopped_.store(false, std::memory_order_release);
  reportIncomplete_.store(false, std::memory_order_release);
  reportSaved_.store(false, std::memory_order_release);
  journalPath_.clear();
  journalCovered_ = false;
  {
    const std::lock_guard guard(lock_);
    journalUse_.reset();
  }
  documentsRead_.store(0, std::memory_order_release);
  running_.store(true, std::memory_order_release);
  jobFinished_.store(false, std::memory_order_release);
  SetStatus(TJobState::Running, {}, 0);
  jobThread_->Start();
}

void TMainController::Stop() {
  if (!Running()) return;
  jobThread_->Terminate();
  running_.store(false, std::memory_order_release);
}

TMainControllerStatus TMainController::GetStatus() const {
  const std::lock_guard guard(lock_);
  return status_;
}

TFNStatusRec TMainController::FNStatus() const {
  const std::lock_guard guard(lock_);
  return fnStatus_;
}

bool TMainController::IsReportReady() const { return JobFinished() && report_->Ready(); }

void TMainController::SetStatus(TJobState state, std::string text, int32_t percent, bool awaiting) {
  const TDateTime now = clock_();
  const std::lock_guard guard(lock_);
  if (state != status_.State) {
    if (state == TJobState::Running) status_.StartTime = now;
    if (state == TJobState::Failed || state == TJobState::Finished) status_.EndTime = now;
  } else if (percent != 0) {
    status_.EndTime = status_.StartTime + (now - status_.StartTime) * 100.0 / percent;
  }
  status_.Elapsed = now - status_.StartTime;
  status_.Remaining = status_.EndTime - now;
  status_.Text = std::move(text);
  status_.State = state;
  status_.Percent = percent;
  status_.AwaitingStorage = awaiting;
}

void TMainController::RunReadJob(TNotifyThread& thread) {
  {
    std::optional<TDriverThreadScope> scope;
    try {
      scope.emplace();
      const std::string warnings = ReadDocuments(thread);
      SetStatus(TJobState::Finished,
                warnings.empty() ? std::string(Tr("Успешно завершено"))
                                 : Fmt(Tr("Успешно завершено. %s"), warnings),
                100);
    } catch (const std::exception& e) {
      SetStatus(TJobState::Failed, Fmt(Tr("Ошибка: %s"), std::string(e.what())),
                GetStatus().Percent);
    }
  }
}

void TMainController::EndReadJob(bool bodyRan) {
  if (!bodyRan) {
    // Stopped before it began: nothing read, and no earlier report offered
    // as this job's.
    report_->Clear();
    jobStopped_.store(true, std::memory_order_release);
    SetStatus(TJobState::Finished, Tr("Успешно завершено"), 100);
  }
  running_.store(false, std::memory_order_release);
  jobFinished_.store(true, std::memory_order_release);
}

std::string TMainController::ReadDocuments(TNotifyThread& thread) {
  std::unique_ptr<TTorvel> driver = MakeDriver();
  auto reader = std::make_unique<TFNReportReader>(driver.get());

  report_->Clear();
  reader->Open();
  THeaderParams params;
  reader->ReadHeaderParams(params);
  headerParams_ = params;

  TFNReportHeader header;
  header.ReportName = Utf8ToCp1251("Отчет о считывании ФД");
  header.ProgramName = Utf8ToCp1251("Quillon, version: " + GetFileVersionText());
  header.RegNumber = headerParams_.RegNumber;
  header.FNNumber = headerParams_.FNNumber;
  header.FFDVersion = 0;
  header.ShiftCount = headerParams_.ShiftCount;
  header.DocumentCount = headerParams_.DocumentCount;
  header.Checksum = 0;
  report_->SetHeader(header);

  const std::unique_ptr<TReadJournal> journal = OpenJournal(*driver);
  ReadRange(thread, driver, reader, *journal);
  report_->Build(onlyIfTag1162Exist_, ffd12_);
  journalCovered_ =
      !JobStopped() && journal->First() >= firstNumber_ && journal->Last() <= lastNumber_;
  // A stop while waiting for a lost line leaves no driver to ask.
  return driver ? driver->Warnings() : std::string();
}

std::unique_ptr<TReadJournal> TMainController::OpenJournal(TTorvel& driver) {
  TJournalKey key{headerParams_.FNNumber, headerParams_.RegNumber, driver.StorageIdentity()};
  auto journal = std::make_unique<TReadJournal>(JournalFolder(), std::move(key), restart_);
  journalPath_ = journal->Path();
  // A range typed far beyond the storage's last document reserves no more
  // than a full storage needs.
  journal->Reserve(std::min<std::size_t>(static_cast<std::size_t>(lastNumber_ - firstNumber_) + 1,
                                         std::size_t{1} << 21U));
  int32_t held = 0;
  int32_t firstToRead = 0;
  for (int32_t number = firstNumber_; number <= lastNumber_ && number > 0; ++number) {
    if (journal->Has(number)) {
      ++held;
    } else if (firstToRead == 0) {
      firstToRead = number;
    }
  }
  const std::lock_guard guard(lock_);
  journalUse_.emplace(held, firstToRead == 0 ? lastNumber_ + 1 : firstToRead);
  return journal;
}

// The documents the journal holds come from it, the others from the storage;
// a lost line is waited for. The result is what one uninterrupted read gives:
// confirmations stop after the first document without one, as they would.
void TMainController::ReadRange(TNotifyThread& thread, std::unique_ptr<TTorvel>& driver,
                                std::unique_ptr<TFNReportReader>& reader, TReadJournal& journal) {
  const int32_t count = lastNumber_ - firstNumber_ + 1;
  bool withTicket = true;
  TFNDocumentRec rec;
  int32_t i = 0;
  // What was read stays saveable and journaled; the message says where to go on.
  const auto fail = [&](int32_t number, const std::string& why) {
    const std::string what = Fmt(Tr("Документ № %s не прочитан: %s"), number, why);
    if (i == 0) throw Error(what);  // nothing to keep, nothing to go on from
    try {
      journal.Flush();
      report_->Build(onlyIfTag1162Exist_, ffd12_);
      reportIncomplete_.store(true, std::memory_order_release);
    } catch (const std::exception&) {
      // The error below is the one to show.
    }
    throw Error(
        Fmt(Tr("%s. Прочитано %s из %s; повторите чтение, чтобы продолжить"), what, i, count));
  };
  while (i < count) {
    if (thread.Terminated()) {
      jobStopped_.store(true, std::memory_order_release);
      break;
    }
    const int32_t number = firstNumber_ + i;
    try {
      if (journal.Get(number, rec)) {
        if (!withTicket) {
          rec.Ticket.TicketData.clear();
        } else if (rec.Ticket.TicketData.empty()) {
          // It may have come since.
          reader->ReadTicket(number, rec.Ticket);
          if (!rec.Ticket.TicketData.empty()) journal.AppendTicket(number, rec.Ticket);
        }
      } else {
        reader->ReadDocument(number, withTicket, rec);
        journal.Append(rec);
      }
    } catch (const TConnectionLost& e) {
      if (AwaitStorage(thread, driver, reader, RoundedPercent(i, count))) continue;
      if (thread.Terminated()) {
        jobStopped_.store(true, std::memory_order_release);
        break;
      }
      fail(number, e.what());
    } catch (const std::exception& e) {
      fail(number, e.what());
    }
    if (rec.Ticket.TicketData.empty()) withTicket = false;
    report_->AddDocument(rec);
    ++i;
    documentsRead_.store(i, std::memory_order_release);
    SetStatus(TJobState::Running, Fmt(Tr("Прочитано документов: %s из %s"), i, count),
              RoundedPercent(i, count));
  }
  journal.Flush();
}

// Waits for the same storage to answer on the same line again, with a new
// driver instance, checking its serial and registration numbers. False when
// the wait ran out or the job was stopped.
bool TMainController::AwaitStorage(TNotifyThread& thread, std::unique_ptr<TTorvel>& driver,
                                   std::unique_ptr<TFNReportReader>& reader, int32_t percent) {
  if (reconnectWait_.count() <= 0) return false;
  const std::string port = driver->ConnectionName();
  reader.reset();
  driver.reset();  // lets go of the port, so that the new instance can take it
  SetStatus(TJobState::Running,
            port.empty()
                ? std::string(Tr("Нет связи с ФН, ожидание подключения (Ctrl+C — прервать)"))
                : Fmt(Tr("Нет связи с ФН на порту %s, ожидание подключения (Ctrl+C — "
                         "прервать)"),
                      port),
            percent, true);
  const auto deadline = std::chrono::steady_clock::now() + reconnectWait_;
  while (std::chrono::steady_clock::now() < deadline) {
    for (int step = 0; step < 5; ++step) {
      if (thread.Terminated()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    try {
      auto again = MakeDriver();
      auto againReader = std::make_unique<TFNReportReader>(again.get());
      againReader->Open();
      THeaderParams params;
      againReader->ReadHeaderParams(params);
      if (params.FNNumber != headerParams_.FNNumber ||
          params.RegNumber != headerParams_.RegNumber) {
        continue;  // another storage on that port: not this read's
      }
      driver = std::move(again);
      reader = std::move(againReader);
      return true;
    } catch (const std::exception&) {
      // Not back yet.
    }
  }
  return false;
}

std::optional<std::pair<int32_t, int32_t>> TMainController::JournalUse() const {
  const std::lock_guard guard(lock_);
  return journalUse_;
}

int32_t TMainController::JournaledDocuments(int32_t first, int32_t last) {
  try {
    std::string identity;
    {
      const auto lock = DriverLock();
      identity = GetDriver().StorageIdentity();
    }
    return JournaledInRange(JournalFolder(), FNStatus().FNSerialNumber, identity, first, last);
  } catch (const std::exception&) {
    return 0;
  }
}

void TMainController::ForgetSavedRead() {
  reportSaved_.store(true, std::memory_order_release);
  if (!JobFinished() || JobStopped() || ReportIncomplete() || !journalCovered_) return;
  if (journalPath_.empty() || GetStatus().State != TJobState::Finished) return;
  std::error_code ec;
  std::filesystem::remove(journalPath_, ec);
  journalPath_.clear();
}

void TMainController::ReadFNStatus() {
  {
    const auto lock = DriverLock();
    TFNReportReader reader(&GetDriver());
    TFNStatusRec status{};
    reader.ReadStorageStatus(status);
    {
      const std::lock_guard guard(lock_);
      fnStatus_ = status;
    }
    static_cast<void>(GetDriver().ReleaseDevice());
  }
  if (onFNStatusRead_) onFNStatusRead_(*this);
}

void TMainController::ReadFNStatusAsync() {
  try {
    // Made here, on the caller's thread, so that the two threads never race
    // to create it.
    const auto lock = DriverLock();
    static_cast<void>(GetDriver());
  } catch (const std::exception& e) {
    // Without a driver there is nothing to read.
    if (onFNStatusFailed_) onFNStatusFailed_(*this, e.what());
    return;
  } catch (...) {
    return;
  }
  // Only ended ones are let go here: the window never waits for a read.
  std::erase_if(statusThreads_, [](const auto& thread) { return thread->Finished(); });
  try {
    auto thread = std::make_unique<TNotifyThread>([this](TNotifyThread&) { RunReadFNStatus(); });
    thread->Start();
    statusThreads_.push_back(std::move(thread));
  } catch (const std::exception& e) {
    if (onFNStatusFailed_) onFNStatusFailed_(*this, e.what());
  } catch (...) {
  }
}

void TMainController::RunReadFNStatus() {
  try {
    const TDriverThreadScope scope;
    ReadFNStatus();
  } catch (const std::exception& e) {
    // The storage's number stays as it was; the one who asked may say why.
    if (onFNStatusFailed_) onFNStatusFailed_(*this, e.what());
  } catch (...) {
  }
}

void TMainController::SaveReport(const std::string& fileName, TReportFileType fileType) {
  if (fileType == TReportFileType::Binary) {
    SaveBinReport(fileName);
  } else {
    SaveTextReport(fileName);
  }
  // Saved whole: the journal has served its purpose.
  ForgetSavedRead();
}

void TMainController::SaveBinReport(const std::string& fileName) {
  TFNReportBinWriter().SaveToFile(*report_, fileName, &save_);
}

void TMainController::SaveTextReport(const std::string& fileName) {
  TFNReportHeader header = report_->Header();
  header.Checksum = TFNReportBinWriter::CalcChecksum(*report_, &save_);
  report_->SetHeader(header);
  TFNReportTextWriter().SaveToFile(*report_, fileName, &save_.Progress());
}

void TMainController::StartSave(const std::string& fileName, TReportFileType fileType) {
  if (saving_.load(std::memory_order_acquire)) return;
  saveThread_.reset();
  save_.Progress().Reset();
  saveTotal_ = static_cast<int64_t>(report_->ContainerCount());
  {
    const std::lock_guard guard(lock_);
    saveError_.clear();
  }
  saveThread_ = std::make_unique<TNotifyThread>([this, fileName, fileType](TNotifyThread&) {
    std::string error;
    try {
      if (onSaveThreadStart_) onSaveThreadStart_();
      SaveReport(fileName, fileType);
    } catch (const std::exception& e) {
      error = e.what();
    }
    {
      const std::lock_guard guard(lock_);
      saveError_ = std::move(error);
    }
    saving_.store(false, std::memory_order_release);
  });
  saving_.store(true, std::memory_order_release);
  saveThread_->Start();
}

TSaveStatus TMainController::GetSaveStatus() const {
  TSaveStatus status;
  status.Running = saving_.load(std::memory_order_acquire);
  status.Written = save_.Progress().Documents.load(std::memory_order_relaxed);
  status.Total = saveTotal_;
  const std::lock_guard guard(lock_);
  status.Error = saveError_;
  return status;
}

}  // namespace kvitor
