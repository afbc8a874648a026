// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/DateTime.h"

namespace kvitor {

// The operator's confirmation of one document. An empty TicketData means
// there is none, and the other fields mean nothing.
struct TFNTicketRec {
  std::string TicketData;  // Windows-1251
  TDateTime TicketDateTime = 0;
  std::string FiscalSign;  // Windows-1251, as the driver delivers it
  int32_t TicketDocNumber = 0;

  friend bool operator==(const TFNTicketRec&, const TFNTicketRec&) = default;
};

// One document as read from the fiscal storage.
struct TFNDocumentRec {
  int32_t DocNumber = 0;
  int32_t DocType = 0;
  int32_t DataLength = 0;  // as the driver reports it; not compared with the body
  std::string TLVData;     // the body's bytes
  TFNTicketRec Ticket;

  friend bool operator==(const TFNDocumentRec&, const TFNDocumentRec&) = default;
};

class TFNDocuments;

// A document held by a list: its own copy of the record.
class TFNDocument {
 public:
  explicit TFNDocument(TFNDocumentRec rec) : rec_(std::move(rec)) {}
  TFNDocument(const TFNDocument&) = delete;
  TFNDocument& operator=(const TFNDocument&) = delete;

  [[nodiscard]] const TFNDocumentRec& Rec() const { return rec_; }
  [[nodiscard]] TFNDocuments* Owner() const { return owner_; }
  // Moves the document to the end of list; nothing when it is there already.
  void SetOwner(TFNDocuments& list);
  // Takes the document out of its list and frees it.
  void Free();

 private:
  friend class TFNDocuments;
  TFNDocumentRec rec_;
  TFNDocuments* owner_ = nullptr;
};

// The documents of a read job in reading order; owns them.
class TFNDocuments {
 public:
  TFNDocuments() = default;
  TFNDocuments(const TFNDocuments&) = delete;
  TFNDocuments& operator=(const TFNDocuments&) = delete;

  void Clear() { items_.clear(); }
  [[nodiscard]] int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // The caller keeps index within 0..Count()-1.
  [[nodiscard]] TFNDocument& Items(int32_t index) const {
    return *items_[static_cast<std::size_t>(index)];
  }
  // A new document holding a copy of rec, appended at the end.
  TFNDocument& Add(const TFNDocumentRec& rec);
  TFNDocument& Add(std::unique_ptr<TFNDocument> document);
  [[nodiscard]] std::unique_ptr<TFNDocument> Remove(const TFNDocument& document);

  [[nodiscard]] auto begin() const { return items_.begin(); }
  [[nodiscard]] auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TFNDocument>> items_;
};

}  // namespace kvitor
