// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <memory>
#include <string>

#include "drivers/serial/FNTransport.h"

namespace kvitor {

// Logs every frame that passes through another transport, one line each,
// appended to a file: "HH:MM:SS.mmm > 04 01 00 30 FF CD" ('>' sent, '<'
// received). Received bytes are cut into frames as they arrive; bytes that
// form no frame get a line of their own. The file is a regular one, made
// 0600 (it holds fiscal data); a line that cannot be written is an error of
// the operation that made it, since a trace with holes would mislead.
class TTraceTransport final : public TFNTransport {
 public:
  // Error when the file cannot be opened for appending or is no regular file.
  TTraceTransport(std::unique_ptr<TFNTransport> inner, const std::string& path);
  ~TTraceTransport() override;

  void Write(std::string_view bytes) override;
  std::size_t Read(std::string& buffer, std::size_t most,
                   std::chrono::milliseconds timeout) override;
  void DiscardInput() override;
  [[nodiscard]] const std::string& Name() const override { return inner_->Name(); }
  bool SetBaud(int baud) override { return inner_->SetBaud(baud); }
  // The transport traced, given back (the trace ends).
  [[nodiscard]] std::unique_ptr<TFNTransport> TakeInner() { return std::move(inner_); }

 private:
  void Line(char direction, std::string_view bytes);
  // Raises the error of the first line that could not be written.
  void CheckWritten() const;
  // Logs the whole frames received so far; with all, the rest as well.
  void LogReceived(bool all);

  std::unique_ptr<TFNTransport> inner_;
  std::string path_;
  int fd_ = -1;
  int failure_ = 0;  // errno of the first line not written
  std::string received_;
};

// "HH:MM:SS.mmm > 04 01 00 30 FF CD" without the newline, at the given local time.
[[nodiscard]] std::string TraceLine(const std::string& clock, char direction,
                                    std::string_view bytes);

}  // namespace kvitor
