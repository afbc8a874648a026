// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <climits>

#include "ReportTestUtil.h"
#include "report/Checksum.h"
#include "report/FNReportBinWriter.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using test::Bytes;
using test::Le32;
using test::ReadFile;
using test::ScratchDir;
using test::Tlv;

TFNReportHeader SampleHeader() {
  TFNReportHeader h;
  h.ReportName = Utf8ToCp1251("Отчет о считывании ФД");
  h.ProgramName = "Quillon, version: 1.0.0.0";
  h.RegNumber = "";
  h.FNNumber = "9999078900001234";
  h.FFDVersion = 2;
  h.ShiftCount = -2;
  h.DocumentCount = 0x01020304;
  h.Checksum = 0x11223344;
  return h;
}

// Two documents: a confirmation document and an autonomous receipt.
void AddSampleDocuments(TFNReport& report, uint8_t lastByte = 5) {
  TFNDocumentRec a;
  a.DocType = 7;
  a.TLVData = Tlv(1040, Bytes({lastByte, 0, 0, 0}));
  TFNDocumentRec b;
  b.DocType = 3;
  b.TLVData = Tlv(1002, Bytes({1})) + Tlv(1020, Bytes({0x39, 0x30}));
  report.AddDocument(a);
  report.AddDocument(b);
}

const std::string kSampleTree =
    Tlv(65002, Tlv(107, Tlv(1040, Le32(5)))) + Tlv(65001, Tlv(103, Tlv(1020, Bytes({0x39, 0x30}))));

TEST(BinWriter, EmptyTreeGivesTheFixedHeaderAlone) {
  ScratchDir dir;
  TFNReport report;
  const TFNReportHeader header = SampleHeader();
  ASSERT_EQ(header.ReportName.size(), 21u);
  report.SetHeader(header);
  TFNReportBinWriter().SaveToFile(report, dir.Path("report.bin"));

  const std::string file = ReadFile(dir.Path("report.bin"));
  ASSERT_EQ(file.size(), 358u);
  EXPECT_EQ(file.substr(0, 53), header.ReportName + std::string(32, ' '));
  EXPECT_EQ(file.substr(53, 256),
            header.ProgramName + std::string(256 - header.ProgramName.size(), ' '));
  EXPECT_EQ(file.substr(309, 20), std::string(20, ' '));
  EXPECT_EQ(file.substr(329, 16), "9999078900001234");
  EXPECT_EQ(file.substr(345, 1), Bytes({2}));
  EXPECT_EQ(file.substr(346, 4), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(file.substr(350, 4), Bytes({0x04, 0x03, 0x02, 0x01}));
  // The checksum covers the 354 header bytes alone here.
  const uint32_t crc = ChecksumReference(file.substr(0, 354));
  EXPECT_EQ(file.substr(354, 4), Le32(crc));
  EXPECT_EQ(TFNReportBinWriter::CalcChecksum(report), crc);
  EXPECT_EQ(EncodeReportHeader(header), file.substr(0, 354));
  // The header's own checksum is neither written nor changed.
  EXPECT_EQ(report.Header(), header);
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"report.bin"});
}

TEST(BinWriter, LongFieldsAreCutAndTheTreeFollowsTheChecksum) {
  ScratchDir dir;
  TFNReport report;
  AddSampleDocuments(report);
  report.Build(false);
  TFNReportHeader header = SampleHeader();
  header.ReportName = std::string(60, 'R');
  for (int i = 0; i < 300; ++i) header.ProgramName += static_cast<char>('a' + i % 26);
  header.RegNumber = "0000000001012345";
  header.FNNumber = "12345678901234567890";
  header.FFDVersion = 255;
  header.ShiftCount = INT32_MIN;
  header.DocumentCount = -1;
  report.SetHeader(header);
  TFNReportBinWriter().SaveToFile(report, dir.Path("report.bin"));

  const std::string file = ReadFile(dir.Path("report.bin"));
  ASSERT_EQ(file.size(), 358 + kSampleTree.size());
  EXPECT_EQ(file.substr(0, 53), std::string(53, 'R'));
  EXPECT_EQ(file.substr(53, 256), header.ProgramName.substr(0, 256));
  EXPECT_EQ(file.substr(309, 20), "0000000001012345    ");
  EXPECT_EQ(file.substr(329, 16), "1234567890123456");
  EXPECT_EQ(file.substr(345, 9), Bytes({0xFF, 0, 0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(file.substr(358), kSampleTree);
  const uint32_t crc = ChecksumReference(file.substr(0, 354) + kSampleTree);
  EXPECT_EQ(file.substr(354, 4), Le32(crc));
  EXPECT_EQ(TFNReportBinWriter::CalcChecksum(report), crc);
}

TEST(BinWriter, ChecksumChangesWithEveryCoveredByte) {
  const auto checksum = [](const TFNReportHeader& header, uint8_t lastByte) {
    TFNReport report;
    AddSampleDocuments(report, lastByte);
    report.Build(false);
    report.SetHeader(header);
    return TFNReportBinWriter::CalcChecksum(report);
  };
  TFNReportHeader base = SampleHeader();
  base.ProgramName = std::string(256, 'p');
  const uint32_t reference = checksum(base, 5);
  EXPECT_NE(checksum(base, 6), reference);

  std::vector<TFNReportHeader> changed(7, base);
  changed[0].ReportName.back() = 'X';
  changed[1].ProgramName.back() = 'q';
  changed[2].RegNumber = "1";
  changed[3].FNNumber.back() = '5';
  changed[4].FFDVersion = 3;
  changed[5].ShiftCount = -3;
  changed[6].DocumentCount += 0x100;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NE(checksum(changed[i], 5), reference);
  }
  // Not covered: the stored checksum, and bytes beyond a field's width.
  TFNReportHeader same = base;
  same.Checksum = 0;
  same.ProgramName += "beyond";
  EXPECT_EQ(checksum(same, 5), reference);
}

TEST(BinWriter, SaveReplacesAnExistingFileAndRepeatsExactly) {
  ScratchDir dir;
  const std::string target = dir.Path("report.bin");
  test::WriteFile(target, std::string(10000, 'Z'));
  TFNReport report;
  AddSampleDocuments(report);
  report.Build(false);
  report.SetHeader(SampleHeader());
  const TFNReportBinWriter writer;
  writer.SaveToFile(report, target);
  const std::string first = ReadFile(target);
  ASSERT_EQ(first.size(), 358 + kSampleTree.size());
  EXPECT_EQ(first.substr(358), kSampleTree);
  writer.SaveToFile(report, target);
  EXPECT_EQ(ReadFile(target), first);
  EXPECT_EQ(report.Header(), SampleHeader());
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"report.bin"});
}

TEST(BinWriter, TargetNameAtTheSystemsLimitCanBeSaved) {
  ScratchDir dir;
  // 255 bytes is the longest name a folder entry takes.
  const std::string name = std::string(251, 'n') + ".bin";
  TFNReport report;
  TFNReportBinWriter().SaveToFile(report, dir.Path(name));
  EXPECT_EQ(ReadFile(dir.Path(name)).size(), 358u);
  EXPECT_EQ(dir.Entries(), std::set<std::string>{name});
}

}  // namespace
}  // namespace kvitor
