// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNCommands.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "base/Error.h"
#include "base/Messages.h"
#include "drivers/serial/FNFrame.h"
#include "tlv/BinUtils.h"

namespace kvitor {
namespace {

// What a request to each command carries.
struct TCommandInfo {
  uint8_t Code;
  std::size_t MinRequest;
  std::size_t MaxRequest;
  std::size_t MinAnswer;
  std::size_t MaxAnswer;
};

// Answers whose layout grows in newer formats are bounded generously.
constexpr std::size_t kOpenEnded = 1024;

constexpr std::array<TCommandInfo, 12> kCommands = {{
    {0x10, 0, 0, 5, 5},
    {0x30, 0, 0, 30, 30},
    {0x31, 0, 0, 16, 16},
    {0x32, 0, 0, 5, 5},
    {0x33, 0, 0, 17, 17},
    {0x3A, 0, 0, 2, 2},
    {0x40, 4, 4, 15, kOpenEnded},
    {0x41, 4, 4, 27, kOpenEnded},
    {0x43, 0, 1, 37, kOpenEnded},
    {0x44, 2, 3, 4, kOpenEnded},
    {0x45, 4, 4, 4, 4},
    {0x46, 0, 0, 1, kMaxFrameData},
}};

const TCommandInfo* Find(uint8_t code) {
  for (const TCommandInfo& c : kCommands) {
    if (c.Code == code) return &c;
  }
  return nullptr;
}

[[noreturn]] void Bad(uint8_t command, const std::string& what) {
  throw Error(Fmt(Tr("Ответ ФН на команду %s: %s"), CommandText(command), what));
}

void NeedSize(uint8_t command, std::string_view data, std::size_t min) {
  if (data.size() < min) {
    Bad(command, Fmt(Tr("%s байт данных, ожидалось не менее %s"), data.size(), min));
  }
}

}  // namespace

bool IsReadOnlyCommand(uint8_t code) { return Find(code) != nullptr; }

std::string CommandText(uint8_t code) {
  char text[8];
  std::snprintf(text, sizeof text, "%02Xh", code);
  return text;
}

TFNRequest TFNRequest::Make(uint8_t code, std::string_view data) {
  const TCommandInfo* info = Find(code);
  if (info == nullptr) {
    throw Error(Fmt(Tr("Команда %s не отправляется: программа посылает ФН только команды чтения"),
                    CommandText(code)));
  }
  if (data.size() < info->MinRequest || data.size() > info->MaxRequest) {
    throw Error(Fmt(Tr("Команда %s: %s байт данных запроса, ожидалось от %s до %s"),
                    CommandText(code), data.size(), info->MinRequest, info->MaxRequest));
  }
  return TFNRequest(code, std::string(data));
}

TFNRequest TFNRequest::ForDocument(TFNCommand command, uint32_t number) {
  std::string data;
  AppendLE(data, number, 4);
  return Make(static_cast<uint8_t>(command), data);
}

TFNRequest TFNRequest::RegistrationParameter(uint16_t tag) {
  std::string data;
  AppendLE(data, tag, 2);
  return Make(static_cast<uint8_t>(TFNCommand::RegistrationParameter), data);
}

std::string TFNRequest::Frame() const { return EncodeFrame(code_, data_); }

bool TFNRequest::CanRepeat() const {
  return code_ != static_cast<uint8_t>(TFNCommand::DocumentPiece);
}

std::size_t MaxAnswerData(uint8_t command) {
  const TCommandInfo* info = Find(command);
  // An error answer to any command carries little; allow some room.
  return info == nullptr ? kOpenEnded : std::max(info->MaxAnswer, kOpenEnded);
}

bool AnswerFits(uint8_t command, std::size_t size) {
  const TCommandInfo* info = Find(command);
  return info != nullptr && size >= info->MinAnswer && size <= info->MaxAnswer;
}

std::string AnswerCodeMeaning(uint8_t code) {
  switch (code) {
    case 0x00: return Tr("Ошибок нет");
    case 0x01: return Tr("Неизвестная команда, неверный формат посылки или неизвестные параметры");
    case 0x02: return Tr("Неверное состояние ФН");
    case 0x03: return Tr("Отказ ФН");
    case 0x04: return Tr("Отказ криптографического сопроцессора");
    case 0x05: return Tr("Закончен срок эксплуатации ФН");
    case 0x06: return Tr("Архив ФН переполнен");
    case 0x07: return Tr("Неверные дата и/или время");
    case 0x08: return Tr("Нет запрошенных данных");
    case 0x09: return Tr("Некорректное значение параметров команды");
    case 0x10: return Tr("Превышение размеров TLV данных");
    case 0x11: return Tr("Нет транспортного соединения");
    case 0x12: return Tr("Исчерпан ресурс криптографического сопроцессора");
    case 0x14: return Tr("Исчерпан ресурс хранения");
    // These three come from one storage model's description.
    case 0x15: return Tr("Исчерпан ресурс ожидания передачи сообщения оператору (код 15h)");
    case 0x16: return Tr("Продолжительность смены более 24 часов (код 16h)");
    case 0x17: return Tr("Неверная разница во времени между двумя операциями (код 17h)");
    case 0x20: return Tr("Сообщение от оператора фискальных данных не может быть принято");
    default: return Fmt(Tr("Неизвестный код ответа ФН %s"), CommandText(code));
  }
}

uint32_t ReadLE(std::string_view bytes, std::size_t at, std::size_t size) {
  uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes.at(at + i))) << (8 * i);
  }
  return value;
}

void AppendLE(std::string& out, uint32_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string TrimStorageText(std::string_view bytes) {
  std::size_t end = bytes.size();
  while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == '\0')) --end;
  return std::string(bytes.substr(0, end));
}

std::string FixedField(std::string_view text, std::size_t width, char pad) {
  std::string field(text.substr(0, width));
  field.resize(width, pad);
  return field;
}

TFNDateTime ParseFNDateTime(std::string_view five) {
  if (five.size() != 5) throw Error(Fmt(TrEn("DATE_TIME of %s bytes"), five.size()));
  if (five == std::string_view("\0\0\0\0\0", 5)) return {};
  const auto b = [&](std::size_t i) { return static_cast<int>(static_cast<uint8_t>(five[i])); };
  const std::chrono::year_month_day ymd{std::chrono::year(2000 + b(0)),
                                        std::chrono::month(static_cast<unsigned>(b(1))),
                                        std::chrono::day(static_cast<unsigned>(b(2)))};
  if (!ymd.ok() || b(3) > 23 || b(4) > 59) {
    throw Error(Fmt(Tr("неверные дата и время %s"), BytesToHexSpaced(five)));
  }
  TDateTimeParts day;
  day.Year = 2000 + b(0);
  day.Month = b(1);
  day.Day = b(2);
  // As the driver's two properties: the day, and the time of day alone.
  return {EncodeDateTime(day), static_cast<double>((b(3) * 60 + b(4)) * 60) / kSecondsPerDay};
}

std::string FNDateTimeBytes(TFNDateTime value) {
  const TDateTimeParts day = DecodeDateTime(value.Date);
  const TDateTimeParts time = DecodeDateTime(value.Time);
  std::string out(5, '\0');
  if (value.Date == 0 || day.Year < 2000 || day.Year > 2255) return out;
  out[0] = static_cast<char>(day.Year - 2000);
  out[1] = static_cast<char>(day.Month);
  out[2] = static_cast<char>(day.Day);
  out[3] = static_cast<char>(time.Hour);
  out[4] = static_cast<char>(time.Minute);
  return out;
}

TFNStatusAnswer ParseStatusAnswer(std::string_view data) {
  constexpr uint8_t kCode = 0x30;
  NeedSize(kCode, data, 30);
  TFNStatusAnswer s;
  s.Phase = static_cast<uint8_t>(data[0]);
  s.CurrentDocument = static_cast<uint8_t>(data[1]);
  s.DocumentData = static_cast<uint8_t>(data[2]);
  s.ShiftOpen = static_cast<uint8_t>(data[3]);
  s.Warnings = static_cast<uint8_t>(data[4]);
  try {
    s.DateTime = ParseFNDateTime(data.substr(5, 5));
  } catch (const Error& e) {
    Bad(kCode, e.what());
  }
  s.StorageNumber = std::string(data.substr(10, 16));
  s.LastDocument = static_cast<int32_t>(ReadLE(data, 26, 4));
  return s;
}

std::string StatusAnswerData(const TFNStatusAnswer& s) {
  std::string data;
  for (const uint8_t b : {s.Phase, s.CurrentDocument, s.DocumentData, s.ShiftOpen, s.Warnings}) {
    data += static_cast<char>(b);
  }
  data += FNDateTimeBytes(s.DateTime);
  data += FixedField(s.StorageNumber, 16, ' ');
  AppendLE(data, static_cast<uint32_t>(s.LastDocument), 4);
  return data;
}

TFNShiftAnswer ParseShiftAnswer(std::string_view data) {
  NeedSize(0x10, data, 5);
  return {static_cast<uint8_t>(data[0]), static_cast<uint16_t>(ReadLE(data, 1, 2)),
          static_cast<uint16_t>(ReadLE(data, 3, 2))};
}

std::string ShiftAnswerData(const TFNShiftAnswer& shift) {
  std::string data(1, static_cast<char>(shift.Open));
  AppendLE(data, shift.Shift, 2);
  AppendLE(data, shift.Receipt, 2);
  return data;
}

TFNDocumentHeader ParseDocumentHeader(std::string_view data) {
  NeedSize(0x45, data, 4);
  return {static_cast<uint16_t>(ReadLE(data, 0, 2)), static_cast<uint16_t>(ReadLE(data, 2, 2))};
}

std::string DocumentHeaderData(const TFNDocumentHeader& header) {
  std::string data;
  AppendLE(data, header.Type, 2);
  AppendLE(data, header.Length, 2);
  return data;
}

TFNConfirmationAnswer ParseConfirmationAnswer(std::string_view data) {
  constexpr uint8_t kCode = 0x41;
  NeedSize(kCode, data, 27);
  TFNConfirmationAnswer c;
  try {
    c.DateTime = ParseFNDateTime(data.substr(0, 5));
  } catch (const Error& e) {
    Bad(kCode, e.what());
  }
  c.FiscalSign = std::string(data.substr(5, 18));
  c.Number = static_cast<int32_t>(ReadLE(data, 23, 4));
  return c;
}

std::string ConfirmationAnswerData(const TFNConfirmationAnswer& c) {
  std::string data = FNDateTimeBytes(c.DateTime);
  data += FixedField(c.FiscalSign, 18, '\0');
  AppendLE(data, static_cast<uint32_t>(c.Number), 4);
  return data;
}

std::string ParseRegistrationNumber(std::string_view data) {
  NeedSize(0x43, data, 37);
  return TrimStorageText(data.substr(17, 20));
}

std::string RegistrationAnswerData(std::string_view registrationNumber) {
  // The date and the ИНН are not this program's business: zeros and blanks.
  std::string data(5, '\0');
  data += std::string(12, ' ');
  data += FixedField(registrationNumber, 20, ' ');
  data += std::string(2, '\0');  // tax systems, modes
  return data;
}

std::optional<std::string> ParseRegistrationParameter(std::string_view data, uint16_t tag) {
  if (data.size() < 4 || ReadLE(data, 0, 2) != tag) return std::nullopt;
  const std::size_t length = ReadLE(data, 2, 2);
  if (data.size() - 4 < length) return std::nullopt;
  return std::string(data.substr(4, length));
}

}  // namespace kvitor
