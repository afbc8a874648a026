// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "report/FNDocument.h"

#include <algorithm>

namespace kvitor {

void TFNDocument::SetOwner(TFNDocuments& list) {
  if (owner_ == &list || owner_ == nullptr) return;
  list.Add(owner_->Remove(*this));
}

void TFNDocument::Free() {
  if (owner_ != nullptr) std::unique_ptr<TFNDocument> self = owner_->Remove(*this);
}

TFNDocument& TFNDocuments::Add(const TFNDocumentRec& rec) {
  return Add(std::make_unique<TFNDocument>(rec));
}

TFNDocument& TFNDocuments::Add(std::unique_ptr<TFNDocument> document) {
  document->owner_ = this;
  items_.push_back(std::move(document));
  return *items_.back();
}

std::unique_ptr<TFNDocument> TFNDocuments::Remove(const TFNDocument& document) {
  const auto it = std::find_if(items_.begin(), items_.end(),
                               [&](const auto& p) { return p.get() == &document; });
  if (it == items_.end()) return nullptr;
  std::unique_ptr<TFNDocument> taken = std::move(*it);
  items_.erase(it);
  taken->owner_ = nullptr;
  return taken;
}

}  // namespace kvitor
