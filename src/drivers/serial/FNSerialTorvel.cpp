// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNSerialTorvel.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <thread>

#include "base/Messages.h"
#include "drivers/serial/FNTrace.h"
#include "tlv/BinUtils.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using TClock = std::chrono::steady_clock;

constexpr int64_t kRegistrationTable = 18;
constexpr uint16_t kRegistrationNumberTag = 1037;
constexpr uint16_t kShiftNumberTag = 1038;
constexpr uint8_t kNoData = 0x08;
// How many documents are searched for what the storage would not say.
constexpr int kSearchDocuments = 8;
std::string NoErrors() { return Tr("Ошибок нет"); }

// Storage texts are ASCII; Windows-1251 keeps any other byte as it came.
std::u16string StorageText(std::string_view bytes) { return Cp1251ToUtf16(TrimStorageText(bytes)); }

// The value of a top-level TLV item of a document body.
std::optional<std::string> FindTag(const std::string& body, uint16_t tag) {
  std::size_t at = 0;
  while (at + 4 <= body.size()) {
    const auto found = static_cast<uint16_t>(ReadLE(body, at, 2));
    const std::size_t length = ReadLE(body, at + 2, 2);
    if (at + 4 + length > body.size()) return std::nullopt;
    if (found == tag) return body.substr(at + 4, length);
    at += 4 + length;
  }
  return std::nullopt;
}

// Released ports of this process, open for a while for the next instance on
// the same port. A reaper thread closes those nobody took in time.
class TPortPark {
 public:
  struct TEntry {
    std::unique_ptr<TFNTransport> Port;
    int Baud = 0;  // the speed the storage answered at
    TClock::time_point Until;
  };

  static TPortPark& Instance() {
    static TPortPark park;
    return park;
  }

  void Keep(const std::string& key, TEntry entry) {
    std::lock_guard lock(mutex_);
    ports_[key] = std::move(entry);
    changed_ = true;
    if (!reaper_.joinable()) {
      reaper_ = std::jthread([this](const std::stop_token& stop) { Reap(stop); });
    }
    wake_.notify_all();
  }

  std::optional<TEntry> Take(const std::string& key) {
    std::lock_guard lock(mutex_);
    const auto it = ports_.find(key);
    if (it == ports_.end()) return std::nullopt;
    TEntry entry = std::move(it->second);
    ports_.erase(it);
    return entry;
  }

 private:
  void Reap(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
      auto next = TClock::now() + std::chrono::hours(1);
      for (auto it = ports_.begin(); it != ports_.end();) {
        if (it->second.Until <= TClock::now()) {
          it = ports_.erase(it);
        } else {
          next = std::min(next, it->second.Until);
          ++it;
        }
      }
      changed_ = false;
      wake_.wait_until(lock, stop, next, [this] { return changed_; });
    }
  }

  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::map<std::string, TEntry> ports_;
  bool changed_ = false;  // a port was kept since the reaper last looked
  std::jthread reaper_;   // last: stopped and joined before the ports go
};

}  // namespace

TFNSerialTorvel::TFNSerialTorvel(TOptions options) : options_(std::move(options)) {
  if (!options_.OpenTransport) {
    options_.OpenTransport = [](const std::string& port, int baud) {
      return std::unique_ptr<TFNTransport>(std::make_unique<TSerialPort>(port, baud));
    };
  } else {
    options_.KeepPortOpen = std::chrono::milliseconds(0);
  }
  if (options_.Link.Baud == 0) options_.Link.Baud = options_.Baud;
}

TFNSerialTorvel::~TFNSerialTorvel() {
  std::lock_guard lock(mutex_);
  Drop(true);
}

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

int TFNSerialTorvel::Refused(TFNCommand command, const TFNAnswer& answer) {
  return Finish(answer.Code, Fmt(Tr("%s (ответ %s на команду %s)"), AnswerCodeMeaning(answer.Code),
                                 CommandText(answer.Code), CommandText(command)));
}

void TFNSerialTorvel::Warn(const std::string& text) {
  if (std::find(warnings_.begin(), warnings_.end(), text) == warnings_.end()) {
    warnings_.push_back(text);
  }
}

void TFNSerialTorvel::Drop(bool keep) {
  if (!link_) return;
  failuresBefore_ += link_->Failures();
  const int baud = link_->Baud();
  std::unique_ptr<TFNTransport> port = link_->Release();
  link_.reset();
  open_.reset();
  if (!keep || options_.KeepPortOpen.count() <= 0 || !port) return;
  if (tracing_) {
    auto* trace = dynamic_cast<TTraceTransport*>(port.get());
    if (trace == nullptr) return;
    port = trace->TakeInner();
  }
  TPortPark::Instance().Keep(options_.Port + "@" + std::to_string(options_.Baud),
                             {std::move(port), baud, TClock::now() + options_.KeepPortOpen});
}

int TFNSerialTorvel::Reach() {
  if (link_) return 0;
  if (options_.Port.empty()) {
    return Finish(TTorvelResult::PortError, Tr("Не задан последовательный порт ФН"));
  }
  try {
    std::unique_ptr<TFNTransport> transport;
    TFNLinkOptions link = options_.Link;
    fresh_ = true;
    if (options_.KeepPortOpen.count() > 0) {
      // A kept port whose adapter went away meanwhile is opened afresh.
      if (auto kept =
              TPortPark::Instance().Take(options_.Port + "@" + std::to_string(options_.Baud));
          kept && kept->Port->Alive()) {
        transport = std::move(kept->Port);
        link.Baud = kept->Baud;
        fresh_ = false;
      }
    }
    if (!transport) transport = options_.OpenTransport(options_.Port, options_.Baud);
    tracing_ = !options_.TracePath.empty();
    if (tracing_) {
      transport = std::make_unique<TTraceTransport>(std::move(transport), options_.TracePath);
    }
    link_ = std::make_unique<TFNLink>(std::move(transport), link);
    NoteSpeed();
  } catch (const TFNPortError& e) {
    return Finish(e.Busy() ? TTorvelResult::DeviceBusy : TTorvelResult::PortError, e.what());
  } catch (const Error& e) {
    return Finish(TTorvelResult::PortError, e.what());
  }
  return 0;
}

TFNAnswer TFNSerialTorvel::Ask(const TFNRequest& request, std::optional<std::size_t> maxData) {
  if (!fresh_ || !request.CanRepeat()) return link_->Exchange(request, maxData);
  TFNAnswer answer = link_->Wake(request);
  fresh_ = false;
  NoteSpeed();
  return answer;
}

void TFNSerialTorvel::NoteSpeed() {
  if (link_->Baud() == options_.Baud) return;
  Warn(Fmt(Tr("ФН на порту %1$s ответил на скорости %2$s бод, а не на заданной %3$s бод: укажите "
              "скорость %2$s в настройках драйвера"),
           options_.Port, link_->Baud(), options_.Baud));
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
    Drop(false);
    throw;
  }
}

int64_t TFNSerialTorvel::InputInt(int id) const {
  const auto it = properties_.find(id);
  return it == properties_.end() ? 0 : PropertyToInt(id, it->second);
}

int TFNSerialTorvel::Status() {
  const TFNAnswer answer = Ask(TFNRequest::Of(TFNCommand::Status));
  if (answer.Code != 0) return Refused(TFNCommand::Status, answer);
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
  return Finish(0, NoErrors());
}

int TFNSerialTorvel::OpenDevice() {
  return Run([this] { return Status(); });
}

int TFNSerialTorvel::ReleaseDevice() {
  std::lock_guard lock(mutex_);
  Drop(true);
  return Finish(0, NoErrors());
}

int TFNSerialTorvel::ShowSettingsDialog() {
  const TSettingsDialogHook hook = GetSettingsDialogHook();
  int code = TTorvelResult::NotSupported;
  std::string text = Tr("Диалог настроек драйвера недоступен");
  if (hook) {
    // Called without the lock: the dialog runs a message loop of its own.
    code = hook();
    text = code == 0 ? NoErrors() : Tr("Настройки драйвера не изменены");
  }
  std::lock_guard lock(mutex_);
  return Finish(code, text);
}

int TFNSerialTorvel::QueryStorageStatus() {
  return Run([this] { return Status(); });
}

std::optional<uint32_t> TFNSerialTorvel::ShiftFromDocuments(std::string& where) {
  const TFNAnswer status = Ask(TFNRequest::Of(TFNCommand::Status));
  if (status.Code != 0) return std::nullopt;
  const int64_t last = ParseStatusAnswer(status.Data).LastDocument;
  for (int64_t n = last; n >= 1 && n > last - kSearchDocuments; --n) {
    int code = 0;
    const std::optional<TDocument> doc = ReadDocument(static_cast<uint32_t>(n), code);
    if (!doc) continue;
    std::string body;
    for (const std::string& piece : doc->Pieces) body += piece;
    if (const auto value = FindTag(body, kShiftNumberTag); value && !value->empty()) {
      where = Fmt(Tr("документа %s"), n);
      return ReadLE(*value, 0, std::min<std::size_t>(value->size(), 4));
    }
  }
  return std::nullopt;
}

int TFNSerialTorvel::QueryRegisterStatus() {
  return Run([this] {
    const TFNAnswer answer = Ask(TFNRequest::Of(TFNCommand::Shift));
    if (answer.Code == 0) {
      Put(TTorvelProperty::SessionNumber, int64_t{ParseShiftAnswer(answer.Data).Shift});
      return Finish(0, NoErrors());
    }
    // The shift count is optional for a read: the documents carry it too.
    const std::string refused =
        Fmt(Tr("ФН не сообщил номер смены (ответ %s на команду %s, %s)"), CommandText(answer.Code),
            CommandText(TFNCommand::Shift), AnswerCodeMeaning(answer.Code));
    std::string where;
    if (const auto shift = ShiftFromDocuments(where)) {
      Put(TTorvelProperty::SessionNumber, int64_t{*shift});
      Warn(Fmt(Tr("%s: число смен взято из %s (тег 1038)"), refused, where));
    } else {
      Put(TTorvelProperty::SessionNumber, int64_t{0});
      Warn(Fmt(Tr("%s и его нет в последних документах: число смен в отчете 0"), refused));
    }
    return Finish(0, NoErrors());
  });
}

int TFNSerialTorvel::QueryModelParameter() {
  // The storage has no model parameters: the reader falls back to table 18.
  std::lock_guard lock(mutex_);
  return Finish(TTorvelResult::NotSupported,
                Fmt(Tr("Параметр модели %s не поддерживается при подключении ФН к порту"),
                    InputInt(TTorvelProperty::ModelParamNumber)));
}

std::optional<std::string> TFNSerialTorvel::RegistrationFromDocuments(std::string& where) {
  // The registration report opens a storage's archive; a change of
  // registration may follow it.
  std::optional<std::string> number;
  for (uint32_t n = 1; n <= kSearchDocuments; ++n) {
    int code = 0;
    const std::optional<TDocument> doc = ReadDocument(n, code);
    if (!doc) break;
    if (doc->Header.Type != 1 && doc->Header.Type != 11) continue;
    std::string body;
    for (const std::string& piece : doc->Pieces) body += piece;
    if (const auto value = FindTag(body, kRegistrationNumberTag)) {
      number = *value;
      where = Fmt(Tr("документа %s"), n);
    }
  }
  return number;
}

int TFNSerialTorvel::ReadTableField() {
  return Run([this] {
    const int64_t table = InputInt(TTorvelProperty::TableNumber);
    const int64_t row = InputInt(TTorvelProperty::RowNumber);
    const int64_t field = InputInt(TTorvelProperty::FieldNumber);
    if (table != kRegistrationTable || row != 1 || field != 3) {
      return Finish(TTorvelResult::NotSupported,
                    Fmt(Tr("Поле таблицы %s,%s,%s не поддерживается при подключении ФН к порту"),
                        table, row, field));
    }
    const TFNAnswer totals = Ask(TFNRequest::Of(TFNCommand::RegistrationTotals));
    if (totals.Code == 0) {
      Put(TTorvelProperty::ValueOfFieldString, Cp1251ToUtf16(ParseRegistrationNumber(totals.Data)));
      return Finish(0, NoErrors());
    }
    // A storage that refuses the totals may still give the one parameter.
    const TFNAnswer parameter = Ask(TFNRequest::RegistrationParameter(kRegistrationNumberTag));
    if (parameter.Code == 0) {
      if (const auto value = ParseRegistrationParameter(parameter.Data, kRegistrationNumberTag)) {
        Put(TTorvelProperty::ValueOfFieldString, StorageText(*value));
        return Finish(0, NoErrors());
      }
    }
    // Optional for a read: the registration report carries it too.
    std::string where;
    const std::string refused = Fmt(
        Tr("ФН не сообщил регистрационный номер ККТ (ответ %s на команду %s, %s на команду %s)"),
        CommandText(totals.Code), CommandText(TFNCommand::RegistrationTotals),
        CommandText(parameter.Code), CommandText(TFNCommand::RegistrationParameter));
    if (const auto number = RegistrationFromDocuments(where)) {
      Put(TTorvelProperty::ValueOfFieldString, StorageText(*number));
      Warn(Fmt(Tr("%s: он взят из отчета о регистрации, %s (тег 1037)"), refused, where));
    } else {
      Put(TTorvelProperty::ValueOfFieldString, std::u16string());
      Warn(Fmt(Tr("%s, и его нет в отчете о регистрации: в отчете он пуст"), refused));
    }
    return Finish(0, NoErrors());
  });
}

std::optional<TFNSerialTorvel::TDocument> TFNSerialTorvel::ReadDocument(uint32_t number,
                                                                        int& code) {
  const auto start = TClock::now();
  std::optional<TFNDocumentHeader> first;
  std::size_t best = 0;
  int stale = 0;
  int restarts = 0;
  std::string lost;
  // The pieces of earlier rounds: a piece that comes again damaged is known
  // to have been handed out, so the round goes on with the earlier copy.
  std::vector<std::string> known;
  while (true) {
    const TFNAnswer head = Ask(TFNRequest::ForDocument(TFNCommand::DocumentHeader, number));
    if (head.Code != 0) {
      code = Refused(TFNCommand::DocumentHeader, head);
      return std::nullopt;
    }
    const TFNDocumentHeader header = ParseDocumentHeader(head.Data);
    if (first && (header.Type != first->Type || header.Length != first->Length)) {
      // One of the two was an answer read out of turn: believe the newer, and
      // count the round as one without progress.
      best = 0;
      known.clear();
      lost = Fmt(Tr("ФН на порту %s сообщает разные заголовки документа"), link_->PortName());
    }
    first = header;
    // 45h's length counts either the body alone or the body and the 4-byte
    // header: read until the storage says there is no more.
    std::vector<std::string> pieces;
    std::size_t got = 0;
    bool whole = false;
    while (true) {
      TFNAnswer piece;
      try {
        piece = link_->Exchange(TFNRequest::Of(TFNCommand::DocumentPiece), header.Length - got);
      } catch (const TFNAnswerLost& e) {
        // Nothing can follow a body as long as the length: the lost answer was the end.
        whole = got == header.Length;
        const std::size_t at = pieces.size();
        if (!whole && e.DamagedLength() != 0 && at < known.size() &&
            e.DamagedLength() == known[at].size() + 1) {
          got += known[at].size();
          pieces.push_back(known[at]);
          continue;
        }
        lost = e.what();
        break;
      }
      if (piece.Code == kNoData) {
        if (got != header.Length && got + 4 != header.Length) {
          throw Error(Fmt(Tr("Документ %s: ФН указал длину %s байт, а передал %s"), number,
                          header.Length, got));
        }
        whole = true;
        break;
      }
      if (piece.Code != 0) {
        code = Refused(TFNCommand::DocumentPiece, piece);
        return std::nullopt;
      }
      // A piece unlike its earlier copy makes the copies after it doubtful.
      if (pieces.size() < known.size() && known[pieces.size()] != piece.Data) {
        known.resize(pieces.size());
      }
      got += piece.Data.size();
      pieces.push_back(std::move(piece.Data));
    }
    if (whole) {
      Put(TTorvelProperty::DocumentType, int64_t{header.Type});
      Put(TTorvelProperty::DataLength, int64_t{header.Length});
      return TDocument{header, std::move(pieces)};
    }
    if (pieces.size() > known.size()) known = pieces;
    // Restarts go on while they get further, bounded by time.
    if (pieces.size() > best) {
      best = pieces.size();
      stale = 0;
    } else {
      ++stale;
    }
    if (stale > options_.StaleRestarts || TClock::now() - start > options_.DocumentTime) break;
    ++restarts;
  }
  throw Error(Fmt(Tr("Документ %s не прочитан: %s (чтение начиналось заново %s раз)"), number, lost,
                  restarts));
}

int TFNSerialTorvel::BeginDocumentRead() {
  return Run([this] {
    open_.reset();
    const int64_t number = InputInt(TTorvelProperty::DocumentNumber);
    if (number < 1 || number > 0xFFFFFFFF) {
      return Finish(TTorvelResult::NotFound, Fmt(Tr("Документ %s не найден"), number));
    }
    int code = 0;
    std::optional<TDocument> doc = ReadDocument(static_cast<uint32_t>(number), code);
    if (!doc) return code;
    open_ = TOpenDocument{std::move(doc->Pieces), 0};
    if (ticketCode_ != 0 && lastLacking_ != number) {
      // Its confirmation will not be asked for or not be given.
      ++lacking_;
      lastLacking_ = number;
    }
    return Finish(0, NoErrors());
  });
}

int TFNSerialTorvel::ReadDocumentBlock() {
  // The pieces were read whole by BeginDocumentRead: no line work here.
  std::lock_guard lock(mutex_);
  if (!open_) return Finish(TTorvelResult::NoDocumentOpen, Tr("Нет открытого документа"));
  if (open_->Next < open_->Pieces.size()) {
    Put(TTorvelProperty::TLVData, BytesToTLVData(open_->Pieces[open_->Next++]));
  } else {
    // The empty block that tells the end closes the document.
    Put(TTorvelProperty::TLVData, std::u16string());
    open_.reset();
  }
  return Finish(0, NoErrors());
}

int TFNSerialTorvel::QueryConfirmation() {
  return Run([this] {
    const int64_t number = InputInt(TTorvelProperty::DocumentNumber);
    if (number < 1 || number > 0xFFFFFFFF) {
      return Finish(TTorvelResult::NotFound, Fmt(Tr("Документ %s не найден"), number));
    }
    const TFNRequest request =
        TFNRequest::ForDocument(TFNCommand::Confirmation, static_cast<uint32_t>(number));
    TFNAnswer answer = Ask(request);
    // Any refusal but "no data" may be a line's doing: asked again like one.
    for (int i = 0; i < options_.Link.Retries && answer.Code != 0 && answer.Code != kNoData; ++i) {
      link_->Unsettle();
      answer = Ask(request);
    }
    if (answer.Code != 0) {
      if (answer.Code != kNoData) {
        if (ticketCode_ == 0) ticketCode_ = answer.Code;
        if (lastLacking_ != number) {
          ++lacking_;
          lastLacking_ = number;
        }
      } else if (lastLacking_ == number) {
        --lacking_;  // it has none: not for want of an answer
        lastLacking_ = 0;
      }
      return Refused(TFNCommand::Confirmation, answer);
    }
    if (lastLacking_ == number) {
      --lacking_;
      lastLacking_ = 0;
    }
    const TFNConfirmationAnswer c = ParseConfirmationAnswer(answer.Data);
    Put(TTorvelProperty::DocumentData, Utf8ToUtf16(BytesToHex(answer.Data)));
    Put(TTorvelProperty::ECRDate, c.DateTime.Date);
    Put(TTorvelProperty::ECRTime, c.DateTime.Time);
    // All 18 bytes: a zero byte of the sign is data like any other.
    Put(TTorvelProperty::FiscalSignOFD, Cp1251ToUtf16(c.FiscalSign));
    Put(TTorvelProperty::DocumentNumber, int64_t{c.Number});
    return Finish(0, NoErrors());
  });
}

std::string TFNSerialTorvel::Warnings() {
  std::lock_guard lock(mutex_);
  // Sentences, each with its capital letter.
  std::vector<std::string> all = warnings_;
  if (ticketCode_ != 0 && lacking_ > 0) {
    all.push_back(Fmt(Tr("Документов без подтверждения оператора из-за ответа %s на команду %s "
                         "(%s): %s"),
                      CommandText(ticketCode_), CommandText(TFNCommand::Confirmation),
                      AnswerCodeMeaning(ticketCode_), lacking_));
  }
  std::string text;
  for (const std::string& w : all) text += (text.empty() ? "" : ". ") + w;
  return text;
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
