// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <cstdint>
#include <string>
#include <vector>

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

struct TFfd12Row {
  int32_t Parent;
  int32_t Tag;
  TTagType Type;
  int32_t MaxLength;
  bool FixedLength;
  const char* Description;
  const char* ShortName;
};

constexpr TFfd12Row kFfd12Rows[] = {
#include "tlv/TagDictionaryFfd12.inc"
};

}  // namespace

void TTLVTags::FillDictionary(bool ffd12) {
  Clear();
  items_.reserve(std::size(kRows) + (ffd12 ? std::size(kFfd12Rows) : 0));
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
  if (!ffd12) return;
  for (const TFfd12Row& row : kFfd12Rows) {
    if (row.Parent == 0) {
      AddEntry(row.Tag, Tr(row.Description), Tr(row.ShortName), row.Type, row.MaxLength,
               row.FixedLength);
    }
  }
}

std::vector<TNestedEntry> Ffd12NestedEntries() {
  std::vector<TNestedEntry> entries;
  for (const TFfd12Row& row : kFfd12Rows) {
    if (row.Parent != 0) {
      const TTagInfo info{row.Tag,         row.MaxLength,       row.Type,
                          row.FixedLength, Tr(row.Description), Tr(row.ShortName)};
      entries.push_back({row.Parent, InternTagInfo(info)});
    }
  }
  return entries;
}

}  // namespace kvitor
