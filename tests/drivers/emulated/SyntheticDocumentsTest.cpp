// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// Generated documents of a storage image's "synthetic" member.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>

#include "DeviceTestSupport.h"
#include "drivers/emulated/StorageImage.h"
#include "drivers/emulated/SyntheticDocuments.h"
#include "report/Checksum.h"
#include "tlv/FormatTLV.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVParser.h"

namespace kvitor {
namespace {

std::shared_ptr<const TStorageImage> Synthetic(int count, uint64_t seed,
                                               const std::string& before = "") {
  return TStorageImage::LoadText(R"({"documents": [)" + before + R"(], "synthetic": {"count": )" +
                                     std::to_string(count) + R"(, "seed": )" +
                                     std::to_string(seed) + "}}",
                                 "synthetic");
}

const TTLVTag* Top(TTLVParser& parser, int number) { return parser.Tags().FindTag(number); }

TEST(deviceSynthetic, SameCountAndSeedGiveTheSameDocuments) {
  const auto a = Synthetic(400, 7);
  const auto b = Synthetic(400, 7);
  const auto c = Synthetic(400, 8);
  int differ = 0;
  for (int n = 1; n <= 400; ++n) {
    const auto da = a->FindDocument(n);
    const auto db = b->FindDocument(n);
    ASSERT_TRUE(da && db);
    EXPECT_EQ(da->Type, db->Type);
    EXPECT_EQ(da->Body, db->Body);
    EXPECT_EQ(da->Ticket.has_value(), db->Ticket.has_value());
    if (da->Ticket) {
      EXPECT_EQ(da->Ticket->Data, db->Ticket->Data);
      EXPECT_EQ(da->Ticket->Date + da->Ticket->Time, db->Ticket->Date + db->Ticket->Time);
    }
    // Asking again, or in another order, changes nothing.
    EXPECT_EQ(a->FindDocument(n)->Body, da->Body);
    if (c->FindDocument(n)->Body != da->Body) ++differ;
  }
  EXPECT_GT(differ, 350);
}

// The bodies a reader gets, made into one reused buffer, are those of
// FindDocument, and those that earlier versions made: the digest below pins
// the generator's output, which the data file promises for the same N and S.
TEST(deviceSynthetic, BodiesForTheReaderAreTheSameAsEver) {
  const auto image = Synthetic(3000, 42);
  std::string body(70000, 'x');  // longer than any body: every one must replace it
  uint32_t digest = kChecksumStart;
  for (int n = 1; n <= 3000; ++n) {
    const auto head = image->ReadDocument(n, body);
    const auto doc = image->FindDocument(n);
    ASSERT_TRUE(head && doc);
    EXPECT_EQ(head->Type, doc->Type);
    EXPECT_EQ(head->DataLength, static_cast<int32_t>(body.size()));
    ASSERT_EQ(body, doc->Body) << n;
    digest = ChecksumUpdate(digest, body);
  }
  EXPECT_EQ(digest, 0x15723384u);
  EXPECT_FALSE(image->ReadDocument(3001, body).has_value());

  // The confirmations, pinned the same way (the digest taken from the
  // generator as it stood when they began to be made into reused buffers).
  uint32_t tickets = kChecksumStart;
  int confirmed = 0;
  for (int n = 1; n <= 3000; ++n) {
    const auto ticket = image->FindTicket(n);
    if (!ticket) continue;
    ++confirmed;
    const auto seconds = std::llround((ticket->Date + ticket->Time - kUnixEpoch) * kSecondsPerDay);
    tickets = ChecksumUpdate(tickets, Utf16ToUtf8(ticket->Data + u"/" + ticket->FiscalSign + u"/") +
                                          std::to_string(seconds) + "/" +
                                          std::to_string(ticket->DocumentNumber));
  }
  EXPECT_EQ(confirmed, 3000 - TSyntheticDocuments::kUnconfirmedTail);
  EXPECT_EQ(tickets, 0xB236C654u);
}

TEST(deviceSynthetic, NumbersFollowTheExplicitDocuments) {
  const auto image = Synthetic(200, 3, R"({"number": 2, "type": 3, "tlv": "01 02"},
                                          {"number": 5, "type": 3, "tlv": "03 04"})");
  EXPECT_EQ(image->DocumentCount(), 202);
  EXPECT_EQ(image->LastDocumentNumber(), 205);
  EXPECT_EQ(image->FindDocument(5)->Body, test::Bytes("03 04"));
  EXPECT_FALSE(image->HasDocument(4));
  EXPECT_TRUE(image->HasDocument(6));
  EXPECT_TRUE(image->HasDocument(205));
  EXPECT_FALSE(image->HasDocument(206));
  // Generated after other documents, the run opens with a registration change.
  EXPECT_EQ(image->FindDocument(6)->Type, 11);
  EXPECT_EQ(Synthetic(10, 3)->FindDocument(1)->Type, 1);
  EXPECT_EQ(Synthetic(0, 3)->DocumentCount(), 0);

  TTLVParser parser;
  parser.Parse(image->FindDocument(205)->Body);
  EXPECT_EQ(Top(parser, 1040)->ValueAsInt(), 205u);
}

TEST(deviceSynthetic, BodiesAreWellFormedDocumentsOfEveryType) {
  const auto image = Synthetic(3000, 42);
  const std::string fn = Utf16ToCp1251(image->SerialNumber());
  ASSERT_EQ(fn.size(), 16u);
  std::map<int32_t, int> types;
  std::set<std::string> codePlaces;
  int shiftOpen = 0;  // the 1038 of the open shift, 0 outside
  uint64_t lastTime = 0;
  TTLVParser parser;
  for (int n = 1; n <= 3000; ++n) {
    const auto doc = image->FindDocument(n);
    ASSERT_TRUE(doc);
    ++types[doc->Type];
    ASSERT_NO_THROW(parser.Parse(doc->Body)) << n;
    ASSERT_EQ(test::FirstMalformedTag(parser.Tags()), "") << "document " << n;
    ASSERT_EQ(static_cast<int64_t>(TFormatTLV::BytesToInt(Top(parser, 1040)->Value())), n);
    ASSERT_EQ(Top(parser, 1041)->Value(), fn);
    const uint64_t time = Top(parser, 1012)->ValueAsInt();
    EXPECT_GE(time, lastTime) << n;
    lastTime = time;

    const TTLVTag* shift = Top(parser, 1038);
    switch (doc->Type) {
      case 2:
        EXPECT_EQ(shiftOpen, 0) << "shift opened twice at " << n;
        shiftOpen = static_cast<int>(shift->ValueAsInt());
        break;
      case 5:
        EXPECT_EQ(static_cast<int>(shift->ValueAsInt()), shiftOpen) << n;
        shiftOpen = 0;
        break;
      case 3:
      case 4: {
        EXPECT_EQ(static_cast<int>(shift->ValueAsInt()), shiftOpen) << n;
        const auto items = test::FindAll(parser.Tags(), 1059);
        EXPECT_GE(items.size(), 1u);
        for (const TTLVTag* item : items) {
          for (const int tag : {1030, 1079, 1023, 1043, 1199, 1212, 1214}) {
            EXPECT_NE(item->Children().FindTag(tag), nullptr) << n << " lacks " << tag;
          }
          // Names are code page 866 Russian text.
          EXPECT_THAT(Cp866ToUtf8(item->Children().FindTag(1030)->Value()),
                      ::testing::ContainsRegex("[А-Яа-я]"));
        }
        if (!test::FindAll(parser.Tags(), 1162).empty()) {
          codePlaces.insert(Top(parser, 1162) != nullptr ? "top" : "item");
        }
        break;
      }
      case 31:
      case 41: EXPECT_NE(Top(parser, 1174), nullptr); break;
      default: break;
    }
    // Confirmations on all but the last three.
    EXPECT_EQ(doc->Ticket.has_value(), n <= 2997) << n;
  }
  EXPECT_EQ(types[1], 1);
  for (const int type : {2, 3, 4, 5, 7, 21, 31, 41}) EXPECT_GT(types[type], 0) << type;
  for (const auto& [type, count] : types) {
    if (type != 3) {
      EXPECT_LT(count, types[3]) << type;
    }
  }
  EXPECT_EQ(codePlaces, (std::set<std::string>{"item", "top"}));
}

TEST(deviceSynthetic, ClosingReportsCountTheShiftsReceipts) {
  const auto image = Synthetic(1500, 11);
  TTLVParser parser;
  int receipts = 0;
  int closings = 0;
  int openings = 0;
  for (int n = 1; n <= 1500; ++n) {
    const auto doc = image->FindDocument(n);
    if (doc->Type == 2) {
      receipts = 0;
      ++openings;
    }
    if (doc->Type == 3 || doc->Type == 4) ++receipts;
    if (doc->Type != 5) continue;
    ++closings;
    parser.Parse(doc->Body);
    EXPECT_EQ(static_cast<int>(Top(parser, 1118)->ValueAsInt()), receipts) << n;
    const TTLVTag* shift = Top(parser, 1194);
    ASSERT_NE(shift, nullptr);
    uint64_t counted = 0;
    for (const int kind : {1129, 1130, 1131, 1132}) {
      if (const TTLVTag* k = shift->Children().FindTag(kind)) {
        counted += k->Children().FindTag(1135)->ValueAsInt();
      }
    }
    EXPECT_EQ(counted, static_cast<uint64_t>(receipts)) << n;
    EXPECT_NE(Top(parser, 1157), nullptr);
    // Read on its own, not after its shift, it counts the same.
    const auto alone = Synthetic(1500, 11)->FindDocument(n);
    EXPECT_EQ(alone->Body, doc->Body) << n;
  }
  EXPECT_GT(closings, 3);
  EXPECT_EQ(image->ShiftCount(), openings);
}

TEST(deviceSynthetic, StorageClosesAtMostOnceAndOnlyAtTheEnd) {
  int closed = 0;
  for (uint64_t seed = 0; seed < 24; ++seed) {
    const auto image = Synthetic(60, seed);
    for (int n = 1; n < 60; ++n) EXPECT_NE(image->FindDocument(n)->Type, 6) << seed;
    if (image->FindDocument(60)->Type == 6) ++closed;
  }
  EXPECT_GT(closed, 0);
  EXPECT_LT(closed, 24);
}

TEST(deviceSynthetic, QuarterMillionDocumentsAreServedOnRequest) {
  const auto image = Synthetic(250000, 99);
  EXPECT_EQ(image->DocumentCount(), 250000);
  EXPECT_EQ(image->LastDocumentNumber(), 250000);
  TTLVParser parser;
  for (const int n : {1, 125000, 249998, 250000}) {
    const auto doc = image->FindDocument(n);
    ASSERT_TRUE(doc);
    parser.Parse(doc->Body);
    EXPECT_EQ(test::FirstMalformedTag(parser.Tags()), "");
    EXPECT_EQ(static_cast<int>(Top(parser, 1040)->ValueAsInt()), n);
  }
  EXPECT_FALSE(image->FindDocument(250000)->Ticket);
  EXPECT_TRUE(image->FindDocument(249997)->Ticket);
}

}  // namespace
}  // namespace kvitor
