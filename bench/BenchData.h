// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <string>
#include <vector>

#include "drivers/emulated/StorageImage.h"
#include "report/FNDocument.h"

namespace kvitor::bench {

// The synthetic storage's documents, as the reader would hand them over.
inline std::vector<TFNDocumentRec> SyntheticDocuments(int count) {
  const auto image = TStorageImage::LoadText(
      R"({"synthetic": {"count": )" + std::to_string(count) + R"(, "seed": 7}})", "bench");
  std::vector<TFNDocumentRec> documents;
  documents.reserve(static_cast<std::size_t>(count));
  for (const int32_t number : image->DocumentNumbers()) {
    const auto doc = image->FindDocument(number);
    TFNDocumentRec rec;
    rec.DocNumber = number;
    rec.DocType = doc->Type;
    rec.DataLength = doc->DataLength;
    rec.TLVData = doc->Body;
    if (doc->Ticket) {
      rec.Ticket.TicketData = "confirmed";
      rec.Ticket.TicketDateTime = doc->Ticket->Date + doc->Ticket->Time;
      rec.Ticket.FiscalSign = "A1B2C3D4E5F60718";
    }
    documents.push_back(std::move(rec));
  }
  return documents;
}

inline std::size_t BodyBytes(const std::vector<TFNDocumentRec>& documents) {
  std::size_t n = 0;
  for (const auto& d : documents) n += d.TLVData.size();
  return n;
}

}  // namespace kvitor::bench
