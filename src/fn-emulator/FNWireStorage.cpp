// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "fn-emulator/FNWireStorage.h"

#include <nlohmann/json.hpp>

#include "base/Error.h"
#include "drivers/serial/FNCommands.h"
#include "drivers/serial/FNFrame.h"
#include "tlv/StringUtils.h"

namespace kvitor {
namespace {

using nlohmann::json;

constexpr uint8_t kUnknownCommand = 0x01;
constexpr uint8_t kNoData = 0x08;
constexpr uint8_t kTooLarge = 0x10;

}  // namespace

TWireFaults ParseWireFaults(std::string_view text, const std::string& name) {
  const auto fail = [&](const std::string& member, const std::string& what) {
    throw Error("Storage image \"" + name + "\": member " + member + ": " + what);
  };
  TWireFaults faults;
  json root;
  try {
    root = json::parse(text.begin(), text.end());
  } catch (const json::exception& e) {
    throw Error("Storage image \"" + name + "\": not JSON: " + e.what());
  }
  if (!root.is_object()) return faults;
  faults.FixedPieces = root.contains("block_size") && !root["block_size"].is_null();
  const auto it = root.find("wire_faults");
  if (it == root.end() || it->is_null()) return faults;
  if (!it->is_array()) fail("wire_faults", "expected an array");
  const auto count = [&](const json& v, const std::string& member) {
    if (!v.is_number_integer() || v.get<int64_t>() < 1 || v.get<int64_t>() > 1'000'000'000) {
      fail(member, "expected an integer 1..1000000000, found " + v.dump());
    }
    return static_cast<int>(v.get<int64_t>());
  };
  const auto percent = [&](const json& v, const std::string& member) {
    if (!v.is_number() || v.get<double>() < 0 || v.get<double>() > 100) {
      fail(member, "expected a percentage 0..100, found " + v.dump());
    }
    return v.get<double>();
  };
  const auto flag = [&](const json& v, const std::string& member) {
    if (!v.is_boolean()) fail(member, "expected true or false, found " + v.dump());
    return v.get<bool>();
  };
  const auto commandOf = [&](const json& f, const std::string& member) {
    const auto command = f.find("command");
    if (command == f.end() || !command->is_string()) {
      fail(member + ".command", "expected a command code in hexadecimal, e.g. \"45\"");
    }
    const std::string hex = command->get<std::string>();
    std::size_t used = 0;
    unsigned long value = 0;
    try {
      value = std::stoul(hex, &used, 16);
    } catch (const std::exception&) {
      used = 0;
    }
    if (hex.empty() || used != hex.size() || value > 0xFF) {
      fail(member + ".command", "\"" + hex + "\" is not a command code in hexadecimal");
    }
    return static_cast<uint8_t>(value);
  };
  const auto documentOf = [&](const json& f, const std::string& member) {
    std::optional<int64_t> document;
    if (const auto doc = f.find("document"); doc != f.end() && !doc->is_null()) {
      if (!doc->is_number_integer()) fail(member + ".document", "expected an integer");
      document = doc->get<int64_t>();
    }
    return document;
  };
  for (std::size_t i = 0; i < it->size(); ++i) {
    const json& f = (*it)[i];
    const std::string member = "wire_faults[" + std::to_string(i) + "]";
    if (!f.is_object()) fail(member, "expected an object");
    if (const auto c = f.find("corrupt_every"); c != f.end()) {
      faults.CorruptEvery = count(*c, member + ".corrupt_every");
    } else if (const auto s = f.find("silent_every"); s != f.end()) {
      faults.SilentEvery = count(*s, member + ".silent_every");
    } else if (const auto d = f.find("disconnect_after"); d != f.end()) {
      faults.DisconnectAfter = count(*d, member + ".disconnect_after");
    } else if (const auto e = f.find("echo"); e != f.end()) {
      faults.Echo = flag(*e, member + ".echo");
    } else if (const auto h = f.find("length_counts_header"); h != f.end()) {
      faults.LengthCountsHeader = flag(*h, member + ".length_counts_header");
    } else if (const auto w = f.find("wake_ms"); w != f.end()) {
      faults.WakeMs = count(*w, member + ".wake_ms");
    } else if (const auto cut = f.find("cut_after"); cut != f.end()) {
      faults.CutAfter = count(*cut, member + ".cut_after");
    } else if (f.contains("damage_percent") || f.contains("loss_percent")) {
      if (const auto v = f.find("damage_percent"); v != f.end()) {
        faults.DamagePercent = percent(*v, member + ".damage_percent");
      }
      if (const auto v = f.find("loss_percent"); v != f.end()) {
        faults.LossPercent = percent(*v, member + ".loss_percent");
      }
      if (const auto v = f.find("seed"); v != f.end()) {
        faults.Seed = static_cast<uint32_t>(count(*v, member + ".seed"));
      }
    } else if (const auto late = f.find("late_ms"); late != f.end()) {
      faults.Late.push_back(
          {commandOf(f, member), documentOf(f, member), count(*late, member + ".late_ms")});
    } else {
      TWireFaults::TAnswer answer;
      answer.Command = commandOf(f, member);
      const auto code = f.find("code");
      if (code == f.end() || !code->is_number_integer() || code->get<int64_t>() < 1 ||
          code->get<int64_t>() > 255) {
        fail(member + ".code", "expected an answer code 1..255");
      }
      answer.Code = static_cast<uint8_t>(code->get<int64_t>());
      answer.Document = documentOf(f, member);
      faults.Answers.push_back(answer);
    }
  }
  return faults;
}

TFNWireStorage::TFNWireStorage(std::shared_ptr<const TStorageImage> image, TWireFaults faults)
    : image_(std::move(image)),
      faults_(std::move(faults)),
      lateDone_(faults_.Late.size(), false),
      random_(faults_.Seed) {}

std::optional<std::string> TFNWireStorage::RegistrationNumber() const {
  // The table the emulated driver's reader would use for it.
  int64_t table = 18;
  if (const auto p = image_->ModelParameter(72); p && std::holds_alternative<int64_t>(*p)) {
    table = std::get<int64_t>(*p);
  }
  const auto field = image_->TableField(table, 1, 3);
  if (!field) return std::nullopt;
  return Utf16ToCp1251(*field);
}

TFNWireStorage::TAnswer TFNWireStorage::Answer(uint8_t code, std::string_view data, int& delayMs) {
  switch (static_cast<TFNCommand>(code)) {
    case TFNCommand::Status: {
      TFNStatusAnswer s;
      const auto& status = image_->Status();
      s.Phase = static_cast<uint8_t>(status[0]);
      s.CurrentDocument = static_cast<uint8_t>(status[1]);
      s.DocumentData = static_cast<uint8_t>(status[2]);
      s.ShiftOpen = static_cast<uint8_t>(status[3]);
      s.Warnings = static_cast<uint8_t>(status[4]);
      s.DateTime = {image_->Date(), image_->Time()};
      s.StorageNumber = Utf16ToCp1251(image_->SerialNumber());
      s.LastDocument = image_->LastDocumentNumber();
      return {0, StatusAnswerData(s)};
    }
    case TFNCommand::StorageNumber:
      return {0, FixedField(Utf16ToCp1251(image_->SerialNumber()), 16, ' ')};
    case TFNCommand::Shift:
      return {0, ShiftAnswerData({0, static_cast<uint16_t>(image_->ShiftCount()), 0})};
    case TFNCommand::RegistrationTotals: {
      const auto number = RegistrationNumber();
      if (!number) return {kNoData, {}};
      return {0, RegistrationAnswerData(*number)};
    }
    case TFNCommand::RegistrationParameter: {
      const auto number = RegistrationNumber();
      if (ReadLE(data, data.size() - 2, 2) != 1037 || !number) return {kNoData, {}};
      std::string tlv;
      AppendLE(tlv, 1037, 2);
      AppendLE(tlv, static_cast<uint32_t>(std::min<std::size_t>(number->size(), 0xFFFF)), 2);
      return {0, tlv + number->substr(0, 0xFFFF)};
    }
    case TFNCommand::DocumentHeader: {
      body_.reset();
      std::optional<TDocumentImage> doc = image_->FindDocument(current_);
      if (!doc) return {kNoData, {}};
      if (doc->Body.size() > 0xFFFF) return {kTooLarge, {}};
      delayMs = image_->DelayMs();
      const std::size_t length = doc->Body.size() + (faults_.LengthCountsHeader ? 4 : 0);
      if (length > 0xFFFF) return {kTooLarge, {}};
      const TFNDocumentHeader header{static_cast<uint16_t>(doc->Type),
                                     static_cast<uint16_t>(length)};
      body_ = std::move(doc->Body);
      offset_ = 0;
      return {0, DocumentHeaderData(header)};
    }
    case TFNCommand::DocumentPiece: {
      if (!body_ || offset_ >= body_->size()) return {kNoData, {}};
      std::size_t size = body_->size() - offset_;
      if (faults_.FixedPieces) {
        size = std::min(size, static_cast<std::size_t>(image_->BlockSize()));
      } else if (size >= 4) {
        // One top-level TLV, as real storages hand them out; a body that
        // does not parse goes out in what is left.
        size = std::min(size, 4 + static_cast<std::size_t>(ReadLE(*body_, offset_ + 2, 2)));
      }
      std::string piece = body_->substr(offset_, size);
      offset_ += size;
      return {0, std::move(piece)};
    }
    case TFNCommand::Confirmation: {
      const std::optional<TTicketImage> ticket = image_->FindTicket(current_);
      if (!ticket) return {kNoData, {}};
      TFNConfirmationAnswer c;
      c.DateTime = {ticket->Date, ticket->Time};
      c.FiscalSign = Utf16ToCp1251(ticket->FiscalSign);
      c.Number = ticket->DocumentNumber;
      return {0, ConfirmationAnswerData(c)};
    }
    default: return {kUnknownCommand, {}};
  }
}

TFNWireStorage::TReply TFNWireStorage::Handle(uint8_t code, std::string_view data) {
  ++requests_;
  TReply reply;
  reply.Echo = faults_.Echo;
  const auto now = std::chrono::steady_clock::now();
  if (!firstRequest_) firstRequest_ = now;
  // Waking up: the request is not taken in.
  if (now - *firstRequest_ < std::chrono::milliseconds(faults_.WakeMs)) return reply;
  TAnswer answer;
  const bool known = IsReadOnlyCommand(code);
  bool valid = known;
  if (known) {
    try {
      static_cast<void>(TFNRequest::Make(code, data));
    } catch (const Error&) {
      valid = false;
    }
  }
  if (!valid) {
    answer.Code = kUnknownCommand;
  } else {
    if (data.size() == 4) current_ = ReadLE(data, 0, 4);
    const TWireFaults::TAnswer* fault = nullptr;
    for (const auto& f : faults_.Answers) {
      if (f.Command == code && (!f.Document || *f.Document == current_)) {
        fault = &f;
        break;
      }
    }
    if (fault != nullptr) {
      answer.Code = fault->Code;
    } else {
      answer = Answer(code, data, reply.DelayMs);
    }
    for (std::size_t i = 0; i < faults_.Late.size(); ++i) {
      const TWireFaults::TLate& late = faults_.Late[i];
      if (!lateDone_[i] && late.Command == code && (!late.Document || *late.Document == current_)) {
        lateDone_[i] = true;
        reply.DelayMs += late.Ms;
      }
    }
  }
  // The request was taken in; only its answer is lost on the line.
  if (faults_.SilentEvery > 0 && requests_ % faults_.SilentEvery == 0) return reply;
  std::uniform_real_distribution<double> roll(0, 100);
  if (faults_.LossPercent > 0 && roll(random_) < faults_.LossPercent) return reply;
  reply.Frame = EncodeFrame(answer.Code, answer.Data);
  ++answers_;
  if (faults_.CorruptEvery > 0 && answers_ % faults_.CorruptEvery == 0) {
    // A different byte each time, the start byte and the CRC included.
    const auto k = static_cast<std::size_t>(answers_ / faults_.CorruptEvery);
    reply.Frame[(k * 7) % reply.Frame.size()] ^= 0x5A;
  }
  if (faults_.DamagePercent > 0 && roll(random_) < faults_.DamagePercent) {
    std::uniform_int_distribution<std::size_t> where(0, reply.Frame.size() - 1);
    std::uniform_int_distribution<int> flip(1, 255);
    reply.Frame[where(random_)] ^= static_cast<char>(flip(random_));
  }
  if (faults_.DisconnectAfter > 0 && answers_ >= faults_.DisconnectAfter) reply.Disconnect = true;
  if (faults_.CutAfter > 0 && answers_ == faults_.CutAfter) reply.Cut = true;
  return reply;
}

}  // namespace kvitor
