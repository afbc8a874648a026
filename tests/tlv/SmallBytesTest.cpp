// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tlv/SmallBytes.h"

namespace kvitor {
namespace {

TEST(SmallBytes, InlineAndHeapValuesCopyMoveAndReassign) {
  const std::string shortValue = "123456789012";  // the most held inline
  const std::string longValue = "1234567890123";
  for (const std::string& value : {shortValue, longValue, std::string("\0\x01", 2)}) {
    TSmallBytes bytes(value);
    EXPECT_EQ(bytes.View(), value);
    EXPECT_EQ(bytes.Length(), value.size());
    TSmallBytes copy(bytes);
    TSmallBytes assigned;
    assigned = bytes;
    bytes.Assign("changed");  // copies are independent
    EXPECT_EQ(copy.View(), value);
    EXPECT_EQ(assigned.View(), value);
    TSmallBytes moved(std::move(copy));
    EXPECT_EQ(moved.View(), value);
    EXPECT_EQ(copy.View(), "");  // NOLINT(bugprone-use-after-move): left empty
    EXPECT_EQ(copy.Length(), 0u);
    moved = TSmallBytes(longValue + longValue);
    EXPECT_EQ(moved.View(), longValue + longValue);
  }
}

TEST(SmallBytes, ARecordedLengthWithoutBytes) {
  TSmallBytes content = TSmallBytes::LengthOnly(40000);
  EXPECT_EQ(content.View(), "");
  EXPECT_EQ(content.Length(), 40000u);
  TSmallBytes copy(content);
  TSmallBytes assigned(std::string(20, 'x'));
  assigned = content;
  EXPECT_EQ(copy.Length(), 40000u);
  EXPECT_EQ(assigned.Length(), 40000u);
  EXPECT_EQ(assigned.View(), "");
  TSmallBytes moved(std::move(copy));
  EXPECT_EQ(moved.Length(), 40000u);
  EXPECT_EQ(copy.Length(), 0u);  // NOLINT(bugprone-use-after-move): left empty

  // Bytes replace the recorded length, whatever their size; so does nothing.
  content.Assign("ab");
  EXPECT_EQ(content.Length(), 2u);
  content = TSmallBytes::LengthOnly(7);
  content.Assign("");
  EXPECT_EQ(content.Length(), 0u);
  content = TSmallBytes::LengthOnly(7);
  content.Assign(std::string(30, 'y'));
  EXPECT_EQ(content.Length(), 30u);
}

}  // namespace
}  // namespace kvitor
