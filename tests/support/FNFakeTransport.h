// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <functional>
#include <string>

#include "drivers/serial/FNTransport.h"

namespace kvitor {

// A transport in memory for tests and benchmarks: every write goes to a
// handler, and what the handler returns is there to be read. Read never
// sleeps: with nothing there it returns 0 at once, as a port would after its
// timeout.
class TFakeTransport final : public TFNTransport {
 public:
  using THandler = std::function<std::string(std::string_view written)>;
  explicit TFakeTransport(THandler handler, std::string name = "fake");

  void Write(std::string_view bytes) override;
  std::size_t Read(std::string& buffer, std::size_t most,
                   std::chrono::milliseconds timeout) override;
  void DiscardInput() override { pending_.clear(); }
  [[nodiscard]] const std::string& Name() const override { return name_; }

  // From now on every call raises TFNLineError, as an unplugged adapter.
  void Unplug() { unplugged_ = true; }

 private:
  THandler handler_;
  std::string name_;
  std::string pending_;
  bool unplugged_ = false;
};

}  // namespace kvitor
