// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/DateTime.h"

namespace kvitor {

// The read-only commands of the fiscal storage, the only ones this program
// can send. Everything that forms, cancels or closes something is absent on
// purpose: TFNRequest refuses any other code.
enum class TFNCommand : uint8_t {
  Shift = 0x10,
  Status = 0x30,
  StorageNumber = 0x31,
  Validity = 0x32,
  Firmware = 0x33,
  FormatVersions = 0x3A,
  FindDocument = 0x40,
  Confirmation = 0x41,
  RegistrationTotals = 0x43,
  RegistrationParameter = 0x44,
  DocumentHeader = 0x45,
  DocumentPiece = 0x46,
};

[[nodiscard]] bool IsReadOnlyCommand(uint8_t code);
// "45h", for messages and traces: a command or an answer code.
[[nodiscard]] std::string CommandText(uint8_t code);
[[nodiscard]] inline std::string CommandText(TFNCommand command) {
  return CommandText(static_cast<uint8_t>(command));
}

// A request that may go to the storage. The only way to make one is Make (or
// a named maker over it), which refuses every code outside TFNCommand and
// data of the wrong size for the command.
class TFNRequest {
 public:
  [[nodiscard]] static TFNRequest Make(uint8_t code, std::string_view data = {});

  [[nodiscard]] static TFNRequest Of(TFNCommand command) {
    return Make(static_cast<uint8_t>(command));
  }
  // 40h, 41h, 45h: the document number.
  [[nodiscard]] static TFNRequest ForDocument(TFNCommand command, uint32_t number);
  // 44h: a parameter (tag) of the last registration.
  [[nodiscard]] static TFNRequest RegistrationParameter(uint16_t tag);

  [[nodiscard]] uint8_t Code() const { return code_; }
  [[nodiscard]] const std::string& Data() const { return data_; }
  [[nodiscard]] std::string Frame() const;
  // Asking again gives the same answer; not so for 46h, which hands out the
  // next piece each time.
  [[nodiscard]] bool CanRepeat() const;

 private:
  TFNRequest(uint8_t code, std::string data) : code_(code), data_(std::move(data)) {}
  uint8_t code_;
  std::string data_;
};

// The most data an answer to the command may carry; a longer length field is
// refused before anything is read past it. 46h's bound is the caller's.
[[nodiscard]] std::size_t MaxAnswerData(uint8_t command);
// Whether data of this size can be a successful answer to the command.
[[nodiscard]] bool AnswerFits(uint8_t command, std::size_t size);

// The meaning of an answer code other than 00, in Russian.
[[nodiscard]] std::string AnswerCodeMeaning(uint8_t code);

// A date-time as the driver hands it out: the day, and the time of day as a
// day fraction.
struct TFNDateTime {
  TDateTime Date = 0;
  TDateTime Time = 0;
};

// The answers' contents. Parsers raise kvitor::Error on data that do not fit.
struct TFNStatusAnswer {
  uint8_t Phase = 0;
  uint8_t CurrentDocument = 0;
  uint8_t DocumentData = 0;
  uint8_t ShiftOpen = 0;
  uint8_t Warnings = 0;
  TFNDateTime DateTime;
  std::string StorageNumber;  // 16 bytes as sent
  int32_t LastDocument = 0;
};

struct TFNShiftAnswer {
  uint8_t Open = 0;
  uint16_t Shift = 0;
  uint16_t Receipt = 0;
};

struct TFNDocumentHeader {
  uint16_t Type = 0;
  uint16_t Length = 0;
};

struct TFNConfirmationAnswer {
  TFNDateTime DateTime;
  std::string FiscalSign;  // 18 bytes as sent
  int32_t Number = 0;
};

// DATE_TIME: year - 2000, month, day, hour, minute. Five zero bytes stand for
// no date (0); anything else that is not a date is an Error.
[[nodiscard]] TFNDateTime ParseFNDateTime(std::string_view five);
// Seconds are dropped; a date outside 2000..2255 is sent as five zero bytes.
[[nodiscard]] std::string FNDateTimeBytes(TFNDateTime value);

[[nodiscard]] TFNStatusAnswer ParseStatusAnswer(std::string_view data);
[[nodiscard]] std::string StatusAnswerData(const TFNStatusAnswer& status);
[[nodiscard]] TFNShiftAnswer ParseShiftAnswer(std::string_view data);
[[nodiscard]] std::string ShiftAnswerData(const TFNShiftAnswer& shift);
[[nodiscard]] TFNDocumentHeader ParseDocumentHeader(std::string_view data);
[[nodiscard]] std::string DocumentHeaderData(const TFNDocumentHeader& header);
[[nodiscard]] TFNConfirmationAnswer ParseConfirmationAnswer(std::string_view data);
[[nodiscard]] std::string ConfirmationAnswerData(const TFNConfirmationAnswer& confirmation);
// 43h: the registration number (bytes 17 to 36), trimmed.
[[nodiscard]] std::string ParseRegistrationNumber(std::string_view data);
[[nodiscard]] std::string RegistrationAnswerData(std::string_view registrationNumber);
// 44h: the value of the TLV item when it is the tag asked for, else nothing.
[[nodiscard]] std::optional<std::string> ParseRegistrationParameter(std::string_view data,
                                                                    uint16_t tag);

// A text field of the storage without its trailing blanks and zero bytes.
[[nodiscard]] std::string TrimStorageText(std::string_view bytes);
// Cut or padded with pad to width.
[[nodiscard]] std::string FixedField(std::string_view text, std::size_t width, char pad);

[[nodiscard]] uint32_t ReadLE(std::string_view bytes, std::size_t at, std::size_t size);
void AppendLE(std::string& out, uint32_t value, std::size_t size);

}  // namespace kvitor
