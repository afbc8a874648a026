// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "ReportTestUtil.h"
#include "base/Error.h"
#include "base/Stream.h"
#include "report/FNReportTextWriter.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using test::Bytes;
using test::Le32;
using test::ReadFile;
using test::ScratchDir;
using test::Tlv;

const std::string kRule(57, '-');
const char* const kLabels[] = {
    "Наименование файла выгрузки : ", "Программа выгрузки          : ",
    "Регистрационный номер ККТ   : ", "Номер ФН                    : ",
    "Номер версии ФФД            : ", "Количество смен             : ",
    "Количество документов       : ", "Контрольная сумма           : 0x",
};

std::string Render(const TFNReportHeader& header, const TTLVTags& tags) {
  TMemoryStream out;
  WriteReportText(header, tags, out);
  return out.Data();
}

// The lines of a text, each of which must end in CR LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last CR LF";
  return lines;
}

TEST(TextWriter, HeaderIsTenLabelledLinesEachEndedByCrLf) {
  for (const char* label : kLabels)
    EXPECT_EQ(Utf8ToCp1251(label).size(), label == kLabels[7] ? 32u : 30u);
  // The labels are Windows-1251: "Номер ФН" byte by byte.
  EXPECT_EQ(Utf8ToCp1251(kLabels[3]).substr(0, 8), "\xCD\xEE\xEC\xE5\xF0 \xD4\xCD");

  TFNReportHeader h;
  h.ReportName = Utf8ToCp1251("Отчет о считывании ФД");
  h.ProgramName = std::string(300, 'P') + "!";  // written in full, unlike the binary file
  h.RegNumber = "0000000001012345";
  h.FNNumber = " 9999 ";
  h.FFDVersion = 2;
  h.ShiftCount = 12;
  h.DocumentCount = 345;
  h.Checksum = 0x00ABCDEF;
  const std::string values[] = {h.ReportName, h.ProgramName, h.RegNumber, h.FNNumber,
                                "1.05",       "12",          "345",       "00ABCDEF"};
  std::string expected = kRule + "\r\n";
  for (int i = 0; i < 8; ++i) expected += Utf8ToCp1251(kLabels[i]) + values[i] + "\r\n";
  expected += kRule + "\r\n";

  const TTLVTags empty;
  EXPECT_EQ(Render(h, empty), expected);

  ScratchDir dir;
  TFNReport report;
  report.SetHeader(h);
  TFNReportTextWriter().SaveToFile(report, dir.Path("report.txt"));
  EXPECT_EQ(ReadFile(dir.Path("report.txt")), expected);
  EXPECT_EQ(report.Header(), h);
}

TEST(TextWriter, HeaderNumbersAreFormattedAsDescribed) {
  const struct {
    uint8_t ffd;
    int32_t count;
    uint32_t checksum;
    std::string ffdText, countText, checksumText;
  } cases[] = {
      {1, 0, 0, "1.0", "0", "00000000"},
      {2, -5, 0x00ABCDEF, "1.05", "-5", "00ABCDEF"},
      {3, INT32_MIN, 0xFFFFFFFF, "1.1", "-2147483648", "FFFFFFFF"},
      {4, INT32_MAX, 0xDEADBEEF, "4", "2147483647", "DEADBEEF"},
      {0, 1000000, 0x0000000A, "0", "1000000", "0000000A"},
      {255, -1, 0x80000000, "255", "-1", "80000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ffdText);
    TFNReportHeader h;
    h.FFDVersion = c.ffd;
    h.ShiftCount = c.count;
    h.DocumentCount = c.count;
    h.Checksum = c.checksum;
    const std::vector<std::string> lines = Lines(Render(h, TTLVTags()));
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[5], Utf8ToCp1251(kLabels[4]) + c.ffdText);
    EXPECT_EQ(lines[6], Utf8ToCp1251(kLabels[5]) + c.countText);
    EXPECT_EQ(lines[7], Utf8ToCp1251(kLabels[6]) + c.countText);
    EXPECT_EQ(lines[8], Utf8ToCp1251(kLabels[7]) + c.checksumText);
    EXPECT_EQ(lines[0], kRule);
    EXPECT_EQ(lines[9], kRule);
  }
}

TEST(TextWriter, TagLinesFollowTheTreeIndentedTwoBlanksPerLevel) {
  TFNReport report;
  TFNDocumentRec receipt;
  receipt.DocType = 3;
  receipt.TLVData =
      Tlv(1040, Le32(7)) +
      Tlv(1059, Tlv(1023, Bytes({0x03, 0xDC, 0x05})) + Tlv(1043, Bytes({0x39, 0x30}))) +
      Tlv(1020, Bytes({0x39, 0x30}));
  receipt.Ticket.TicketData = "yes";
  receipt.Ticket.TicketDateTime = kUnixEpoch;
  receipt.Ticket.FiscalSign = Bytes({0x01, 0x02, 0x03});
  TFNDocumentRec registration;
  registration.DocType = 1;
  registration.TLVData = Tlv(1002, Bytes({1})) + Tlv(1209, Bytes({3})) + Tlv(1019, "x");
  report.AddDocument(receipt);
  report.AddDocument(registration);
  report.Build(false);

  const char* const expectedTags[] = {
      "65002,ОНЛАЙН РЕЖИМ, ФФД 1.0, 1.05:",
      "  103,Кассовый чек:",
      "    1040,ФД:7",
      "    1059,ПРЕДМ. РАСЧЕТА:",
      "      1023,КОЛ-ВО ПРЕДМ. РАСЧЕТА:1.500",
      "      1043,СТОИМ. ПРЕДМ. РАСЧЕТА:123.45",
      "    1020,ИТОГ:123.45",
      "  107,Подтверждение оператора:",
      "    1012,ДАТА, ВРЕМЯ:",  // followed by the date, whose form is the locale's
      "    1078,ФП ОПЕРАТОРА:01 02 03",
      "65011,АВТ.РЕЖИМ, ФФД 1.1:",
      "  101,Отчет о регистрации:",
      "    1002,АВТОНОМН. РЕЖИМ:1",
      "    1209,ВЕРСИЯ ФФД:3 (1.1)",
      "    1019,НЕИЗВЕСТНЫЙ ТЕГ",
  };
  const std::string text = Render(report.Header(), report.Tags());
  const std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), 10 + std::size(expectedTags));
  EXPECT_EQ(lines[5], Utf8ToCp1251(kLabels[4]) + "1.1");
  for (std::size_t i = 0; i < std::size(expectedTags); ++i) {
    SCOPED_TRACE(expectedTags[i]);
    const std::string want = Utf8ToCp1251(expectedTags[i]);
    if (i == 8) {
      EXPECT_EQ(lines[10 + i].substr(0, want.size()), want);
      EXPECT_GT(lines[10 + i].size(), want.size());
    } else {
      EXPECT_EQ(lines[10 + i], want);
    }
  }

  // The file holds the same bytes, and a second save does not repeat them.
  ScratchDir dir;
  const TFNReportTextWriter writer;
  writer.SaveToFile(report, dir.Path("report.txt"));
  EXPECT_EQ(ReadFile(dir.Path("report.txt")), text);
  writer.SaveToFile(report, dir.Path("report.txt"));
  EXPECT_EQ(ReadFile(dir.Path("report.txt")), text);
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"report.txt"});
}

TEST(TextWriter, RenderingErrorCreatesOrChangesNoFile) {
  TFNReport report;
  TFNDocumentRec receipt;
  receipt.DocType = 3;
  receipt.TLVData = Tlv(1040, Le32(7)) + Tlv(1059, Tlv(1023, Bytes({0x09, 0x01})));
  report.AddDocument(receipt);
  report.Build(false);

  ScratchDir dir;
  const TFNReportTextWriter writer;
  try {
    writer.SaveToFile(report, dir.Path("new.txt"));
    ADD_FAILURE() << "an FVLN point position of 9 was rendered";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Неверная длина FVLN");
  }
  EXPECT_TRUE(dir.Entries().empty());

  test::WriteFile(dir.Path("old.txt"), "previous report\r\n");
  EXPECT_THROW(writer.SaveToFile(report, dir.Path("old.txt")), Error);
  EXPECT_EQ(ReadFile(dir.Path("old.txt")), "previous report\r\n");
  EXPECT_EQ(dir.Entries(), std::set<std::string>{"old.txt"});
}

}  // namespace
}  // namespace kvitor
