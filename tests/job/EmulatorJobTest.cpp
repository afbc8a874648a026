// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "JobTestUtil.h"
#include "base/DateTime.h"
#include "job/MainController.h"
#include "tlv/StringUtils.h"

// The controller with the real driver factory, serving data files of the
// emulated cash register.
namespace kvitor::test {
namespace {

std::string DataFile(const char* name) {
  return std::string(KVITOR_TEST_DATA_DIR) + "/job/" + name;
}

std::string FromHex(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 3) {
    bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  }
  return bytes;
}

TDateTime At(int year, int month, int day, int hour = 0, int minute = 0) {
  TDateTimeParts parts;
  parts.Year = year;
  parts.Month = month;
  parts.Day = day;
  parts.Hour = hour;
  parts.Minute = minute;
  return EncodeDateTime(parts);
}

class EmulatorJobTest : public ::testing::Test {
 protected:
  void UseImage(const char* name) { ::setenv("TORVEL_IMAGE", DataFile(name).c_str(), 1); }
  // Back to the fixed environment of the test run.
  void TearDown() override { ::setenv("TORVEL_IMAGE", "", 1); }

  // The window's thread has its driver runtime, as in the programs.
  const TDriverThreadScope scope_;
};

TEST_F(EmulatorJobTest, ReadsTheDataFileIntoTheReport) {
  UseImage("report.json");
  TMainController controller;

  // The start-up status read, as the window does it.
  std::mutex mutex;
  std::condition_variable done;
  bool read = false;
  controller.SetOnFNStatusRead([&](TMainController&) {
    const std::lock_guard lock(mutex);
    read = true;
    done.notify_all();
  });
  controller.ReadFNStatusAsync();
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(60), [&] { return read; }));
  }
  const TFNStatusRec s = controller.FNStatus();
  EXPECT_EQ(s.FNStatus2100, 1);
  EXPECT_EQ(s.FNCurrentDocument, 2);
  EXPECT_EQ(s.FNStatus2104, 5);
  EXPECT_NEAR(s.FNDate, At(2026, 12, 1), 1e-9);
  EXPECT_NEAR(s.FNTime, (9 * 3600 + 30 * 60) / kSecondsPerDay, 1e-7);
  EXPECT_EQ(s.FNSerialNumber, "9999078900012345");
  ASSERT_EQ(s.LastDocNumber, 3);

  controller.Start({1, static_cast<int32_t>(s.LastDocNumber), false});
  ASSERT_TRUE(WaitForJob(controller));
  const auto status = controller.GetStatus();
  EXPECT_EQ(status.State, TJobState::Finished);
  EXPECT_EQ(status.Text, "Успешно завершено");
  ASSERT_TRUE(controller.IsReportReady());

  const TFNReport& report = controller.Report();
  EXPECT_EQ(Shape(report.Tags()),
            "65002(101(1209 1040 1012 1018) 107(1012 1078)) "
            "65002(103(1040 1012 1054 1020 1017 1059(1030)) 107(1012 1078 1017)) "
            "65002(105(1040 1038))");
  const TFNReportHeader& header = report.Header();
  EXPECT_EQ(header.RegNumber, "0000000001012345");
  EXPECT_EQ(header.FNNumber, "9999078900012345");
  EXPECT_EQ(header.FFDVersion, 2);
  EXPECT_EQ(header.ShiftCount, 4);
  EXPECT_EQ(header.DocumentCount, 3);

  ASSERT_EQ(report.Documents().Count(), 3);
  const TFNDocumentRec& first = report.Documents().Items(0).Rec();
  EXPECT_EQ(first.DocType, 1);
  EXPECT_EQ(first.DataLength, 37);
  EXPECT_EQ(first.TLVData,
            FromHex("B9 04 01 00 02 10 04 04 00 01 00 00 00 F4 03 04 00 90 8C 0E 6B FA 03 0C 00 "
                    "37 37 30 31 32 33 34 35 36 37 38 39"));
  EXPECT_EQ(first.Ticket.TicketData, "0102030405");
  EXPECT_EQ(first.Ticket.FiscalSign, "A1B2C3D4E5F6");
  EXPECT_EQ(first.Ticket.TicketDocNumber, 1);
  EXPECT_NEAR(first.Ticket.TicketDateTime, At(2026, 12, 1, 9, 1), 1e-7);
  EXPECT_TRUE(report.Documents().Items(2).Rec().Ticket.TicketData.empty());

  const TScratchDir dir;
  controller.SaveReport(dir.Path("r.bin"), TReportFileType::Binary);
  controller.SaveReport(dir.Path("r.txt"), TReportFileType::Text);
  const std::string bin = ReadFile(dir.Path("r.bin"));
  const std::string text = ReadFile(dir.Path("r.txt"));
  ASSERT_GT(bin.size(), 358U);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%08X", U32At(bin, 354));
  EXPECT_NE(text.find(Utf8ToCp1251("Контрольная сумма           : 0x") + hex + "\r\n"),
            std::string::npos);
  int roots = 0;
  for (std::size_t at = 0; (at = text.find("\r\n65002,", at)) != std::string::npos; ++at) ++roots;
  EXPECT_EQ(roots, 3);
}

TEST_F(EmulatorJobTest, InjectedFaultEndsTheJobWithTheDriversMessage) {
  UseImage("fault.json");
  TMainController controller;
  controller.Start({1, 3, false});
  ASSERT_TRUE(WaitForJob(controller));
  const auto status = controller.GetStatus();
  EXPECT_EQ(status.State, TJobState::Failed);
  EXPECT_EQ(status.Text,
            "Ошибка: Документ № 2 не прочитан: 55, Документ не найден в архиве. Прочитано 1 из 3; "
            "повторите чтение, чтобы продолжить");
  EXPECT_EQ(status.Percent, 33);
  EXPECT_TRUE(controller.IsReportReady());  // what was read, marked as a part
  EXPECT_TRUE(controller.ReportIncomplete());
  EXPECT_EQ(controller.Report().Documents().Count(), 1);
}

}  // namespace
}  // namespace kvitor::test
