// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

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

// A driver property: an integer, a date-time (TDateTime) or a UTF-16 text.
using TPropertyValue = std::variant<int64_t, double, std::u16string>;

// The numbers of the driver properties the program reads and writes.
struct TTorvelProperty final {
  TTorvelProperty() = delete;

  static constexpr int ResultCodeDescription = 202;  // text, read-only
  static constexpr int FNStatus2100 = 2100;
  static constexpr int FNCurrentDocument = 2101;
  static constexpr int FNStatus2102 = 2102;
  static constexpr int FNStatus2103 = 2103;
  static constexpr int FNStatus2104 = 2104;
  static constexpr int ECRDate = 675;  // the day
  static constexpr int ECRTime = 676;  // the time of day as a day fraction
  static constexpr int SerialNumber = 208;
  static constexpr int DocumentNumber = 128;
  static constexpr int SessionNumber = 209;
  static constexpr int ModelParamNumber = 1904;
  static constexpr int ModelParamValue = 1903;  // read-only, any kind
  static constexpr int TableNumber = 223;
  static constexpr int RowNumber = 206;
  static constexpr int FieldNumber = 147;
  static constexpr int ValueOfFieldString = 246;
  static constexpr int DocumentType = 2122;
  static constexpr int DataLength = 2158;
  static constexpr int TLVData = 2127;  // one character per byte of the block
  static constexpr int DocumentData = 2124;
  static constexpr int FiscalSignOFD = 2171;

  // Whether the property holds a text (an unset one reads as "").
  [[nodiscard]] static bool IsText(int id);

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
