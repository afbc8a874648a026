// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNSerialTorvel.h"

#include <cmath>

#include "drivers/serial/FNTrace.h"
#include "tlv/BinUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

constexpr int64_t kRegistrationTable = 18;
constexpr uint16_t kRegistrationNumberTag = 1037;
const std::string kNoErrors = "Ошибок нет";

// Storage texts are ASCII; Windows-1251 keeps any other byte as it came.
std::u16string StorageText(std::string_view bytes) { return Cp1251ToUtf16(TrimStorageText(bytes)); }

}  // namespace

TFNSerialTorvel::TFNSerialTorvel(TOptions options) : options_(std::move(options)) {
  if (!options_.OpenTransport) {
    options_.OpenTransport = [](const std::string& port, int baud) {
      return std::unique_ptr<TFNTransport>(std::make_unique<TSerialPort>(port, baud));
    };
  }
  if (options_.Link.Baud == 0) options_.Link.Baud = options_.Baud;
}

TFNSerialTorvel::~TFNSerialTorvel() = default;

bool TFNSerialTorvel::HoldsPort() const {
  std::lock_guard lock(mutex_);
  return link_ != nullptr;
}

int TFNSerialTorvel::LineFailures() const {
  std::lock_guard lock(mutex_);
  return failuresBefore_ + (link_ ? link_->Failures() : 0);
}

int TFNSerialTorvel::Finish(int code, const std::string& text) {
  Put(TTorvelProperty::ResultCodeDescription, Utf8ToUtf16(text));
  return code;
}

int TFNSerialTorvel::Refused(uint8_t command, const TFNAnswer& answer) {
  return Finish(answer.Code, AnswerCodeMeaning(answer.Code) + " (ответ " +
                                 CommandText(answer.Code) + " на команду " + CommandText(command) +
                                 ")");
}

int TFNSerialTorvel::Reach() {
  if (link_) return 0;
  if (options_.Port.empty()) {
    return Finish(TTorvelResult::PortError, "Не задан последовательный порт ФН");
  }
  try {
    std::unique_ptr<TFNTransport> transport = options_.OpenTransport(options_.Port, options_.Baud);
    if (!options_.TracePath.empty()) {
      transport = std::make_unique<TTraceTransport>(std::move(transport), options_.TracePath);
    }
    link_ = std::make_unique<TFNLink>(std::move(transport), options_.Link);
  } catch (const TFNPortError& e) {
    return Finish(e.Busy() ? TTorvelResult::DeviceBusy : TTorvelResult::PortError, e.what());
  } catch (const Error& e) {
    return Finish(TTorvelResult::PortError, e.what());
  }
  return 0;
}

template <class Body>
int TFNSerialTorvel::Run(Body body) {
  std::lock_guard lock(mutex_);
  if (!options_.SetupError.empty()) {
    return Finish(TTorvelResult::SetupError, options_.SetupError);
  }
  if (const int code = Reach(); code != 0) return code;
  try {
    return body();
  } catch (...) {
    // A port whose line failed is closed: the next operation opens it afresh.
    failuresBefore_ += link_->Failures();
    link_.reset();
    open_.reset();
    throw;
  }
}

int64_t TFNSerialTorvel::InputInt(int id) const {
  const auto it = properties_.find(id);
  return it == properties_.end() ? 0 : PropertyToInt(id, it->second);
}

int TFNSerialTorvel::Status() {
  const TFNAnswer answer = link_->Exchange(TFNRequest::Of(TFNCommand::Status));
  if (answer.Code != 0) return Refused(0x30, answer);
  const TFNStatusAnswer s = ParseStatusAnswer(answer.Data);
  Put(TTorvelProperty::FNStatus2100, int64_t{s.Phase});
  Put(TTorvelProperty::FNCurrentDocument, int64_t{s.CurrentDocument});
  Put(TTorvelProperty::FNStatus2102, int64_t{s.DocumentData});
  Put(TTorvelProperty::FNStatus2103, int64_t{s.ShiftOpen});
  Put(TTorvelProperty::FNStatus2104, int64_t{s.Warnings});
  Put(TTorvelProperty::ECRDate, s.DateTime.Date);
  Put(TTorvelProperty::ECRTime, s.DateTime.Time);
  Put(TTorvelProperty::SerialNumber, StorageText(s.StorageNumber));
  Put(TTorvelProperty::DocumentNumber, int64_t{s.LastDocument});
  return Finish(0, kNoErrors);
}

int TFNSerialTorvel::OpenDevice() {
  return Run([this] { return Status(); });
}

int TFNSerialTorvel::ReleaseDevice() {
  std::lock_guard lock(mutex_);
  if (link_) failuresBefore_ += link_->Failures();
  link_.reset();
  open_.reset();
  return Finish(0, kNoErrors);
}

int TFNSerialTorvel::ShowSettingsDialog() {
  const TSettingsDialogHook hook = GetSettingsDialogHook();
  int code = TTorvelResult::NotSupported;
  std::string text = "Диалог настроек драйвера недоступен";
  if (hook) {
    // Called without the lock: the dialog runs a message loop of its own.
    code = hook();
    text = code == 0 ? kNoErrors : "Настройки драйвера не изменены";
  }
  std::lock_guard lock(mutex_);
  return Finish(code, text);
}

int TFNSerialTorvel::QueryStorageStatus() {
  return Run([this] { return Status(); });
}

int TFNSerialTorvel::QueryRegisterStatus() {
  return Run([this] {
    const TFNAnswer answer = link_->Exchange(TFNRequest::Of(TFNCommand::Shift));
    if (answer.Code != 0) return Refused(0x10, answer);
    Put(TTorvelProperty::SessionNumber, int64_t{ParseShiftAnswer(answer.Data).Shift});
    return Finish(0, kNoErrors);
  });
}

int TFNSerialTorvel::QueryModelParameter() {
  // The storage has no model parameters: the reader falls back to table 18.
  std::lock_guard lock(mutex_);
  return Finish(TTorvelResult::NotSupported,
                "Параметр модели " + std::to_string(InputInt(TTorvelProperty::ModelParamNumber)) +
                    " не поддерживается при подключении ФН к порту");
}

int TFNSerialTorvel::ReadTableField() {
  return Run([this] {
    const int64_t table = InputInt(TTorvelProperty::TableNumber);
    const int64_t row = InputInt(TTorvelProperty::RowNumber);
    const int64_t field = InputInt(TTorvelProperty::FieldNumber);
    if (table != kRegistrationTable || row != 1 || field != 3) {
      return Finish(TTorvelResult::NotSupported,
                    "Поле таблицы " + std::to_string(table) + "," + std::to_string(row) + "," +
                        std::to_string(field) + " не поддерживается при подключении ФН к порту");
    }
    const TFNAnswer totals = link_->Exchange(TFNRequest::Of(TFNCommand::RegistrationTotals));
    if (totals.Code == 0) {
      Put(TTorvelProperty::ValueOfFieldString, Cp1251ToUtf16(ParseRegistrationNumber(totals.Data)));
      return Finish(0, kNoErrors);
    }
    // A storage that refuses the totals may still give the one parameter.
    const TFNAnswer parameter =
        link_->Exchange(TFNRequest::RegistrationParameter(kRegistrationNumberTag));
    if (parameter.Code == 0) {
      if (const auto value = ParseRegistrationParameter(parameter.Data, kRegistrationNumberTag)) {
        Put(TTorvelProperty::ValueOfFieldString, StorageText(*value));
        return Finish(0, kNoErrors);
      }
    }
    return Refused(0x43, totals);
  });
}

std::optional<std::vector<std::string>> TFNSerialTorvel::ReadDocument(uint32_t number, int& code) {
  std::optional<TFNDocumentHeader> first;
  std::string lost;
  for (int round = 0; round <= std::max(0, options_.DocumentRestarts); ++round) {
    const TFNAnswer head =
        link_->Exchange(TFNRequest::ForDocument(TFNCommand::DocumentHeader, number));
    if (head.Code != 0) {
      code = Refused(0x45, head);
      return std::nullopt;
    }
    const TFNDocumentHeader header = ParseDocumentHeader(head.Data);
    if (!first) first = header;
    // Another header on a new round is a late answer read out of turn.
    if (header.Type != first->Type || header.Length != first->Length) continue;
    std::vector<std::string> pieces;
    std::size_t got = 0;
    bool whole = true;
    while (got < header.Length) {
      TFNAnswer piece;
      try {
        piece = link_->Exchange(TFNRequest::Of(TFNCommand::DocumentPiece), header.Length - got);
      } catch (const TFNAnswerLost& e) {
        lost = e.what();
        whole = false;
        break;
      }
      if (piece.Code != 0) {
        code = Refused(0x46, piece);
        return std::nullopt;
      }
      got += piece.Data.size();
      pieces.push_back(std::move(piece.Data));
    }
    if (whole) {
      Put(TTorvelProperty::DocumentType, int64_t{header.Type});
      Put(TTorvelProperty::DataLength, int64_t{header.Length});
      return pieces;
    }
  }
  throw Error(
      "Документ " + std::to_string(number) + " не прочитан: " +
      (lost.empty() ? "ФН на порту " + link_->PortName() + " меняет заголовок документа" : lost) +
      " (чтение начиналось заново " + std::to_string(options_.DocumentRestarts) + " раз)");
}

int TFNSerialTorvel::BeginDocumentRead() {
  return Run([this] {
    open_.reset();
    const int64_t number = InputInt(TTorvelProperty::DocumentNumber);
    if (number < 1 || number > 0xFFFFFFFF) {
      return Finish(TTorvelResult::NotFound, "Документ " + std::to_string(number) + " не найден");
    }
    int code = 0;
    std::optional<std::vector<std::string>> pieces =
        ReadDocument(static_cast<uint32_t>(number), code);
    if (!pieces) return code;
    open_ = TOpenDocument{std::move(*pieces), 0};
    return Finish(0, kNoErrors);
  });
}

int TFNSerialTorvel::ReadDocumentBlock() {
  // The pieces were read whole by BeginDocumentRead: no line work here.
  std::lock_guard lock(mutex_);
  if (!open_) return Finish(TTorvelResult::NoDocumentOpen, "Нет открытого документа");
  if (open_->Next < open_->Pieces.size()) {
    Put(TTorvelProperty::TLVData, BytesToTLVData(open_->Pieces[open_->Next++]));
  } else {
    // The empty block that tells the end closes the document.
    Put(TTorvelProperty::TLVData, std::u16string());
    open_.reset();
  }
  return Finish(0, kNoErrors);
}

int TFNSerialTorvel::QueryConfirmation() {
  return Run([this] {
    const int64_t number = InputInt(TTorvelProperty::DocumentNumber);
    if (number < 1 || number > 0xFFFFFFFF) {
      return Finish(TTorvelResult::NotFound, "Документ " + std::to_string(number) + " не найден");
    }
    const TFNAnswer answer = link_->Exchange(
        TFNRequest::ForDocument(TFNCommand::Confirmation, static_cast<uint32_t>(number)));
    if (answer.Code != 0) return Refused(0x41, answer);
    const TFNConfirmationAnswer c = ParseConfirmationAnswer(answer.Data);
    Put(TTorvelProperty::DocumentData, Utf8ToUtf16(BytesToHex(answer.Data)));
    Put(TTorvelProperty::ECRDate, c.DateTime.Date);
    Put(TTorvelProperty::ECRTime, c.DateTime.Time);
    // The sign is a byte field: only the zero bytes that pad it are dropped.
    std::string sign = c.FiscalSign;
    while (!sign.empty() && sign.back() == '\0') sign.pop_back();
    Put(TTorvelProperty::FiscalSignOFD, Cp1251ToUtf16(sign));
    Put(TTorvelProperty::DocumentNumber, int64_t{c.Number});
    return Finish(0, kNoErrors);
  });
}

TPropertyValue TFNSerialTorvel::GetProperty(int id) {
  std::lock_guard lock(mutex_);
  const auto it = properties_.find(id);
  if (it != properties_.end()) return it->second;
  return TTorvelProperty::Unset(id);
}

void TFNSerialTorvel::SetProperty(int id, const TPropertyValue& value) {
  std::lock_guard lock(mutex_);
  properties_[id] = value;
}

}  // namespace kvitor
