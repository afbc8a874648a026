// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "base/Error.h"

namespace kvitor {

// The line to the storage is gone: the port vanished or stayed silent past
// every retry. Unlike other failures this one may pass, so a job can wait for
// the port to come back and go on from where it stopped.
class TConnectionLost : public Error {
 public:
  using Error::Error;
};

// The result codes a driver gives of its own, with the meaning of their
// property-202 texts; 0 is success. Any other non-zero code is the device's
// (a storage's answer code, a fault a data file names), its description the
// device's. Data files and callers rely on these values.
struct TTorvelResult final {
  TTorvelResult() = delete;
  static constexpr int Ok = 0;
  // Another connection holds the device (or its port).
  static constexpr int DeviceBusy = -1;
  // The port cannot be opened: the port and the system's reason.
  static constexpr int PortError = -2;
  // The driver settings, or the storage image they name, cannot be used:
  // the loader's message.
  static constexpr int SetupError = -3;
  // "Документ %d не найден".
  static constexpr int NotFound = -6;
  // "Нет подтверждения оператора для документа %d".
  static constexpr int NoConfirmation = -7;
  // Not supported by this driver or connection: a model parameter, a table
  // field, the settings dialog.
  static constexpr int NotSupported = -8;
  // "Нет открытого документа": ReadDocumentBlock without BeginDocumentRead,
  // or after the empty block that ends the body.
  static constexpr int NoDocumentOpen = -9;
};

// A driver property: an integer, a date-time (TDateTime) or a UTF-16 text.
using TPropertyValue = std::variant<int64_t, double, std::u16string>;

// What a property holds; an unset one reads as 0, 0.0 or "" by its kind.
enum class TPropertyKind : uint8_t { Integer, DateTime, Text };

struct TTorvelPropertyInfo {
  int Id;
  std::string_view Name;
  TPropertyKind Kind;
  std::string_view Description;
};

// The driver properties the program reads and writes: the one place of their
// numbers, names and kinds.
inline constexpr std::array<TTorvelPropertyInfo, 22> kTorvelProperties{{
    {202, "ResultCodeDescription", TPropertyKind::Text,
     "the last result code's meaning; read-only"},
    {2100, "FNStatus2100", TPropertyKind::Integer, "storage status: its phase"},
    {2101, "FNCurrentDocument", TPropertyKind::Integer, "storage status: the open document"},
    {2102, "FNStatus2102", TPropertyKind::Integer, "storage status: the document's data"},
    {2103, "FNStatus2103", TPropertyKind::Integer, "storage status: the shift"},
    {2104, "FNStatus2104", TPropertyKind::Integer, "storage status: warnings"},
    {675, "ECRDate", TPropertyKind::DateTime, "the day"},
    {676, "ECRTime", TPropertyKind::DateTime, "the time of day as a day fraction"},
    {208, "SerialNumber", TPropertyKind::Text, "the storage's serial number"},
    {128, "DocumentNumber", TPropertyKind::Integer, "a document's number"},
    {209, "SessionNumber", TPropertyKind::Integer, "the number of shifts"},
    {1904, "ModelParamNumber", TPropertyKind::Integer, "the model parameter asked for"},
    {1903, "ModelParamValue", TPropertyKind::Integer,
     "the model parameter's value, of any kind; read-only"},
    {223, "TableNumber", TPropertyKind::Integer, "the table of a field"},
    {206, "RowNumber", TPropertyKind::Integer, "the row of a field"},
    {147, "FieldNumber", TPropertyKind::Integer, "the field's number in its row"},
    {246, "ValueOfFieldString", TPropertyKind::Text, "the field's value"},
    {2122, "DocumentType", TPropertyKind::Integer, "the open document's type"},
    {2158, "DataLength", TPropertyKind::Integer, "the open document's declared length"},
    {2127, "TLVData", TPropertyKind::Text, "a block of the body, one character per byte"},
    {2124, "DocumentData", TPropertyKind::Text, "the operator confirmation's data"},
    {2171, "FiscalSignOFD", TPropertyKind::Text, "the operator's fiscal sign"},
}};

// The entry of a property, or nullptr for a number the table lacks.
[[nodiscard]] constexpr const TTorvelPropertyInfo* FindTorvelProperty(int id) {
  for (const auto& property : kTorvelProperties) {
    if (property.Id == id) return &property;
  }
  return nullptr;
}

namespace detail {
// A name the table lacks is no constant expression, so it does not compile.
consteval int TorvelPropertyId(std::string_view name) {
  for (const auto& property : kTorvelProperties) {
    if (property.Name == name) return property.Id;
  }
  throw "no such driver property";
}

consteval bool TorvelPropertiesAreUnique() {
  for (std::size_t i = 0; i < kTorvelProperties.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (kTorvelProperties[i].Id == kTorvelProperties[j].Id ||
          kTorvelProperties[i].Name == kTorvelProperties[j].Name) {
        return false;
      }
    }
  }
  return true;
}
static_assert(TorvelPropertiesAreUnique());
}  // namespace detail

// The property numbers by name, taken from the table.
struct TTorvelProperty final {
  TTorvelProperty() = delete;

  static constexpr int ResultCodeDescription = detail::TorvelPropertyId("ResultCodeDescription");
  static constexpr int FNStatus2100 = detail::TorvelPropertyId("FNStatus2100");
  static constexpr int FNCurrentDocument = detail::TorvelPropertyId("FNCurrentDocument");
  static constexpr int FNStatus2102 = detail::TorvelPropertyId("FNStatus2102");
  static constexpr int FNStatus2103 = detail::TorvelPropertyId("FNStatus2103");
  static constexpr int FNStatus2104 = detail::TorvelPropertyId("FNStatus2104");
  static constexpr int ECRDate = detail::TorvelPropertyId("ECRDate");
  static constexpr int ECRTime = detail::TorvelPropertyId("ECRTime");
  static constexpr int SerialNumber = detail::TorvelPropertyId("SerialNumber");
  static constexpr int DocumentNumber = detail::TorvelPropertyId("DocumentNumber");
  static constexpr int SessionNumber = detail::TorvelPropertyId("SessionNumber");
  static constexpr int ModelParamNumber = detail::TorvelPropertyId("ModelParamNumber");
  static constexpr int ModelParamValue = detail::TorvelPropertyId("ModelParamValue");
  static constexpr int TableNumber = detail::TorvelPropertyId("TableNumber");
  static constexpr int RowNumber = detail::TorvelPropertyId("RowNumber");
  static constexpr int FieldNumber = detail::TorvelPropertyId("FieldNumber");
  static constexpr int ValueOfFieldString = detail::TorvelPropertyId("ValueOfFieldString");
  static constexpr int DocumentType = detail::TorvelPropertyId("DocumentType");
  static constexpr int DataLength = detail::TorvelPropertyId("DataLength");
  static constexpr int TLVData = detail::TorvelPropertyId("TLVData");
  static constexpr int DocumentData = detail::TorvelPropertyId("DocumentData");
  static constexpr int FiscalSignOFD = detail::TorvelPropertyId("FiscalSignOFD");

  // What a property never set reads as: by its kind, and 0 for a number the
  // table lacks.
  [[nodiscard]] static TPropertyValue Unset(int id);

  // "Property 128 (DocumentNumber)", for messages.
  [[nodiscard]] static std::string Describe(int id);
};

// The fiscal registrar driver as the program uses it: numbered properties and
// operations without arguments that return a result code, 0 for success.
// Every non-zero code has its description in property 202. A call that fails
// in the component itself raises kvitor::Error.
//
// An instance is used by one thread at a time. It is created with
// CreateTorvel() on a thread inside a TDriverThreadScope.
class TTorvel {
 public:
  TTorvel() = default;
  virtual ~TTorvel() = default;
  TTorvel(const TTorvel&) = delete;
  TTorvel& operator=(const TTorvel&) = delete;

  virtual int OpenDevice() = 0;
  virtual int AuxiliaryRequest1() = 0;
  virtual int AuxiliaryRequest2() = 0;
  virtual int ReleaseDevice() = 0;
  virtual int ShowSettingsDialog() = 0;
  virtual int QueryStorageStatus() = 0;
  virtual int QueryRegisterStatus() = 0;
  virtual int QueryModelParameter() = 0;
  virtual int ReadTableField() = 0;
  virtual int BeginDocumentRead() = 0;
  virtual int ReadDocumentBlock() = 0;
  virtual int QueryConfirmation() = 0;

  [[nodiscard]] virtual TPropertyValue GetProperty(int id) = 0;
  virtual void SetProperty(int id, const TPropertyValue& value) = 0;

  // A fast path a driver may offer: appends the TLVData block of the last
  // ReadDocumentBlock to bytes as the bytes it stands for, sparing the
  // character-per-byte text on both sides, and returns their count. Nothing
  // (the default) when the driver has no such path; TLVData works either way.
  virtual std::optional<std::size_t> AppendTLVDataBytes(std::string& bytes);

  // What a read's end message should carry besides success: things the
  // device would not say and that were found another way, answers it kept
  // refusing. Empty (the default) when there is nothing to say.
  [[nodiscard]] virtual std::string Warnings() { return {}; }
  // What tells this storage from others that share its serial number (test
  // storages do): "" (the default) when the serial number is enough.
  [[nodiscard]] virtual std::string StorageIdentity() { return {}; }
  // The line to the storage for messages (a port's path); "" when none.
  [[nodiscard]] virtual std::string ConnectionName() const { return {}; }

  // Typed reads; a value of another kind raises Error naming the property.
  [[nodiscard]] int64_t GetInt(int id);
  [[nodiscard]] double GetDouble(int id);
  [[nodiscard]] std::u16string GetText(int id);
  void SetInt(int id, int64_t value) { SetProperty(id, TPropertyValue(value)); }
};

// The conversions behind GetInt, GetDouble and GetText. An integer accepts a
// whole double within range; a double accepts an integer; a text only a text.
[[nodiscard]] int64_t PropertyToInt(int id, const TPropertyValue& value);
[[nodiscard]] double PropertyToDouble(int id, const TPropertyValue& value);
[[nodiscard]] std::u16string PropertyToText(int id, const TPropertyValue& value);

// TLVData carries a block as one character per byte. These two convert
// between that form and the bytes; a character above 255 is an Error, since
// cutting it would hand out a body the storage never held.
[[nodiscard]] std::string TLVDataToBytes(const std::u16string& data);
[[nodiscard]] std::u16string BytesToTLVData(std::string_view bytes);

// The driver runtime of one thread, the stand-in for COM's per-thread
// initialisation: every thread that creates or uses a driver instance enters
// it first and leaves it at its end. Scopes nest on one thread.
class TDriverThreadScope {
 public:
  TDriverThreadScope();
  ~TDriverThreadScope();
  TDriverThreadScope(const TDriverThreadScope&) = delete;
  TDriverThreadScope& operator=(const TDriverThreadScope&) = delete;

  // Whether the calling thread is inside a scope.
  [[nodiscard]] static bool IsActive();
};

// The settings dialog that ShowSettingsDialog opens: installed by the GUI,
// returns the dialog's result code. Without a hook ShowSettingsDialog returns
// a non-zero code. Thread-safe; an empty function removes the hook.
using TSettingsDialogHook = std::function<int()>;
void SetSettingsDialogHook(TSettingsDialogHook hook);
// The installed hook, or an empty function.
[[nodiscard]] TSettingsDialogHook GetSettingsDialogHook();

}  // namespace kvitor
