// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/Torvel.h"

#include <cmath>
#include <mutex>

#include "base/Error.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

thread_local int scopeDepth = 0;

std::mutex hookMutex;
TSettingsDialogHook& Hook() {
  static TSettingsDialogHook hook;
  return hook;
}

const char* KindName(const TPropertyValue& value) {
  switch (value.index()) {
    case 0: return "an integer";
    case 1: return "a date-time";
    default: return "a text";
  }
}

[[noreturn]] void WrongKind(int id, const TPropertyValue& value, const char* expected) {
  throw Error(TTorvelProperty::Describe(id) + " holds " + KindName(value) + ", expected " +
              expected);
}

}  // namespace

bool TTorvelProperty::IsText(int id) {
  switch (id) {
    case ResultCodeDescription:
    case SerialNumber:
    case ValueOfFieldString:
    case TLVData:
    case DocumentData:
    case FiscalSignOFD: return true;
    default: return false;
  }
}

std::string TTorvelProperty::Describe(int id) {
  const char* name = nullptr;
  switch (id) {
    case ResultCodeDescription: name = "ResultCodeDescription"; break;
    case FNStatus2100: name = "FNStatus2100"; break;
    case FNCurrentDocument: name = "FNCurrentDocument"; break;
    case FNStatus2102: name = "FNStatus2102"; break;
    case FNStatus2103: name = "FNStatus2103"; break;
    case FNStatus2104: name = "FNStatus2104"; break;
    case ECRDate: name = "ECRDate"; break;
    case ECRTime: name = "ECRTime"; break;
    case SerialNumber: name = "SerialNumber"; break;
    case DocumentNumber: name = "DocumentNumber"; break;
    case SessionNumber: name = "SessionNumber"; break;
    case ModelParamNumber: name = "ModelParamNumber"; break;
    case ModelParamValue: name = "ModelParamValue"; break;
    case TableNumber: name = "TableNumber"; break;
    case RowNumber: name = "RowNumber"; break;
    case FieldNumber: name = "FieldNumber"; break;
    case ValueOfFieldString: name = "ValueOfFieldString"; break;
    case DocumentType: name = "DocumentType"; break;
    case DataLength: name = "DataLength"; break;
    case TLVData: name = "TLVData"; break;
    case DocumentData: name = "DocumentData"; break;
    case FiscalSignOFD: name = "FiscalSignOFD"; break;
    default: break;
  }
  std::string text = "Property " + std::to_string(id);
  if (name != nullptr) text += std::string(" (") + name + ")";
  return text;
}

int64_t PropertyToInt(int id, const TPropertyValue& value) {
  if (const auto* i = std::get_if<int64_t>(&value)) return *i;
  if (const auto* d = std::get_if<double>(&value)) {
    // 2^63 is exactly representable; anything from it up does not fit.
    if (std::isfinite(*d) && std::trunc(*d) == *d && *d >= -9223372036854775808.0 &&
        *d < 9223372036854775808.0) {
      return static_cast<int64_t>(*d);
    }
  }
  WrongKind(id, value, "an integer");
}

double PropertyToDouble(int id, const TPropertyValue& value) {
  if (const auto* d = std::get_if<double>(&value)) return *d;
  if (const auto* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  WrongKind(id, value, "a date-time");
}

std::u16string PropertyToText(int id, const TPropertyValue& value) {
  if (const auto* s = std::get_if<std::u16string>(&value)) return *s;
  WrongKind(id, value, "a text");
}

std::optional<std::size_t> TTorvel::AppendTLVDataBytes(std::string& /*bytes*/) {
  return std::nullopt;
}

int64_t TTorvel::GetInt(int id) { return PropertyToInt(id, GetProperty(id)); }

double TTorvel::GetDouble(int id) { return PropertyToDouble(id, GetProperty(id)); }

std::u16string TTorvel::GetText(int id) { return PropertyToText(id, GetProperty(id)); }

std::string TLVDataToBytes(const std::u16string& data) {
  std::string bytes(data.size(), '\0');
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (data[i] > 0xFF) {
      throw Error("TLVData holds the character " + std::to_string(static_cast<unsigned>(data[i])) +
                  " at offset " + std::to_string(i) + ", not a byte");
    }
    bytes[i] = static_cast<char>(data[i]);
  }
  return bytes;
}

std::u16string BytesToTLVData(std::string_view bytes) {
  std::u16string data(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    data[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
  }
  return data;
}

TDriverThreadScope::TDriverThreadScope() { ++scopeDepth; }

TDriverThreadScope::~TDriverThreadScope() { --scopeDepth; }

bool TDriverThreadScope::IsActive() { return scopeDepth > 0; }

void SetSettingsDialogHook(TSettingsDialogHook hook) {
  std::lock_guard lock(hookMutex);
  Hook() = std::move(hook);
}

TSettingsDialogHook GetSettingsDialogHook() {
  std::lock_guard lock(hookMutex);
  return Hook();
}

}  // namespace kvitor
