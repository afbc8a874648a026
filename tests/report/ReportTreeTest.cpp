// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "ReportTestUtil.h"
#include "base/Error.h"
#include "base/Stream.h"
#include "report/Checksum.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"
#include "tlv/BinStream.h"
#include "tlv/FormatTLV.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using test::Bytes;
using test::Le32;
using test::ReadFile;
using test::ScratchDir;
using test::Tlv;

TFNDocumentRec Doc(int32_t number, int32_t type, std::string body) {
  TFNDocumentRec rec;
  rec.DocNumber = number;
  rec.DocType = type;
  rec.TLVData = std::move(body);
  return rec;
}

std::string Encoded(const TFNReport& report) {
  std::string out;
  report.EncodeTree([&out](std::string_view piece) { out += piece; });
  return out;
}

std::string Text(const TFNReport& report) {
  TMemoryStream stream;
  WriteReportText(report, stream);
  return TBinStream(stream).GetBytes();
}

std::string NodeText(const TFNReport& report) {
  TMemoryStream stream;
  WriteReportText(report.Header(), report.Tags(), stream);
  return TBinStream(stream).GetBytes();
}

TEST(ReportTree, ItemsCutShortEncodeAndReadAsTheirParsedTags) {
  // A 1059 whose 1030 announces 5 bytes and holds 3; a 1040 announcing more
  // than the body holds; a body ending in 3 stray bytes.
  const std::string cut1059 = Tlv(1059, Bytes({0x06, 0x04, 0x05, 0x00}) + "Bre");
  const std::string longer = Bytes({0x10, 0x04, 0x09, 0x00, 1, 2, 3, 4});
  const std::string stray = Bytes({0xE8, 0x03, 0x05});
  const std::string whole = Tlv(1040, Le32(7)) + Tlv(1017, "7704211201  ");
  TFNReport report;
  report.AddDocument(Doc(1, 1, whole + cut1059 + stray));
  TFNDocumentRec receipt = Doc(2, 3, cut1059 + whole + Tlv(1048, "dropped") + longer);
  receipt.Ticket.TicketData = "x";
  receipt.Ticket.FiscalSign = Bytes({1, 2, 3});
  report.AddDocument(receipt);
  report.AddDocument(Doc(3, 8, whole));  // a type the report leaves out
  report.Build(false);

  const std::string fixed1059 = Tlv(1059, Tlv(1030, "Bre"));
  const std::string expected =
      Tlv(65002, Tlv(101, whole + fixed1059 + Tlv(1000, ""))) +
      Tlv(65002, Tlv(103, fixed1059 + whole + Tlv(1040, Bytes({1, 2, 3, 4}))) +
                     Tlv(107, Tlv(1012, TFormatTLV::DateTimeToUnixTime(0)) +
                                  Tlv(1078, Bytes({1, 2, 3})) + Tlv(1017, "7704211201  ")));
  EXPECT_EQ(Encoded(report), expected);
  EXPECT_EQ(report.Tags().Encode(), expected);
  EXPECT_EQ(report.ContainerCount(), 2u);
  // The walk over the bodies reads as the nodes do, the cut lengths included.
  const std::string text = Text(report);
  EXPECT_EQ(text, NodeText(report));
  EXPECT_NE(text.find(Utf8ToCp1251("Ошибка! Некорректная длина")), std::string::npos);
}

TEST(ReportTree, DocumentTheEncodingCannotCarryIsRefusedByNumberAndTag) {
  ScratchDir dir;
  const std::string bin = dir.Path("r.bin");
  const auto refused = [&](const TFNReport& report, const std::string& number,
                           const std::string& tag) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      try {
        if (attempt == 0) {
          TFNReportBinWriter().SaveToFile(report, bin);
        } else {
          static_cast<void>(TFNReportBinWriter::CalcChecksum(report));
        }
        ADD_FAILURE() << "accepted";
      } catch (const Error& e) {
        const std::string message = e.what();
        EXPECT_NE(message.find("№ " + number + " "), std::string::npos) << message;
        EXPECT_NE(message.find("тега " + tag + " "), std::string::npos) << message;
      }
    }
    EXPECT_FALSE(std::filesystem::exists(bin));
  };
  // Two values that fit alone and not together in the document container.
  const std::string big = Tlv(1030, std::string(60000, 'a')) + Tlv(1031, std::string(10000, 'b'));
  TFNReport report;
  report.AddDocument(Doc(5, 1, Tlv(1040, Le32(1))));
  report.AddDocument(Doc(6, 1, big));
  report.Build(false);
  EXPECT_TRUE(report.Ready());  // the read is kept: other saves may follow
  refused(report, "6", "101");

  TFNReport sign;
  TFNDocumentRec rec = Doc(9, 3, Tlv(1040, Le32(1)));
  rec.Ticket.TicketData = "x";
  rec.Ticket.FiscalSign = std::string(70000, 's');
  sign.AddDocument(rec);
  sign.Build(false);
  refused(sign, "9", "1078");
}

TEST(ReportTree, SavingCountsProgressAndKeepsTheChecksumForTheTextFile) {
  ScratchDir dir;
  TFNReport report;
  for (int i = 1; i <= 3; ++i) report.AddDocument(Doc(i, 3, Tlv(1040, Le32(i))));
  report.Build(false);
  TReportSave save;
  TFNReportBinWriter().SaveToFile(report, dir.Path("r.bin"), &save);
  const std::string file = ReadFile(dir.Path("r.bin"));
  EXPECT_EQ(save.Progress().Documents.load(), 3);
  EXPECT_EQ(save.Progress().Bytes.load(), static_cast<int64_t>(file.size()));
  EXPECT_EQ(file.substr(354, 4), Le32(TFNReportBinWriter::CalcChecksum(report)));
  // The save keeps what it wrote and hands it out without a second pass.
  const std::string headerBytes = EncodeReportHeader(report.Header());
  EXPECT_EQ(save.KeptChecksum(headerBytes), TFNReportBinWriter::CalcChecksum(report));
  save.KeepChecksum(headerBytes, 0x5EED);
  EXPECT_EQ(TFNReportBinWriter::CalcChecksum(report, &save), 0x5EEDU);
  save.Forget();
  EXPECT_EQ(file.substr(354, 4), Le32(TFNReportBinWriter::CalcChecksum(report, &save)));

  // A changed header is worked out afresh, as a new report of it would be.
  TFNReportHeader header = report.Header();
  header.FNNumber = "123";
  report.SetHeader(header);
  const uint32_t changed = TFNReportBinWriter::CalcChecksum(report, &save);
  EXPECT_EQ(changed, ChecksumUpdate(ChecksumUpdate(kChecksumStart, EncodeReportHeader(header)),
                                    file.substr(358)));
  TFNReportTextWriter().SaveToFile(report, dir.Path("r.txt"), &save.Progress());
  EXPECT_EQ(save.Progress().Documents.load(), 3);
  EXPECT_EQ(save.Progress().Bytes.load(), static_cast<int64_t>(ReadFile(dir.Path("r.txt")).size()));
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Lets the process map only `more` bytes beyond what it has mapped now.
void LimitAddressSpace(std::size_t more) {
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit limit{};
  ::getrlimit(RLIMIT_AS, &limit);
  limit.rlim_cur = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + more;
  ::setrlimit(RLIMIT_AS, &limit);
}

// Holds every free block of 32 KiB that the heap can still give (holes the
// setup left, the slack at its top): a larger buffer must then be mapped
// anew, whatever the heap's layout.
std::vector<std::unique_ptr<char[]>> HoldLargeHoles() {
  std::vector<std::unique_ptr<char[]>> held;
  held.reserve(1024);
  try {
    while (held.size() < held.capacity()) held.emplace_back(new char[32 << 10]);
  } catch (const std::bad_alloc&) {
  }
  return held;
}

// Out of memory, each step names itself and the documents in its own words,
// and never passes on the text of a C++ exception. Each step runs in a new
// process (the death-test style that starts the binary again), under an
// address-space limit, so that no hole left in the heap by other tests can
// hold what the step asks for.
TEST(ReportTree, RunningOutOfMemoryNamesTheStepAndTheDocuments) {
  if (kSanitized) GTEST_SKIP() << "the sanitizers' allocators ignore an address-space limit";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto expectOutOfMemory = [](const std::function<void()>& step, const std::string& text) {
    EXPECT_EXIT(
        {
          const std::string error = test::ErrorOf(step);
          std::fprintf(stderr, "%s\n", error.c_str());
          std::_Exit(error.rfind(text, 0) == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << text;
  };
  expectOutOfMemory(
      [] {
        TFNReport report;
        LimitAddressSpace(32 << 20);
        for (int32_t n = 1;; ++n) report.AddDocument(Doc(n, 3, std::string(60000, 'x')));
      },
      "Недостаточно памяти для хранения прочитанных документов (документов: ");
  expectOutOfMemory(
      [] {
        TFNReport report;
        for (int32_t n = 1; n <= 50000; ++n) report.AddDocument(Doc(n, 3, Tlv(1040, Le32(1))));
        LimitAddressSpace(64 << 10);
        report.Build(false);
      },
      "Недостаточно памяти для сборки отчета (документов: 50000)");
  for (const bool text : {false, true}) {
    expectOutOfMemory(
        [text] {
          const ScratchDir dir;
          TFNReport report;
          for (int32_t n = 1; n <= 40; ++n)
            report.AddDocument(Doc(n, 3, Tlv(1030, std::string(60000, 'x'))));
          report.Build(false);
          LimitAddressSpace(16 << 10);
          const auto held = HoldLargeHoles();
          if (text) {
            TFNReportTextWriter().SaveToFile(report, dir.Path("r.txt"));
          } else {
            TFNReportBinWriter().SaveToFile(report, dir.Path("r.bin"));
          }
        },
        "Недостаточно памяти для записи отчета (документов: 40)");
  }
}

}  // namespace
}  // namespace kvitor
