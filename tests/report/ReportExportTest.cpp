// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/ReportExport.h"

#include <gtest/gtest.h>

#include <climits>
#include <nlohmann/json.hpp>
#include <vector>

#include "FNReportBinReader.h"
#include "ReportTestUtil.h"
#include "base/Error.h"
#include "base/Stream.h"
#include "report/Checksum.h"
#include "report/FNReportTextWriter.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using test::Bytes;
using test::ErrorOf;
using test::Le32;
using test::ScratchDir;
using test::Tlv;
using test::WriteFile;

// A report file around tlv with a checksum that fits.
std::string ReportFile(std::string_view tlv) {
  const std::string head = FixedWidthString(Utf8ToCp1251("Отчет о считывании ФД"), 53) +
                           FixedWidthString("Quillon, version: 1.0.0.0", 256) +
                           FixedWidthString("0000000001012345", 20) +
                           FixedWidthString("9999078900012345", 16) + '\x02' + Le32(3) + Le32(62);
  const uint32_t crc = ChecksumUpdate(ChecksumUpdate(kChecksumStart, head), tlv);
  return head + Le32(crc) + std::string(tlv);
}

std::string Export(const std::string& file, TExportForm form) {
  TMemoryStream out;
  TReportExport(file).Write(form, out);
  return out.Data();
}

std::string TreeText(const std::string& file) {
  TFNReportBinReader reader;
  reader.LoadFromFile(file);
  TMemoryStream out;
  WriteReportText(reader.Header(), reader.Tags(), out);
  return out.Data();
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find(separator, start)) != std::string::npos;
       start = end + separator.size()) {
    parts.push_back(text.substr(start, end - start));
  }
  return parts;
}

// Every item of json in order with its depth, beside the text report's tag
// lines (UTF-8): each must be that line.
void ExpectLinesOf(const nlohmann::json& items, const std::vector<std::string>& lines,
                   std::size_t& at, std::size_t depth) {
  for (const auto& item : items) {
    ASSERT_LT(at, lines.size());
    const std::string tag = std::to_string(item["tag"].get<int>());
    const std::string name = item["name"].get<std::string>();
    const std::string expected =
        std::string(2 * depth, ' ') + tag + "," +
        (name.empty() ? "НЕИЗВЕСТНЫЙ ТЕГ" : name + ":" + item.value("text", std::string()));
    EXPECT_EQ(lines[at++], expected);
    if (item.contains("items")) ExpectLinesOf(item["items"], lines, at, depth + 1);
  }
}

// A receipt with the awkward values: a full 32-bit number, money of -1 and
// the largest kopecks, a name with quotes, a comma and a Cyrillic letter, an
// unknown tag, a bad FVLN-free value of every type, and a value cut short.
std::string AwkwardData() {
  const std::string receipt = Tlv(1040, Le32(0xFFFFFFFF)) + Tlv(1012, Le32(1764000000)) +
                              Tlv(1048, std::string("Shop \"A,B\" ") + '\x80') +
                              Tlv(1054, Bytes({1})) + Tlv(1020, std::string(8, '\xFF')) +
                              Tlv(1031, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F})) +
                              Tlv(1077, Bytes({0, 0, 0x49, 0x96, 0x02, 0xD2})) +
                              Tlv(1019, Bytes({0xAB, 0xCD})) + Tlv(1162, Bytes({0, 5, 10})) +
                              Tlv(1059, Tlv(1030, "x") + Tlv(1079, Bytes({0x10}))) +
                              Tlv(1038, Le32(7)).substr(0, 6);  // declared 4, 2 bytes left
  return Tlv(65001, Tlv(103, receipt) + Tlv(107, Tlv(1012, Le32(1764000600))));
}

TEST(ReportExport, JsonItemsAreTypedAndCarryTheTextReportsValueText) {
  ScratchDir dir;
  const std::string file = dir.Path("r.bin");
  WriteFile(file, ReportFile(AwkwardData()));
  const auto json = nlohmann::json::parse(Export(file, TExportForm::Json));

  const auto& report = json["report"];
  EXPECT_EQ(report["name"], "Отчет о считывании ФД");
  EXPECT_EQ(report["program"], "Quillon, version: 1.0.0.0");
  EXPECT_EQ(report["ffd_version"], 2);
  EXPECT_EQ(report["document_count"], 62);
  TFNReportBinReader reader;
  reader.LoadFromFile(file);
  char checksum[16];
  std::snprintf(checksum, sizeof checksum, "0x%08X", reader.Header().Checksum);
  EXPECT_EQ(report["checksum"], checksum);

  const auto& doc = json["items"][0]["items"][0];
  ASSERT_EQ(doc["tag"], 103);
  const auto& tags = doc["items"];
  EXPECT_EQ(tags[0]["value"].get<uint64_t>(), 4294967295u);
  EXPECT_EQ(tags[1]["value"], IsoTime(Le32(1764000000)));
  EXPECT_EQ(tags[2]["value"], "Shop \"A,B\" А");
  EXPECT_EQ(tags[3]["value"], 1);
  EXPECT_EQ(tags[4]["value"].get<int64_t>(), -1);
  EXPECT_EQ(tags[5]["value"].get<int64_t>(), LLONG_MAX);
  EXPECT_EQ(tags[6]["value"], "0000499602d2");
  EXPECT_EQ(tags[7]["name"], "");
  EXPECT_EQ(tags[7]["text"], "");
  EXPECT_EQ(tags[7]["value"], "abcd");
  EXPECT_EQ(tags[8]["value"], "00050a");
  EXPECT_EQ(tags[9]["items"].size(), 2u);
  EXPECT_EQ(tags[10]["error"], "Некорректная длина");
  EXPECT_FALSE(tags[10].contains("value"));

  // Every name and text is the text report's, line by line.
  const std::vector<std::string> lines = Split(Cp1251ToUtf8(TreeText(file)), "\r\n");
  std::size_t at = 10;
  ExpectLinesOf(json["items"], lines, at, 0);
  EXPECT_EQ(at, lines.size());
}

TEST(ReportExport, IsoTimesCountFromTheUnixEpochAndDayZeroForOtherLengths) {
  EXPECT_EQ(IsoTime(Le32(0)), "1970-01-01T00:00:00");
  EXPECT_EQ(IsoTime(Le32(951782400 + 86399)), "2000-02-29T23:59:59");
  EXPECT_EQ(IsoTime(Le32(0xFFFFFFFF)), "1969-12-31T23:59:59");
  EXPECT_EQ(IsoTime(Bytes({1, 2})), "1899-12-30T00:00:00");
}

TEST(ReportExport, CsvHasOneRowPerDocumentWithItsConfirmation) {
  ScratchDir dir;
  const std::string file = dir.Path("r.bin");
  const std::string plain =
      Tlv(65011, Tlv(102, Tlv(1040, Le32(2)) + Tlv(1038, Le32(4))) + Tlv(1019, ""));
  WriteFile(file, ReportFile(AwkwardData() + plain + Tlv(1019, "")));
  const std::string csv = Export(file, TExportForm::Csv);

  const std::vector<std::string> rows = Split(csv, "\r\n");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0],
            "outer,type,number,date_time,fiscal_sign,shift,operation,total,cash,electronic,vat20,"
            "vat10,vat0,no_vat,vat20_120,vat10_110,confirmed,confirmed_at,vat22,marked");
  const std::vector<std::string> receipt = Split(rows[1] + ",", ",");
  ASSERT_EQ(receipt.size(), 20u);
  EXPECT_EQ(receipt[0], "65001");
  EXPECT_EQ(receipt[1], "3");
  EXPECT_EQ(receipt[2], "4294967295");
  EXPECT_EQ(receipt[3], IsoTime(Le32(1764000000)));
  EXPECT_EQ(receipt[4], "1234567890");
  EXPECT_EQ(receipt[5], "");  // cut short
  EXPECT_EQ(receipt[6], "1");
  EXPECT_EQ(receipt[7], "-0.01");
  EXPECT_EQ(receipt[8].substr(0, 15), "922337203685477");
  EXPECT_EQ(receipt[16], "1");
  EXPECT_EQ(receipt[17], IsoTime(Le32(1764000600)));
  EXPECT_EQ(receipt[19], "0");  // its item holds no marking code
  EXPECT_EQ(rows[2], "65011,2,2,,,4,,,,,,,,,,,0,,,");
}

TEST(ReportExport, TextIsTheTextReportOfTheSameFile) {
  ScratchDir dir;
  const std::string file = dir.Path("r.bin");
  // Unknown containers' content, empty containers, a trailing partial item.
  const std::string data = AwkwardData() + Tlv(65002, Tlv(101, "")) +
                           Tlv(65012, Tlv(105, Tlv(1059, Tlv(1059, Tlv(1030, "y"))))) +
                           Bytes({0x10, 0x04, 0x05, 0x00, 0x01});
  WriteFile(file, ReportFile(data));
  EXPECT_EQ(Export(file, TExportForm::Text), TreeText(file));
}

TEST(ReportExport, RefusesWhatShowRefusesWithItsMessages) {
  ScratchDir dir;
  const std::string file = dir.Path("r.bin");
  const auto same = [&](const std::string& content) {
    WriteFile(file, content);
    const std::string expected = ErrorOf([&] { TFNReportBinReader().LoadFromFile(file); });
    const std::string got = ErrorOf([&] { TReportExport{file}; });
    EXPECT_NE(got, "(no error)");
    EXPECT_EQ(got, expected);
  };
  same(ReportFile("").substr(0, 357));
  std::string altered = ReportFile(AwkwardData());
  altered.back() ^= 1;
  same(altered);
  same(ReportFile(Tlv(65001, Tlv(103, "ab"))));                       // a 2-byte block
  same(ReportFile(Tlv(65001, Tlv(103, "ab"))).substr(0, 400) + "x");  // and a wrong sum
  const std::string folder = dir.Dir().string();
  EXPECT_EQ(ErrorOf([&] { TReportExport{folder}; }),
            "Cannot open file \"" + folder + "\". Is a directory");
  // A value the text cannot show refuses the file before anything is written.
  WriteFile(file, ReportFile(Tlv(65001, Tlv(103, Tlv(1023, Bytes({9, 1}))))));
  const std::string fvln = ErrorOf([&] { TReportExport{file}; });
  const std::string tree = ErrorOf([&] { static_cast<void>(TreeText(file)); });
  EXPECT_EQ(fvln, tree);
  EXPECT_NE(fvln, "(no error)");
}

// Counts the bytes and the largest single write: an export that held the
// whole output would hand it over in one piece.
class TCountingStream final : public TStream {
 public:
  std::size_t Read(void*, std::size_t) override { return 0; }
  std::size_t Write(const void* buffer, std::size_t size) override {
    total += size;
    largest = std::max(largest, size);
    const std::string_view bytes(static_cast<const char*>(buffer), size);
    for (const char c : bytes) depth += c == '[' ? 1 : c == ']' ? -1 : 0;
    return size;
  }
  [[nodiscard]] int64_t Position() const override { return static_cast<int64_t>(total); }
  void SetPosition(int64_t) override {}
  [[nodiscard]] int64_t Size() const override { return static_cast<int64_t>(total); }
  std::size_t total = 0;
  std::size_t largest = 0;
  long depth = 0;
};

TEST(ReportExport, DeepNestingStreamsInSmallPieces) {
  ScratchDir dir;
  const std::string file = dir.Path("deep.bin");
  // 1059 in 1059, 8000 levels, inside one document.
  constexpr int kDepth = 8000;
  std::string data = Tlv(1030, "x");
  for (int i = 0; i < kDepth; ++i) data = Tlv(1059, data);
  WriteFile(file, ReportFile(Tlv(65001, Tlv(103, data)) + AwkwardData()));
  const TReportExport report(file);
  for (const auto form : {TExportForm::Text, TExportForm::Json, TExportForm::Csv}) {
    TCountingStream out;
    report.Write(form, out);
    EXPECT_LT(out.largest, std::size_t{1} << 20);
    if (form == TExportForm::Text) {
      EXPECT_GT(out.total, std::size_t{kDepth} * kDepth);
    } else if (form == TExportForm::Json) {
      EXPECT_EQ(out.depth, 0);
    } else {
      EXPECT_EQ(out.total, Export(file, form).size());
    }
  }
}

}  // namespace
}  // namespace kvitor
