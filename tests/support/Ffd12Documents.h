// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Documents of format 1.2 as storages of today hold them, with the values of
// published receipts of 2024-2026: a marked item with its code, measure and
// industry requisite, and a 2026 receipt with its VAT of 22 % (1115) and its
// cashless payments (1234). Written by hand, not by the code under test.
namespace kvitor::test::ffd12 {

inline std::string Item(uint16_t tag, std::string_view value) {
  const auto length = static_cast<uint16_t>(value.size());
  std::string out{static_cast<char>(tag & 0xFF), static_cast<char>(tag >> 8),
                  static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
  return out.append(value);
}
inline std::string Byte(int v) { return std::string(1, static_cast<char>(v)); }
inline std::string Le(uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

inline const std::string kMarkingCode =
    "0104650194496316215Qbag!\x1d"
    "93Zjqw";

// A marked item: measure 0 (pieces), GS1.М code, check result 15, 1260.
inline std::string MarkedItem() {
  return Item(1059, Item(1030, "Milk 3.2%") + Item(1079, Le(12990, 2)) +
                        Item(1023, Byte(0) + Byte(1)) + Item(1043, Le(12990, 2)) +
                        Item(1199, Byte(11)) + Item(1212, Byte(33)) + Item(1214, Byte(4)) +
                        Item(2108, Byte(0)) + Item(1163, Item(1305, kMarkingCode)) +
                        Item(2106, Byte(15)) +
                        Item(1260, Item(1262, "030") + Item(1263, "21.11.2023") +
                                       Item(1264, "1944") + Item(1265, "mode=horeca")));
}

// A receipt (type 3) of a marked item, format 1.2.
inline std::string MarkedReceipt() {
  return Item(1040, Le(1201, 4)) + Item(1012, Le(1767261600, 4)) + Item(1209, Byte(4)) +
         Item(1054, Byte(1)) + Item(1020, Le(12990, 2)) + Item(1081, Le(12990, 2)) + MarkedItem() +
         Item(2107, Byte(0)) + Item(1077, Le(0x3A2B1C0D, 6));
}

// A receipt (type 3) of 2026: VAT by rate in 1115 (1199 = 11, 22 %), paid by
// card as 1234 tells, and a number 1119 at the top in its old meaning.
inline std::string VatReceipt() {
  return Item(1040, Le(1202, 4)) + Item(1012, Le(1767348000, 4)) + Item(1209, Byte(4)) +
         Item(1054, Byte(1)) + Item(1020, Le(49900, 4)) + Item(1081, Le(49900, 4)) +
         Item(1059, Item(1030, "AI-95") + Item(1079, Le(6150, 2)) + Item(2108, Byte(41)) +
                        Item(1199, Byte(11))) +
         Item(1115, Item(1119, Item(1199, Byte(11)) + Item(1120, Le(8998, 2)))) +
         Item(1125, Byte(1)) + Item(1234, Item(1235, Item(1082, Le(49900, 4)))) +
         Item(1119, "+79001234567") + Item(1077, Le(0x1D2C3B4A, 6));
}

// A registration report (type 1) of format 1.2.
inline std::string Registration() {
  return Item(1040, Le(1, 4)) + Item(1209, Byte(4)) + Item(1290, Le(0x22, 4));
}

}  // namespace kvitor::test::ffd12
