// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/FNReportReader.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "base/Error.h"
#include "base/Messages.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

constexpr int kRegistrationTableParam = 72;
constexpr int64_t kDefaultRegistrationTable = 18;

[[noreturn]] void BadModelParameter(const std::string& what) {
  throw Error(Fmt(TrEn("Model parameter %s: %s"), kRegistrationTableParam, what));
}

// The model parameter's value, whatever its kind, as a 32-bit integer.
int64_t ModelParameterToInt(const TPropertyValue& value) {
  const auto inRange = [](long double v) {
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
  };
  if (const auto* i = std::get_if<int64_t>(&value)) {
    if (!inRange(static_cast<long double>(*i))) {
      BadModelParameter(Fmt(TrEn("value %s is not a 32-bit integer"), *i));
    }
    return *i;
  }
  if (const auto* d = std::get_if<double>(&value)) {
    if (!std::isfinite(*d) || std::trunc(*d) != *d || !inRange(*d)) {
      BadModelParameter(Fmt(TrEn("value %s is not a 32-bit integer"), std::to_string(*d)));
    }
    return static_cast<int64_t>(*d);
  }
  const std::string text = Utf16ToCp1251(std::get<std::u16string>(value));
  const std::size_t first = text.find_first_not_of(' ');
  const std::size_t last = text.find_last_not_of(' ');
  int32_t number = 0;
  if (first != std::string::npos) {
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    const auto [stop, ec] = std::from_chars(begin, end, number);
    if (ec == std::errc() && stop == end) return number;
  }
  BadModelParameter(Fmt(TrEn("\"%s\" is not an integer"), Cp1251ToUtf8(text)));
}

}  // namespace

TFNReportReader::TFNReportReader(TTorvel* driver) : driver_(driver) {
  if (driver_ == nullptr) throw Error("Driver = nil");
}

std::string TFNReportReader::Text(int id) const { return Utf16ToCp1251(driver_->GetText(id)); }

int32_t TFNReportReader::Int32(int id) const {
  // The driver's integers are 32-bit; C++20 conversion keeps the low 32 bits.
  return static_cast<int32_t>(driver_->GetInt(id));
}

void TFNReportReader::CheckDriverResult(int code) const {
  if (code == 0) return;
  // Messages are UTF-8 in this program; the text still passes through the
  // 8-bit code page on receipt, like every text the driver hands out.
  throw Error(std::to_string(code) + ", " +
              Cp1251ToUtf8(Text(TTorvelProperty::ResultCodeDescription)));
}

void TFNReportReader::Open() const {
  CheckDriverResult(driver_->OpenDevice());
  driver_->AuxiliaryRequest1();
  driver_->AuxiliaryRequest2();
}

void TFNReportReader::ReadStorageStatus(TFNStatusRec& rec) const {
  CheckDriverResult(driver_->QueryStorageStatus());
  const auto low8 = [this](int id) { return static_cast<uint8_t>(driver_->GetInt(id) & 0xFF); };
  rec.FNStatus2100 = low8(TTorvelProperty::FNStatus2100);
  rec.FNCurrentDocument = low8(TTorvelProperty::FNCurrentDocument);
  rec.FNStatus2102 = low8(TTorvelProperty::FNStatus2102);
  rec.FNStatus2103 = low8(TTorvelProperty::FNStatus2103);
  rec.FNStatus2104 = low8(TTorvelProperty::FNStatus2104);
  rec.FNDate = driver_->GetDouble(TTorvelProperty::ECRDate);
  rec.FNTime = driver_->GetDouble(TTorvelProperty::ECRTime);
  rec.FNSerialNumber = Text(TTorvelProperty::SerialNumber).substr(0, TFNStatusRec::kSerialCapacity);
  rec.LastDocNumber = Int32(TTorvelProperty::DocumentNumber);
}

std::string TFNReportReader::ReadRegistrationNumber() const {
  driver_->SetInt(TTorvelProperty::ModelParamNumber, kRegistrationTableParam);
  int64_t table = kDefaultRegistrationTable;
  if (driver_->QueryModelParameter() == 0) {
    table = ModelParameterToInt(driver_->GetProperty(TTorvelProperty::ModelParamValue));
  }
  driver_->SetInt(TTorvelProperty::RowNumber, 1);
  driver_->SetInt(TTorvelProperty::FieldNumber, 3);
  driver_->SetInt(TTorvelProperty::TableNumber, table);
  CheckDriverResult(driver_->ReadTableField());
  return Text(TTorvelProperty::ValueOfFieldString);
}

void TFNReportReader::ReadHeaderParams(THeaderParams& params) const {
  params.RegNumber = ReadRegistrationNumber();
  CheckDriverResult(driver_->QueryStorageStatus());
  params.FNNumber = Text(TTorvelProperty::SerialNumber);
  params.DocumentCount = Int32(TTorvelProperty::DocumentNumber);
  CheckDriverResult(driver_->QueryRegisterStatus());
  params.ShiftCount = Int32(TTorvelProperty::SessionNumber);
  params.FFDVersion = 0;
}

void TFNReportReader::ReadDocument(int32_t number, bool withTicket, TFNDocumentRec& rec) const {
  rec.DocNumber = number;
  driver_->SetInt(TTorvelProperty::DocumentNumber, number);
  CheckDriverResult(driver_->BeginDocumentRead());
  rec.DocType = Int32(TTorvelProperty::DocumentType);
  rec.DataLength = Int32(TTorvelProperty::DataLength);
  rec.TLVData.clear();
  // The end of the body shows only as a failed or an empty block; DataLength
  // plays no part.
  while (driver_->ReadDocumentBlock() == 0) {
    if (const auto appended = driver_->AppendTLVDataBytes(rec.TLVData)) {
      if (*appended == 0) break;
      continue;
    }
    const std::string block = TLVDataToBytes(driver_->GetText(TTorvelProperty::TLVData));
    if (block.empty()) break;
    rec.TLVData += block;
  }
  rec.Ticket.TicketData.clear();
  if (withTicket) {
    TFNTicketRec ticket;
    ReadTicket(number, ticket);
    rec.Ticket = ticket;
  }
}

void TFNReportReader::ReadTicket(int32_t number, TFNTicketRec& t) const {
  t.TicketData.clear();
  driver_->SetInt(TTorvelProperty::DocumentNumber, number);
  if (driver_->QueryConfirmation() != 0) return;
  t.TicketData = Text(TTorvelProperty::DocumentData);
  t.TicketDateTime =
      driver_->GetDouble(TTorvelProperty::ECRDate) + driver_->GetDouble(TTorvelProperty::ECRTime);
  t.FiscalSign = Text(TTorvelProperty::FiscalSignOFD);
  t.TicketDocNumber = Int32(TTorvelProperty::DocumentNumber);
}

}  // namespace kvitor
