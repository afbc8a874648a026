// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <string>

#include "base/DateTime.h"
#include "drivers/Torvel.h"
#include "report/FNDocument.h"

namespace kvitor {

// The fiscal storage's status. Plain values, copied whole.
struct TFNStatusRec {
  uint8_t FNStatus2100 = 0;  // low 8 bits of property 2100
  uint8_t FNCurrentDocument = 0;
  uint8_t FNStatus2102 = 0;
  uint8_t FNStatus2103 = 0;
  uint8_t FNStatus2104 = 0;
  TDateTime FNDate = 0;
  TDateTime FNTime = 0;
  // Windows-1251, at most kSerialCapacity characters: the record keeps a
  // fixed-capacity text, so the reader cuts longer serial numbers.
  std::string FNSerialNumber;
  int64_t LastDocNumber = 0;  // the driver's 32-bit DocumentNumber, sign-extended

  static constexpr std::size_t kSerialCapacity = 16;

  friend bool operator==(const TFNStatusRec&, const TFNStatusRec&) = default;
};

// The values a report header is filled from.
struct THeaderParams {
  std::string RegNumber;   // Windows-1251
  std::string FNNumber;    // Windows-1251, the serial number not cut
  uint8_t FFDVersion = 0;  // 0 here; the report sets the real one
  int32_t ShiftCount = 0;
  int32_t DocumentCount = 0;

  friend bool operator==(const THeaderParams&, const THeaderParams&) = default;
};

// Turns driver calls into status, header and document records. Stateless; it
// neither owns nor frees the driver, which must outlive it. Used by one
// thread at a time, like its driver instance. Texts from the driver are
// converted to Windows-1251 on receipt; TLVData is taken byte for byte.
class TFNReportReader {
 public:
  // Error "Driver = nil" for nullptr.
  explicit TFNReportReader(TTorvel* driver);

  // Nothing for 0; otherwise Error "%d, %s" from the code and property 202.
  void CheckDriverResult(int code) const;
  void Open() const;
  void ReadStorageStatus(TFNStatusRec& rec) const;
  // The registration number: field 3 of row 1 of the table named by model
  // parameter 72, or of table 18.
  [[nodiscard]] std::string ReadRegistrationNumber() const;
  void ReadHeaderParams(THeaderParams& params) const;
  // After an error the record is partly filled and must not be used.
  void ReadDocument(int32_t number, bool withTicket, TFNDocumentRec& rec) const;
  // A document without confirmation leaves t with an empty TicketData.
  void ReadTicket(int32_t number, TFNTicketRec& t) const;

 private:
  [[nodiscard]] std::string Text(int id) const;
  [[nodiscard]] int32_t Int32(int id) const;

  TTorvel* driver_;
};

}  // namespace kvitor
