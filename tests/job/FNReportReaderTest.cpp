// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The reader against a driver that records every call and property write in
// order and answers from a script.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "DeviceTestSupport.h"
#include "TestSupport.h"
#include "base/Error.h"
#include "job/FNReportReader.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using P = TTorvelProperty;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

class TRecordingTorvel final : public TTorvel {
 public:
  std::vector<std::string> Calls;
  // Results of operations in order; an operation without entries returns 0.
  std::map<std::string, std::deque<int>> Results;
  // Properties an operation puts out when it is called.
  std::map<std::string, std::map<int, TPropertyValue>> Outputs;
  // ReadDocumentBlock: result and TLVData; when none remain it returns -9.
  std::deque<std::pair<int, std::u16string>> Blocks;
  std::map<int, TPropertyValue> Properties;

  int OpenDevice() override { return Call("OpenDevice"); }
  int AuxiliaryRequest1() override { return Call("AuxiliaryRequest1"); }
  int AuxiliaryRequest2() override { return Call("AuxiliaryRequest2"); }
  int ReleaseDevice() override { return Call("ReleaseDevice"); }
  int ShowSettingsDialog() override { return Call("ShowSettingsDialog"); }
  int QueryStorageStatus() override { return Call("QueryStorageStatus"); }
  int QueryRegisterStatus() override { return Call("QueryRegisterStatus"); }
  int QueryModelParameter() override { return Call("QueryModelParameter"); }
  int ReadTableField() override { return Call("ReadTableField"); }
  int BeginDocumentRead() override { return Call("BeginDocumentRead"); }
  int QueryConfirmation() override { return Call("QueryConfirmation"); }
  int ReadDocumentBlock() override {
    Calls.push_back("ReadDocumentBlock");
    if (Blocks.empty()) return -9;
    auto [code, block] = Blocks.front();
    Blocks.pop_front();
    if (code == 0) Properties[P::TLVData] = block;
    return code;
  }

  TPropertyValue GetProperty(int id) override {
    Calls.push_back("Get " + std::to_string(id));
    const auto it = Properties.find(id);
    return it == Properties.end() ? TPropertyValue(int64_t{0}) : it->second;
  }
  void SetProperty(int id, const TPropertyValue& value) override {
    std::string text;
    if (const auto* i = std::get_if<int64_t>(&value))
      text = std::to_string(*i);
    else if (const auto* d = std::get_if<double>(&value))
      text = std::to_string(*d);
    else
      text = Utf16ToUtf8(std::get<std::u16string>(value));
    Calls.push_back("Set " + std::to_string(id) + "=" + text);
    Properties[id] = value;
  }

  void Fail(const std::string& operation, int code, const std::u16string& text) {
    Results[operation].push_back(code);
    Outputs[operation][P::ResultCodeDescription] = text;
  }

 private:
  int Call(const std::string& name) {
    Calls.push_back(name);
    for (const auto& [id, value] : Outputs[name]) Properties[id] = value;
    auto& queue = Results[name];
    if (queue.empty()) return 0;
    const int code = queue.front();
    queue.pop_front();
    return code;
  }
};

std::string Cp1251(const char* utf8) { return Utf8ToCp1251(utf8); }

std::pair<int, std::u16string> Block(int code, std::string_view bytes) {
  return {code, BytesToTLVData(bytes)};
}

using test::ErrorOf;

TEST(deviceReader, RefusesMissingDriver) {
  EXPECT_EQ(ErrorOf([] { TFNReportReader reader(nullptr); }), "Driver = nil");
}

TEST(deviceReader, CheckDriverResultFormatsCodeAndDescription) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  reader.CheckDriverResult(0);
  EXPECT_TRUE(driver.Calls.empty());

  driver.Properties[P::ResultCodeDescription] = std::u16string(u"Устройство занято");
  EXPECT_EQ(ErrorOf([&] { reader.CheckDriverResult(-1); }), std::string("-1, Устройство занято"));
  EXPECT_EQ(ErrorOf([&] { reader.CheckDriverResult(55); }), std::string("55, Устройство занято"));
  EXPECT_THAT(driver.Calls, ElementsAre("Get 202", "Get 202"));
}

TEST(deviceReader, OpenChecksOnlyOpenDevice) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Results["AuxiliaryRequest1"] = {-5};
  driver.Results["AuxiliaryRequest2"] = {7};
  reader.Open();
  EXPECT_THAT(driver.Calls, ElementsAre("OpenDevice", "AuxiliaryRequest1", "AuxiliaryRequest2"));

  driver.Calls.clear();
  driver.Fail("OpenDevice", -3, u"Нет связи");
  EXPECT_EQ(ErrorOf([&] { reader.Open(); }), std::string("-3, Нет связи"));
  EXPECT_THAT(driver.Calls, ElementsAre("OpenDevice", "Get 202"));
}

TEST(deviceReader, ReadStorageStatusReadsInOrderAndConverts) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  auto& out = driver.Outputs["QueryStorageStatus"];
  out[P::FNStatus2100] = int64_t{0x1FF};
  out[P::FNCurrentDocument] = int64_t{0x102};
  out[P::FNStatus2102] = int64_t{3};
  out[P::FNStatus2103] = int64_t{-1};
  out[P::FNStatus2104] = int64_t{0x80};
  out[P::ECRDate] = 46357.0;
  out[P::ECRTime] = 0.25;
  out[P::SerialNumber] = std::u16string(u"ФН12345678901234567890");
  out[P::DocumentNumber] = int64_t{-5};

  TFNStatusRec rec;
  reader.ReadStorageStatus(rec);
  EXPECT_THAT(driver.Calls,
              ElementsAre("QueryStorageStatus", "Get 2100", "Get 2101", "Get 2102", "Get 2103",
                          "Get 2104", "Get 675", "Get 676", "Get 208", "Get 128"));
  EXPECT_EQ(rec.FNStatus2100, 0xFF);
  EXPECT_EQ(rec.FNCurrentDocument, 2);
  EXPECT_EQ(rec.FNStatus2102, 3);
  EXPECT_EQ(rec.FNStatus2103, 0xFF);
  EXPECT_EQ(rec.FNStatus2104, 0x80);
  EXPECT_EQ(rec.FNDate, 46357.0);
  EXPECT_EQ(rec.FNTime, 0.25);
  EXPECT_EQ(rec.FNSerialNumber, Cp1251("ФН12345678901234"));
  EXPECT_EQ(rec.LastDocNumber, -5);

  // A 32-bit number that arrives as its unsigned value is sign-extended too.
  out[P::DocumentNumber] = int64_t{0xFFFFFFFE};
  reader.ReadStorageStatus(rec);
  EXPECT_EQ(rec.LastDocNumber, -2);
}

TEST(deviceReader, ReadStorageStatusFailureReadsNothing) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Fail("QueryStorageStatus", -1, u"Занято");
  TFNStatusRec rec;
  rec.LastDocNumber = 77;
  EXPECT_EQ(ErrorOf([&] { reader.ReadStorageStatus(rec); }), std::string("-1, Занято"));
  EXPECT_THAT(driver.Calls, ElementsAre("QueryStorageStatus", "Get 202"));
  EXPECT_EQ(rec.LastDocNumber, 77);
}

TEST(deviceReader, ReadRegistrationNumberUsesModelParameter72) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Outputs["QueryModelParameter"][P::ModelParamValue] = int64_t{20};
  driver.Outputs["ReadTableField"][P::ValueOfFieldString] = std::u16string(u"РН 0000000001012345");
  EXPECT_EQ(reader.ReadRegistrationNumber(), Cp1251("РН 0000000001012345"));
  EXPECT_THAT(driver.Calls,
              ElementsAre("Set 1904=72", "QueryModelParameter", "Get 1903", "Set 206=1",
                          "Set 147=3", "Set 223=20", "ReadTableField", "Get 246"));

  // The value is taken as an integer whatever its kind.
  driver.Outputs["QueryModelParameter"][P::ModelParamValue] = std::u16string(u" 21 ");
  (void)reader.ReadRegistrationNumber();
  EXPECT_EQ(std::get<int64_t>(driver.Properties[P::TableNumber]), 21);
  driver.Outputs["QueryModelParameter"][P::ModelParamValue] = 22.0;
  (void)reader.ReadRegistrationNumber();
  EXPECT_EQ(std::get<int64_t>(driver.Properties[P::TableNumber]), 22);
  driver.Outputs["QueryModelParameter"][P::ModelParamValue] = std::u16string(u"x1");
  EXPECT_THAT(ErrorOf([&] { (void)reader.ReadRegistrationNumber(); }),
              HasSubstr("\"x1\" is not an integer"));
  driver.Outputs["QueryModelParameter"][P::ModelParamValue] = 1.5;
  EXPECT_THAT(ErrorOf([&] { (void)reader.ReadRegistrationNumber(); }),
              HasSubstr("is not a 32-bit integer"));
}

TEST(deviceReader, ReadRegistrationNumberKeepsTable18WhenParameterFails) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Results["QueryModelParameter"] = {-8};
  driver.Properties[P::ModelParamValue] = int64_t{99};  // stale, must not be used
  driver.Properties[P::ValueOfFieldString] = std::u16string();
  (void)reader.ReadRegistrationNumber();
  EXPECT_THAT(driver.Calls, ElementsAre("Set 1904=72", "QueryModelParameter", "Set 206=1",
                                        "Set 147=3", "Set 223=18", "ReadTableField", "Get 246"));

  driver.Calls.clear();
  driver.Fail("ReadTableField", -8, u"Поле не найдено");
  EXPECT_EQ(ErrorOf([&] { (void)reader.ReadRegistrationNumber(); }),
            std::string("-8, Поле не найдено"));
  EXPECT_EQ(driver.Calls.back(), "Get 202");
}

TEST(deviceReader, ReadHeaderParamsReadsInOrderAndKeepsSerialWhole) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Results["QueryModelParameter"] = {-8};
  driver.Outputs["ReadTableField"][P::ValueOfFieldString] = std::u16string(u"0000000001012345");
  driver.Outputs["QueryStorageStatus"][P::SerialNumber] = std::u16string(u"99990789000123456789");
  driver.Outputs["QueryStorageStatus"][P::DocumentNumber] = int64_t{40};
  driver.Outputs["QueryRegisterStatus"][P::SessionNumber] = int64_t{3};

  THeaderParams params;
  params.FFDVersion = 7;
  reader.ReadHeaderParams(params);
  EXPECT_THAT(driver.Calls,
              ElementsAre("Set 1904=72", "QueryModelParameter", "Set 206=1", "Set 147=3",
                          "Set 223=18", "ReadTableField", "Get 246", "QueryStorageStatus",
                          "Get 208", "Get 128", "QueryRegisterStatus", "Get 209"));
  EXPECT_EQ(params.RegNumber, "0000000001012345");
  EXPECT_EQ(params.FNNumber, "99990789000123456789");
  EXPECT_EQ(params.DocumentCount, 40);
  EXPECT_EQ(params.ShiftCount, 3);
  EXPECT_EQ(params.FFDVersion, 0);

  driver.Fail("QueryRegisterStatus", -1, u"Занято");
  EXPECT_EQ(ErrorOf([&] { reader.ReadHeaderParams(params); }), std::string("-1, Занято"));
  driver.Fail("QueryStorageStatus", -2, u"Нет ФН");
  driver.Calls.clear();
  EXPECT_EQ(ErrorOf([&] { reader.ReadHeaderParams(params); }), std::string("-2, Нет ФН"));
  EXPECT_EQ(std::count(driver.Calls.begin(), driver.Calls.end(), "QueryRegisterStatus"), 0);
}

TEST(deviceReader, ReadDocumentConcatenatesBlocksAndReadsTicket) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Outputs["BeginDocumentRead"][P::DocumentType] = int64_t{3};
  driver.Outputs["BeginDocumentRead"][P::DataLength] = int64_t{999};
  // Bytes that a 1251 conversion would not give back: 0x98, 0x00, 0xFF.
  const std::string first = test::Bytes("98 00 FF 41");
  const std::string second = test::Bytes("EA 03 01 00 01");
  driver.Blocks = {Block(0, first), Block(0, second), Block(0, "")};
  auto& ticket = driver.Outputs["QueryConfirmation"];
  ticket[P::DocumentData] = std::u16string(u"Квитанция");
  ticket[P::ECRDate] = 46357.0;
  ticket[P::ECRTime] = 0.5;
  ticket[P::FiscalSignOFD] = std::u16string(u"A1B2C3");
  ticket[P::DocumentNumber] = int64_t{12};

  TFNDocumentRec rec;
  reader.ReadDocument(11, true, rec);
  EXPECT_THAT(driver.Calls,
              ElementsAre("Set 128=11", "BeginDocumentRead", "Get 2122", "Get 2158",
                          "ReadDocumentBlock", "Get 2127", "ReadDocumentBlock", "Get 2127",
                          "ReadDocumentBlock", "Get 2127", "Set 128=11", "QueryConfirmation",
                          "Get 2124", "Get 675", "Get 676", "Get 2171", "Get 128"));
  EXPECT_EQ(rec.DocNumber, 11);
  EXPECT_EQ(rec.DocType, 3);
  EXPECT_EQ(rec.DataLength, 999);
  EXPECT_EQ(rec.TLVData, first + second);
  EXPECT_EQ(rec.Ticket.TicketData, Cp1251("Квитанция"));
  EXPECT_EQ(rec.Ticket.TicketDateTime, 46357.5);
  EXPECT_EQ(rec.Ticket.FiscalSign, "A1B2C3");
  EXPECT_EQ(rec.Ticket.TicketDocNumber, 12);
}

TEST(deviceReader, ReadDocumentEndsBodyOnFailedOrEmptyBlock) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  TFNDocumentRec rec;
  rec.TLVData = "old";

  driver.Blocks = {Block(-9, "ignored")};
  reader.ReadDocument(1, false, rec);
  EXPECT_EQ(rec.TLVData, "");
  EXPECT_THAT(driver.Calls, ElementsAre("Set 128=1", "BeginDocumentRead", "Get 2122", "Get 2158",
                                        "ReadDocumentBlock"));

  driver.Blocks = {Block(0, ""), Block(0, "never read")};
  reader.ReadDocument(2, false, rec);
  EXPECT_EQ(rec.TLVData, "");
  EXPECT_EQ(driver.Blocks.size(), 1u);

  driver.Blocks = {Block(0, "ab"), Block(0, "cd"), Block(-1, ""), Block(0, "never read")};
  reader.ReadDocument(3, false, rec);
  EXPECT_EQ(rec.TLVData, "abcd");
}

TEST(deviceReader, ReadDocumentFailureStopsAfterNumber) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Fail("BeginDocumentRead", -6, u"Документ 9 не найден");
  TFNDocumentRec rec;
  rec.DocType = 5;
  rec.DataLength = 6;
  rec.TLVData = "kept";
  rec.Ticket.TicketData = "kept";
  EXPECT_EQ(ErrorOf([&] { reader.ReadDocument(9, true, rec); }),
            std::string("-6, Документ 9 не найден"));
  EXPECT_THAT(driver.Calls, ElementsAre("Set 128=9", "BeginDocumentRead", "Get 202"));
  EXPECT_EQ(rec.DocNumber, 9);
  EXPECT_EQ(rec.DocType, 5);
  EXPECT_EQ(rec.DataLength, 6);
  EXPECT_EQ(rec.TLVData, "kept");
  EXPECT_EQ(rec.Ticket.TicketData, "kept");
}

TEST(deviceReader, ReadDocumentWithoutTicketAsksNoConfirmation) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  TFNDocumentRec rec;
  rec.Ticket = {"old", 1.5, "sign", 4};
  driver.Blocks = {Block(0, "")};
  reader.ReadDocument(5, false, rec);
  EXPECT_EQ(std::count(driver.Calls.begin(), driver.Calls.end(), "QueryConfirmation"), 0);
  EXPECT_EQ(rec.Ticket.TicketData, "");
  // The other fields are not touched; the empty TicketData marks the absence.
  EXPECT_EQ(rec.Ticket.TicketDateTime, 1.5);
  EXPECT_EQ(rec.Ticket.FiscalSign, "sign");
  EXPECT_EQ(rec.Ticket.TicketDocNumber, 4);
}

TEST(deviceReader, MissingConfirmationGivesAFreshEmptyTicket) {
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Results["QueryConfirmation"] = {-7};
  TFNDocumentRec rec;
  rec.Ticket = {"old", 1.5, "sign", 4};
  driver.Blocks = {Block(0, "")};
  reader.ReadDocument(5, true, rec);
  EXPECT_EQ(rec.Ticket, TFNTicketRec{});
  EXPECT_EQ(driver.Calls.back(), "QueryConfirmation");

  // ReadTicket itself leaves the record as it was, but for TicketData.
  TFNTicketRec t{"old", 2.5, "sign", 4};
  driver.Results["QueryConfirmation"] = {-7};
  reader.ReadTicket(6, t);
  EXPECT_EQ(t, (TFNTicketRec{"", 2.5, "sign", 4}));
  EXPECT_EQ(driver.Calls[driver.Calls.size() - 2], "Set 128=6");
}

TEST(deviceReader, TypedPropertyReadsNameTheProperty) {
  TRecordingTorvel driver;
  driver.Properties[P::DocumentType] = std::u16string(u"3");
  driver.Properties[P::ECRDate] = int64_t{46357};
  driver.Properties[P::DataLength] = 12.0;
  driver.Properties[P::ECRTime] = 0.5;
  EXPECT_EQ(ErrorOf([&] { (void)driver.GetInt(P::DocumentType); }),
            "Property 2122 (DocumentType) holds a text, expected an integer");
  EXPECT_EQ(driver.GetDouble(P::ECRDate), 46357.0);
  EXPECT_EQ(driver.GetInt(P::DataLength), 12);
  EXPECT_THAT(ErrorOf([&] { (void)driver.GetInt(P::ECRTime); }),
              HasSubstr("Property 676 (ECRTime)"));
  EXPECT_THAT(ErrorOf([&] { (void)driver.GetText(P::ECRTime); }), HasSubstr("expected a text"));
}

TEST(deviceReader, TLVDataCarriesEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::u16string data = BytesToTLVData(all);
  ASSERT_EQ(data.size(), 256u);
  EXPECT_EQ(data[0x98], u'\x98');
  EXPECT_EQ(TLVDataToBytes(data), all);
  EXPECT_EQ(ErrorOf([] { (void)TLVDataToBytes(u"ab\u0416"); }),
            "TLVData holds the character 1046 at offset 2, not a byte");

  // The reader refuses such a block rather than cutting it.
  TRecordingTorvel driver;
  TFNReportReader reader(&driver);
  driver.Blocks = {{0, u"a\u0416"}};
  TFNDocumentRec rec;
  EXPECT_THAT(ErrorOf([&] { reader.ReadDocument(1, false, rec); }),
              HasSubstr("TLVData holds the character 1046 at offset 1"));
}

}  // namespace
}  // namespace kvitor
