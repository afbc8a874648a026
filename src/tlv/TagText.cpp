#include <algorithm>
#include <charconv>
#include <string>

#include "BinUtils.h"
#include "FormatTLV.h"
#include "LangUtils.h"
#include "StringUtils.h"
#include "TLVTag.h"

namespace kvitor {
namespace {

std::string Signed(uint64_t v) { return std::to_string(static_cast<int64_t>(v)); }
std::string Low32(uint64_t v) { return std::to_string(static_cast<uint32_t>(v)); }
int32_t Low32Signed(uint64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

std::string ByteText(int32_t tag, uint64_t v) {
  switch (tag) {
    case 1054: return Signed(v) + " (" + PaymentKindName(Low32Signed(v)) + ")";
    case 1055:
    case 1062: return Signed(v) + " (" + TaxSystemsText(static_cast<uint32_t>(v)) + ")";
    case 1189:
    case 1209: return Signed(v) + " (" + FFDVersionName(Low32Signed(v)) + ")";
    default: return Signed(v);
  }
}

std::string UnixTimeText(int32_t tag, std::string_view value) {
  const TDateTime dt = TFormatTLV::UnixTimeToDateTime(value);
  std::string text = FormatShortDate(dt);
  if (tag == 1098 || tag == 1178) return text;
  const TDateTimeParts p = DecodeDateTime(dt);
  if (p.Hour != 0 || p.Minute != 0 || p.Second != 0) text += ' ' + FormatLongTime(dt);
  return text;
}

std::string FiscalSignText(std::string_view value) {
  // Bytes 3 to 6, most significant first; a shorter value gives what it has.
  uint32_t sign = 0;
  for (std::size_t i = 2; i < 6 && i < value.size(); ++i) {
    sign = (sign << 8) | static_cast<unsigned char>(value[i]);
  }
  return std::to_string(sign) + " (" + BytesToHex(value) + ")";
}

// A string value as the report shows it: code page 866 to the report's code
// page, cut at the first zero byte, without blanks and control characters
// around it.
std::string StringValue1251(std::string_view value) {
  return TrimValueText(Cp866ToCp1251(value.substr(0, value.find('\0'))));
}

}  // namespace

std::string TTLVTag::ValueText() const {
  const int32_t tag = entry_->Info.Tag;
  switch (entry_->Info.TagType) {
    case ttByte: return ByteText(tag, ValueAsInt());
    case ttUInt16: return Low32(ValueAsInt());
    case ttUInt32: return tag == 1205 ? BitNumbersText(static_cast<uint32_t>(ValueAsInt()))
                                      : Low32(ValueAsInt());
    case ttVLN:
      return FormatFixed(static_cast<double>(static_cast<int64_t>(TFormatTLV::VLNToInt(value_))) / 100, 2);
    case ttFVLN: return TFormatTLV::FVLNToText(value_);
    case ttUnixTime: return UnixTimeText(tag, value_);
    // Through the report's code page, so the screen shows what the file holds.
    case ttString: return Cp1251ToUtf8(StringValue1251(value_));
    case ttByteArray: return tag == 1077 ? FiscalSignText(value_) : BytesToHexSpaced(value_);
    default: return {};
  }
}

std::string TTLVTag::TagText(bool withNumber) const {
  // Formed in Windows-1251 directly: this runs for every node of a report.
  const TTagInfo& info = entry_->Info;
  std::string line;
  line.reserve(64);
  if (withNumber) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, info.Tag).ptr;
    line.append(digits, end);
    line += ',';
  }
  if (info.TagType == ttUnknown) {
    line += Utf8ToCp1251(Tr("НЕИЗВЕСТНЫЙ ТЕГ"));
    return line;
  }
  line += entry_->ShortName1251;
  line += ':';
  if (value_.size() < static_cast<std::size_t>(std::max(declaredLength_, 0))) {
    line += Utf8ToCp1251(Tr("Ошибка! Некорректная длина"));
  } else if (info.TagType == ttString) {
    line += StringValue1251(value_);
  } else {
    line += Utf8ToCp1251(ValueText());
  }
  return line;
}

}  // namespace kvitor
