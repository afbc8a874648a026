// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The built-in demo storage.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "DeviceTestSupport.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "job/FNReportReader.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVParser.h"

namespace kvitor {
namespace {

std::string Trimmed(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

TEST(deviceDemoStorage, IsTheShippedFile) {
  std::ifstream in(std::string(KVITOR_TEST_DATA_DIR) + "/../../data/demo-storage.json",
                   std::ios::binary);
  ASSERT_TRUE(in);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_EQ(file.str(), DemoStorageJson());
}

TEST(deviceDemoStorage, HoldsRealisticDocumentsOfEveryType) {
  const auto image = TStorageImage::LoadText(DemoStorageJson(), std::string(kDemoStorageName));
  const std::vector<int32_t> numbers = image->DocumentNumbers();
  ASSERT_GE(numbers.size(), 40u);
  ASSERT_LE(numbers.size(), 80u);
  EXPECT_EQ(numbers.front(), 1);
  EXPECT_EQ(numbers.back(), static_cast<int32_t>(numbers.size()));  // no gaps
  EXPECT_EQ(image->LastDocumentNumber(), numbers.back());
  EXPECT_GT(image->DelayMs(), 0);

  const std::string fn = Utf16ToCp1251(image->SerialNumber());
  const std::string rn = Utf16ToCp1251(*image->TableField(18, 1, 3));
  std::set<int32_t> types;
  std::set<uint64_t> versions;
  int withCode = 0;
  TTLVParser parser;
  for (const int32_t n : numbers) {
    const auto doc = image->FindDocument(n);
    types.insert(doc->Type);
    parser.Parse(doc->Body);
    ASSERT_EQ(test::FirstMalformedTag(parser.Tags()), "") << "document " << n;
    EXPECT_EQ(static_cast<int32_t>(parser.Tags().FindTag(1040)->ValueAsInt()), n);
    EXPECT_EQ(parser.Tags().FindTag(1041)->Value(), fn);
    if (const TTLVTag* reg = parser.Tags().FindTag(1037)) {
      EXPECT_EQ(Trimmed(std::string(reg->Value())), rn);
    }
    if (doc->Type == 1 || doc->Type == 11)
      versions.insert(parser.Tags().FindTag(1209)->ValueAsInt());
    if (doc->Type == 3) {
      EXPECT_GE(test::FindAll(parser.Tags(), 1059).size(), 2u) << n;
    }
    if (parser.Tags().HasTag(1162)) ++withCode;
    // Confirmed but for the last few.
    EXPECT_EQ(doc->Ticket.has_value(), n + 3 <= numbers.back()) << n;
  }
  EXPECT_EQ(types, (std::set<int32_t>{1, 11, 2, 21, 3, 31, 4, 41, 5}));
  EXPECT_EQ(versions, (std::set<uint64_t>{2, 3}));
  EXPECT_GT(withCode, 0);
}

TEST(deviceDemoStorage, InstancesShareItsDevice) {
  // The delay override keeps the test quick; the demo's own delay is for people.
  TEmulatedTorvel first({"", 0, {}});
  TEmulatedTorvel second({"", 0, {}});
  TFNReportReader reader(&first);
  reader.Open();
  THeaderParams header;
  reader.ReadHeaderParams(header);
  EXPECT_EQ(header.FNNumber, "9999078900012345");
  EXPECT_EQ(header.RegNumber, "0000000001012345");
  EXPECT_EQ(second.QueryStorageStatus(), TTorvelResult::DeviceBusy);

  TFNDocumentRec rec;
  reader.ReadDocument(header.DocumentCount, true, rec);
  EXPECT_FALSE(rec.TLVData.empty());
  EXPECT_EQ(rec.Ticket.TicketData, "");
  reader.ReadDocument(1, true, rec);
  EXPECT_EQ(rec.DocType, 1);
  EXPECT_NE(rec.Ticket.TicketData, "");

  first.ReleaseDevice();
  EXPECT_EQ(second.QueryStorageStatus(), 0);
}

}  // namespace
}  // namespace kvitor
