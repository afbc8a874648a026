// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "drivers/Torvel.h"
#include "drivers/serial/FNLink.h"
#include "drivers/serial/FNTransport.h"

namespace kvitor {

// Besides the storage's own answer codes (1..255, their meaning as the
// property-202 text) the serial driver gives these codes of TTorvelResult:
//   -1 DeviceBusy      "Порт ... занят другим подключением"
//   -2 PortError       the port cannot be opened: the port and the system's reason
//   -3 SetupError      the driver settings cannot be used (the loader's message)
//   -6 NotFound        "Документ %d не найден": a number the protocol cannot carry
//   -8 NotSupported    not supported over this connection (model parameters,
//                      other table fields)
//   -9 NoDocumentOpen  "Нет открытого документа"

// The driver over a fiscal storage connected to a serial port, speaking the
// storage's own protocol with read-only commands only.
//
// The port is opened by OpenDevice, or by the first operation that needs it,
// and held exclusively until ReleaseDevice or destruction. Then it stays open
// for KeepPortOpen, kept for this process: the next instance on the same port
// takes it as it is, so that DTR, which may power the storage, does not drop
// between a status read and the read job. A lost or broken answer is asked
// again; a document whose piece (46h) was lost is read again from its
// beginning (45h) as long as the restarts get further or the document's time
// lasts. A line that stays silent or is gone raises kvitor::Error naming the
// port and the command; it never becomes a result, an empty block or a
// shorter document. What the storage would not say and was found another way
// is reported by Warnings.
class TFNSerialTorvel final : public TTorvel {
 public:
  using TTransportOpener =
      std::function<std::unique_ptr<TFNTransport>(const std::string& port, int baud)>;

  struct TOptions {
    std::string Port;
    int Baud = kDefaultBaud;
    // Every frame is appended to this file when it is set.
    std::string TracePath;
    // When not empty, why the instance cannot work (broken settings).
    std::string SetupError;
    TFNLinkOptions Link;
    // A document is started over after a lost piece until this many restarts
    // in a row get no further than the best before them ...
    int StaleRestarts = 16;
    // ... or it has taken this long.
    std::chrono::milliseconds DocumentTime{std::chrono::minutes(10)};
    // How long a released port stays open for the next instance on it; 0
    // closes it at once. Only the default opener's ports are kept.
    std::chrono::milliseconds KeepPortOpen{3000};
    // Opens the port; the default is a TSerialPort.
    TTransportOpener OpenTransport;
  };

  explicit TFNSerialTorvel(TOptions options);
  ~TFNSerialTorvel() override;

  int OpenDevice() override;
  int AuxiliaryRequest1() override { return 0; }
  int AuxiliaryRequest2() override { return 0; }
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
  [[nodiscard]] std::string Warnings() override;
  [[nodiscard]] std::string ConnectionName() const override { return options_.Port; }

  // Whether the port is open now.
  [[nodiscard]] bool HoldsPort() const;
  // Answers lost or broken since the port was opened (each one retried).
  [[nodiscard]] int LineFailures() const;

 private:
  struct TOpenDocument {
    std::vector<std::string> Pieces;
    std::size_t Next = 0;
  };
  struct TDocument {
    TFNDocumentHeader Header;
    std::vector<std::string> Pieces;
  };

  // Runs an operation that needs the storage: opens the port first, and
  // closes it again when the line fails, so that a later call starts afresh.
  template <class Body>
  int Run(Body body);
  int Reach();
  // Closes the port, or keeps it open for the next instance when keep.
  void Drop(bool keep);
  TFNAnswer Ask(const TFNRequest& request, std::optional<std::size_t> maxData = {});
  int Finish(int code, const std::string& text);
  int Refused(TFNCommand command, const TFNAnswer& answer);
  int Status();
  // The document, or a storage's answer code in code.
  std::optional<TDocument> ReadDocument(uint32_t number, int& code);
  // What the storage would not say, found in its documents.
  std::optional<std::string> RegistrationFromDocuments(std::string& where);
  std::optional<uint32_t> ShiftFromDocuments(std::string& where);
  void Warn(const std::string& text);
  // Warns when the storage answers at a speed other than the one set.
  void NoteSpeed();
  [[nodiscard]] int64_t InputInt(int id) const;
  void Put(int id, TPropertyValue value) { properties_[id] = std::move(value); }

  TOptions options_;
  mutable std::mutex mutex_;  // guards the members below
  std::unique_ptr<TFNLink> link_;
  bool tracing_ = false;
  bool fresh_ = false;  // the port was just opened: the storage may be waking up
  int failuresBefore_ = 0;
  std::vector<std::string> warnings_;
  // Confirmations (41h) refused with a code other than "no data": the first
  // code, and the documents read since that lack one because of it.
  uint8_t ticketCode_ = 0;
  int64_t lacking_ = 0;
  int64_t lastLacking_ = 0;
  std::unordered_map<int, TPropertyValue> properties_;
  std::optional<TOpenDocument> open_;
};

}  // namespace kvitor
