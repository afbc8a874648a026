// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "Ffd12Documents.h"
#include "ReportTestUtil.h"
#include "base/Stream.h"
#include "report/FNReport.h"
#include "report/FNReportBinWriter.h"
#include "report/FNReportTextWriter.h"
#include "report/ReportExport.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

namespace f = test::ffd12;
using test::Doc;
using test::Shape;
using test::Tlv;

// A storage of today: registration, a receipt of format 1.1 with 1162, the
// marked receipt and the 2026 receipt of format 1.2.
void Fill(TFNReport& report) {
  report.AddDocument(Doc(1, f::Registration()));
  report.AddDocument(Doc(3, Tlv(1040, test::Le32(1200)) + Tlv(1209, "\x03") +
                                Tlv(1059, Tlv(1030, "Tea") + Tlv(1162, "\x00\x05"))));
  report.AddDocument(Doc(3, f::MarkedReceipt()));
  report.AddDocument(Doc(3, f::VatReceipt()));
}

struct TSaved {
  std::string Bin;
  std::string Text;  // UTF-8
};

TSaved Save(TFNReport& report, const test::ScratchDir& dir) {
  TFNReportHeader header = report.Header();
  header.Checksum = TFNReportBinWriter::CalcChecksum(report);
  report.SetHeader(header);
  TFNReportBinWriter().SaveToFile(report, dir.Path("r.bin"));
  TFNReportTextWriter().SaveToFile(report, dir.Path("r.txt"));
  return {dir.Path("r.bin"), Cp1251ToUtf8(test::ReadFile(dir.Path("r.txt")))};
}

std::string Show(const std::string& bin, TExportForm form, bool ffd12) {
  TMemoryStream out;
  TReportExport(bin, ffd12).Write(form, out);
  return out.Data();
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Ffd12Report, WithoutTheOptionTheReportIsAsItWasAndAHintIsDue) {
  test::ScratchDir dir;
  TFNReport report;
  Fill(report);
  report.Build(false);
  EXPECT_TRUE(report.NewerFormatSeen());
  // 1115, 1125, 1234, 2107 and the 1119 of the top are not in the table.
  EXPECT_EQ(Shape(report.Tags()),
            "65002(101(1040 1209 1290)) 65012(103(1040 1059(1030 1162))) "
            "65002(103(1040 1012 1054 1020 1081 1059(1030 1079 1023 1043 1199 1212 1214 2108 "
            "1163 2106 1260) 1077)) "
            "65002(103(1040 1012 1054 1020 1081 1059(1030 1079 2108 1199) 1077))");
  const TSaved saved = Save(report, dir);
  EXPECT_TRUE(Has(saved.Text, "Номер версии ФФД            : 4\r\n"));
  EXPECT_TRUE(Has(saved.Text, "\r\n      1163,НЕИЗВЕСТНЫЙ ТЕГ\r\n"));
  EXPECT_TRUE(Has(saved.Text, "\r\n    1290,НЕИЗВЕСТНЫЙ ТЕГ\r\n"));
  EXPECT_FALSE(Has(saved.Text, "КОД ТОВАРА"));
  // show gives the same text unless asked for the newer one.
  EXPECT_EQ(Cp1251ToUtf8(Show(saved.Bin, TExportForm::Text, false)), saved.Text);

  report.Clear();  // the filter finds only the receipt of format 1.1
  Fill(report);
  report.Build(true);
  EXPECT_EQ(report.ContainerCount(), 1U);

  report.Clear();
  report.AddDocument(Doc(3, Tlv(1040, test::Le32(1)) + Tlv(1209, "\x03")));
  report.Build(false);
  EXPECT_FALSE(report.NewerFormatSeen());
}

TEST(Ffd12Report, WithTheOptionEveryTagIsNamedAndTheNewOnesKept) {
  test::ScratchDir dir;
  TFNReport report;
  Fill(report);
  report.Build(false, true);
  EXPECT_FALSE(report.NewerFormatSeen());
  // Kept in the document's order; 1119 at the top is still not kept.
  EXPECT_EQ(Shape(report.Tags()).substr(Shape(report.Tags()).rfind(" 65002(")),
            " 65002(103(1040 1012 1054 1020 1081 1059(1030 1079 2108 1199) 1115(1119(1199 1120)) "
            "1125 1234(1235(1082)) 1077))");
  const TSaved saved = Save(report, dir);
  EXPECT_TRUE(Has(saved.Text, "Номер версии ФФД            : 4 (ФФД 1.2)\r\n"));
  EXPECT_FALSE(Has(saved.Text, "НЕИЗВЕСТНЫЙ ТЕГ"));
  for (const char* line :
       {"\r\n    2107,РЕЗУЛЬТАТЫ ПРОВЕРКИ МАРКИР. ТОВАРОВ:0\r\n",
        "\r\n      1163,КОД ТОВАРА:\r\n        1305,КТ GS1.М:0104650194496316215Qbag!",
        "\r\n        1265,ЗНАЧ. ОТРАСЛ. РЕКВИЗИТА:mode=horeca\r\n",
        "\r\n    1115,СУММЫ НДС ЧЕКА:\r\n      1119,СУММА НДС ЧЕКА:\r\n        1199,СТАВКА "
        "НДС:11\r\n        1120,СУММА НДС:89.98\r\n",
        "\r\n        1082,СУММА ОПЛАТЫ БЕЗНАЛ.:499.00\r\n",
        "\r\n    1290,ПРИЗН. УСЛОВИЙ ПРИМЕН. ККТ:34\r\n"}) {
    EXPECT_TRUE(Has(saved.Text, line)) << line;
  }
  EXPECT_EQ(Cp1251ToUtf8(Show(saved.Bin, TExportForm::Text, true)), saved.Text);
  EXPECT_NE(Cp1251ToUtf8(Show(saved.Bin, TExportForm::Text, false)), saved.Text);

  // The filter takes the receipts with 1162 or 1163.
  report.Clear();
  Fill(report);
  report.Build(true, true);
  EXPECT_EQ(report.ContainerCount(), 2U);
}

TEST(Ffd12Report, JsonNamesTheNewerTagsWhateverTheOption) {
  test::ScratchDir dir;
  TFNReport report;
  report.AddDocument(Doc(3, f::VatReceipt()));
  report.AddDocument(Doc(1, Tlv(1019, "\xAB")));
  report.Build(false, true);
  const TSaved saved = Save(report, dir);
  const auto json = nlohmann::json::parse(Show(saved.Bin, TExportForm::Json, false));
  const auto& receipt = json["items"][0]["items"][0]["items"];
  std::string names;
  for (const auto& item : receipt) names += item["name"].get<std::string>() + ";";
  EXPECT_TRUE(Has(names, "СУММЫ НДС ЧЕКА;ПРИЗН. РАСЧЕТА В ИНТЕРНЕТ;СВЕД. ОБ ОПЛАТАХ БЕЗНАЛ.;"))
      << names;
  const auto& vat = receipt[6];
  EXPECT_EQ(vat["items"][0]["items"][1]["value"], 8998);
  // An unknown tag keeps its bare form: no name, hex value, no text.
  const auto& unknown = json["items"][1]["items"][0]["items"][0];
  EXPECT_EQ(unknown["tag"], 1019);
  EXPECT_EQ(unknown["name"], "");
  EXPECT_EQ(unknown["value"], "ab");
  EXPECT_EQ(unknown["text"], "");
}

TEST(Ffd12Report, CsvGainsTheVatOf22AndTheCountOfMarkedItems) {
  test::ScratchDir dir;
  TFNReport report;
  report.AddDocument(Doc(3, f::VatReceipt()));
  report.AddDocument(Doc(3, f::MarkedReceipt() + f::MarkedItem()));
  report.AddDocument(Doc(1, f::Registration()));
  report.Build(false, true);
  const std::string csv = Show(Save(report, dir).Bin, TExportForm::Csv, false);
  EXPECT_TRUE(Has(csv, ",499.00,,499.00,,,,,,,0,,89.98,0\r\n")) << csv;
  EXPECT_TRUE(Has(csv, ",129.90,,129.90,,,,,,,0,,,2\r\n")) << csv;
  EXPECT_TRUE(Has(csv, "\r\n65002,1,1,,,,,,,,,,,,,,0,,,\r\n")) << csv;
}

}  // namespace
}  // namespace kvitor
