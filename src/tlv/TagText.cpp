// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <algorithm>
#include <charconv>
#include <string>
#include <unordered_map>

#include "tlv/BinUtils.h"
#include "tlv/DateText.h"
#include "tlv/FormatTLV.h"
#include "tlv/LangUtils.h"
#include "tlv/StringUtils.h"
#include "tlv/TLVTag.h"

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

std::string ValueTextOf(const TTagInfo& info, std::string_view value) {
  const int32_t tag = info.Tag;
  const auto asInt = [value] { return TFormatTLV::BytesToInt(value); };
  switch (info.TagType) {
    case ttByte: return ByteText(tag, asInt());
    case ttUInt16: return Low32(asInt());
    case ttUInt32:
      return tag == 1205 ? BitNumbersText(static_cast<uint32_t>(asInt())) : Low32(asInt());
    case ttVLN:
      return FormatFixed(
          static_cast<double>(static_cast<int64_t>(TFormatTLV::VLNToInt(value))) / 100, 2);
    case ttFVLN: return TFormatTLV::FVLNToText(value);
    case ttUnixTime: return UnixTimeText(tag, value);
    // Through the report's code page, so the screen shows what the file holds.
    case ttString: return Cp1251ToUtf8(StringValue1251(value));
    case ttByteArray: return tag == 1077 ? FiscalSignText(value) : BytesToHexSpaced(value);
    default: return {};
  }
}

std::string TTLVTag::ValueText() const { return ValueTextOf(Info(), value_); }

std::string TTLVTag::TagText(bool withNumber) const {
  std::string line;
  AppendTagText(line, withNumber);
  return line;
}

namespace {

template <typename Int>
void AppendInt(std::string& out, Int value) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// Kopecks as rubles with two decimals. Below 2^50 the integer form is what
// dividing by 100 and rounding to two places gives; above, the double's own
// rounding is kept.
void AppendMoney(std::string& out, int64_t kopecks) {
  constexpr int64_t kExact = int64_t{1} << 50;
  if (kopecks <= -kExact || kopecks >= kExact) {
    out += FormatFixed(static_cast<double>(kopecks) / 100, 2);
    return;
  }
  const uint64_t magnitude =
      kopecks < 0 ? static_cast<uint64_t>(-kopecks) : static_cast<uint64_t>(kopecks);
  if (kopecks < 0) out += '-';
  AppendInt(out, magnitude / 100);
  out += '.';
  out += static_cast<char>('0' + magnitude % 100 / 10);
  out += static_cast<char>('0' + magnitude % 10);
}

// StringValue1251 appended without a text of its own.
void AppendStringValue1251(std::string& line, std::string_view value) {
  const std::array<char, 256>& table = Cp866ToCp1251Table();
  const auto blank = [&table](char c) {
    return static_cast<unsigned char>(table[static_cast<unsigned char>(c)]) <= 32;
  };
  value = value.substr(0, value.find('\0'));
  std::size_t first = 0;
  std::size_t last = value.size();
  while (first < last && blank(value[first])) ++first;
  while (last > first && blank(value[last - 1])) --last;
  const std::size_t at = line.size();
  line.resize(at + (last - first));
  std::transform(value.begin() + static_cast<std::ptrdiff_t>(first),
                 value.begin() + static_cast<std::ptrdiff_t>(last),
                 line.begin() + static_cast<std::ptrdiff_t>(at),
                 [&table](char c) { return table[static_cast<unsigned char>(c)]; });
}

// UnixTimeText in the report's code page; the locale's own formatting only
// where its format is not a numeric one.
void AppendUnixTime(std::string& line, int32_t tag, std::string_view value) {
  const std::size_t start = line.size();
  const TDateTimeParts p = DecodeDateTime(TFormatTLV::UnixTimeToDateTime(value));
  const bool withTime =
      tag != 1098 && tag != 1178 && (p.Hour != 0 || p.Minute != 0 || p.Second != 0);
  if (AppendShortDateNumeric(line, p)) {
    if (!withTime) return;
    line += ' ';
    if (AppendLongTimeNumeric(line, p)) return;
  }
  line.resize(start);
  line += Utf8ToCp1251(UnixTimeText(tag, value));
}

// Utf8ToCp1251 of the few texts that recur on every document (the names of
// coded values), converted once rather than on every line.
void AppendCp1251(std::string& line, const std::string& utf8) {
  if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return (c & 0x80) == 0; })) {
    line += utf8;
    return;
  }
  thread_local std::unordered_map<std::string, std::string> converted;
  auto it = converted.find(utf8);
  if (it == converted.end()) {
    if (converted.size() >= 256) converted.clear();
    it = converted.emplace(utf8, Utf8ToCp1251(utf8)).first;
  }
  line += it->second;
}

}  // namespace

void AppendValuePart(std::string& line, const TTagInfo& info, std::string_view value,
                     std::size_t valueLength, int32_t declaredLength) {
  // Formed in Windows-1251 directly, and the usual types without a detour
  // through wide text: this runs for every node of a report.
  if (valueLength < static_cast<std::size_t>(std::max(declaredLength, 0))) {
    AppendCp1251(line, Tr("Ошибка! Некорректная длина"));
    return;
  }
  const auto asInt = [value] { return TFormatTLV::BytesToInt(value); };
  switch (info.TagType) {
    case ttString: AppendStringValue1251(line, value); return;
    case ttUnixTime: AppendUnixTime(line, info.Tag, value); return;
    case ttVLN: AppendMoney(line, static_cast<int64_t>(TFormatTLV::VLNToInt(value))); return;
    case ttUInt16: AppendInt(line, static_cast<uint32_t>(asInt())); return;
    case ttUInt32:
      if (info.Tag != 1205) {
        AppendInt(line, static_cast<uint32_t>(asInt()));
        return;
      }
      break;
    case ttByte:
      if (info.Tag != 1054 && info.Tag != 1055 && info.Tag != 1062 && info.Tag != 1189 &&
          info.Tag != 1209) {
        AppendInt(line, static_cast<int64_t>(asInt()));
        return;
      }
      break;
    case ttFVLN: line += TFormatTLV::FVLNToText(value); return;
    case ttByteArray:  // digits only
      line += info.Tag == 1077 ? FiscalSignText(value) : BytesToHexSpaced(value);
      return;
    case ttSTLV: return;
    case ttUnknown:  // named only by the dictionary of format 1.2
      if (!info.ShortName.empty()) line += BytesToHexSpaced(value);
      return;
    default: break;
  }
  AppendCp1251(line, ValueTextOf(info, value));
}

void AppendTagLine(std::string& line, const TTagEntry& entry, std::string_view value,
                   std::size_t valueLength, int32_t declaredLength, bool withNumber) {
  const TTagInfo& info = entry.Info;
  if (info.TagType == ttUnknown && info.ShortName.empty()) {
    if (withNumber) {
      AppendInt(line, info.Tag);
      line += ',';
    }
    AppendCp1251(line, Tr("НЕИЗВЕСТНЫЙ ТЕГ"));
    return;
  }
  if (withNumber) {
    line += entry.LinePrefix1251;
  } else {
    line += entry.ShortName1251;
    line += ':';
  }
  AppendValuePart(line, info, value, valueLength, declaredLength);
}

void TTLVTag::AppendTagText(std::string& line, bool withNumber) const {
  AppendTagLine(line, Entry(), value_, ValueSize(), declaredLength_, withNumber);
}

}  // namespace kvitor
