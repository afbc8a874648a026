// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeTorvel.h"
#include "JobTestUtil.h"
#include "base/Error.h"
#include "job/MainController.h"
#include "report/Checksum.h"
#include "tlv/StringUtils.h"

namespace kvitor::test {
namespace {

constexpr TDateTime kT0 = 46000.25;
constexpr TDateTime kStep = 1.0 / 1440;  // a minute
constexpr double kTimeTolerance = 1e-7;  // far below a second (1.2e-5 days)

const std::string kFinished = "Успешно завершено";
// "Отчет о считывании ФД" in Windows-1251.
const std::string kReportName1251 =
    "\xCE\xF2\xF7\xE5\xF2\x20\xEE\x20\xF1\xF7\xE8\xF2\xFB\xE2\xE0\xED\xE8\xE8\x20\xD4\xC4";

std::string ProgressText(int done, int count) {
  return "Прочитано документов: " + std::to_string(done) + " из " + std::to_string(count);
}

// done * 100 / count rounded to the nearest integer, halves to the even
// neighbour, in integer arithmetic.
int ExpectedPercent(int done, int count) {
  const int q = done * 100 / count;
  const int twiceRest = 2 * (done * 100 % count);
  if (twiceRest > count || (twiceRest == count && q % 2 == 1)) return q + 1;
  return q;
}

std::string Message(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class MainControllerTest : public ::testing::Test {
 protected:
  TMainController& Make() {
    controller_ = std::make_unique<TMainController>(storage_->Factory(), clock_.Function());
    return *controller_;
  }

  // Runs a job to its end.
  void Run(int32_t first, int32_t last, bool only1162 = false) {
    // Each job asks the storage for every document (Restart): going on
    // from the journal is tested on its own.
    controller_->Start({first, last, only1162, true});
    ASSERT_TRUE(WaitForJob(*controller_)) << "the job did not end";
  }

  // Installs a hook that takes a status snapshot whenever a document begins
  // (the status after the one before; the first shows the status after
  // Start) and when the job's driver is freed (after the last document).
  // Each document then happens one kStep after *base plus its index.
  void RecordProgress(int32_t first, const TDateTime* base = nullptr) {
    storage_->OnCall = [this, first, base](const TFakeCall& call) {
      if (call.Operation == "BeginDocumentRead") {
        snapshots_.push_back(controller_->GetStatus());
        if (base != nullptr)
          clock_.Set(*base + static_cast<double>(call.DocumentNumber - first + 1) * kStep);
      } else if (call.Operation == "Destroy" && call.Opened) {
        snapshots_.push_back(controller_->GetStatus());
        if (base != nullptr) clock_.Set(clock_.Now() + kStep);
      }
      return 0;
    };
  }

  [[nodiscard]] int LastInstance() const {
    return static_cast<int>(storage_->Creations().size()) - 1;
  }

  // The window's thread has its driver runtime, as in the programs.
  const TDriverThreadScope scope_;
  std::shared_ptr<TFakeStorage> storage_ = std::make_shared<TFakeStorage>();
  TTestClock clock_{kT0};
  // Written only by the job's thread while it runs, read after its end.
  std::vector<TMainControllerStatus> snapshots_;
  std::unique_ptr<TMainController> controller_;
};

TEST(DurationText, DurationsAreSpansNotClockTimes) {
  constexpr double kSecond = 1.0 / 86400;
  EXPECT_EQ(DurationText(0), "0:00:00");
  EXPECT_EQ(DurationText(kSecond), "0:00:01");
  EXPECT_EQ(DurationText(3725 * kSecond), "1:02:05");
  // A day and more stays hours; a clock that stepped back is no time.
  EXPECT_EQ(DurationText(1.5), "36:00:00");
  EXPECT_EQ(DurationText(-kSecond), "0:00:00");
}

TEST_F(MainControllerTest, PercentAndTextFollowEveryDocument) {
  storage_->AddReceipts(1, 410);
  Make();
  RecordProgress(11);
  const std::vector<std::pair<int, std::vector<int>>> cases = {
      {1, {100}},
      {3, {33, 67, 100}},
      {8, {12, 25, 38, 50, 62, 75, 88, 100}},
      {10, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}},
      {400, {}},
  };
  for (const auto& [count, listed] : cases) {
    SCOPED_TRACE("count " + std::to_string(count));
    snapshots_.clear();
    Run(11, 10 + count);
    ASSERT_EQ(snapshots_.size(), static_cast<std::size_t>(count) + 1);
    EXPECT_EQ(snapshots_[0].State, TJobState::Running);
    EXPECT_EQ(snapshots_[0].Text, "");
    EXPECT_EQ(snapshots_[0].Percent, 0);
    std::vector<int> percents;
    for (int done = 1; done <= count; ++done) {
      const auto& s = snapshots_[static_cast<std::size_t>(done)];
      percents.push_back(s.Percent);
      EXPECT_EQ(s.State, TJobState::Running);
      EXPECT_EQ(s.Text, ProgressText(done, count));
      EXPECT_EQ(s.Percent, ExpectedPercent(done, count)) << "after document " << done;
    }
    if (!listed.empty()) {
      EXPECT_EQ(percents, listed);
    }
    if (count == 400) {
      EXPECT_EQ(percents[0], 0);
      EXPECT_EQ(percents[1], 0);
      EXPECT_EQ(percents[2], 1);
    }
    std::vector<int64_t> expectedNumbers;
    for (int n = 11; n <= 10 + count; ++n) expectedNumbers.push_back(n);
    EXPECT_EQ(storage_->NumbersOf("BeginDocumentRead", LastInstance()), expectedNumbers);
    const auto final = controller_->GetStatus();
    EXPECT_EQ(final.State, TJobState::Finished);
    EXPECT_EQ(final.Text, kFinished);
    EXPECT_EQ(final.Percent, 100);
    EXPECT_EQ(controller_->Report().Documents().Count(), count);
  }
}

TEST_F(MainControllerTest, TimesFollowTheInjectedClock) {
  storage_->AddReceipts(1, 8);
  Make();
  const TDateTime base = kT0;
  RecordProgress(1, &base);
  Run(1, 8);
  ASSERT_EQ(snapshots_.size(), 9U);
  EXPECT_DOUBLE_EQ(snapshots_[0].StartTime, kT0);
  EXPECT_NEAR(snapshots_[0].Elapsed, 0, kTimeTolerance);
  const int expected[] = {12, 25, 38, 50, 62, 75, 88, 100};
  for (int k = 1; k <= 8; ++k) {
    SCOPED_TRACE("after document " + std::to_string(k));
    const auto& s = snapshots_[static_cast<std::size_t>(k)];
    const TDateTime now = kT0 + k * kStep;
    const TDateTime end = kT0 + (now - kT0) * 100.0 / expected[k - 1];
    EXPECT_DOUBLE_EQ(s.StartTime, kT0);
    EXPECT_NEAR(s.EndTime, end, kTimeTolerance);
    EXPECT_NEAR(s.Elapsed, k * kStep, kTimeTolerance);
    EXPECT_NEAR(s.Remaining, end - now, kTimeTolerance);
  }
  // The end is the moment of the final status: one step after the last
  // document's, when the job's driver had been freed.
  const auto final = controller_->GetStatus();
  EXPECT_DOUBLE_EQ(final.StartTime, kT0);
  EXPECT_NEAR(final.EndTime, kT0 + 9 * kStep, kTimeTolerance);
  EXPECT_NEAR(final.Elapsed, 9 * kStep, kTimeTolerance);
  EXPECT_NEAR(final.Remaining, 0, kTimeTolerance);
}

TEST_F(MainControllerTest, ZeroPercentKeepsTheEarlierEndTime) {
  storage_->AddReceipts(1, 400);
  Make();
  TDateTime base = kT0;
  RecordProgress(1, &base);
  Run(1, 400);
  ASSERT_EQ(snapshots_.size(), 401U);
  for (int k = 1; k <= 2; ++k) {
    const auto& s = snapshots_[static_cast<std::size_t>(k)];
    EXPECT_EQ(s.Percent, 0);
    EXPECT_EQ(s.EndTime, 0) << "no end before the first job";
    EXPECT_NEAR(s.Remaining, -(kT0 + k * kStep), kTimeTolerance);
    EXPECT_NEAR(s.Elapsed, k * kStep, kTimeTolerance);
    // Shown as no estimate at all, and never as a negative time.
    EXPECT_FALSE(HasEstimate(s));
    EXPECT_EQ(ShownDuration(s.Remaining), 0);
  }
  EXPECT_TRUE(HasEstimate(snapshots_[3]));
  EXPECT_FALSE(HasEstimate(controller_->GetStatus())) << "a job that has ended";
  EXPECT_EQ(snapshots_[3].Percent, 1);
  EXPECT_NEAR(snapshots_[3].EndTime, kT0 + 3 * kStep * 100, kTimeTolerance);
  const TDateTime firstEnd = controller_->GetStatus().EndTime;
  EXPECT_NEAR(firstEnd, kT0 + 401 * kStep, kTimeTolerance);

  // A second job starts from the first job's end.
  snapshots_.clear();
  base = kT0 + 1;
  clock_.Set(base);
  Run(1, 400);
  ASSERT_EQ(snapshots_.size(), 401U);
  EXPECT_DOUBLE_EQ(snapshots_[0].StartTime, base);
  for (int k = 1; k <= 2; ++k) {
    const auto& s = snapshots_[static_cast<std::size_t>(k)];
    EXPECT_EQ(s.EndTime, firstEnd);
    EXPECT_NEAR(s.Remaining, firstEnd - (base + k * kStep), kTimeTolerance);
  }
}

TEST_F(MainControllerTest, FinishedJobHoldsHeaderDocumentsAndFinalStatus) {
  storage_->AddReceipts(5, 7);
  // A registration report with FFD 1.1 (tag 1209 = 3).
  storage_->Documents[5].Type = 1;
  storage_->Documents[5].Body = Tlv(1209, "\x03") + Tlv(1040, Le32(5));
  storage_->RegisterTable = 17;
  storage_->SessionNumber = 12;
  storage_->LastDocumentNumber = 40;
  Make();

  const auto before = controller_->GetStatus();
  EXPECT_EQ(before.State, TJobState::None);
  EXPECT_EQ(before.Text, "");
  EXPECT_EQ(before.Percent, 0);
  EXPECT_EQ(before.StartTime, 0);
  EXPECT_EQ(before.EndTime, 0);
  EXPECT_TRUE(controller_->JobFinished());
  EXPECT_FALSE(controller_->Running());
  EXPECT_FALSE(controller_->IsReportReady());
  EXPECT_TRUE(controller_->CanConfigureDriver());
  EXPECT_EQ(controller_->FNStatus(), TFNStatusRec{});

  Run(5, 7);
  const auto status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Finished);
  EXPECT_EQ(status.Text, kFinished);
  EXPECT_EQ(status.Percent, 100);
  EXPECT_FALSE(controller_->Running());
  EXPECT_TRUE(controller_->IsReportReady());
  EXPECT_TRUE(controller_->CanConfigureDriver());

  const THeaderParams& params = controller_->HeaderParams();
  EXPECT_EQ(params.RegNumber, "0000000001012345");
  EXPECT_EQ(params.FNNumber, "9999078900012345");
  EXPECT_EQ(params.ShiftCount, 12);
  EXPECT_EQ(params.DocumentCount, 40);

  const TFNReportHeader& header = controller_->Report().Header();
  EXPECT_EQ(header.ReportName, kReportName1251);
  EXPECT_EQ(header.ProgramName, std::string("Quillon, version: ") + KVITOR_PROJECT_VERSION);
  EXPECT_EQ(header.RegNumber, "0000000001012345");
  EXPECT_EQ(header.FNNumber, "9999078900012345");
  EXPECT_EQ(header.ShiftCount, 12);
  EXPECT_EQ(header.DocumentCount, 40);
  EXPECT_EQ(header.Checksum, 0U);
  // Stored before the report was built, which raised the version.
  EXPECT_EQ(header.FFDVersion, 3);

  const TFNDocuments& docs = controller_->Report().Documents();
  ASSERT_EQ(docs.Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const TFNDocumentRec& rec = docs.Items(i).Rec();
    const int32_t n = 5 + i;
    EXPECT_EQ(rec.DocNumber, n);
    EXPECT_EQ(rec.DocType, storage_->Documents[n].Type);
    EXPECT_EQ(rec.TLVData, storage_->Documents[n].Body);
    EXPECT_EQ(rec.Ticket.TicketData, "OK" + std::to_string(n));
    EXPECT_EQ(rec.Ticket.TicketDocNumber, n);
  }
  EXPECT_EQ(Shape(controller_->Report().Tags()),
            "65012(101(1209 1040) 107(1012 1078)) 65002(103(1040) 107(1012 1078)) "
            "65002(103(1040) 107(1012 1078))");

  // The shared instance was made here and freed the cash register before
  // the job's own instance, made on the job's thread, opened it.
  const auto creations = storage_->Creations();
  ASSERT_EQ(creations.size(), 2U);
  EXPECT_EQ(creations[0].Thread, std::this_thread::get_id());
  EXPECT_NE(creations[1].Thread, std::this_thread::get_id());
  const int release = storage_->IndexOf("ReleaseDevice", 0);
  ASSERT_GE(release, 0);
  EXPECT_LT(release, storage_->IndexOf("OpenDevice", 1));
  const auto calls = storage_->Calls();
  std::vector<std::string> jobCalls;
  for (const auto& call : calls) {
    if (call.Instance != 1) continue;
    jobCalls.push_back(call.Operation);
    EXPECT_EQ(call.Thread, creations[1].Thread) << call.Operation;
  }
  ASSERT_GE(jobCalls.size(), 4U);
  EXPECT_EQ(std::vector<std::string>(jobCalls.begin(), jobCalls.begin() + 3),
            (std::vector<std::string>{"OpenDevice", "AuxiliaryRequest1", "AuxiliaryRequest2"}));
  EXPECT_EQ(jobCalls.back(), "Destroy");
}

TEST_F(MainControllerTest, DriverInstancesAreMadeAndUsedInsideADriverScope) {
  storage_->AddReceipts(1, 2);
  Make();
  Run(1, 2);
  std::atomic<bool> read{false};
  controller_->SetOnFNStatusRead([&](TMainController&) { read = true; });
  controller_->ReadFNStatusAsync();
  controller_.reset();  // waits for the status read
  EXPECT_TRUE(read);

  const auto creations = storage_->Creations();
  ASSERT_EQ(creations.size(), 2U);
  EXPECT_TRUE(creations[1].ScopeActive) << "the job's instance was made outside a driver scope";
  bool statusReadSeen = false;
  for (const auto& call : storage_->Calls()) {
    EXPECT_TRUE(call.ScopeActive) << call.Operation << " of instance " << call.Instance;
    if (call.Operation == "QueryStorageStatus" && call.Instance == 0) {
      statusReadSeen = true;
      EXPECT_NE(call.Thread, std::this_thread::get_id());
    }
  }
  EXPECT_TRUE(statusReadSeen);
}

TEST_F(MainControllerTest, ReportIsReadyOnlyOnceTheJobThreadHasEnded) {
  storage_->AddReceipts(1, 2);
  TGate gate;
  storage_->OnCall = [&](const TFakeCall& call) {
    if (call.Operation == "Destroy" && call.Opened) gate.Arrive();  // after Build
    return 0;
  };
  Make();
  controller_->Start({1, 2, false});
  ASSERT_TRUE(gate.WaitArrived());
  EXPECT_TRUE(controller_->Report().Ready());
  EXPECT_FALSE(controller_->IsReportReady());
  EXPECT_FALSE(controller_->JobFinished());
  EXPECT_TRUE(controller_->Running());
  EXPECT_EQ(controller_->GetStatus().State, TJobState::Running);
  gate.Open();
  ASSERT_TRUE(WaitForJob(*controller_));
  EXPECT_TRUE(controller_->IsReportReady());
}

TEST_F(MainControllerTest, StopSeenAtTheFirstLoopCheckBuildsAnEmptyReport) {
  storage_->AddReceipts(1, 5);
  storage_->SessionNumber = 9;
  TGate gate;
  storage_->OnCall = [&](const TFakeCall& call) {
    // The last call of the header parameters.
    if (call.Operation == "QueryRegisterStatus" && call.Opened) gate.Arrive();
    return 0;
  };
  Make();
  controller_->Start({1, 5, false});
  ASSERT_TRUE(gate.WaitArrived());
  controller_->Stop();
  EXPECT_FALSE(controller_->Running()) << "Stop clears Running at once";
  EXPECT_TRUE(controller_->CanConfigureDriver());
  EXPECT_FALSE(controller_->JobFinished());
  EXPECT_FALSE(controller_->IsReportReady());
  gate.Open();
  ASSERT_TRUE(WaitForJob(*controller_));

  EXPECT_TRUE(storage_->NumbersOf("BeginDocumentRead").empty());
  EXPECT_EQ(controller_->Report().Documents().Count(), 0);
  EXPECT_EQ(controller_->Report().Tags().Count(), 0);
  EXPECT_TRUE(controller_->IsReportReady());
  EXPECT_TRUE(controller_->JobStopped());
  EXPECT_EQ(controller_->DocumentsRead(), 0);
  EXPECT_EQ(controller_->DocumentsToRead(), 5);
  EXPECT_EQ(controller_->HeaderParams().ShiftCount, 9);
  const auto status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Finished);
  EXPECT_EQ(status.Text, kFinished);
  EXPECT_EQ(status.Percent, 100);
}

TEST_F(MainControllerTest, StartRightAfterStopWaitsForTheStoppedJob) {
  storage_->AddReceipts(1, 5);
  TGate gate;
  int sharedReleases = 0;  // the window's thread only
  storage_->OnCall = [&](const TFakeCall& call) {
    if (call.Operation == "BeginDocumentRead" && call.Instance == 1 && call.DocumentNumber == 2) {
      gate.Arrive();
    }
    // The second Start lets the stopped job go on with its document.
    if (call.Operation == "ReleaseDevice" && call.Instance == 0 && ++sharedReleases == 2)
      gate.Open();
    return 0;
  };
  Make();
  controller_->Start({1, 5, false});
  ASSERT_TRUE(gate.WaitArrived());
  controller_->Stop();
  controller_->Start({3, 4, false});
  // When Start returns, the stopped job has ended.
  const int oldEnd = storage_->IndexOf("Destroy", 1);
  ASSERT_GE(oldEnd, 0) << "Start did not wait for the stopped job";
  ASSERT_TRUE(WaitForJob(*controller_));

  EXPECT_EQ(storage_->LastIndexOf(1), oldEnd);
  EXPECT_LT(oldEnd, storage_->IndexOf("OpenDevice", 2));
  // The stopped job completed the document it was reading, and no other.
  EXPECT_EQ(storage_->NumbersOf("BeginDocumentRead", 1), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(storage_->NumbersOf("QueryConfirmation", 1), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(storage_->NumbersOf("BeginDocumentRead", 2), (std::vector<int64_t>{3, 4}));
  const TFNDocuments& docs = controller_->Report().Documents();
  ASSERT_EQ(docs.Count(), 2);
  EXPECT_EQ(docs.Items(0).Rec().DocNumber, 3);
  EXPECT_EQ(docs.Items(1).Rec().DocNumber, 4);
  const auto status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Finished);
  EXPECT_EQ(status.Text, kFinished);
  EXPECT_TRUE(controller_->IsReportReady());
  EXPECT_FALSE(controller_->JobStopped()) << "the second job ran to its end";
  EXPECT_EQ(controller_->DocumentsRead(), 2);
}

TEST_F(MainControllerTest, StopRightAfterStartStillEndsTheJob) {
  // Whether the thread has begun when the stop comes or not, the job ends
  // as stopped, and its end is told (a waiting caller would wait for ever).
  storage_->AddReceipts(1, 5);
  storage_->OnCall = [](const TFakeCall& call) {
    if (call.Operation == "BeginDocumentRead")
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
  };
  Make();
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    controller_->Start({1, 5, false});
    controller_->Stop();
    ASSERT_TRUE(WaitForJob(*controller_)) << "the job's end was never told";
    const auto status = controller_->GetStatus();
    EXPECT_EQ(status.State, TJobState::Finished);
    EXPECT_TRUE(controller_->JobStopped());
    EXPECT_LT(controller_->DocumentsRead(), 5);
    if (controller_->IsReportReady()) {
      EXPECT_EQ(controller_->Report().Documents().Count(), controller_->DocumentsRead());
    }
  }
}

TEST_F(MainControllerTest, FailureInTheMiddleKeepsTheLastPercentAndWhatWasRead) {
  storage_->AddReceipts(1, 5);
  storage_->SessionNumber = 3;
  storage_->Faults = {{"BeginDocumentRead", 4, 55, u"Документ не найден в архиве"}};
  storage_->OnCall = [this](const TFakeCall& call) {
    if (call.Operation == "BeginDocumentRead")
      clock_.Set(kT0 + static_cast<double>(call.DocumentNumber) * kStep);
    return 0;
  };
  Make();
  Run(1, 5);
  auto status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_EQ(status.Text,
            "Ошибка: Документ № 4 не прочитан: 55, Документ не найден в архиве. Прочитано 3 из 5; "
            "повторите чтение, чтобы продолжить");
  EXPECT_EQ(status.Percent, 60);
  EXPECT_NEAR(status.EndTime, kT0 + 4 * kStep, kTimeTolerance) << "the moment of the error";
  EXPECT_TRUE(controller_->IsReportReady());
  EXPECT_TRUE(controller_->ReportIncomplete());
  EXPECT_FALSE(controller_->Running());
  EXPECT_EQ(controller_->Report().Documents().Count(), 3);
  EXPECT_EQ(controller_->HeaderParams().ShiftCount, 3);

  // The next job starts over from the error state.
  Run(1, 3);
  status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Finished);
  EXPECT_EQ(status.Text, kFinished);
  EXPECT_TRUE(controller_->IsReportReady());
  EXPECT_EQ(controller_->Report().Documents().Count(), 3);
}

TEST_F(MainControllerTest, ErrorsOutsideTheDocumentsEndInTheErrorStateToo) {
  storage_->AddReceipts(1, 3);
  storage_->Documents[2].Body = "\x01\x02";  // not TLV: Build refuses it
  Make();
  Run(1, 3);
  auto status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_EQ(status.Text.rfind("Ошибка: ", 0), 0U) << status.Text;
  EXPECT_GT(status.Text.size(), std::string("Ошибка: ").size());
  EXPECT_EQ(status.Percent, 100);
  EXPECT_FALSE(controller_->IsReportReady());

  // A device that does not open.
  storage_->Documents[2] = storage_->Documents[1];
  storage_->Faults = {{"OpenDevice", 0, 1, u"Нет связи"}};
  Run(1, 3);
  status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_EQ(status.Text, "Ошибка: 1, Нет связи");
  EXPECT_EQ(status.Percent, 0);
  EXPECT_EQ(controller_->Report().Documents().Count(), 0) << "the report was cleared first";

  // A driver instance that cannot be made.
  storage_->FailCreationFrom = static_cast<int>(storage_->Creations().size());
  Run(1, 3);
  status = controller_->GetStatus();
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_EQ(status.Text, "Ошибка: Драйвер не создан");
  EXPECT_FALSE(controller_->Running());
}

TEST_F(MainControllerTest, ConfirmationsStopAfterTheFirstMissingOneUntilTheNextJob) {
  storage_->AddReceipts(1, 4);
  storage_->Documents[2].Ticket.reset();
  Make();
  Run(1, 4);
  EXPECT_EQ(storage_->NumbersOf("QueryConfirmation", LastInstance()), (std::vector<int64_t>{1, 2}));
  const TFNDocuments& docs = controller_->Report().Documents();
  ASSERT_EQ(docs.Count(), 4);
  EXPECT_EQ(docs.Items(0).Rec().Ticket.TicketData, "OK1");
  EXPECT_EQ(docs.Items(1).Rec().Ticket.TicketData, "");
  EXPECT_EQ(docs.Items(2).Rec().Ticket.TicketData, "")
      << "the storage has one, but it is not asked for";
  EXPECT_EQ(Shape(controller_->Report().Tags()),
            "65002(103(1040) 107(1012 1078)) 65002(103(1040)) 65002(103(1040)) 65002(103(1040))");

  Run(1, 4);
  EXPECT_EQ(storage_->NumbersOf("QueryConfirmation", LastInstance()), (std::vector<int64_t>{1, 2}));
  Run(3, 4);
  EXPECT_EQ(storage_->NumbersOf("QueryConfirmation", LastInstance()), (std::vector<int64_t>{3, 4}));
  EXPECT_EQ(controller_->Report().Documents().Items(0).Rec().Ticket.TicketData, "OK3");
}

TEST_F(MainControllerTest, BadRangesAreRefusedAndStartNothing) {
  storage_->AddReceipts(1, 3);
  Make();
  const std::string first = "Неверное значение номера первого документа";
  const std::string last = "Неверное значение номера последнего документа";
  const std::string order =
      "Значение номера первого документа должно \r\nбыть меньше номера последнего документа";
  const struct {
    int32_t First, Last;
    const std::string& Text;
  } cases[] = {{0, 5, first}, {-3, 5, first}, {0, 0, first}, {1, 0, last},
               {5, -1, last}, {5, 4, order},  {2, 1, order}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.First) + ".." + std::to_string(c.Last));
    EXPECT_EQ(Message([&] { controller_->Start({c.First, c.Last, false}); }), c.Text);
    EXPECT_THROW(controller_->Start({c.First, c.Last, false}), TRangeError);
  }
  EXPECT_EQ(controller_->GetStatus().State, TJobState::None);
  EXPECT_FALSE(controller_->Running());
  EXPECT_TRUE(controller_->JobFinished());
  EXPECT_TRUE(storage_->Creations().empty()) << "not even the cash register was freed";

  // A single document is a range.
  Run(3, 3);
  EXPECT_EQ(storage_->NumbersOf("BeginDocumentRead"), (std::vector<int64_t>{3}));
  EXPECT_EQ(controller_->GetStatus().State, TJobState::Finished);
}

TEST_F(MainControllerTest, StartWhileAJobRunsIsIgnored) {
  storage_->AddReceipts(1, 9);
  TGate gate;
  storage_->OnCall = [&](const TFakeCall& call) {
    if (call.Operation == "BeginDocumentRead" && call.DocumentNumber == 1) gate.Arrive();
    return 0;
  };
  Make();
  controller_->Start({1, 2, false});
  ASSERT_TRUE(gate.WaitArrived());
  EXPECT_TRUE(controller_->Running());
  EXPECT_FALSE(controller_->CanConfigureDriver());
  EXPECT_NO_THROW(controller_->Start({5, 9, false}));
  EXPECT_NO_THROW(controller_->Start({0, 0, false})) << "ignored before its range is checked";
  EXPECT_EQ(storage_->Creations().size(), 2U);
  EXPECT_EQ(storage_->NumbersOf("ReleaseDevice", 0).size(), 1U);
  gate.Open();
  ASSERT_TRUE(WaitForJob(*controller_));
  EXPECT_EQ(storage_->NumbersOf("BeginDocumentRead"), (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(controller_->GetStatus().Text, kFinished);
}

TEST_F(MainControllerTest, ReadFNStatusFillsTheRecordAndRaisesTheEvent) {
  storage_->Status = {1, 2, 3, 4, 0x1FF};
  storage_->Date = 46357;
  storage_->Time = 0.75;
  storage_->LastDocumentNumber = -7;
  storage_->SettingsDialogResult = 7;
  Make();
  int events = 0;
  int64_t seenInEvent = 0;
  controller_->SetOnFNStatusRead([&](TMainController& sender) {
    ++events;
    EXPECT_EQ(&sender, controller_.get());
    seenInEvent = sender.FNStatus().LastDocNumber;
  });
  controller_->ReadFNStatus();
  EXPECT_EQ(events, 1);
  EXPECT_EQ(seenInEvent, -7) << "the record is stored before the event";
  const TFNStatusRec s = controller_->FNStatus();
  EXPECT_EQ(s.FNStatus2100, 1);
  EXPECT_EQ(s.FNCurrentDocument, 2);
  EXPECT_EQ(s.FNStatus2102, 3);
  EXPECT_EQ(s.FNStatus2103, 4);
  EXPECT_EQ(s.FNStatus2104, 0xFF);
  EXPECT_EQ(s.FNDate, 46357);
  EXPECT_EQ(s.FNTime, 0.75);
  EXPECT_EQ(s.FNSerialNumber, "9999078900012345");
  EXPECT_EQ(s.LastDocNumber, -7);

  // On the shared instance, on this thread, freeing the cash register after.
  const int query = storage_->IndexOf("QueryStorageStatus", 0);
  ASSERT_GE(query, 0);
  EXPECT_GT(storage_->IndexOf("ReleaseDevice", 0), query);
  EXPECT_EQ(storage_->Calls()[static_cast<std::size_t>(query)].Thread, std::this_thread::get_id());
  controller_->ReadFNStatus();
  EXPECT_EQ(events, 2);
  EXPECT_EQ(controller_->ShowDriverSettings(), 7);
  EXPECT_EQ(storage_->Creations().size(), 1U) << "one shared instance for all";
  EXPECT_EQ(storage_->NumbersOf("ShowSettingsDialog", 0).size(), 1U);
}

TEST_F(MainControllerTest, FailingReadFNStatusKeepsTheRecordAndRaisesNothing) {
  storage_->LastDocumentNumber = 40;
  int queries = 0;  // this thread only
  storage_->OnCall = [&](const TFakeCall& call) {
    return call.Operation == "QueryStorageStatus" && ++queries >= 2 ? 21 : 0;
  };
  Make();
  int events = 0;
  controller_->SetOnFNStatusRead([&](TMainController&) { ++events; });
  controller_->ReadFNStatus();
  const TFNStatusRec good = controller_->FNStatus();
  EXPECT_EQ(good.LastDocNumber, 40);
  EXPECT_EQ(Message([&] { controller_->ReadFNStatus(); }),
            std::string("21, ") + kHookFaultTextUtf8);
  EXPECT_EQ(controller_->FNStatus(), good);
  EXPECT_EQ(events, 1);
  EXPECT_EQ(storage_->NumbersOf("ReleaseDevice", 0).size(), 1U) << "no release after a failed read";
}

TEST_F(MainControllerTest, ReadFNStatusAsyncReadsOnItsOwnThreadAndHandsOnlyItsErrorsOn) {
  storage_->LastDocumentNumber = 33;
  Make();
  std::atomic<bool> read{false};
  std::thread::id eventThread;
  controller_->SetOnFNStatusRead([&](TMainController& sender) {
    eventThread = std::this_thread::get_id();
    EXPECT_EQ(sender.FNStatus().LastDocNumber, 33);
    read = true;
  });
  controller_->ReadFNStatusAsync();
  // The window polls the record meanwhile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!read && std::chrono::steady_clock::now() < deadline) {
    static_cast<void>(controller_->FNStatus());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(read);
  EXPECT_EQ(controller_->FNStatus().LastDocNumber, 33);
  EXPECT_NE(eventThread, std::this_thread::get_id());
  const auto creations = storage_->Creations();
  ASSERT_EQ(creations.size(), 1U);
  EXPECT_EQ(creations[0].Thread, std::this_thread::get_id())
      << "the shared instance is made by the caller";
  controller_.reset();

  // A read that fails, and one whose driver cannot be made: nothing reaches
  // the caller, no event, the record stays zero; the failure handler alone
  // hears why, once.
  for (const bool noDriver : {false, true}) {
    SCOPED_TRACE(noDriver ? "no driver" : "failing read");
    storage_ = std::make_shared<TFakeStorage>();
    storage_->OnCall = [](const TFakeCall& call) {
      return call.Operation == "QueryStorageStatus" ? 21 : 0;
    };
    if (noDriver) storage_->FailCreationFrom = 0;
    Make();
    std::atomic<int> events{0};
    controller_->SetOnFNStatusRead([&](TMainController&) { ++events; });
    std::atomic<int> failures{0};
    controller_->SetOnFNStatusFailed([&](TMainController&, const std::string& error) {
      EXPECT_FALSE(error.empty());
      ++failures;
    });
    EXPECT_NO_THROW(controller_->ReadFNStatusAsync());
    const TFNStatusRec before = controller_->FNStatus();
    controller_.reset();  // waits for the read
    EXPECT_EQ(events, 0);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(before, TFNStatusRec{});
    EXPECT_EQ(storage_->NumbersOf("QueryStorageStatus").size(), noDriver ? 0U : 1U);
  }
}

TEST_F(MainControllerTest, DestructorWaitsForAStatusReadStillRunning) {
  TGate gate;
  storage_->OnCall = [&](const TFakeCall& call) {
    if (call.Operation == "QueryStorageStatus") gate.Arrive();
    return 0;
  };
  Make();
  std::atomic<bool> read{false};
  controller_->SetOnFNStatusRead([&](TMainController&) { read = true; });
  controller_->ReadFNStatusAsync();
  ASSERT_TRUE(gate.WaitArrived());
  gate.Open();
  controller_.reset();
  EXPECT_TRUE(read) << "the controller was gone before its status read had ended";
  // The shared instance was freed after the read had let go of it.
  const int release = storage_->IndexOf("ReleaseDevice", 0);
  ASSERT_GE(release, 0);
  EXPECT_GT(storage_->IndexOf("Destroy", 0), release);
}

TEST_F(MainControllerTest, SaveReportWritesBinaryForTypeOneAndTextOtherwise) {
  storage_->AddReceipts(1, 3);
  Make();
  Run(1, 3);
  const TScratchDir dir;
  const TFNReportHeader before = controller_->Report().Header();
  ASSERT_EQ(before.Checksum, 0U);

  controller_->SaveReport(dir.Path("a.bin"), TReportFileType::Binary);
  const std::string bin = ReadFile(dir.Path("a.bin"));
  ASSERT_GT(bin.size(), 358U);
  EXPECT_EQ(bin.substr(0, kReportName1251.size()), kReportName1251);
  EXPECT_EQ(controller_->Report().Header(), before) << "the binary save changed the header";
  const uint32_t checksum = U32At(bin, 354);
  EXPECT_EQ(ChecksumUpdate(ChecksumUpdate(kChecksumStart, bin.substr(0, 354)), bin.substr(358)),
            checksum);

  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", checksum);
  const std::string checksumLine = Utf8ToCp1251("Контрольная сумма           : 0x") + hex + "\r\n";
  std::string firstText;
  for (const int type : {2, 0, 5}) {
    SCOPED_TRACE("file type " + std::to_string(type));
    const std::string name = dir.Path("t" + std::to_string(type) + ".txt");
    controller_->SaveReport(name, static_cast<TReportFileType>(type));
    const std::string text = ReadFile(name);
    EXPECT_EQ(text.rfind(std::string(57, '-') + "\r\n", 0), 0U) << "not a text report";
    EXPECT_NE(text.find(checksumLine), std::string::npos);
    EXPECT_EQ(controller_->Report().Header().Checksum, checksum);
    if (firstText.empty()) firstText = text;
    EXPECT_EQ(text, firstText) << "a second text save differs";
  }
  auto expected = before;
  expected.Checksum = checksum;
  EXPECT_EQ(controller_->Report().Header(), expected)
      << "the text save changed more than the checksum";

  // The stored checksum does not leak into a later binary file.
  controller_->SaveReport(dir.Path("b.bin"), TReportFileType::Binary);
  EXPECT_EQ(ReadFile(dir.Path("b.bin")), bin);
  EXPECT_EQ(controller_->Report().Header(), expected);
}

TEST_F(MainControllerTest, TextSaveOfALaterJobCarriesThatJobsChecksum) {
  storage_->AddReceipts(1, 3);
  Make();
  const TScratchDir dir;
  for (const int32_t last : {3, 2}) {
    SCOPED_TRACE(last);
    Run(1, last);  // the same header, other documents
    controller_->SaveReport(dir.Path("r.txt"), TReportFileType::Text);
    controller_->SaveReport(dir.Path("r.bin"), TReportFileType::Binary);
    EXPECT_EQ(controller_->Report().Header().Checksum, U32At(ReadFile(dir.Path("r.bin")), 354));
  }
}

TEST_F(MainControllerTest, DriverSettingsDialogLeadsToAFreshSharedInstance) {
  Make();
  static_cast<void>(controller_->ShowDriverSettings());
  ASSERT_EQ(storage_->Creations().size(), 1U);
  controller_->ReadFNStatus();
  EXPECT_EQ(storage_->Creations().size(), 2U) << "the settings may have changed";
  EXPECT_EQ(storage_->NumbersOf("QueryStorageStatus", 0).size(), 0U);
  EXPECT_EQ(storage_->NumbersOf("QueryStorageStatus", 1).size(), 1U);
}

TEST_F(MainControllerTest, SaveOnItsOwnThreadCountsDocumentsAndTellsItsEnd) {
  storage_->AddReceipts(1, 30);
  Make();
  Run(1, 30);
  const TScratchDir dir;
  controller_->SaveReport(dir.Path("direct.txt"), TReportFileType::Text);
  for (const TReportFileType type : {TReportFileType::Binary, TReportFileType::Text}) {
    const bool bin = type == TReportFileType::Binary;
    SCOPED_TRACE(bin ? "binary" : "text");
    const std::string name = dir.Path(bin ? "async.bin" : "async.txt");
    controller_->StartSave(name, type);
    TSaveStatus status = controller_->GetSaveStatus();
    EXPECT_EQ(status.Total, 30);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((status = controller_->GetSaveStatus()).Running &&
           std::chrono::steady_clock::now() < deadline) {
      EXPECT_LE(status.Written, status.Total);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(status.Running);
    EXPECT_EQ(status.Written, 30);
    EXPECT_EQ(status.Error, "");
    const std::string direct = dir.Path(bin ? "direct.bin" : "direct.txt");
    if (bin) controller_->SaveReport(direct, TReportFileType::Binary);
    EXPECT_EQ(ReadFile(name), ReadFile(direct));
  }
  controller_->StartSave(dir.Path("no/such/folder/r.bin"), TReportFileType::Binary);
  while (controller_->GetSaveStatus().Running)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_NE(controller_->GetSaveStatus().Error.find("no/such/folder/r.bin"), std::string::npos);
}

}  // namespace
}  // namespace kvitor::test
