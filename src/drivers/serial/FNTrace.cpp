// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "drivers/serial/FNTrace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/Messages.h"
#include "drivers/serial/FNFrame.h"
#include "tlv/BinUtils.h"

namespace kvitor {
namespace {

std::string ClockNow() {
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  tm local{};
  ::localtime_r(&tv.tv_sec, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(tv.tv_usec / 1000));
  return text;
}

}  // namespace

std::string TraceLine(const std::string& clock, char direction, std::string_view bytes) {
  std::string line = clock + ' ' + direction;
  if (!bytes.empty()) {
    line += ' ';
    AppendHex(line, bytes, THexCase::Upper, ' ');
  }
  return line;
}

TTraceTransport::TTraceTransport(std::unique_ptr<TFNTransport> inner, const std::string& path)
    : inner_(std::move(inner)), path_(path) {
  // It holds fiscal data: for its owner alone. A named pipe without a reader
  // is refused at once instead of waited on; what is no regular file is
  // refused like any output that is not a file (a line lost there would go
  // unnoticed).
  fd_ =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd_ < 0) {
    throw Error(Fmt(Tr("Не удалось открыть файл трассировки %s: %s"), path, SystemReason(errno)));
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw Error(Fmt(Tr("Не удалось открыть файл трассировки %s: это не обычный файл"), path));
  }
}

TTraceTransport::~TTraceTransport() {
  LogReceived(true);
  ::close(fd_);
}

void TTraceTransport::Line(char direction, std::string_view bytes) {
  if (bytes.empty() || failure_ != 0) return;
  const std::string line = TraceLine(ClockNow(), direction, bytes) + '\n';
  // One write per line: lines of several instances appending to one file stay whole.
  ssize_t n = 0;
  while ((n = ::write(fd_, line.data(), line.size())) < 0 && errno == EINTR) {
  }
  if (n < 0) failure_ = errno;
  if (n >= 0 && static_cast<std::size_t>(n) != line.size()) failure_ = ENOSPC;
}

void TTraceTransport::CheckWritten() const {
  if (failure_ != 0) {
    throw Error(
        Fmt(Tr("Не удалось записать файл трассировки %s: %s"), path_, SystemReason(failure_)));
  }
}

void TTraceTransport::LogReceived(bool all) {
  while (!received_.empty()) {
    const TFrameResult r = DecodeFrame(received_, kMaxFrameData + 1);
    std::size_t take = 0;
    switch (r.Status) {
      case TFrameStatus::Frame:
      case TFrameStatus::Skip: take = r.Consumed; break;
      case TFrameStatus::BadCrc: take = r.Length + kFrameOverhead; break;
      case TFrameStatus::BadLength: take = received_.size(); break;
      case TFrameStatus::NeedMore: take = all ? received_.size() : 0; break;
    }
    if (take == 0) return;
    Line('<', std::string_view(received_).substr(0, take));
    received_.erase(0, take);
  }
}

void TTraceTransport::Write(std::string_view bytes) {
  LogReceived(true);
  Line('>', bytes);
  CheckWritten();
  inner_->Write(bytes);
}

std::size_t TTraceTransport::Read(std::string& buffer, std::size_t most,
                                  std::chrono::milliseconds timeout) {
  const std::size_t before = buffer.size();
  const std::size_t n = inner_->Read(buffer, most, timeout);
  received_.append(buffer, before, n);
  LogReceived(false);
  CheckWritten();
  return n;
}

void TTraceTransport::DiscardInput() {
  LogReceived(true);
  CheckWritten();
  inner_->DiscardInput();
}

}  // namespace kvitor
