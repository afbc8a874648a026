// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

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

// Result codes of the serial driver besides the storage's own answer codes
// (1..255, their meaning as the property-202 text):
//   -1 "Порт ... занят другим подключением"
//   -2 the port cannot be opened: the port and the system's reason
//   -3 the driver settings cannot be used (the loader's message)
//   -6 "Документ %d не найден": a number the protocol cannot carry
//   -8 not supported over this connection (model parameters, other table fields)
//   -9 "Нет открытого документа"
struct TFNSerialResult final {
  TFNSerialResult() = delete;
  static constexpr int PortBusy = -1;
  static constexpr int PortError = -2;
  static constexpr int SetupError = -3;
  static constexpr int NotFound = -6;
  static constexpr int NotSupported = -8;
  static constexpr int NoDocumentOpen = -9;
};

// The driver over a fiscal storage connected to a serial port, speaking the
// storage's own protocol with read-only commands only.
//
// The port is opened by OpenDevice, or by the first operation that needs it,
// and held exclusively until ReleaseDevice or destruction. A lost or broken
// answer is asked again; a document whose piece (46h) was lost is read again
// from its beginning (45h). A line that stays silent or is gone raises
// kvitor::Error naming the port and the command; it never becomes a result,
// an empty block or a shorter document.
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
    // How often a document is started over after a lost piece.
    int DocumentRestarts = 4;
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

  // Runs an operation that needs the storage: opens the port first, and
  // closes it again when the line fails, so that a later call starts afresh.
  template <class Body>
  int Run(Body body);
  int Reach();
  int Finish(int code, const std::string& text);
  int Refused(uint8_t command, const TFNAnswer& answer);
  int Status();
  // The document's pieces, or a storage's answer code in code.
  std::optional<std::vector<std::string>> ReadDocument(uint32_t number, int& code);
  [[nodiscard]] int64_t InputInt(int id) const;
  void Put(int id, TPropertyValue value) { properties_[id] = std::move(value); }

  TOptions options_;
  mutable std::mutex mutex_;  // guards the members below
  std::unique_ptr<TFNLink> link_;
  int failuresBefore_ = 0;
  std::unordered_map<int, TPropertyValue> properties_;
  std::optional<TOpenDocument> open_;
};

}  // namespace kvitor
