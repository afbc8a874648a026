// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/emulated/SyntheticDocuments.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <string_view>

#include "base/Error.h"
#include "tlv/BinUtils.h"

namespace kvitor {
namespace {

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// splitmix64, started from (seed, purpose, index) so that every document and
// every shift has its own sequence, independent of the order of requests.
class TRandom {
 public:
  TRandom(uint64_t seed, uint64_t purpose, uint64_t index)
      : state_(Mix(seed ^ Mix(purpose * 0x9E3779B97F4A7C15ULL + index))) {}

  uint64_t Next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    return Mix(state_);
  }
  // 0..n-1; the bias of the modulo is far below anything visible here.
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  bool Percent(uint32_t p) { return Below(100) < p; }

 private:
  uint64_t state_;
};

// Purposes of the sequences.
enum : uint64_t {
  kIdentity = 1,
  kShift,
  kStorageEnd,
  kType,
  kDay,
  kMinute,
  kReceipt,
  kCorrection,
  kReport,
  kSign,
  kTicket,
};

// UTF-8 to code page 866 for the texts below (ASCII, Cyrillic, №): they are
// made once, and iconv per text would cost more than the whole document.
std::string Cp866(std::string_view utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    char32_t cp = c;
    std::size_t n = 1;
    if (c >= 0xE0 && i + 2 < utf8.size()) {
      cp = ((c & 0x0FU) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3FU) << 6) |
           (static_cast<unsigned char>(utf8[i + 2]) & 0x3FU);
      n = 3;
    } else if (c >= 0xC0 && i + 1 < utf8.size()) {
      cp = ((c & 0x1FU) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3FU);
      n = 2;
    }
    i += n;
    if (cp < 0x80)
      out.push_back(static_cast<char>(cp));
    else if (cp >= 0x0410 && cp <= 0x043F)
      out.push_back(static_cast<char>(cp - 0x0410 + 0x80));
    else if (cp >= 0x0440 && cp <= 0x044F)
      out.push_back(static_cast<char>(cp - 0x0440 + 0xE0));
    else if (cp == 0x0401)
      out.push_back(static_cast<char>(0xF0));
    else if (cp == 0x0451)
      out.push_back(static_cast<char>(0xF1));
    else if (cp == 0x2116)
      out.push_back(static_cast<char>(0xFC));
    else
      out.push_back('?');
  }
  return out;
}

struct TProduct {
  const char* Name;
  uint32_t Price;   // kopecks, per kilogram for goods sold by weight
  uint8_t Vat;      // 1199: 1 20%, 2 10%, 5 0%, 6 without VAT
  uint8_t Subject;  // 1212: 1 goods, 4 service
  bool ByWeight;
  bool Marked;  // goods that carry a marking code (1162)
};

constexpr std::array kProducts = {
    TProduct{"Хлеб Бородинский 400 г", 6490, 2, 1, false, false},
    TProduct{"Молоко 3,2% 1 л", 8990, 2, 1, false, true},
    TProduct{"Кефир 1% 900 г", 7990, 2, 1, false, true},
    TProduct{"Сыр Российский весовой", 74900, 2, 1, true, false},
    TProduct{"Яблоки Гала", 15990, 2, 1, true, false},
    TProduct{"Бананы", 12990, 2, 1, true, false},
    TProduct{"Сахар-песок 1 кг", 8990, 2, 1, false, false},
    TProduct{"Кофе молотый 250 г", 45990, 1, 1, false, false},
    TProduct{"Чай черный 100 пак.", 25990, 1, 1, false, false},
    TProduct{"Шоколад молочный 90 г", 8990, 1, 1, false, false},
    TProduct{"Вода питьевая 1,5 л", 5490, 1, 1, false, true},
    TProduct{"Сок яблочный 1 л", 11990, 1, 1, false, true},
    TProduct{"Пакет-майка", 990, 1, 1, false, false},
    TProduct{"Батарейки AA, 4 шт.", 24990, 1, 1, false, false},
    TProduct{"Зубная паста 100 мл", 18990, 1, 1, false, false},
    TProduct{"Шампунь 400 мл", 32990, 1, 1, false, true},
    TProduct{"Кроссовки беговые", 549000, 1, 1, false, true},
    TProduct{"Футболка хлопковая", 99900, 1, 1, false, true},
    TProduct{"Книга \"Мастер и Маргарита\"", 45000, 2, 1, false, false},
    TProduct{"Тетрадь 48 л.", 5900, 2, 1, false, false},
    TProduct{"Парацетамол 500 мг №20", 4500, 2, 1, false, true},
    TProduct{"Доставка", 30000, 1, 4, false, false},
    TProduct{"Упаковка подарочная", 15000, 1, 4, false, false},
    TProduct{"Ремонт обуви", 150000, 6, 4, false, false},
};

struct TOwner {
  const char* User;
  const char* Address;
  const char* Place;
};

constexpr std::array kOwners = {
    TOwner{"ООО \"Ромашка\"", "г. Москва, ул. Тверская, д. 7", "Магазин \"Ромашка\""},
    TOwner{"ИП Соколова Мария Ивановна", "г. Казань, ул. Баумана, д. 19", "Торговый зал"},
    TOwner{"АО \"Северный ветер\"", "г. Санкт-Петербург, Невский пр., д. 28", "Касса 2"},
};

constexpr std::array kCashiers = {"Иванова А. С.", "Петров Д. В.", "Смирнова Е. Н.",
                                  "Кузнецов И. П."};

constexpr std::array kCorrectionReasons = {"Неприменение ККТ при расчете",
                                           "Ошибка кассира в сумме чека", "Сбой электропитания"};

// One TLV item appended to out, for the parts of bodies made in advance.
void AppendItem(std::string& out, uint16_t tag, std::string_view value) {
  const std::array<char, 4> head = {static_cast<char>(tag & 0xFF), static_cast<char>(tag >> 8),
                                    static_cast<char>(value.size() & 0xFF),
                                    static_cast<char>((value.size() >> 8) & 0xFF)};
  out.append(head.data(), head.size());
  out.append(value);
}

// Cut or padded with blanks to width, as the fixed-length texts are.
std::string FixedText(std::string_view text, std::size_t width) {
  std::string out(text.substr(0, width));
  out.resize(width, ' ');
  return out;
}

// The texts above in code page 866, made on first use.
struct TTexts {
  std::array<std::string, kProducts.size()> Products;
  // The items every receipt line opens with for each product: 1212, 1214
  // and the name 1030, encoded.
  std::array<std::string, kProducts.size()> LineHeads;
  std::array<std::array<std::string, 3>, kOwners.size()> Owners;
  std::array<std::string, kCashiers.size()> Cashiers;
  std::array<std::string, kCorrectionReasons.size()> Reasons;
  std::string OfdName = Cp866("ООО \"Оператор фискальных данных\"");
  std::string NoNumber = Cp866("б/н");

  TTexts() {
    for (std::size_t i = 0; i < kProducts.size(); ++i) {
      Products[i] = Cp866(kProducts[i].Name);
      AppendItem(LineHeads[i], 1212, std::string(1, static_cast<char>(kProducts[i].Subject)));
      AppendItem(LineHeads[i], 1214, std::string(1, '\x04'));
      AppendItem(LineHeads[i], 1030, Products[i]);
    }
    for (std::size_t i = 0; i < kOwners.size(); ++i) {
      Owners[i] = {Cp866(kOwners[i].User), Cp866(kOwners[i].Address), Cp866(kOwners[i].Place)};
    }
    for (std::size_t i = 0; i < kCashiers.size(); ++i) Cashiers[i] = Cp866(kCashiers[i]);
    for (std::size_t i = 0; i < kCorrectionReasons.size(); ++i) {
      Reasons[i] = Cp866(kCorrectionReasons[i]);
    }
  }
};

const TTexts& Texts() {
  static const TTexts texts;
  return texts;
}

constexpr std::string_view kOfdInn = "7728699517";
constexpr std::string_view kTaxSite = "www.nalog.gov.ru";
constexpr std::string_view kKKTVersion = "3.5.30";

// Writes TLV items: tag and length as 16-bit little-endian, then the value.
// They go through a pointer into a scratch buffer that only ever grows, and
// Finish copies them out: string appends item by item, or a buffer cleared
// for every body, cost more than the whole rest of a body's making.
class TTlvWriter {
 public:
  TTlvWriter() : out_(Scratch()) {
    if (out_.size() < 4096) out_.resize(4096);
  }

  void Raw(uint16_t tag, std::string_view value) {
    char* at = Item(tag, value.size());
    std::memcpy(at, value.data(), value.size());
  }
  // Items encoded before, written as they stand.
  void Encoded(std::string_view items) {
    const std::size_t need = size_ + items.size();
    if (need + kSpare > out_.size()) [[unlikely]]
      Grow(out_, need + kSpare);
    std::memcpy(out_.data() + size_, items.data(), items.size());
    size_ = need;
  }
  void Byte(uint16_t tag, uint8_t value) { Number(tag, value, 1); }
  void UInt32(uint16_t tag, uint32_t value) { Number(tag, value, 4); }
  // Minimal little-endian bytes, one byte for zero.
  void Vln(uint16_t tag, uint64_t value) { Number(tag, value, MinimalBytes(value)); }
  void Fvln(uint16_t tag, uint8_t point, uint64_t value) {
    const std::size_t n = MinimalBytes(value);
    char* at = Item(tag, n + 1);
    at[0] = static_cast<char>(point);
    PutLE(at + 1, value, n);
  }
  void Time(uint16_t tag, int64_t seconds) { UInt32(tag, static_cast<uint32_t>(seconds)); }
  // Cut or padded with blanks to width, as the fixed-length texts are.
  void Fixed(uint16_t tag, std::string_view text, std::size_t width) {
    char* at = Item(tag, width);
    const std::size_t n = std::min(width, text.size());
    std::memcpy(at, text.data(), n);
    std::memset(at + n, ' ', width - n);
  }
  [[nodiscard]] std::size_t Open(uint16_t tag) {
    (void)Item(tag, 0);
    return size_;
  }
  void Close(std::size_t mark) {
    const std::size_t length = size_ - mark;
    if (length > 0xFFFF) throw Error("Synthetic document: container longer than 65535 bytes");
    out_[mark - 2] = static_cast<char>(length & 0xFF);
    out_[mark - 1] = static_cast<char>(length >> 8);
  }
  void RandomRaw(uint16_t tag, TRandom& r, std::size_t n) {
    char* at = Item(tag, n);
    for (std::size_t i = 0; i < n; ++i) at[i] = static_cast<char>(r.Below(256));
  }
  void Finish(std::string& body) const { body.assign(out_.data(), size_); }

 private:
  static std::size_t MinimalBytes(uint64_t value) {
    return std::max<std::size_t>(1, (static_cast<std::size_t>(std::bit_width(value)) + 7) / 8);
  }
  // The buffer keeps kSpare bytes past its end, so that a number is stored
  // as all eight bytes at once; those past the item are written over by the
  // next one or left outside the body.
  static constexpr std::size_t kSpare = 8;
  static void PutLE(char* at, uint64_t value, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(at, &value, kSpare);
    } else {
      for (std::size_t i = 0; i < n; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
  }
  // Writes the head of an item of length bytes; returns where its value goes.
  char* Item(uint16_t tag, std::size_t length) {
    const std::size_t need = size_ + 4 + length;
    if (need + kSpare > out_.size()) [[unlikely]]
      Grow(out_, need + kSpare);
    char* at = out_.data() + size_;
    PutLE(at, tag | (uint64_t{length} << 16), 4);
    size_ = need;
    return at + 4;
  }
  // Kept apart so that Item stays small enough to be inlined; given the
  // buffer, not the writer, so that the writer's address stays its own.
  [[gnu::noinline]] static void Grow(std::string& out, std::size_t size) {
    out.resize(std::max(size, 2 * out.size()));
  }
  void Number(uint16_t tag, uint64_t value, std::size_t n) { PutLE(Item(tag, n), value, n); }

  static std::string& Scratch() {
    thread_local std::string scratch;
    return scratch;
  }

  std::string& out_;
  std::size_t size_ = 0;
};

std::string Digits(uint64_t value, int count) {
  std::string s(static_cast<std::size_t>(count), '0');
  for (int i = count - 1; i >= 0; --i, value /= 10) {
    s[static_cast<std::size_t>(i)] = static_cast<char>('0' + value % 10);
  }
  return s;
}

// n random bytes as upper-case hexadecimal text into text; every buffer is
// reused.
void RandomHex(TRandom& r, std::size_t n, std::u16string& text) {
  text.resize(2 * n);
  char16_t* at = text.data();
  for (std::size_t i = 0; i < n; ++i) {
    const auto& digits = kUpperHexPairs[r.Below(256)];
    at[2 * i] = static_cast<char16_t>(digits[0]);
    at[2 * i + 1] = static_cast<char16_t>(digits[1]);
  }
}

uint64_t VatAmount(uint64_t sum, uint8_t vat) {
  switch (vat) {
    case 1: return (sum * 20 + 60) / 120;
    case 2: return (sum * 10 + 55) / 110;
    case 11: return (sum * 22 + 61) / 122;  // 22 %, 2026
    default: return 0;
  }
}

// Without member initializers, so that a receipt's unused lines are left
// unset rather than cleared for every receipt; each line is set whole.
struct TItemPlan {
  uint8_t Product;
  uint8_t Point;  // decimal point position of the quantity
  uint64_t Quantity;
  uint64_t Price;
  uint64_t Sum;
  bool Marked;
};

struct TReceiptPlan {
  uint8_t Kind = 1;  // 1054
  uint8_t ItemCount = 0;
  std::array<TItemPlan, 6> Items;  // the first ItemCount
  uint64_t Total = 0, Cash = 0, Card = 0;
  std::array<uint64_t, 7> ByVat{};  // sums by 1199 rate
  bool TopLevelCode = false;
};

TReceiptPlan PlanReceipt(uint64_t seed, int32_t number) {
  TRandom r(seed, kReceipt, static_cast<uint64_t>(number));
  TReceiptPlan plan;
  const uint32_t kind = r.Below(100);
  plan.Kind = kind < 90 ? 1 : kind < 97 ? 2 : kind < 99 ? 3 : 4;
  plan.ItemCount = static_cast<uint8_t>(r.Below(10) == 0 ? 1 : 2 + r.Below(5));
  for (uint8_t i = 0; i < plan.ItemCount; ++i) {
    TItemPlan& item = plan.Items[i];
    item = TItemPlan{};
    item.Product = static_cast<uint8_t>(r.Below(kProducts.size()));
    const TProduct& p = kProducts[item.Product];
    item.Price = uint64_t{p.Price} * (90 + r.Below(21)) / 100 / 10 * 10;
    if (p.ByWeight) {
      item.Point = 3;
      item.Quantity = 100 + r.Below(2400);
      item.Sum = (item.Price * item.Quantity + 500) / 1000;
    } else {
      const uint32_t q = r.Below(100);
      item.Quantity = q < 75 ? 1 : q < 95 ? 2 + r.Below(3) : 5 + r.Below(6);
      item.Sum = item.Price * item.Quantity;
    }
    item.Marked = p.Marked && r.Percent(40);
    plan.Total += item.Sum;
    plan.ByVat[p.Vat] += item.Sum;
  }
  const uint32_t pay = r.Below(100);
  if (pay < 45)
    plan.Cash = plan.Total;
  else if (pay < 95)
    plan.Card = plan.Total;
  else {
    plan.Cash = plan.Total * (5 + r.Below(90)) / 100;
    plan.Card = plan.Total - plan.Cash;
  }
  plan.TopLevelCode = r.Percent(3);
  return plan;
}

struct TCorrectionPlan {
  uint8_t Kind = 1;
  uint8_t CorrectionType = 0;  // 1173: 0 on own initiative, 1 by order
  uint8_t Reason = 0;
  uint64_t Total = 0, Cash = 0, Card = 0;
};

TCorrectionPlan PlanCorrection(uint64_t seed, int32_t number) {
  TRandom r(seed, kCorrection, static_cast<uint64_t>(number));
  TCorrectionPlan plan;
  plan.Kind = r.Percent(85) ? 1 : 2;
  plan.CorrectionType = static_cast<uint8_t>(r.Below(2));
  plan.Reason = static_cast<uint8_t>(r.Below(kCorrectionReasons.size()));
  plan.Total = (uint64_t{1000} + r.Below(500000)) / 10 * 10;
  if (r.Percent(50))
    plan.Cash = plan.Total;
  else
    plan.Card = plan.Total;
  return plan;
}

// Counters of one operation kind in a closing report.
struct TKindCounters {
  uint32_t Count = 0;
  uint64_t Total = 0, Cash = 0, Card = 0;
  std::array<uint64_t, 7> ByVat{};
};

struct TShiftCounters {
  std::array<TKindCounters, 5> Kinds{};  // by 1054, 1..4
  uint32_t Receipts = 0;
  uint32_t Corrections = 0;
  uint64_t CorrectionTotal = 0;

  void Add(const TReceiptPlan& plan) {
    TKindCounters& k = Kinds[plan.Kind];
    ++k.Count;
    k.Total += plan.Total;
    k.Cash += plan.Cash;
    k.Card += plan.Card;
    for (std::size_t v = 0; v < k.ByVat.size(); ++v) k.ByVat[v] += plan.ByVat[v];
    ++Receipts;
  }
  void Add(const TCorrectionPlan& plan) {
    ++Corrections;
    CorrectionTotal += plan.Total;
  }
};

// The counters of the shift a thread is reading. A reader reads a shift's
// documents in order, so its closing report finds them counted here instead
// of planning every receipt of the shift again. They count the positions of
// the block from its first receipt's place up to Next.
struct TShiftTally {
  uint64_t Run = 0;  // the run's Id
  int32_t BlockStart = 0;
  int32_t Next = 0;
  TShiftCounters Counters;
};

TShiftTally& ThreadTally() {
  thread_local TShiftTally tally;
  return tally;
}

std::atomic<uint64_t> lastRunId{0};

}  // namespace

// Writes the bodies; a friend, so that the layout stays private.
class TSyntheticBodyWriter {
 public:
  TSyntheticBodyWriter(const TSyntheticDocuments& run, int32_t number, int32_t position,
                       const TSyntheticDocuments::TPlace& place)
      : run_(run), number_(number), position_(position), place_(place), texts_(Texts()) {}

  void Body(int32_t type, std::string& body) {
    tally_ = FollowTally();
    switch (type) {
      case 1:
      case 11: Registration(type == 11); break;
      case 2: ShiftOpening(); break;
      case 21: StateReport(); break;
      case 3:
      case 4: Receipt(); break;
      case 31:
      case 41: Correction(); break;
      case 5: ShiftClosing(); break;
      case 6: StorageClosing(); break;
      default: OperatorConfirmation(); break;
    }
    w_.Finish(body);
    if (tally_ != nullptr) ++ThreadTally().Next;
  }

 private:
  // The thread's tally when this document is the next one it counts (it
  // starts over at a shift's first receipt place), else nullptr.
  [[nodiscard]] TShiftCounters* FollowTally() const {
    const TSyntheticDocuments::TBlock& b = *place_.Block;
    const int32_t first = b.Start + (b.Change ? 2 : 1);
    if (b.Shift == 0 || b.Tail || position_ < first) return nullptr;
    TShiftTally& t = ThreadTally();
    if (position_ == first) t = TShiftTally{run_.id_, b.Start, first, {}};
    if (t.Run != run_.id_ || t.BlockStart != b.Start || t.Next != position_) return nullptr;
    return &t.Counters;
  }

  [[nodiscard]] int32_t Shift() const {
    if (place_.Block->Shift > 0) return place_.Block->Shift;
    return std::max(run_.shiftCount_, 1);
  }

  // The tags every document opens with.
  void Head() {
    w_.Encoded(run_.headFront_);  // 1048, 1018
    w_.Time(1012, run_.TimeAt(place_, position_));
    w_.UInt32(1040, static_cast<uint32_t>(number_));
    w_.Encoded(run_.headBack_);  // 1041, 1037
  }
  // 1009, 1187 and the cashier's 1021.
  void Place() {
    w_.Encoded(run_.places_[static_cast<std::size_t>(Shift()) % run_.places_.size()]);
  }
  void Sign() {
    TRandom r(run_.seed_, kSign, static_cast<uint64_t>(number_));
    w_.RandomRaw(1077, r, 6);
  }

  void Registration(bool change) {
    Head();
    Place();
    w_.Raw(1060, kTaxSite);
    w_.Fixed(1017, kOfdInn, 12);
    w_.Raw(1046, texts_.OfdName);
    w_.Raw(1013, run_.serialKKT_);
    w_.Byte(1056, 0);
    w_.Byte(1001, 0);
    w_.Byte(1002, run_.autonomous_ ? 1 : 0);
    w_.Byte(1108, 0);
    w_.Byte(1109, 0);
    w_.Byte(1110, 0);
    w_.Byte(1062, run_.owner_ == 1 ? 2 : 1);
    w_.Byte(1209, run_.ffdVersion_);
    w_.Byte(1189, run_.ffdVersion_);
    w_.Byte(1190, run_.ffdVersion_);
    w_.Raw(1188, kKKTVersion);
    if (change) {
      if (run_.ffdVersion_ >= 3)
        w_.UInt32(1205, 1U << 3);
      else
        w_.Byte(1101, 4);
    }
    Sign();
  }

  void ShiftOpening() {
    Head();
    w_.UInt32(1038, static_cast<uint32_t>(Shift()));
    Place();
    w_.Byte(1209, run_.ffdVersion_);
    w_.Raw(1188, kKKTVersion);
    Sign();
  }

  void StateReport() {
    TRandom r(run_.seed_, kReport, static_cast<uint64_t>(number_));
    Head();
    Place();
    const uint32_t unsent = r.Below(3);
    w_.UInt32(1097, unsent);
    if (unsent > 0) {
      w_.Time(1098, run_.TimeAt(place_, position_) - 300 - r.Below(3000));
      w_.UInt32(1116, static_cast<uint32_t>(number_) - unsent);
    }
    Sign();
  }

  void Receipt() {
    const TReceiptPlan plan = PlanReceipt(run_.seed_, number_);
    if (tally_ != nullptr) tally_->Add(plan);
    TRandom r(run_.seed_, kReceipt ^ 0xC0DE, static_cast<uint64_t>(number_));
    Head();
    w_.UInt32(1042, static_cast<uint32_t>(place_.Offset));
    w_.UInt32(1038, static_cast<uint32_t>(Shift()));
    w_.Byte(1054, plan.Kind);
    w_.Byte(1055, run_.owner_ == 1 ? 2 : 1);
    const bool newer = run_.ffd12_;
    bool marked = false;
    for (uint8_t i = 0; i < plan.ItemCount; ++i) {
      const TItemPlan& item = plan.Items[i];
      const TProduct& p = kProducts[item.Product];
      const std::size_t mark = w_.Open(1059);
      w_.Encoded(texts_.LineHeads[item.Product]);
      w_.Vln(1079, item.Price);
      w_.Fvln(1023, item.Point, item.Quantity);
      // Format 1.2 of 2026: the general rate is 22 %, every item has its
      // measure, and a marked one its code in 1163.
      const uint8_t vat = newer && p.Vat == 1 ? 11 : p.Vat;
      w_.Byte(1199, vat);
      w_.Vln(1043, item.Sum);
      if (p.Vat == 1 || p.Vat == 2) w_.Vln(1200, VatAmount(item.Sum, vat));
      if (newer) w_.Byte(2108, 0);
      if (item.Marked && newer) {
        // GS1 DataMatrix: 01 GTIN, 21 serial, GS, 93 check code.
        std::string code = "010" + Digits(4600000000000ULL + item.Product * 1000003ULL, 13) + "21";
        for (int c = 0; c < 6; ++c) code.push_back(static_cast<char>('A' + r.Below(26)));
        code +=
            "\x1d"
            "93";
        for (int c = 0; c < 4; ++c) code.push_back(static_cast<char>('a' + r.Below(26)));
        const std::size_t kind = w_.Open(1163);
        w_.Raw(1305, code);
        w_.Close(kind);
        w_.Byte(2106, 15);
        const std::size_t industry = w_.Open(1260);
        w_.Raw(1262, "030");
        w_.Raw(1263, "21.11.2023");
        w_.Raw(1264, "1944");
        w_.Raw(1265, "mode=horeca");
        w_.Close(industry);
        marked = true;
      } else if (item.Marked) {
        // A DataMatrix code: kind, GTIN, then the serial of the pack.
        std::string code = "DM";
        const uint64_t gtin = 4600000000000ULL + item.Product * 1000003ULL;
        for (int b = 5; b >= 0; --b) code.push_back(static_cast<char>((gtin >> (8 * b)) & 0xFF));
        for (int c = 0; c < 7; ++c) code.push_back(static_cast<char>('A' + r.Below(26)));
        w_.Raw(1162, code);
      }
      w_.Close(mark);
    }
    if (plan.TopLevelCode) {
      // An EAN-13 code for the whole receipt.
      std::string code("\x00\x05", 2);
      const uint64_t ean = 4607000000000ULL + r.Below(1000000);
      for (int b = 5; b >= 0; --b) code.push_back(static_cast<char>((ean >> (8 * b)) & 0xFF));
      w_.Raw(1162, code);
    }
    w_.Vln(1020, plan.Total);
    w_.Vln(1031, plan.Cash);
    w_.Vln(1081, plan.Card);
    w_.Vln(1215, 0);
    w_.Vln(1216, 0);
    w_.Vln(1217, 0);
    if (newer && (plan.ByVat[1] > 0 || plan.ByVat[2] > 0)) {
      const std::size_t sums = w_.Open(1115);
      for (const auto& [rate, sum] : {std::pair<uint8_t, uint64_t>{11, plan.ByVat[1]},
                                      std::pair<uint8_t, uint64_t>{2, plan.ByVat[2]}}) {
        if (sum == 0) continue;
        const std::size_t one = w_.Open(1119);
        w_.Byte(1199, rate);
        w_.Vln(1120, VatAmount(sum, rate));
        w_.Close(one);
      }
      w_.Close(sums);
    }
    if (plan.ByVat[1] > 0 && !newer) w_.Vln(1102, VatAmount(plan.ByVat[1], 1));
    if (plan.ByVat[2] > 0) w_.Vln(1103, VatAmount(plan.ByVat[2], 2));
    if (plan.ByVat[5] > 0) w_.Vln(1104, plan.ByVat[5]);
    if (plan.ByVat[6] > 0) w_.Vln(1105, plan.ByVat[6]);
    if (marked) w_.Byte(2107, 0);
    Place();
    if (run_.ffdVersion_ >= 2) w_.Byte(1209, run_.ffdVersion_);
    Sign();
  }

  void Correction() {
    const TCorrectionPlan plan = PlanCorrection(run_.seed_, number_);
    if (tally_ != nullptr) tally_->Add(plan);
    Head();
    w_.UInt32(1042, static_cast<uint32_t>(place_.Offset));
    w_.UInt32(1038, static_cast<uint32_t>(Shift()));
    w_.Byte(1054, plan.Kind);
    w_.Byte(1055, run_.owner_ == 1 ? 2 : 1);
    w_.Byte(1173, plan.CorrectionType);
    const std::size_t mark = w_.Open(1174);
    w_.Raw(1177, texts_.Reasons[plan.Reason]);
    const int64_t time = run_.TimeAt(place_, position_);
    w_.Time(1178, time - time % 86400 - 86400);
    if (plan.CorrectionType == 1)
      w_.Raw(1179, "12-07/" + Digits(static_cast<uint64_t>(number_), 4));
    else
      w_.Raw(1179, texts_.NoNumber);
    w_.Close(mark);
    w_.Vln(1020, plan.Total);
    w_.Vln(1031, plan.Cash);
    w_.Vln(1081, plan.Card);
    w_.Vln(1102, VatAmount(plan.Total, 1));
    Place();
    if (run_.ffdVersion_ >= 2) w_.Byte(1209, run_.ffdVersion_);
    Sign();
  }

  [[nodiscard]] TShiftCounters CountShift() const {
    TShiftCounters c;
    const TSyntheticDocuments::TBlock& b = *place_.Block;
    for (int32_t pos = b.Start + (b.Change ? 2 : 1); pos < position_; ++pos) {
      const int32_t number = run_.firstNumber_ + pos;
      const int32_t type = run_.MiddleType(number);
      if (type == 3 || type == 4) {
        c.Add(PlanReceipt(run_.seed_, number));
      } else if (type == 31 || type == 41) {
        c.Add(PlanCorrection(run_.seed_, number));
      }
    }
    return c;
  }

  void Counters(uint16_t tag, const TShiftCounters& c, uint64_t factor) {
    const std::size_t outer = w_.Open(tag);
    w_.UInt32(1134, static_cast<uint32_t>((c.Receipts + c.Corrections) * factor));
    for (uint8_t kind = 1; kind <= 4; ++kind) {
      const TKindCounters& k = c.Kinds[kind];
      if (kind > 1 && k.Count == 0) continue;
      const std::size_t mark = w_.Open(static_cast<uint16_t>(1128 + kind));
      w_.UInt32(1135, static_cast<uint32_t>(k.Count * factor));
      w_.Vln(1201, k.Total * factor);
      w_.Vln(1136, k.Cash * factor);
      w_.Vln(1138, k.Card * factor);
      w_.Vln(1139, VatAmount(k.ByVat[1], 1) * factor);
      w_.Vln(1140, VatAmount(k.ByVat[2], 2) * factor);
      w_.Vln(1143, k.ByVat[5] * factor);
      w_.Vln(1183, k.ByVat[6] * factor);
      w_.Close(mark);
    }
    if (c.Corrections > 0) {
      const std::size_t mark = w_.Open(1133);
      w_.UInt32(1135, static_cast<uint32_t>(c.Corrections * factor));
      w_.Vln(1201, c.CorrectionTotal * factor);
      w_.Close(mark);
    }
    w_.Close(outer);
  }

  void ShiftClosing() {
    const TShiftCounters c = tally_ != nullptr ? *tally_ : CountShift();
    const TSyntheticDocuments::TBlock& b = *place_.Block;
    Head();
    w_.UInt32(1038, static_cast<uint32_t>(Shift()));
    Place();
    w_.UInt32(1111, static_cast<uint32_t>(b.Length - (b.Change ? 1 : 0)));
    w_.UInt32(1118, c.Receipts);
    w_.UInt32(1097, 0);
    w_.Byte(1050, 0);
    w_.Byte(1051, 0);
    w_.Byte(1052, 0);
    w_.Byte(1053, 0);
    Counters(1194, c, 1);
    // The storage's totals as if every shift had turned over as much as this
    // one: exact totals would need every earlier receipt of the run.
    Counters(1157, c, static_cast<uint64_t>(Shift()));
    Sign();
  }

  void StorageClosing() {
    Head();
    Place();
    Sign();
  }

  void OperatorConfirmation() {
    TRandom r(run_.seed_, kSign, static_cast<uint64_t>(number_));
    w_.Time(1012, run_.TimeAt(place_, position_));
    w_.Fixed(1017, kOfdInn, 12);
    w_.UInt32(1040, static_cast<uint32_t>(number_));
    w_.Fixed(1041, run_.fnNumber_, 16);
    w_.RandomRaw(1078, r, 16);
  }

  const TSyntheticDocuments& run_;
  int32_t number_;
  int32_t position_;
  TSyntheticDocuments::TPlace place_;
  const TTexts& texts_;
  TTlvWriter w_;
  TShiftCounters* tally_ = nullptr;
};

TSyntheticDocuments::TSyntheticDocuments(uint64_t seed, int32_t count, int32_t firstNumber,
                                         bool continuesStorage, const TIdentity& identity,
                                         bool ffd12)
    : id_(++lastRunId),
      seed_(seed),
      count_(std::max(count, 0)),
      firstNumber_(firstNumber),
      continuesStorage_(continuesStorage) {
  TRandom r(seed, kIdentity, 0);
  fnNumber_ =
      identity.FNNumber.empty() ? "99990789" + Digits(r.Below(100000000), 8) : identity.FNNumber;
  regNumber_ = identity.RegNumber.empty() ? "000000" + Digits(r.Next() % 10000000000ULL, 10)
                                          : identity.RegNumber;
  inn_ = "77" + Digits(r.Below(100000000), 8);
  serialKKT_ = "0492" + Digits(r.Next() % 10000000000ULL, 10);
  owner_ = static_cast<int>(r.Below(kOwners.size()));
  ffdVersion_ = r.Below(3) == 0 ? 3 : 2;
  ffd12_ = ffd12;
  if (ffd12) ffdVersion_ = 4;
  // The mode only shows in the registration reports' 1002: the run keeps its
  // confirmations either way, as the data file promises them.
  autonomous_ = r.Below(4) == 0;
  const TTexts& texts = Texts();
  const auto& owner = texts.Owners[static_cast<std::size_t>(owner_)];
  AppendItem(headFront_, 1048, owner[0]);
  AppendItem(headFront_, 1018, FixedText(inn_, 12));
  AppendItem(headBack_, 1041, FixedText(fnNumber_, 16));
  AppendItem(headBack_, 1037, FixedText(regNumber_, 20));
  for (const std::string& cashier : texts.Cashiers) {
    std::string& place = places_.emplace_back();
    AppendItem(place, 1009, owner[1]);
    AppendItem(place, 1187, owner[2]);
    AppendItem(place, 1021, cashier);
  }
  using namespace std::chrono;
  const auto first = sys_days{year{2025} / January / 13} + days{static_cast<int>(r.Below(300))};
  firstDay_ = static_cast<int64_t>(first.time_since_epoch().count()) * 86400;

  if (count_ == 0) return;
  closesStorage_ = count_ >= 4 && TRandom(seed, kStorageEnd, 0).Below(4) == 0;
  const int32_t end = closesStorage_ ? count_ - 1 : count_;
  blocks_.push_back(TBlock{0, 1, 0, OpeningOf(0), false, false, false});
  int32_t p = 1;
  uint64_t index = 0;
  while (p < end) {
    TRandom s(seed, kShift, ++index);
    TBlock b;
    b.Start = p;
    b.Opening = OpeningOf(static_cast<int64_t>(blocks_.size()));
    b.Change = index > 1 && s.Below(40) == 0;
    const int32_t middle = 5 + static_cast<int32_t>(s.Below(140));
    int32_t length = (b.Change ? 1 : 0) + 1 + middle + 1;
    const int32_t remaining = end - p;
    b.Closed = true;
    if (length > remaining) {
      length = remaining;
      if (!closesStorage_) {
        b.Closed = false;
      } else if (remaining < (b.Change ? 1 : 0) + 2) {
        // Too few places for an opening and a closing report before the
        // storage closes: state reports fill them.
        b.Change = false;
        b.Closed = false;
        b.Tail = true;
      }
    }
    b.Length = length;
    if (!b.Tail && length > (b.Change ? 1 : 0)) b.Shift = ++shiftCount_;
    blocks_.push_back(b);
    p += length;
  }
  for (std::size_t i = 0; int64_t{kBucket} * static_cast<int64_t>(firstBlock_.size()) < end;) {
    const auto bucketStart = static_cast<int32_t>(kBucket * firstBlock_.size());
    while (i + 1 < blocks_.size() && blocks_[i + 1].Start <= bucketStart) ++i;
    firstBlock_.push_back(static_cast<uint32_t>(i));
  }
}

TSyntheticDocuments::TPlace TSyntheticDocuments::Locate(int32_t position) const {
  if (closesStorage_ && position == count_ - 1) {
    // The storage closing report: a day of its own after the last block.
    static const TBlock closing{};
    return TPlace{&closing, 0};
  }
  std::size_t i = firstBlock_[static_cast<std::size_t>(position / kBucket)];
  while (i + 1 < blocks_.size() && blocks_[i + 1].Start <= position) ++i;
  const TBlock& b = blocks_[i];
  return TPlace{&b, position - b.Start};
}

int32_t TSyntheticDocuments::MiddleType(int32_t number) const {
  const uint32_t r = TRandom(seed_, kType, static_cast<uint64_t>(number)).Below(1000);
  if (r < 880) return 3;
  if (r < 905) return 4;
  if (r < 930) return 31;
  if (r < 940) return 41;
  if (r < 965) return 21;
  if (r < 975) return 7;
  return 3;
}

int32_t TSyntheticDocuments::TypeAt(const TPlace& place, int32_t position) const {
  if (closesStorage_ && position == count_ - 1) return 6;
  const TBlock& b = *place.Block;
  if (b.Start == 0) return continuesStorage_ ? 11 : 1;
  if (b.Tail) return 21;
  int32_t offset = place.Offset;
  if (b.Change) {
    if (offset == 0) return 11;
    --offset;
  }
  if (offset == 0) return 2;
  if (b.Closed && position == b.Start + b.Length - 1) return 5;
  return MiddleType(firstNumber_ + position);
}

int64_t TSyntheticDocuments::TimeAt(const TPlace& place, int32_t position) const {
  int64_t day = 0;
  int32_t offset = 0;
  int32_t opening = 0;
  if (closesStorage_ && position == count_ - 1) {
    day = static_cast<int64_t>(blocks_.size());
    opening = OpeningOf(day);
  } else {
    day = place.Block - blocks_.data();
    offset = place.Offset;
    opening = place.Block->Opening;
  }
  const auto number = static_cast<uint64_t>(int64_t{firstNumber_} + position);
  // Opening between 08:00 and 09:00, then one document every four minutes or
  // so: at most 147 of them end before 19:00 on the same day.
  return firstDay_ + day * 86400 + int64_t{8} * 3600 + opening + int64_t{offset} * 240 +
         TRandom(seed_, kMinute, number).Below(200);
}

int32_t TSyntheticDocuments::OpeningOf(int64_t day) const {
  return static_cast<int32_t>(TRandom(seed_, kDay, static_cast<uint64_t>(day)).Below(3600));
}

int32_t TSyntheticDocuments::TypeOf(int32_t number) const {
  const int32_t position = number - firstNumber_;
  return TypeAt(Locate(position), position);
}

int64_t TSyntheticDocuments::TimeOf(int32_t number) const {
  const int32_t position = number - firstNumber_;
  return TimeAt(Locate(position), position);
}

std::string TSyntheticDocuments::BodyOf(int32_t number) const {
  std::string body;
  BodyInto(number, body);
  return body;
}

// Everything it calls is made part of it, so that the writer, a local
// object whose address goes nowhere else, is kept in registers: the bytes it
// writes could otherwise be its own position for all the compiler knows.
[[gnu::flatten]] int32_t TSyntheticDocuments::BodyInto(int32_t number, std::string& body) const {
  const int32_t position = number - firstNumber_;
  const TPlace place = Locate(position);
  const int32_t type = TypeAt(place, position);
  TSyntheticBodyWriter(*this, number, position, place).Body(type, body);
  return type;
}

std::optional<TTicketImage> TSyntheticDocuments::TicketOf(int32_t number) const {
  TTicketImage t;
  if (!TicketInto(number, t)) return std::nullopt;
  return t;
}

bool TSyntheticDocuments::TicketInto(int32_t number, TTicketImage& t) const {
  const int32_t position = number - firstNumber_;
  if (position >= count_ - kUnconfirmedTail) return false;
  TRandom r(seed_, kTicket, static_cast<uint64_t>(number));
  const int64_t seconds = TimeAt(Locate(position), position) + 2 + r.Below(90);
  RandomHex(r, 16, t.Data);
  const int64_t wholeDays = seconds / 86400;
  t.Date = kUnixEpoch + static_cast<double>(wholeDays);
  t.Time = static_cast<double>(seconds % 86400) / kSecondsPerDay;
  RandomHex(r, 6, t.FiscalSign);
  t.DocumentNumber = number;
  return true;
}

}  // namespace kvitor
