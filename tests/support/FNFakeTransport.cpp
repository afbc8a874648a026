// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "FNFakeTransport.h"

#include <algorithm>

namespace kvitor {

TFakeTransport::TFakeTransport(THandler handler, std::string name)
    : handler_(std::move(handler)), name_(std::move(name)) {}

void TFakeTransport::Write(std::string_view bytes) {
  if (unplugged_) throw TFNLineError("Связь с ФН на порту " + name_ + " потеряна");
  pending_ += handler_(bytes);
}

std::size_t TFakeTransport::Read(std::string& buffer, std::size_t most,
                                 std::chrono::milliseconds /*timeout*/) {
  if (unplugged_) throw TFNLineError("Связь с ФН на порту " + name_ + " потеряна");
  const std::size_t n = std::min(most, pending_.size());
  buffer.append(pending_, 0, n);
  pending_.erase(0, n);
  return n;
}

}  // namespace kvitor
