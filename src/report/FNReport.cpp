#include "FNReport.h"

#include <algorithm>
#include <array>
#include <span>

#include "FormatTLV.h"

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

std::span<const int32_t> KeptTags(int32_t docType) {
  switch (docType) {
    case 2: return kShiftOpenTags;
    case 21: return kSettlementTags;
    case 3:
    case 4:
    case 31:
    case 41: return kReceiptTags;
    case 5: return kShiftCloseTags;
    default: return {};
  }
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

void KeepOnlyTags(TTLVTags& list, std::span<const int32_t> table) {
  list.DeleteIf([table](const TTLVTag& tag) {
    return std::find(table.begin(), table.end(), tag.Info().Tag) == table.end();
  });
}

}  // namespace

void TFNReport::Clear() {
  tags_.Clear();
  documents_.Clear();
  ready_.store(false, std::memory_order_release);
}

void TFNReport::Build(bool onlyIfTag1162Exist) {
  header_.FFDVersion = 1;
  onlyIfTag1162Exist_ = onlyIfTag1162Exist;
  for (const auto& document : documents_) ProcessDocument(document->Rec());
  ready_.store(true, std::memory_order_release);
}

void TFNReport::ProcessDocument(const TFNDocumentRec& rec) {
  parser_.Parse(rec.TLVData);
  TTLVTags& parsed = parser_.Tags();
  const int32_t containerTag = GetContainerTag(parsed);
  if (onlyIfTag1162Exist_ && !parsed.HasTag(1162)) return;
  if (!IsReportedType(rec.DocType)) return;

  TTLVTag& outer = NewTag(containerTag, tags_);
  TTLVTag& document = NewTag(rec.DocType + 100, outer.Children());
  if (const auto table = KeptTags(rec.DocType); !table.empty()) KeepOnlyTags(parsed, table);
  if (rec.DocType == 1 || rec.DocType == 11) RaiseFFDVersion(GetDocumentFFDVersion(parsed));
  // The parsed tags are this document's alone and the parser drops them at the
  // next Parse, so they move into the report rather than being copied.
  document.Children().TakeAll(parsed);
  const TTLVTags& kept = document.Children();

  if (rec.Ticket.TicketData.empty()) return;
  TTLVTag& confirmation = NewTag(107, outer.Children());
  NewTag(1012, confirmation.Children())
      .SetValue(TFormatTLV::DateTimeToUnixTime(rec.Ticket.TicketDateTime));
  NewTag(1078, confirmation.Children()).SetValue(rec.Ticket.FiscalSign);
  if (const TTLVTag* ofdInn = kept.FindTag(1017)) confirmation.Children().AddCopy(*ofdInn);
}

int32_t TFNReport::GetContainerTag(const TTLVTags& parsed) {
  const TTLVTag* mode = parsed.FindTag(1002);
  const bool autonomous = mode != nullptr && mode->ValueAsInt() == 1;
  return (autonomous ? 65001 : 65002) + (GetDocumentFFDVersion(parsed) == 3 ? 10 : 0);
}

int32_t TFNReport::GetDocumentFFDVersion(const TTLVTags& parsed) {
  const TTLVTag* version = parsed.FindTag(1209);
  return version == nullptr ? 1
                            : static_cast<int32_t>(static_cast<uint32_t>(version->ValueAsInt()));
}

void TFNReport::RaiseFFDVersion(int32_t version) {
  if (version > static_cast<int32_t>(header_.FFDVersion))
    header_.FFDVersion = static_cast<uint8_t>(version);
}

TTLVTag& TFNReport::NewTag(int32_t tagNumber, TTLVTags& list) {
  // A dictionary tag is a copy of its entry; another number, a container.
  const TTagEntry* entry = parser_.DictionaryEntry(tagNumber);
  if (entry == nullptr) {
    const TTagEntry*& made = containerEntries_[tagNumber];
    if (made == nullptr) {
      TTagInfo info;
      info.Tag = tagNumber;
      info.TagType = ttSTLV;
      made = InternTagInfo(info);
    }
    entry = made;
  }
  return list.AddNew(*entry);
}

}  // namespace kvitor
