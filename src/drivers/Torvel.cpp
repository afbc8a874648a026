// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/Torvel.h"

#include <cmath>
#include <mutex>

#include "base/Error.h"
#include "base/Messages.h"
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
    case 0: return TrEn("an integer");
    case 1: return TrEn("a date-time");
    default: return TrEn("a text");
  }
}

[[noreturn]] void WrongKind(int id, const TPropertyValue& value, const char* expected) {
  throw Error(Fmt(TrEn("%s holds %s, expected %s"), TTorvelProperty::Describe(id),
                  std::string(KindName(value)), std::string(expected)));
}

}  // namespace

TPropertyValue TTorvelProperty::Unset(int id) {
  const TTorvelPropertyInfo* property = FindTorvelProperty(id);
  switch (property == nullptr ? TPropertyKind::Integer : property->Kind) {
    case TPropertyKind::Text: return std::u16string();
    case TPropertyKind::DateTime: return 0.0;
    case TPropertyKind::Integer: break;
  }
  return int64_t{0};
}

std::string TTorvelProperty::Describe(int id) {
  if (const TTorvelPropertyInfo* property = FindTorvelProperty(id)) {
    return Fmt(TrEn("Property %s (%s)"), id, std::string(property->Name));
  }
  return Fmt(TrEn("Property %s"), id);
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
  WrongKind(id, value, TrEn("an integer"));
}

double PropertyToDouble(int id, const TPropertyValue& value) {
  if (const auto* d = std::get_if<double>(&value)) return *d;
  if (const auto* i = std::get_if<int64_t>(&value)) return static_cast<double>(*i);
  WrongKind(id, value, TrEn("a date-time"));
}

std::u16string PropertyToText(int id, const TPropertyValue& value) {
  if (const auto* s = std::get_if<std::u16string>(&value)) return *s;
  WrongKind(id, value, TrEn("a text"));
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
      throw Error(Fmt(TrEn("TLVData holds the character %s at offset %s, not a byte"),
                      static_cast<unsigned>(data[i]), i));
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
