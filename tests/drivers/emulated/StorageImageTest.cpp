// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Loading the emulated storage's data file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "DeviceTestSupport.h"
#include "base/Error.h"
#include "drivers/emulated/StorageImage.h"

namespace kvitor {
namespace {

using ::testing::HasSubstr;

std::string LoadError(std::string_view json) {
  try {
    (void)TStorageImage::LoadText(json, "/x/y.json");
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(deviceStorageImage, EmptyObjectGivesAnEmptyWorkingStorage) {
  const auto image = TStorageImage::LoadText("{}", "empty");
  EXPECT_EQ(image->SerialNumber(), u"");
  EXPECT_EQ(image->Status(), (std::array<int64_t, 5>{}));
  EXPECT_EQ(image->Date(), 0.0);
  EXPECT_EQ(image->LastDocumentNumber(), 0);
  EXPECT_EQ(image->ShiftCount(), 0);
  EXPECT_EQ(image->BlockSize(), 256);
  EXPECT_EQ(image->DelayMs(), 0);
  EXPECT_EQ(image->DocumentCount(), 0);
  EXPECT_EQ(image->TableField(18, 1, 3), std::u16string());
  EXPECT_FALSE(image->TableField(18, 1, 4));
  EXPECT_FALSE(image->ModelParameter(72));
}

TEST(deviceStorageImage, ReadsMembersAsWritten) {
  const auto image = TStorageImage::LoadText(R"({
    "storage": {"serial_number": "ФН-1", "status": [1, 2, 3, 4, -5], "date": "2024-02-29",
                "time": "23:59:59"},
    "shift_count": 9, "model_parameters": {"72": 20, "5": "текст"}, "tables": {"20,1,3": "РН"},
    "block_size": 1, "delay_ms": 60,
    "documents": [{"number": 3, "type": 31, "tlv": " ea\t03\n01 00 01 ",
                   "ticket": {"date": "2024-03-01", "fiscal_sign": "ФП"}}],
    "faults": [{"operation": "OpenDevice", "code": -100}], "unknown": true})",
                                             "full");
  EXPECT_EQ(image->SerialNumber(), u"ФН-1");
  EXPECT_EQ(image->Status(), (std::array<int64_t, 5>{1, 2, 3, 4, -5}));
  EXPECT_EQ(image->Date(), EncodeDateTime({2024, 2, 29, 0, 0, 0, 0}));
  EXPECT_DOUBLE_EQ(image->Time(), 86399 / 86400.0);
  EXPECT_EQ(image->ShiftCount(), 9);
  EXPECT_EQ(image->ModelParameter(72), TPropertyValue(int64_t{20}));
  EXPECT_EQ(image->ModelParameter(5), TPropertyValue(std::u16string(u"текст")));
  EXPECT_EQ(image->TableField(20, 1, 3), std::u16string(u"РН"));
  EXPECT_FALSE(image->TableField(18, 1, 3));  // given tables replace the default
  EXPECT_EQ(image->BlockSize(), 1);
  EXPECT_EQ(image->DelayMs(), 60);
  EXPECT_EQ(image->LastDocumentNumber(), 3);

  const auto doc = image->FindDocument(3);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->Type, 31);
  EXPECT_EQ(doc->Body, test::Bytes("EA 03 01 00 01"));
  EXPECT_EQ(doc->DataLength, 5);
  ASSERT_TRUE(doc->Ticket);
  EXPECT_EQ(doc->Ticket->Data, u"");
  EXPECT_EQ(doc->Ticket->Date, EncodeDateTime({2024, 3, 1, 0, 0, 0, 0}));
  EXPECT_EQ(doc->Ticket->FiscalSign, u"ФП");
  EXPECT_EQ(doc->Ticket->DocumentNumber, 3);
  EXPECT_FALSE(image->FindDocument(4));

  ASSERT_NE(image->FindFault("OpenDevice", 12345), nullptr);
  EXPECT_EQ(image->FindFault("OpenDevice", 0)->Code, -100);
  EXPECT_EQ(image->FindFault("QueryStorageStatus", 0), nullptr);
}

TEST(deviceStorageImage, BadFilesNameFileAndMember) {
  const struct {
    const char* Json;
    const char* Message;
  } cases[] = {
      {"[1]", "expected a JSON object, found an array"},
      {"{\"storage\": 5}", "member storage: expected an object, found 5"},
      {R"({"storage": {"status": [1, 2]}})",
       "member storage.status: expected an array of 5 integers"},
      {R"({"storage": {"status": [1, 2, "3", 4, 5]}})",
       "member storage.status[2]: expected an integer, found \"3\""},
      {R"({"storage": {"date": "2026-02-30"}})",
       "member storage.date: bad date \"2026-02-30\", expected YYYY-MM-DD"},
      {R"({"storage": {"time": "24:00:00"}})",
       "member storage.time: bad time \"24:00:00\", expected HH:MM:SS"},
      {R"({"storage": {"serial_number": 7}})",
       "member storage.serial_number: expected a string, found 7"},
      {R"({"storage": {"last_document_number": 3000000000}})",
       "member storage.last_document_number: value 3000000000 out of range"},
      {R"({"shift_count": 1.5})", "member shift_count: expected an integer, found 1.5"},
      {R"({"block_size": 0})", "member block_size: value 0 out of range 1..65535"},
      {R"({"delay_ms": -1})", "member delay_ms: value -1 out of range"},
      {R"({"model_parameters": {"x": 1}})",
       "member model_parameters.x: the key is not a parameter number"},
      {R"({"model_parameters": {"72": [1]}})",
       "member model_parameters.72: expected an integer, found an array"},
      {R"({"tables": {"18,1": "x"}})", "member tables.18,1: the key is not \"table,row,field\""},
      {R"({"tables": {"18,1,3": 5}})", "member tables.18,1,3: expected a string, found 5"},
      {R"({"documents": {}})", "member documents: expected an array, found an object"},
      {R"({"documents": [{"type": 1}]})", "member documents[0]: the member \"number\" is missing"},
      {R"({"documents": [{"number": 1, "type": 1}, {"number": 2, "type": 3, "tlv": "EA 03 01 00 01 ZZ"}]})",
       "member documents[1].tlv: bad hexadecimal at offset 15"},
      {R"({"documents": [{"number": 1, "type": 1, "tlv": "EA 0"}]})",
       "member documents[0].tlv: odd number of hexadecimal digits at offset 3"},
      {R"({"documents": [{"number": 1, "type": 1, "tlv": "E A"}]})",
       "member documents[0].tlv: bad hexadecimal at offset 1"},
      {R"({"documents": [{"number": 1, "type": 1}, {"number": 1, "type": 2}]})",
       "member documents[1].number: number 1 is also documents[0]'s"},
      {R"({"documents": [{"number": 1, "type": 1, "ticket": {"time": "9:31:05"}}]})",
       "member documents[0].ticket.time: bad time \"9:31:05\""},
      {R"({"documents": [{"number": 1, "type": 1, "ticket": 3}]})",
       "member documents[0].ticket: expected an object, found 3"},
      {R"({"faults": [{"operation": "Open", "code": 1}]})",
       "member faults[0].operation: unknown operation \"Open\""},
      {R"({"faults": [{"operation": "OpenDevice"}]})",
       "member faults[0]: the member \"code\" is missing"},
      {R"({"faults": [{"operation": "OpenDevice", "code": 0}]})",
       "member faults[0].code: a fault's code must not be 0"},
      {R"({"faults": [{"operation": "OpenDevice", "code": 1, "document": "7"}]})",
       "member faults[0].document: expected an integer"},
      {R"({"synthetic": {"count": -1}})", "member synthetic.count: value -1 out of range"},
      {R"({"synthetic": {"seed": 1}})", "member synthetic: the member \"count\" is missing"},
      {R"({"documents": [{"number": 2147483000, "type": 1}], "synthetic": {"count": 1000}})",
       "member synthetic.count: 1000 documents after number 2147483000 pass 2147483647"},
  };
  for (const auto& c : cases) {
    const std::string message = LoadError(c.Json);
    EXPECT_THAT(message, HasSubstr(std::string("Storage image \"/x/y.json\": ") + c.Message))
        << c.Json;
  }
  EXPECT_THAT(LoadError("{\"a\": }"),
              HasSubstr("Storage image \"/x/y.json\": not JSON: syntax error at line 1"));
}

// Hostile shapes are refused by bounds, before anything is built of them.
TEST(deviceStorageImage, DepthAndValueCountAreBounded) {
  EXPECT_EQ(LoadError(std::string(10'000'000, '[')),
            "Storage image \"/x/y.json\": nested deeper than 32 levels");
  std::string objects;
  for (int i = 0; i < 100'000; ++i) objects += "{\"a\": ";
  EXPECT_EQ(LoadError(objects), "Storage image \"/x/y.json\": nested deeper than 32 levels");
  // A million values in a member the loader does not even use.
  std::string junk = "{\"junk\": [0";
  for (int i = 0; i < (1 << 20); ++i) junk += ",0";
  EXPECT_EQ(LoadError(junk + "]}"),
            "Storage image \"/x/y.json\": more than 1048576 values outside the documents");
  // The same count spread over documents is fine: each is dropped once read.
  std::string many = "{\"documents\": [";
  for (int i = 1; i <= 300'000; ++i) {
    many += (i > 1 ? ",{\"number\":" : "{\"number\":") + std::to_string(i) +
            ",\"type\":3,\"tlv\":\"0100\"}";
  }
  const auto image = TStorageImage::LoadText(many + "]}", "many");
  EXPECT_EQ(image->DocumentCount(), 300'000);
  EXPECT_EQ(image->LastDocumentNumber(), 300'000);
  EXPECT_EQ(image->FindDocument(123'456)->Body, std::string("\x01\x00", 2));
}

TEST(deviceStorageImage, UnreadableFileNamesTheFile) {
  const std::string missing = std::string(KVITOR_TEST_SCRATCH) + "/device/no-such-image.json";
  try {
    (void)TStorageImage::LoadFile(missing);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(std::string(e.what()),
              "Storage image \"" + missing + "\": cannot be read: No such file or directory");
  }
  const std::string folder = test::ScratchFolder("image-folder");
  EXPECT_THROW((void)TStorageImage::LoadFile(folder), Error);
}

}  // namespace
}  // namespace kvitor
