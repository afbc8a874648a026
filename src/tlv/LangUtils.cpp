// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "tlv/LangUtils.h"

namespace kvitor {

bool IsBitSet(uint32_t value, int bit) {
  return ((value >> (static_cast<unsigned>(bit) % 32u)) & 1u) != 0;
}

std::string FFDVersionName(int32_t code) {
  switch (code) {
    case 1: return "1.0";
    case 2: return "1.05";
    case 3: return "1.1";
    default: return std::to_string(code);
  }
}

std::string PaymentKindName(int32_t code) {
  switch (code) {
    case 1: return Tr("Приход");
    case 2: return Tr("Возврат прихода");
    case 3: return Tr("Расход");
    case 4: return Tr("Возврат расхода");
    default: return std::string(Tr("Неизв. тип: ")) + std::to_string(code);
  }
}

std::string TaxSystemsText(uint32_t bits) {
  if (bits == 0) return Tr("Нет");
  static const char* const kNames[] = {TrLater("ОБЩ."), TrLater("УД"),  TrLater("УДМР"),
                                       TrLater("ЕНВД"), TrLater("ЕСН"), TrLater("ПСН")};
  std::string text;
  for (int bit = 0; bit < 6; ++bit) {
    if (!IsBitSet(bits, bit)) continue;
    if (!text.empty()) text += '+';
    text += Tr(kNames[bit]);
  }
  return text;
}

std::string BitNumbersText(uint32_t bits) {
  if (bits == 0) return "0";
  std::string text;
  for (int bit = 0; bit < 32; ++bit) {
    if (!IsBitSet(bits, bit)) continue;
    if (!text.empty()) text += ',';
    text += std::to_string(bit + 1);
  }
  return text;
}

}  // namespace kvitor
