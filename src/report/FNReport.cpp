// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/FNReport.h"

#include <algorithm>
#include <array>
#include <limits>
#include <new>

#include "base/Error.h"
#include "base/Messages.h"
#include "tlv/FormatTLV.h"

namespace kvitor {
namespace {

// Top-level tags kept in the document container, by document type; the other
// types keep every tag.
constexpr std::array<int32_t, 6> kShiftOpenTags{1012, 1017, 1038, 1040, 1077, 1078};
constexpr std::array<int32_t, 7> kSettlementTags{1012, 1017, 1040, 1077, 1078, 1097, 1098};
constexpr std::array<int32_t, 29> kReceiptTags{
    1214, 1212, 1222, 1226, 1162, 1023, 1043, 1012, 1054, 1020, 1031, 1081, 1215, 1216, 1217,
    1102, 1103, 1104, 1105, 1106, 1107, 1040, 1041, 1077, 1059, 1192, 300,  1017, 1078};
constexpr std::array<int32_t, 7> kShiftCloseTags{1012, 1038, 1040, 1041, 1077, 1017, 1078};
// The receipts' kept tags with those of format 1.2 and later.
constexpr std::array<int32_t, 36> kReceiptFfd12Tags{
    1214, 1212, 1222, 1226, 1162, 1023, 1043, 1012, 1054, 1020, 1031, 1081,
    1215, 1216, 1217, 1102, 1103, 1104, 1105, 1106, 1107, 1040, 1041, 1077,
    1059, 1192, 300,  1017, 1078, 1115, 1125, 1234, 2107, 1256, 1261, 1270};

constexpr uint64_t kMaxLength = 0xFFFF;

// The lists as sets of tags 0..4095, tested once per item; a tag outside
// that range in a list fails the build.
using TTagSet = std::array<uint64_t, 64>;
template <std::size_t N>
constexpr TTagSet SetOf(const std::array<int32_t, N>& tags) {
  TTagSet set{};
  for (const int32_t tag : tags)
    set.at(static_cast<std::size_t>(tag) >> 6) |= uint64_t{1} << (tag & 63);
  return set;
}
constexpr TTagSet kShiftOpenSet = SetOf(kShiftOpenTags);
constexpr TTagSet kSettlementSet = SetOf(kSettlementTags);
constexpr TTagSet kReceiptSet = SetOf(kReceiptTags);
constexpr TTagSet kShiftCloseSet = SetOf(kShiftCloseTags);
constexpr TTagSet kReceiptFfd12Set = SetOf(kReceiptFfd12Tags);

// Nothing for a type that keeps every tag.
const TTagSet* KeptTags(int32_t docType, bool ffd12) {
  switch (docType) {
    case 2: return &kShiftOpenSet;
    case 21: return &kSettlementSet;
    case 3:
    case 4:
    case 31:
    case 41: return ffd12 ? &kReceiptFfd12Set : &kReceiptSet;
    case 5: return &kShiftCloseSet;
    default: return nullptr;
  }
}

bool Kept(const TTagSet* set, int32_t tag) {
  return set == nullptr || (tag >= 0 && tag < 4096 &&
                            ((*set)[static_cast<std::size_t>(tag) >> 6] >> (tag & 63) & 1) != 0);
}

bool IsReportedType(int32_t docType) {
  switch (docType) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 11:
    case 21:
    case 31:
    case 41: return true;
    default: return false;
  }
}

void PutHeader(std::string& out, uint32_t tag, uint64_t length) {
  const char header[4] = {static_cast<char>(tag & 0xFF), static_cast<char>((tag >> 8) & 0xFF),
                          static_cast<char>(length & 0xFF),
                          static_cast<char>((length >> 8) & 0xFF)};
  out.append(header, 4);
}

std::string TooLong(int32_t docNumber, int32_t tag, uint64_t length) {
  return Fmt(Tr("Документ № %s нельзя записать в отчет: значение тега %s занимает %s байт, а "
                "поле длины вмещает не больше 65535"),
             docNumber, tag, length);
}

// The pattern names what needed the memory.
std::string OutOfMemory(const char* pattern, std::size_t documents) {
  return Fmt(pattern, documents);
}

// A top-level item of the body being built.
struct TTopItem {
  uint32_t Begin;
  uint32_t End;
  int32_t Tag;
  uint64_t Encoded;    // its size once encoded
  uint64_t ValueInt;   // ValueAsInt of its node
  int32_t TooLongTag;  // a container in it whose content the encoding cannot carry, or -1
  uint64_t TooLongSize;
  bool Whole;
};

// The size a damaged top-level item takes once encoded, and the first of its
// containers whose content the encoding cannot carry.
void EncodedSize(const TTLVParser& parser, std::string_view raw, TTopItem& top) {
  struct Open {
    uint32_t depth;
    int32_t tag;
    uint64_t content;
  };
  std::vector<Open> open;
  const auto add = [&](uint64_t size) {
    if (!open.empty()) {
      open.back().content += size;
    } else {
      top.Encoded = size;
    }
  };
  const auto close = [&](uint32_t depth) {
    while (!open.empty() && open.back().depth >= depth) {
      const Open done = open.back();
      open.pop_back();
      if (done.content > kMaxLength && top.TooLongTag < 0) {
        top.TooLongTag = done.tag;
        top.TooLongSize = done.content;
      }
      add(4 + done.content);
    }
  };
  parser.Walk(
      raw,
      [&](const TTLVWalkItem& item) {
        close(item.Depth);
        if (item.IsContainer()) {
          open.push_back({item.Depth, item.Entry->Info.Tag, 0});
        } else {
          add(4 + item.Value.size());
        }
      },
      false);
  close(0);
}

}  // namespace

void TFNReport::Invalidate() {
  const std::lock_guard lock(cacheLock_);
  tags_.Clear();
  tagsMade_ = false;
}

void TFNReport::Clear() {
  entries_.clear();
  entries_.shrink_to_fit();
  runs_.clear();
  runs_.shrink_to_fit();
  encodeError_.clear();
  documents_.Clear();
  Invalidate();
  ready_.store(false, std::memory_order_release);
}

TFNDocument& TFNReport::AddDocument(const TFNDocumentRec& rec) {
  try {
    return documents_.Add(rec);
  } catch (const std::bad_alloc&) {
    throw Error(
        OutOfMemory(Tr("Недостаточно памяти для хранения прочитанных документов (документов: %s)"),
                    static_cast<std::size_t>(documents_.Count())));
  }
}

void TFNReport::Build(bool onlyIfTag1162Exist, bool ffd12) {
  header_.FFDVersion = 1;
  onlyIfTag1162Exist_ = onlyIfTag1162Exist;
  newerFormatSeen_ = false;
  Invalidate();
  const auto kind = ffd12 ? TDictionaryKind::Ffd12 : TDictionaryKind::Classic;
  // The tree built so far refers to the dictionary's records, which outlive
  // any parser: only the walks to come use the new one.
  if (parser_->Kind() != kind) parser_ = std::make_unique<TTLVParser>(kind);
  try {
    // At most one entry per document: no growth by doubling, at a million
    // documents tens of megabytes.
    entries_.reserve(entries_.size() + static_cast<std::size_t>(documents_.Count()));
    for (int32_t i = 0; i < documents_.Count(); ++i) ProcessDocument(static_cast<uint32_t>(i));
  } catch (const std::bad_alloc&) {
    throw Error(OutOfMemory(Tr("Недостаточно памяти для сборки отчета (документов: %s)"),
                            static_cast<std::size_t>(documents_.Count())));
  }
  ready_.store(true, std::memory_order_release);
}

void TFNReport::ProcessDocument(uint32_t index) {
  const TFNDocumentRec& rec = documents_.Items(static_cast<int32_t>(index)).Rec();
  const std::string_view body = rec.TLVData;
  if (body.size() > std::numeric_limits<uint32_t>::max()) {
    throw Error(Fmt(Tr("Документ № %s слишком велик: %s байт"), rec.DocNumber, body.size()));
  }

  // One walk over the whole body, as its parse would go: the parser's errors,
  // the search for 1162 at every depth, and the top-level items. An item
  // whole at every depth encodes as its own bytes; only the others (hostile
  // or damaged bodies) are walked again for the sizes their encodings take.
  thread_local std::vector<TTopItem> tops;
  tops.clear();
  bool has1162 = false;
  const bool ffd12 = Ffd12();
  parser_->Walk(body, [&](const TTLVWalkItem& item) {
    const int32_t tag = item.Entry->Info.Tag;
    has1162 = has1162 || tag == 1162 || (ffd12 && tag == 1163);
    newerFormatSeen_ = newerFormatSeen_ || (!ffd12 && item.Entry->Info.TagType == ttUnknown);
    if (item.Depth == 0) {
      const auto begin = static_cast<uint32_t>(item.Raw.data() - body.data());
      const auto end = begin + static_cast<uint32_t>(item.Raw.size());
      // Only the mode and the version are looked at.
      const bool read = (tag == 1002 || tag == 1209) && !item.IsContainer();
      tops.push_back({begin, end, tag, end - begin, read ? TFormatTLV::BytesToInt(item.Value) : 0,
                      -1, 0, item.Whole()});
    } else if (!item.Whole()) {
      tops.back().Whole = false;
    }
  });
  for (TTopItem& top : tops) {
    if (!top.Whole) EncodedSize(*parser_, body.substr(top.Begin, top.End - top.Begin), top);
  }

  const auto find = [](int32_t tag) -> const TTopItem* {
    for (const TTopItem& top : tops)
      if (top.Tag == tag) return &top;
    return nullptr;
  };
  const auto version = [&find]() -> int32_t {
    const TTopItem* v = find(1209);
    return v == nullptr ? 1 : static_cast<int32_t>(static_cast<uint32_t>(v->ValueInt));
  };
  if (!ffd12 && version() >= 4) newerFormatSeen_ = true;
  const TTopItem* mode = find(1002);
  const bool autonomous = mode != nullptr && mode->ValueInt == 1;
  const int32_t containerTag = (autonomous ? 65001 : 65002) + (version() == 3 ? 10 : 0);
  if (onlyIfTag1162Exist_ && !has1162) return;
  if (!IsReportedType(rec.DocType)) return;

  TEntry entry;
  entry.Document = index;
  entry.OuterTag = static_cast<uint16_t>(containerTag);
  entry.DocumentTag = static_cast<uint16_t>(rec.DocType + 100);
  entry.FirstRun = static_cast<uint32_t>(runs_.size());
  static_cast<void>(ContainerEntry(containerTag));
  static_cast<void>(ContainerEntry(rec.DocType + 100));
  const TTagSet* kept = KeptTags(rec.DocType, ffd12);
  uint64_t content = 0;
  std::string problem;
  for (const TTopItem& top : tops) {
    if (!Kept(kept, top.Tag)) continue;
    if (top.TooLongTag >= 0 && problem.empty())
      problem = TooLong(rec.DocNumber, top.TooLongTag, top.TooLongSize);
    content += top.Encoded;
    entry.Whole = entry.Whole && top.Whole;
    if (entry.RunCount > 0 && runs_.back().End == top.Begin) {
      runs_.back().End = top.End;
    } else {
      runs_.push_back({top.Begin, top.End});
      ++entry.RunCount;
    }
    if (top.Tag == 1017 && entry.OfdInnEnd == 0) {
      entry.OfdInnBegin = top.Begin;
      entry.OfdInnEnd = top.End;
      entry.OfdInnSize = static_cast<uint32_t>(std::min<uint64_t>(top.Encoded, UINT32_MAX));
    }
  }
  if (rec.DocType == 1 || rec.DocType == 11) RaiseFFDVersion(version());

  entry.ContentSize = static_cast<uint32_t>(std::min<uint64_t>(content, UINT32_MAX));
  uint64_t outer = 4 + content;
  if (content > kMaxLength && problem.empty())
    problem = TooLong(rec.DocNumber, entry.DocumentTag, content);
  if (!rec.Ticket.TicketData.empty()) {
    const uint64_t sign = rec.Ticket.FiscalSign.size();
    const uint64_t confirmation = 8 + 4 + sign + entry.OfdInnSize;
    if (sign > kMaxLength && problem.empty()) problem = TooLong(rec.DocNumber, 1078, sign);
    if (confirmation > kMaxLength && problem.empty())
      problem = TooLong(rec.DocNumber, 107, confirmation);
    outer += 4 + confirmation;
  }
  if (outer > kMaxLength && problem.empty()) problem = TooLong(rec.DocNumber, containerTag, outer);
  if (!problem.empty() && encodeError_.empty()) encodeError_ = std::move(problem);
  entries_.push_back(entry);
}

void TFNReport::RaiseFFDVersion(int32_t version) {
  if (version > static_cast<int32_t>(header_.FFDVersion))
    header_.FFDVersion = static_cast<uint8_t>(version);
}

const TTagEntry* TFNReport::ContainerEntry(int32_t tagNumber) {
  // A dictionary tag is a copy of its entry; another number, a container.
  if (const TTagEntry* entry = parser_->DictionaryEntry(tagNumber)) return entry;
  const TTagEntry*& made = containerEntries_[tagNumber];
  if (made == nullptr) {
    TTagInfo info;
    info.Tag = tagNumber;
    info.TagType = ttSTLV;
    made = InternTagInfo(info);
  }
  return made;
}

const TTagEntry* TFNReport::MadeEntry(int32_t tagNumber) const {
  if (const TTagEntry* entry = parser_->DictionaryEntry(tagNumber)) return entry;
  return containerEntries_.at(tagNumber);
}

void TFNReport::CheckEncodable() const {
  if (!encodeError_.empty()) throw Error(encodeError_);
}

void TFNReport::EncodeRange(std::string_view bytes, std::string& out) const {
  // Container lengths are patched once their content is written.
  struct Open {
    uint32_t depth;
    std::size_t lengthAt;
  };
  std::vector<Open> open;
  const auto close = [&](uint32_t depth) {
    while (!open.empty() && open.back().depth >= depth) {
      const std::size_t length = out.size() - open.back().lengthAt - 2;
      out[open.back().lengthAt] = static_cast<char>(length & 0xFF);
      out[open.back().lengthAt + 1] = static_cast<char>((length >> 8) & 0xFF);
      open.pop_back();
    }
  };
  parser_->Walk(
      bytes,
      [&](const TTLVWalkItem& item) {
        close(item.Depth);
        const auto tag = static_cast<uint32_t>(item.Entry->Info.Tag);
        if (item.IsContainer()) {
          PutHeader(out, tag, 0);
          open.push_back({item.Depth, out.size() - 2});
        } else {
          PutHeader(out, tag, item.Value.size());
          out += item.Value;
        }
      },
      false);
  close(0);
}

void TFNReport::EncodeTree(const std::function<void(std::string_view)>& sink,
                           const std::function<void(std::size_t)>& done) const {
  CheckEncodable();
  constexpr std::size_t kPiece = std::size_t{1} << 16;
  std::string out;
  out.reserve(2 * kPiece);
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    const TEntry& entry = entries_[i];
    const TFNDocumentRec& rec = documents_.Items(static_cast<int32_t>(entry.Document)).Rec();
    const std::string_view body = rec.TLVData;
    const bool confirmed = !rec.Ticket.TicketData.empty();
    const uint64_t confirmation =
        confirmed ? 8 + 4 + rec.Ticket.FiscalSign.size() + entry.OfdInnSize : 0;
    PutHeader(out, entry.OuterTag, 4 + entry.ContentSize + (confirmed ? 4 + confirmation : 0));
    PutHeader(out, entry.DocumentTag, entry.ContentSize);
    const auto put = [&](uint32_t begin, uint32_t end) {
      const std::string_view bytes = body.substr(begin, end - begin);
      if (entry.Whole) {
        out += bytes;
      } else {
        EncodeRange(bytes, out);
      }
    };
    for (uint32_t r = 0; r < entry.RunCount; ++r) {
      const TRun& run = runs_[entry.FirstRun + r];
      put(run.Begin, run.End);
    }
    if (confirmed) {
      PutHeader(out, 107, confirmation);
      PutHeader(out, 1012, 4);
      out += TFormatTLV::DateTimeToUnixTime(rec.Ticket.TicketDateTime);
      PutHeader(out, 1078, rec.Ticket.FiscalSign.size());
      out += rec.Ticket.FiscalSign;
      if (entry.OfdInnEnd > 0) put(entry.OfdInnBegin, entry.OfdInnEnd);
    }
    if (out.size() >= kPiece) {
      sink(out);
      out.clear();
    }
    if (done) done(i + 1);
  }
  if (!out.empty()) sink(out);
}

void TFNReport::MakeTags(TTLVTags& tags) const {
  for (const TEntry& entry : entries_) {
    const TFNDocumentRec& rec = documents_.Items(static_cast<int32_t>(entry.Document)).Rec();
    const std::string_view body = rec.TLVData;
    TTLVTag& outer = tags.AddNew(*MadeEntry(entry.OuterTag));
    TTLVTags& kept = outer.Children().AddNew(*MadeEntry(entry.DocumentTag)).Children();
    for (uint32_t r = 0; r < entry.RunCount; ++r) {
      const TRun& run = runs_[entry.FirstRun + r];
      parser_->ParseInto(body.substr(run.Begin, run.End - run.Begin), kept, false);
    }
    if (rec.Ticket.TicketData.empty()) continue;
    TTLVTags& confirmation = outer.Children().AddNew(*MadeEntry(107)).Children();
    confirmation.AddNew(*MadeEntry(1012))
        .SetValue(TFormatTLV::DateTimeToUnixTime(rec.Ticket.TicketDateTime));
    confirmation.AddNew(*MadeEntry(1078)).SetValue(rec.Ticket.FiscalSign);
    if (entry.OfdInnEnd > 0) {
      parser_->ParseInto(body.substr(entry.OfdInnBegin, entry.OfdInnEnd - entry.OfdInnBegin),
                         confirmation, false);
    }
  }
}

const TTLVTags& TFNReport::Tags() const {
  const std::lock_guard lock(cacheLock_);
  if (!tagsMade_) {
    tags_.Clear();  // what a failed attempt left
    MakeTags(tags_);
    tagsMade_ = true;
  }
  return tags_;
}

}  // namespace kvitor
