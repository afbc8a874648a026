// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/DateTime.h"
#include "drivers/Torvel.h"

namespace kvitor {

class TSyntheticDocuments;

// The operator confirmation of one document as the emulated storage keeps it.
struct TTicketImage {
  std::u16string Data;
  TDateTime Date = 0;
  TDateTime Time = 0;
  std::u16string FiscalSign;
  int32_t DocumentNumber = 0;
};

struct TDocumentImage {
  int32_t Number = 0;
  int32_t Type = 0;
  int32_t DataLength = 0;
  std::string Body;  // TLV bytes, not necessarily valid TLV
  std::optional<TTicketImage> Ticket;
};

struct TFaultImage {
  std::string Operation;
  std::optional<int32_t> Document;
  int32_t Code = 0;
  std::u16string Description;
};

// The content of an emulated fiscal storage, loaded from its JSON data file
// and immutable afterwards, so that instances on several threads share one.
// Explicit documents are held whole; synthetic ones are generated on request.
class TStorageImage {
 public:
  // Errors name the file and the member, e.g.
  // Storage image "/x/y.json": member documents[3].tlv: bad hexadecimal at offset 5
  // The file is read in one pass that never holds the documents as a JSON
  // tree, with bounds on nesting and on the values kept beside them, so that
  // memory stays within a small multiple of the file's size.
  [[nodiscard]] static std::shared_ptr<const TStorageImage> LoadFile(const std::string& path);
  // name stands for the file in messages.
  [[nodiscard]] static std::shared_ptr<const TStorageImage> LoadText(std::string_view json,
                                                                     const std::string& name);

  TStorageImage(const TStorageImage&) = delete;
  TStorageImage& operator=(const TStorageImage&) = delete;
  ~TStorageImage();

  [[nodiscard]] const std::u16string& SerialNumber() const { return serialNumber_; }
  [[nodiscard]] const std::array<int64_t, 5>& Status() const { return status_; }
  [[nodiscard]] TDateTime Date() const { return date_; }
  [[nodiscard]] TDateTime Time() const { return time_; }
  [[nodiscard]] int32_t LastDocumentNumber() const { return lastDocumentNumber_; }
  [[nodiscard]] int64_t ShiftCount() const { return shiftCount_; }
  [[nodiscard]] int BlockSize() const { return blockSize_; }
  [[nodiscard]] int DelayMs() const { return delayMs_; }

  // The value of a model parameter, or nothing when it is not listed.
  [[nodiscard]] std::optional<TPropertyValue> ModelParameter(int64_t number) const;
  // The text of a table field, or nothing when it is not listed.
  [[nodiscard]] std::optional<std::u16string> TableField(int64_t table, int64_t row,
                                                         int64_t field) const;

  // Explicit and synthetic documents together.
  [[nodiscard]] int64_t DocumentCount() const;
  [[nodiscard]] bool HasDocument(int64_t number) const;
  // The whole document (a synthetic body is generated here), or nothing.
  [[nodiscard]] std::optional<TDocumentImage> FindDocument(int64_t number) const;
  // What BeginDocumentRead needs, at the cost of one body: the type and the
  // declared length, the body written into body (its capacity reused); no
  // confirmation is made. Nothing when there is no such document.
  struct TDocumentHead {
    int32_t Type = 0;
    int32_t DataLength = 0;
  };
  [[nodiscard]] std::optional<TDocumentHead> ReadDocument(int64_t number, std::string& body) const;
  // The confirmation alone, without the body.
  [[nodiscard]] std::optional<TTicketImage> FindTicket(int64_t number) const;
  // The same written into ticket, its texts' buffers reused; false when there
  // is none (ticket then unchanged).
  bool ReadTicket(int64_t number, TTicketImage& ticket) const;
  // Every document number in ascending order (explicit and synthetic).
  [[nodiscard]] std::vector<int32_t> DocumentNumbers() const;

  [[nodiscard]] bool HasFaults() const { return !faults_.empty(); }
  // The fault for operation while DocumentNumber holds documentNumber.
  [[nodiscard]] const TFaultImage* FindFault(std::string_view operation,
                                             int64_t documentNumber) const;

 private:
  TStorageImage() = default;
  friend class TStorageImageLoader;

  std::u16string serialNumber_;
  std::array<int64_t, 5> status_{};
  TDateTime date_ = 0;
  TDateTime time_ = 0;
  int32_t lastDocumentNumber_ = 0;
  int64_t shiftCount_ = 0;
  std::map<int64_t, TPropertyValue> modelParameters_;
  std::map<std::array<int64_t, 3>, std::u16string> tables_;
  int blockSize_ = 256;
  int delayMs_ = 0;
  // Explicit documents sorted by number, their bodies back to back in one
  // buffer and their confirmations apart: a file of millions of small
  // documents costs a few dozen bytes for each, not a tree of objects.
  struct TDocumentEntry {
    int32_t Number = 0;
    int32_t Type = 0;
    int32_t DataLength = 0;
    int32_t Ticket = -1;  // index into tickets_
    uint64_t BodyOffset = 0;
    uint32_t BodySize = 0;
    uint32_t Index = 0;  // its place in the file, for messages
  };
  [[nodiscard]] const TDocumentEntry* FindEntry(int64_t number) const;
  [[nodiscard]] TDocumentImage Explicit(const TDocumentEntry& entry) const;
  std::vector<TDocumentEntry> documents_;
  std::string bodies_;
  std::vector<TTicketImage> tickets_;
  std::unique_ptr<TSyntheticDocuments> synthetic_;
  std::vector<TFaultImage> faults_;
};

// The names of the driver operations, as "faults[].operation" names them.
[[nodiscard]] bool IsTorvelOperationName(std::string_view name);

// The built-in demo storage's JSON, embedded at build time.
[[nodiscard]] std::string_view DemoStorageJson();
// The registry key and message name of the demo storage.
inline constexpr std::string_view kDemoStorageName = ":demo:";

}  // namespace kvitor
