// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include "ReportTestUtil.h"
#include "report/FNDocument.h"

namespace kvitor {
namespace {

using test::Le32;
using test::Tlv;

TFNDocumentRec SampleRec(int32_t number) {
  TFNDocumentRec rec;
  rec.DocNumber = number;
  rec.DocType = 3;
  rec.DataLength = 8;
  rec.TLVData = Tlv(1040, Le32(static_cast<uint32_t>(number)));
  rec.Ticket.TicketData = "ticket of document " + std::to_string(number);
  rec.Ticket.TicketDateTime = 45000.25;
  rec.Ticket.FiscalSign = std::string("\x01\x00\x02", 3);
  rec.Ticket.TicketDocNumber = number;
  return rec;
}

TEST(FNDocuments, AddAppendsAnOwnCopyOfEveryRecord) {
  TFNDocuments list;
  const TFNDocumentRec a = SampleRec(1);
  TFNDocumentRec empty;  // an empty body is a document like any other
  empty.DocType = 2;
  TFNDocument& first = list.Add(a);
  TFNDocument& second = list.Add(empty);
  TFNDocument* third = nullptr;
  {
    TFNDocumentRec changing = a;
    third = &list.Add(changing);
    changing.DocType = 99;
    changing.TLVData.assign(1000, 'x');
    changing.Ticket.TicketData.clear();
    changing.Ticket.FiscalSign = "changed";
  }  // the caller's record is gone here

  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(&list.Items(0), &first);
  EXPECT_EQ(&list.Items(1), &second);
  EXPECT_EQ(&list.Items(2), third);
  EXPECT_EQ(first.Rec(), a);
  EXPECT_EQ(second.Rec(), empty);
  EXPECT_EQ(third->Rec(), a);
  for (const auto& doc : list) EXPECT_EQ(doc->Owner(), &list);
}

TEST(FNDocuments, FreeAndClearEmptyTheList) {
  TFNDocuments list;
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  for (int32_t n = 1; n <= 3; ++n) list.Add(SampleRec(n));
  list.Items(1).Free();
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.Items(0).Rec().DocNumber, 1);
  EXPECT_EQ(list.Items(1).Rec().DocNumber, 3);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.begin(), list.end());
}

TEST(FNDocuments, SetOwnerMovesTheDocumentToTheEndOfTheOtherList) {
  TFNDocuments a;
  TFNDocuments b;
  a.Add(SampleRec(1));
  a.Add(SampleRec(2));
  b.Add(SampleRec(3));

  TFNDocument& moved = a.Items(0);
  moved.SetOwner(b);
  ASSERT_EQ(a.Count(), 1);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_EQ(a.Items(0).Rec().DocNumber, 2);
  EXPECT_EQ(&b.Items(1), &moved);
  EXPECT_EQ(moved.Owner(), &b);

  // Its own list again: nothing moves.
  b.Items(0).SetOwner(b);
  EXPECT_EQ(b.Items(0).Rec().DocNumber, 3);
  EXPECT_EQ(b.Items(1).Rec().DocNumber, 1);
}

}  // namespace
}  // namespace kvitor
