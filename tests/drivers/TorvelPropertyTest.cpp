// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

// The table of driver properties, as both drivers read it.
#include <gtest/gtest.h>

#include "drivers/Torvel.h"
#include "drivers/emulated/EmulatedTorvel.h"
#include "drivers/serial/FNSerialTorvel.h"

namespace kvitor {
namespace {

std::size_t KindIndex(TPropertyKind kind) {
  switch (kind) {
    case TPropertyKind::Integer: return TPropertyValue(int64_t{0}).index();
    case TPropertyKind::DateTime: return TPropertyValue(0.0).index();
    case TPropertyKind::Text: return TPropertyValue(std::u16string()).index();
  }
  return TPropertyValue().index();
}

TEST(TorvelProperty, NamesAndUnsetValuesComeFromTheTableForBothDrivers) {
  EXPECT_EQ(TTorvelProperty::DocumentNumber, 128);
  EXPECT_EQ(TTorvelProperty::Describe(TTorvelProperty::DocumentNumber),
            "Property 128 (DocumentNumber)");
  EXPECT_EQ(TTorvelProperty::Describe(4242), "Property 4242");
  EXPECT_EQ(TTorvelProperty::Unset(4242), TPropertyValue(int64_t{0}));

  const TDriverThreadScope scope;
  TEmulatedTorvel emulated({});
  TFNSerialTorvel serial({});
  for (const TTorvelPropertyInfo& property : kTorvelProperties) {
    SCOPED_TRACE(property.Name);
    EXPECT_EQ(FindTorvelProperty(property.Id), &property);
    const TPropertyValue unset = TTorvelProperty::Unset(property.Id);
    EXPECT_EQ(unset.index(), KindIndex(property.Kind));
    EXPECT_EQ(emulated.GetProperty(property.Id), unset);
    EXPECT_EQ(serial.GetProperty(property.Id), unset);
  }
  EXPECT_EQ(std::get<std::u16string>(TTorvelProperty::Unset(TTorvelProperty::TLVData)), u"");
  EXPECT_EQ(std::get<double>(TTorvelProperty::Unset(TTorvelProperty::ECRTime)), 0.0);
}

}  // namespace
}  // namespace kvitor
