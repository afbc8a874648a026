// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <cstdint>
#include <string>

#include "tlv/LangUtils.h"
#include "tlv/TLVTag.h"

namespace kvitor {
namespace {

enum class TNameRule { Plain, VatRate, VatCalcRate, Untranslated };

struct TDictionaryRow {
  int32_t Tag;
  TTagType Type;
  int32_t MaxLength;
  bool FixedLength;
  TNameRule Rule;
  const char* Description;
  const char* ShortName;
};

constexpr TDictionaryRow kRows[] = {
#include "tlv/TagDictionaryTable.inc"
};

}  // namespace

void TTLVTags::FillDictionary() {
  Clear();
  items_.reserve(std::size(kRows));
  for (const TDictionaryRow& row : kRows) {
    std::string description = Tr(row.Description);
    std::string shortName = row.Rule == TNameRule::Untranslated ? row.ShortName : Tr(row.ShortName);
    if (row.Rule == TNameRule::VatRate) {
      description.append(VatRateText()).append("%");
      shortName.append(VatRateText()).append("%");
    } else if (row.Rule == TNameRule::VatCalcRate) {
      description.append(VatCalcRateText());
      shortName.append(VatCalcRateText());
    }
    AddEntry(row.Tag, description, shortName, row.Type, row.MaxLength, row.FixedLength);
  }
}

}  // namespace kvitor
