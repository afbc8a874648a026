// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <vector>

#include "ReportTestUtil.h"
#include "base/Error.h"
#include "report/FNReport.h"

namespace kvitor {
namespace {

using test::Bytes;
using test::Doc;
using test::Le32;
using test::Shape;
using test::Tlv;

TFNDocumentRec Confirmed(TFNDocumentRec rec, TDateTime when, std::string sign) {
  rec.Ticket.TicketData = "confirmed";
  rec.Ticket.TicketDateTime = when;
  rec.Ticket.FiscalSign = std::move(sign);
  return rec;
}

// The children of the document container of the index-th outer container.
const TTLVTags& DocumentTags(const TFNReport& report, int index) {
  return report.Tags().Items(index).Children().Items(0).Children();
}

const std::string kInn = "7704211201  ";
const std::string k1059 =
    Tlv(1059, Tlv(1030, "Milk") + Tlv(1079, Bytes({0x39, 0x30})) + Tlv(1162, Bytes({0, 5})));

TEST(FNReport, ReceiptTypesKeepOnlyTheirTableTagsWithWholeItems) {
  // Not in the table: 1000, 1048, 1009. In it: 1214 (first), 300, 1078 (last).
  const std::string t1214 = Tlv(1214, Bytes({4}));
  const std::string t1040 = Tlv(1040, Le32(7));
  const std::string t300 = Tlv(300, Bytes({0x2A, 0x00}));
  const std::string t1017 = Tlv(1017, kInn);
  const std::string t1078 = Tlv(1078, Bytes({0xA1, 0xB2, 0xC3}));
  const std::string body = Tlv(1000, "X") + t1214 + t1040 + k1059 + Tlv(1048, "Shop") + t300 +
                           Tlv(1009, "street") + t1017 + t1078;
  for (const int32_t type : {3, 4, 31, 41}) {
    SCOPED_TRACE(type);
    TFNReport report;
    report.AddDocument(Doc(type, body));
    report.Build(false);
    const auto docTag = static_cast<uint16_t>(type + 100);
    EXPECT_EQ(Shape(report.Tags()), "65002(" + std::to_string(docTag) +
                                        "(1214 1040 1059(1030 1079 1162) 300 1017 1078))");
    EXPECT_EQ(report.Tags().Encode(),
              Tlv(65002, Tlv(docTag, t1214 + t1040 + k1059 + t300 + t1017 + t1078)));
  }
}

TEST(FNReport, ReportTypesKeepTheirTablesOrEveryTag) {
  const std::string body =
      Tlv(1000, "Report") + Tlv(1012, Le32(1500000000)) + Tlv(1017, kInn) + Tlv(1038, Le32(12)) +
      Tlv(1040, Le32(34)) + Tlv(1041, "9999078900001234") + k1059 +
      Tlv(1077, Bytes({0, 0, 0x49, 0x96, 2, 0xD2})) + Tlv(1078, Bytes({1, 2, 3, 4})) +
      Tlv(1097, Le32(2)) + Tlv(1098, Le32(1400000000)) + Tlv(9999, "unknown");
  const std::string all =
      "1000 1012 1017 1038 1040 1041 1059(1030 1079 1162) 1077 1078 1097 1098 9999";
  const struct {
    int32_t type;
    std::string kept;
  } cases[] = {
      {2, "1012 1017 1038 1040 1077 1078"},
      {21, "1012 1017 1040 1077 1078 1097 1098"},
      {5, "1012 1017 1038 1040 1041 1077 1078"},
      {1, all},
      {6, all},
      {7, all},
      {11, all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.type);
    TFNReport report;
    report.AddDocument(Doc(c.type, body));
    report.Build(false);
    ASSERT_EQ(report.Tags().Count(), 1);
    EXPECT_EQ(Shape(DocumentTags(report, 0)), c.kept);
    // Reports that keep everything hold the body's tree unchanged.
    if (c.kept == all) {
      EXPECT_EQ(DocumentTags(report, 0).Encode(), body);
    }
  }
}

TEST(FNReport, DocumentContainerIsTypePlus100AndAnEmptyBodyGivesAnEmptyOne) {
  TFNReport report;
  const int32_t types[] = {1, 2, 3, 4, 5, 6, 7, 11, 21, 31, 41};
  std::string expected;
  for (const int32_t type : types) {
    report.AddDocument(Doc(type, ""));
    expected += Tlv(65002, Tlv(static_cast<uint16_t>(type + 100), ""));
  }
  report.Build(false);
  ASSERT_EQ(report.Tags().Count(), 11);
  EXPECT_EQ(report.Tags().Encode(), expected);
  // The containers come from the dictionary.
  EXPECT_EQ(report.Tags().Items(0).Info().ShortName, "ОНЛАЙН РЕЖИМ, ФФД 1.0, 1.05");
  EXPECT_EQ(report.Tags().Items(2).Children().Items(0).Info().ShortName, "Кассовый чек");
}

TEST(FNReport, OtherTypesAddNothingNotEvenTheirConfirmation) {
  TFNReport report;
  const std::string body = Tlv(1040, Le32(1)) + Tlv(1162, Bytes({0, 5}));
  for (const int32_t type : {0, 8, 22, 100, -3})
    report.AddDocument(Confirmed(Doc(type, body), 25570, "S"));
  report.AddDocument(Doc(3, body));
  report.AddDocument(Confirmed(Doc(22, body), 25570, "S"));
  report.AddDocument(Doc(3, body));
  report.Build(false);
  // Two receipts with the same container tag still get an outer container each.
  EXPECT_EQ(Shape(report.Tags()), "65002(103(1040 1162)) 65002(103(1040 1162))");
}

TEST(FNReport, OuterContainerFollowsModeAndTheDocumentsOwnVersion) {
  const struct {
    std::string body;
    int32_t container;
  } cases[] = {
      {Tlv(1002, Bytes({1})), 65001},
      {"", 65002},
      {Tlv(1002, Bytes({1})) + Tlv(1209, Bytes({3})), 65011},
      {Tlv(1209, Bytes({3})), 65012},
      {Tlv(1002, Bytes({0})) + Tlv(1209, Bytes({3})), 65012},
      {Tlv(1002, Bytes({2})), 65002},
      {Tlv(1002, Bytes({1, 0})), 65001},  // read as an unsigned number
      {Tlv(1002, Bytes({1, 1})), 65002},
      {Tlv(1209, Bytes({2})) + Tlv(1002, Bytes({1})), 65001},
      {Tlv(1209, Bytes({4})), 65002},
      {Tlv(1209, Bytes({3, 0, 0, 0, 1})), 65012},  // only the low 32 bits count
      {Tlv(1209, Bytes({3, 1})), 65002},
      {Tlv(1059, Tlv(1002, Bytes({1})) + Tlv(1209, Bytes({3}))),
       65002},  // nested ones do not count
  };
  TFNReport report;
  TFNReportHeader header;
  header.FFDVersion = 3;
  report.SetHeader(header);
  for (const auto& c : cases) report.AddDocument(Doc(3, c.body));
  report.Build(false);
  ASSERT_EQ(report.Tags().Count(), static_cast<int>(std::size(cases)));
  for (int i = 0; i < report.Tags().Count(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(report.Tags().Items(i).Info().Tag, cases[i].container);
  }
  // 1002 and 1209 are not receipt tags: the choice is made before filtering.
  EXPECT_EQ(Shape(report.Tags().Items(2).Children()), "103()");
  // Receipts never raise the header's version, and Build starts it at 1.
  EXPECT_EQ(report.Header().FFDVersion, 1);
}

TEST(FNReport, HeaderVersionIsTheGreatestOfRegistrationReports) {
  const auto version = [](int v) { return Tlv(1209, Bytes({v})); };
  const auto build = [](const std::vector<TFNDocumentRec>& docs, bool only1162, uint8_t before) {
    TFNReport report;
    TFNReportHeader header;
    header.ReportName = "name";
    header.ShiftCount = 7;
    header.FFDVersion = before;
    report.SetHeader(header);
    for (const auto& doc : docs) report.AddDocument(doc);
    report.Build(only1162);
    // Build changes the version only.
    TFNReportHeader rest = report.Header();
    rest.FFDVersion = before;
    EXPECT_EQ(rest, header);
    return report.Header().FFDVersion;
  };
  EXPECT_EQ(build({Doc(1, version(2)), Doc(11, version(3)), Doc(1, version(1))}, false, 0), 3);
  EXPECT_EQ(build({Doc(11, version(2))}, false, 9), 2);
  EXPECT_EQ(build({Doc(1, "")}, false, 3), 1);
  EXPECT_EQ(build({Doc(1, version(0))}, false, 3), 1);
  // Only types 1 and 11 count.
  EXPECT_EQ(build({Doc(3, version(3)), Doc(2, version(3)), Doc(5, version(3)), Doc(6, version(3)),
                   Doc(7, version(3)), Doc(21, version(3)), Doc(31, version(3))},
                  false, 3),
            1);
  // A report left out by the 1162 filter raises nothing.
  const std::string with1162 = Tlv(1162, Bytes({0, 5}));
  EXPECT_EQ(build({Doc(1, version(3))}, true, 2), 1);
  EXPECT_EQ(build({Doc(1, version(3)), Doc(1, version(2) + with1162)}, true, 0), 2);
}

TEST(FNReport, Tag1162FilterLooksAtEveryDepthAndEveryType) {
  const std::string t1040 = Tlv(1040, Le32(9));
  const std::vector<TFNDocumentRec> docs = {
      Doc(1, Tlv(1209, Bytes({3}))),  // no 1162
      Confirmed(Doc(3, t1040 + Tlv(1059, Tlv(1030, "A") + Tlv(1162, "K"))), 25570,
                "S"),                                                    // in an item
      Confirmed(Doc(3, t1040 + Tlv(1059, Tlv(1030, "B"))), 25570, "S"),  // no 1162
      Doc(4, Tlv(1162, "K") + t1040),                                    // top level
      Doc(2, t1040 + Tlv(1059, Tlv(1162, "K"))),                         // report type
      Doc(31, t1040 + Tlv(1059, Tlv(1059, Tlv(1162, "K")))),             // deeper
  };
  TFNReport report;
  for (const auto& doc : docs) report.AddDocument(doc);
  report.Build(true);
  EXPECT_TRUE(report.OnlyIfTag1162Exist());
  EXPECT_EQ(
      Shape(report.Tags()),
      "65002(103(1040 1059(1030 1162)) 107(1012 1078)) 65002(104(1162 1040)) 65002(102(1040)) "
      "65002(131(1040 1059(1059(1162))))");
  EXPECT_EQ(report.Header().FFDVersion, 1);

  report.Clear();
  for (const auto& doc : docs) report.AddDocument(doc);
  report.Build(false);
  EXPECT_FALSE(report.OnlyIfTag1162Exist());
  EXPECT_EQ(report.Tags().Count(), 6);
  EXPECT_EQ(report.Header().FFDVersion, 3);
}

TEST(FNReport, ConfirmationContainerFollowsTheDocumentContainer) {
  const std::string t1040 = Tlv(1040, Le32(77));
  const std::string t1017 = Tlv(1017, kInn);
  const std::string sign = Bytes({0x00, 0x11, 0x22, 0x33, 0xFF, 0x80, 0x00});
  TFNReport report;
  // 2 January 1970 12:00 is 129600 seconds, 0x0001FA40.
  report.AddDocument(Confirmed(Doc(3, t1040 + t1017), kUnixEpoch + 1.5, sign));
  report.AddDocument(Confirmed(Doc(3, t1040), kUnixEpoch + 1.0, "\x05"));
  report.AddDocument(Confirmed(Doc(1, t1017 + t1040), kUnixEpoch, ""));
  TFNDocumentRec unconfirmed = Doc(5, t1040);
  unconfirmed.Ticket.FiscalSign = "ignored";
  unconfirmed.Ticket.TicketDateTime = 40000;
  report.AddDocument(unconfirmed);
  report.Build(false);

  const std::string expected =
      Tlv(65002, Tlv(103, t1040 + t1017) + Tlv(107, Tlv(1012, Bytes({0x40, 0xFA, 0x01, 0x00})) +
                                                        Tlv(1078, sign) + t1017)) +
      Tlv(65002, Tlv(103, t1040) +
                     Tlv(107, Tlv(1012, Bytes({0x80, 0x51, 0x01, 0x00})) + Tlv(1078, "\x05"))) +
      Tlv(65002, Tlv(101, t1017 + t1040) + Tlv(107, Tlv(1012, Le32(0)) + Tlv(1078, "") + t1017)) +
      Tlv(65002, Tlv(105, t1040));
  EXPECT_EQ(report.Tags().Encode(), expected);
  const TTLVTags& confirmation = report.Tags().Items(0).Children().Items(1).Children();
  EXPECT_EQ(confirmation.Items(0).Info().TagType, ttUnixTime);
  EXPECT_EQ(confirmation.Items(1).Info().TagType, ttByteArray);
}

TEST(FNReport, BuildMovesTheParsedTagsIntoTheReport) {
  const std::string body = Tlv(1040, Le32(3)) + k1059 + Tlv(1059, Tlv(1030, "Bread"));
  TFNReport report;
  report.AddDocument(Doc(7, body));
  report.Build(false);
  // The parser's list is not reachable for writing through the report; reading its count only.
  EXPECT_EQ(const_cast<TTLVParser&>(report.Parser()).Tags().Count(), 0);
  const TTLVTags& kept = DocumentTags(report, 0);
  EXPECT_EQ(kept.Encode(), body);
  for (const auto& tag : kept) EXPECT_EQ(tag->Owner(), &kept);
  EXPECT_EQ(kept.Items(1).Children().Items(0).Owner(), &kept.Items(1).Children());
  EXPECT_EQ(kept.Items(2).Children().Items(0).Value(), "Bread");
}

TEST(FNReport, RejectedBodyEndsBuildKeepingEarlierContainers) {
  TFNReport report;
  report.AddDocument(Doc(3, Tlv(1040, Le32(1))));
  report.AddDocument(Doc(3, "\x01\x02\x03"));
  report.AddDocument(Doc(3, Tlv(1040, Le32(3))));
  try {
    report.Build(false);
    ADD_FAILURE() << "Build accepted a 3-byte body";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "TLV length error");
  }
  EXPECT_FALSE(report.Ready());
  EXPECT_EQ(report.Tags().Encode(), Tlv(65002, Tlv(103, Tlv(1040, Le32(1)))));

  report.Clear();
  report.AddDocument(Doc(3, Tlv(1059, Bytes({1, 2}))));
  EXPECT_THROW(report.Build(false), Error);
  EXPECT_FALSE(report.Ready());
  EXPECT_EQ(report.Tags().Count(), 0);
}

TEST(FNReport, BuildOnNoDocumentsResetsVersionAndIsReady) {
  TFNReport report;
  EXPECT_FALSE(report.Ready());
  EXPECT_FALSE(report.OnlyIfTag1162Exist());
  EXPECT_EQ(report.Header(), TFNReportHeader{});
  TFNReportHeader header;
  header.FFDVersion = 3;
  header.FNNumber = "9999";
  report.SetHeader(header);
  report.Build(true);
  EXPECT_TRUE(report.Ready());
  EXPECT_EQ(report.Tags().Count(), 0);
  EXPECT_EQ(report.Header().FFDVersion, 1);
  EXPECT_EQ(report.Header().FNNumber, "9999");
}

TEST(FNReport, ClearEmptiesTreeAndDocumentsButKeepsTheHeader) {
  TFNReport report;
  TFNDocumentRec rec = Doc(11, Tlv(1209, Bytes({2})));
  report.AddDocument(rec);
  rec.TLVData.clear();  // the report holds its own copy
  EXPECT_EQ(report.Documents().Items(0).Rec().TLVData, Tlv(1209, Bytes({2})));
  report.Build(false);
  ASSERT_TRUE(report.Ready());
  // Build does not empty the tree; a second Build appends again.
  report.Build(false);
  EXPECT_EQ(Shape(report.Tags()), "65002(111(1209)) 65002(111(1209))");

  const TFNReportHeader header = report.Header();
  report.Clear();
  EXPECT_FALSE(report.Ready());
  EXPECT_EQ(report.Tags().Count(), 0);
  EXPECT_EQ(report.Documents().Count(), 0);
  EXPECT_EQ(report.Header(), header);
  EXPECT_EQ(header.FFDVersion, 2);
}

}  // namespace
}  // namespace kvitor
