// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Read jobs with their journal: a failed or lost read goes on where it ended,
// and the files are those of one uninterrupted read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "FakeTorvel.h"
#include "JobTestUtil.h"
#include "job/MainController.h"
#include "job/ReadJournal.h"

namespace kvitor::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class JournalJobTest : public ::testing::Test {
 protected:
  JournalJobTest() { storage_->AddReceipts(1, 10); }

  // A job of its own controller; the binary report when it is ready.
  std::string Run(bool restart, TMainControllerStatus* status = nullptr,
                  const std::function<void(TMainController&)>& configure = {},
                  std::optional<std::pair<int32_t, int32_t>>* use = nullptr) {
    TMainController controller(storage_->Factory());
    controller.SetReconnectWait(std::chrono::seconds(0));
    if (configure) configure(controller);
    controller.Start({1, 10, false, restart});
    EXPECT_TRUE(WaitForJob(controller));
    if (status != nullptr) *status = controller.GetStatus();
    if (use != nullptr) *use = controller.JournalUse();
    if (!controller.IsReportReady()) return {};
    const std::string file = dir_.Path("r.bin");
    controller.SaveReport(file, TReportFileType::Binary);
    return ReadFile(file);
  }

  [[nodiscard]] int Journals() const {
    return static_cast<int>(ListJournals(JournalFolder()).size());
  }

  TScratchDir dir_;
  std::shared_ptr<TFakeStorage> storage_ = std::make_shared<TFakeStorage>();
};

TEST_F(JournalJobTest, AFailedReadKeepsWhatWasReadAndTheNextGoesOnFromIt) {
  // Document 4 is not confirmed yet, so 5 and 6 are read without asking.
  const auto ticket4 = storage_->Documents[4].Ticket;
  storage_->Documents[4].Ticket.reset();
  storage_->Faults.push_back({"BeginDocumentRead", 7, 3, u"Нет документа"});
  TMainController failed(storage_->Factory());
  failed.SetReconnectWait(std::chrono::seconds(0));
  failed.Start({1, 10, false});
  ASSERT_TRUE(WaitForJob(failed));
  const TMainControllerStatus status = failed.GetStatus();
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_EQ(status.Text,
            "Ошибка: Документ № 7 не прочитан: 3, Нет документа. Прочитано 6 из 10; повторите "
            "чтение, чтобы продолжить");
  // What was read can still be saved, marked as a part.
  EXPECT_TRUE(failed.IsReportReady());
  EXPECT_TRUE(failed.ReportIncomplete());
  EXPECT_EQ(failed.Report().Documents().Count(), 6);
  failed.SaveReport(dir_.Path("part.bin"), TReportFileType::Binary);
  EXPECT_EQ(Journals(), 1);  // a part saved: the journal stays

  storage_->Faults.clear();
  storage_->Documents[4].Ticket = ticket4;  // confirmed since
  const std::size_t before = storage_->Calls().size();
  std::optional<std::pair<int32_t, int32_t>> use;
  const std::string continued = Run(false, nullptr, {}, &use);
  ASSERT_TRUE(use);
  EXPECT_EQ(*use, std::make_pair(6, 7));
  std::vector<int64_t> read, asked;
  const auto calls = storage_->Calls();
  for (std::size_t i = before; i < calls.size(); ++i) {
    const TFakeCall& call = calls[i];
    if (call.Operation == "BeginDocumentRead") read.push_back(call.DocumentNumber);
    if (call.Operation == "QueryConfirmation") asked.push_back(call.DocumentNumber);
  }
  EXPECT_THAT(read, ElementsAre(7, 8, 9, 10));
  EXPECT_THAT(asked, ElementsAre(4, 5, 6, 7, 8, 9, 10));
  EXPECT_EQ(Journals(), 0);  // saved whole

  const std::string whole = Run(true);
  ASSERT_FALSE(whole.empty());
  EXPECT_TRUE(continued == whole);
}

TEST_F(JournalJobTest, ALostLineIsWaitedForAndTheReadGoesOn) {
  std::atomic<bool> lost{false};
  std::atomic<int> attempts{0};
  std::atomic<TMainController*> job{nullptr};
  std::string waitText;
  storage_->OnCall = [&](const TFakeCall& call) -> int {
    if (call.Operation == "BeginDocumentRead" && call.DocumentNumber == 5 && !lost.exchange(true)) {
      throw TConnectionLost("ФН на порту /dev/ttyX не дал ответа");
    }
    // The first attempt after the loss finds no port yet.
    if (call.Operation == "OpenDevice" && lost && attempts++ == 0) {
      waitText = job.load()->GetStatus().Text;
      throw TConnectionLost("нет порта");
    }
    return 0;
  };
  TMainControllerStatus status;
  const std::string got = Run(false, &status, [&](TMainController& controller) {
    controller.SetReconnectWait(std::chrono::seconds(30));
    job = &controller;
  });
  EXPECT_EQ(status.State, TJobState::Finished) << status.Text;
  EXPECT_EQ(attempts, 2);
  EXPECT_EQ(waitText, "Нет связи с ФН, ожидание подключения (Ctrl+C — прервать)");
  EXPECT_TRUE(Run(true) == got);

  // Without a wait the job ends at once, naming the document.
  lost = false;
  EXPECT_TRUE(Run(true, &status).size() > 0);  // what was read stays saveable
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_THAT(status.Text, HasSubstr("Документ № 5 не прочитан: ФН на порту /dev/ttyX"));
  EXPECT_THAT(status.Text, HasSubstr("Прочитано 4 из 10"));
}

TEST_F(JournalJobTest, AStopWhileWaitingEndsTheJobAsStopped) {
  std::atomic<bool> lost{false};
  storage_->OnCall = [&lost](const TFakeCall& call) -> int {
    if (call.Operation == "BeginDocumentRead" && call.DocumentNumber == 3) {
      lost = true;
      throw TConnectionLost("нет связи");
    }
    if (call.Operation == "OpenDevice" && lost) throw TConnectionLost("нет порта");
    return 0;
  };
  TMainController controller(storage_->Factory());
  controller.Start({1, 10, false});
  while (!controller.JobFinished() &&
         controller.GetStatus().Text.find("ожидание подключения") == std::string::npos) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  controller.Stop();
  ASSERT_TRUE(WaitForJob(controller));
  EXPECT_EQ(controller.GetStatus().State, TJobState::Finished);
  EXPECT_TRUE(controller.JobStopped());
  EXPECT_EQ(controller.DocumentsRead(), 2);
}

TEST_F(JournalJobTest, ADocumentTooLargeForAReportIsRefusedAtTheSaveAndStaysInTheJournal) {
  const auto tlv = [](uint16_t tag, const std::string& value) {
    std::string out{static_cast<char>(tag & 0xFF), static_cast<char>(tag >> 8),
                    static_cast<char>(value.size() & 0xFF), static_cast<char>(value.size() >> 8)};
    return out + value;
  };
  // Twenty items of 4 KB each: the document's container would need 80 KB.
  for (int i = 0; i < 20; ++i)
    storage_->Documents[5].Body += tlv(1059, tlv(1030, std::string(4000, 'x')));
  TMainController controller(storage_->Factory());
  controller.SetReconnectWait(std::chrono::seconds(0));
  controller.Start({1, 10, false});
  ASSERT_TRUE(WaitForJob(controller));
  EXPECT_EQ(controller.GetStatus().State, TJobState::Finished) << controller.GetStatus().Text;
  std::string refused;
  try {
    controller.SaveReport(dir_.Path("big.bin"), TReportFileType::Binary);
  } catch (const Error& e) {
    refused = e.what();
  }
  EXPECT_THAT(refused, HasSubstr("Документ № 5 нельзя записать в отчет"));
  EXPECT_FALSE(std::filesystem::exists(dir_.Path("big.bin")));
  EXPECT_EQ(Journals(), 1);  // all ten documents kept for a later try
}

}  // namespace
}  // namespace kvitor::test
