// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "drivers/Torvel.h"
#include "drivers/emulated/StorageImage.h"

namespace kvitor {

// The emulated cash register gives these codes of TTorvelResult, with their
// property-202 texts:
//   -1 DeviceBusy      "Устройство занято другим подключением"
//   -3 SetupError      the storage image or the driver settings cannot be used;
//                      the loader's message, e.g. Storage image "/x/y.json":
//                      member documents[3].tlv: ...
//   -6 NotFound        "Документ %d не найден"
//   -7 NoConfirmation  "Нет подтверждения оператора для документа %d"
//   -8 NotSupported    "Параметр модели %d не поддерживается", "Поле таблицы
//                      %d,%d,%d не найдено", "Диалог настроек драйвера недоступен"
//   -9 NoDocumentOpen  "Нет открытого документа"
// A fault of the image returns its own code and description instead.

class TDeviceSlot;

// The driver over an emulated cash register that serves a storage image.
//
// Instances that serve the same image (the same file, or the demo storage)
// share one loaded image and one device: an instance holds the device from
// its first operation that reaches it until ReleaseDevice or its destruction,
// and meanwhile every device operation of another instance returns
// DeviceBusy. The image is loaded on the first such operation; a file that
// cannot be used gives SetupError from every device operation, and is tried
// again on the next one.
//
// An instance is used by one thread at a time, as every driver; several
// instances may be used from several threads at once.
class TEmulatedTorvel final : public TTorvel {
 public:
  struct TOptions {
    // The JSON data file; empty for the built-in demo storage.
    std::string ImagePath;
    // Replaces the image's delay_ms when set.
    std::optional<int> DelayMs;
    // When not empty, why the instance cannot serve anything (a broken
    // settings file): every device operation fails with SetupError and it.
    std::string SetupError;
  };

  explicit TEmulatedTorvel(TOptions options);
  ~TEmulatedTorvel() override;

  int OpenDevice() override;
  int AuxiliaryRequest1() override;
  int AuxiliaryRequest2() override;
  int ReleaseDevice() override;
  int ShowSettingsDialog() override;
  int QueryStorageStatus() override;
  int QueryRegisterStatus() override;
  int QueryModelParameter() override;
  int ReadTableField() override;
  int BeginDocumentRead() override;
  int ReadDocumentBlock() override;
  int QueryConfirmation() override;

  [[nodiscard]] TPropertyValue GetProperty(int id) override;
  void SetProperty(int id, const TPropertyValue& value) override;
  std::optional<std::size_t> AppendTLVDataBytes(std::string& bytes) override;
  // "demo", or a digest of the data file's content.
  [[nodiscard]] std::string StorageIdentity() override;

  // Whether this instance holds its device now.
  [[nodiscard]] bool HoldsDevice() const;

 private:
  // A result; Code 0 with an empty Text stands for "Ошибок нет", which most
  // operations give and which is then not copied for each of them.
  struct TOutcome {
    int Code = 0;
    std::u16string Text;
  };
  template <class Body>
  int Run(std::string_view operation, Body body);
  template <class Body>
  TOutcome Attempt(std::string_view operation, Body& body, int& delayMs);
  // Reaches the device: takes it unless another instance holds it.
  TOutcome Reach();
  // The image without taking the device, or nullptr when it cannot be loaded.
  const TStorageImage* Peek();
  int Finish(const TOutcome& outcome);
  [[nodiscard]] int64_t InputInt(int id) const;
  [[nodiscard]] int64_t CurrentDocument() const;
  // The stored value of a property, or nullptr for one never set.
  [[nodiscard]] const TPropertyValue* Find(int id) const;
  TPropertyValue& Property(int id);
  void Put(int id, TPropertyValue value) { Property(id) = std::move(value); }

  // The properties of the contract's table, by their place in it, and any
  // other number a caller sets.
  static int KnownIndex(int id);

  TOptions options_;
  std::shared_ptr<TDeviceSlot> slot_;  // nullptr with a SetupError
  // The image while this instance holds the device. The slot keeps it loaded
  // and only this instance gives the device up, so it is read without a lock.
  const TStorageImage* held_ = nullptr;
  std::array<std::optional<TPropertyValue>, kTorvelProperties.size()> known_;
  std::unordered_map<int, TPropertyValue> others_;
  // Property 202 reads "Ошибок нет" after a success, without the text being
  // stored for each operation.
  bool noErrors_ = false;
  // The open document's body and how much of it was handed out; the buffers
  // keep their capacity from one document to the next.
  bool open_ = false;
  std::string body_;
  std::size_t offset_ = 0;
  // TLVData is kept as the bytes of the last block while tlvAsBytes_, and
  // becomes text only when someone asks for the property. The block is a
  // part of body_, or of tlvSaved_ once another document replaces the body.
  bool tlvAsBytes_ = false;
  std::string_view tlvBlock_;
  std::string tlvSaved_;
  // The last confirmation, its texts' buffers kept from one to the next.
  TTicketImage ticket_;
};

}  // namespace kvitor
