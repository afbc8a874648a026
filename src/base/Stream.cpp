// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "base/Stream.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/Error.h"
#include "base/Messages.h"

namespace kvitor {
namespace {

constexpr std::size_t kBufferSize = 1 << 16;

[[noreturn]] void Fail(const char* pattern, const std::string& name, int err) {
  throw Error(Fmt(pattern, name, std::strerror(err)));
}

void StopIfAsked(const std::atomic<bool>* stop, const std::string& name) {
  if (stop != nullptr && stop->load())
    throw TSaveStopped(Fmt(TrEn("Saving \"%s\" was stopped"), name));
}

}  // namespace

std::size_t TMemoryStream::Read(void* buffer, std::size_t size) {
  const std::size_t n = position_ < data_.size() ? std::min(size, data_.size() - position_) : 0;
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t size) {
  if (size == 0) return 0;
  if (position_ + size > data_.size()) data_.resize(position_ + size);
  std::memcpy(data_.data() + position_, buffer, size);
  position_ += size;
  return size;
}

void TMemoryStream::SetPosition(int64_t position) {
  position_ = static_cast<std::size_t>(std::max<int64_t>(0, position));
}

TFileStream::TFileStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
  buffer_.reserve(kBufferSize);
  struct stat st {};
  if (fstat(fd_, &st) == 0) size_ = st.st_size;
}

TFileStream::~TFileStream() {
  // Destructors never throw; a caller who cares about the last bytes calls Close.
  if (fd_ >= 0) ::close(fd_);
}

void TFileStream::CheckStop() const { StopIfAsked(stop_, name_); }

void TFileStream::WriteOut(int64_t at, const char* data, std::size_t size) {
  CheckStop();
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, data, size, at);
    if (n < 0) {
      if (errno == EINTR) {
        CheckStop();
        continue;
      }
      Fail(TrEn("Cannot write file \"%s\". %s"), name_, errno);
    }
    if (n == 0) Fail(TrEn("Cannot write file \"%s\". %s"), name_, EIO);
    data += n;
    size -= static_cast<std::size_t>(n);
    at += n;
  }
}

void TFileStream::FlushBuffer() {
  if (buffer_.empty()) return;
  WriteOut(position_ - static_cast<int64_t>(buffer_.size()), buffer_.data(), buffer_.size());
  buffer_.clear();
}

std::size_t TFileStream::Write(const void* buffer, std::size_t size) {
  if (fd_ < 0) Fail(TrEn("Cannot write file \"%s\". %s"), name_, EBADF);
  const auto* data = static_cast<const char*>(buffer);
  if (buffer_.size() + size > kBufferSize) {
    FlushBuffer();
    if (size >= kBufferSize) {
      WriteOut(position_, data, size);
      position_ += static_cast<int64_t>(size);
      size_ = std::max(size_, position_);
      return size;
    }
  }
  buffer_.append(data, size);
  position_ += static_cast<int64_t>(size);
  size_ = std::max(size_, position_);
  return size;
}

std::size_t TFileStream::Read(void* buffer, std::size_t size) {
  FlushBuffer();
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, out + done, size - done, position_);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(TrEn("Cannot read file \"%s\". %s"), name_, errno);
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
    position_ += n;
  }
  return done;
}

void TFileStream::SetPosition(int64_t position) {
  FlushBuffer();
  position_ = std::max<int64_t>(0, position);
}

int64_t TFileStream::Size() const { return size_; }

void TFileStream::Flush() {
  FlushBuffer();
  CheckStop();
  int result = 0;
  while ((result = ::fsync(fd_)) != 0 && errno == EINTR) CheckStop();
  if (result != 0 && errno != EINVAL && errno != EROFS)
    Fail(TrEn("Cannot write file \"%s\". %s"), name_, errno);
  CheckStop();
}

void TFileStream::Close() {
  Flush();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) Fail(TrEn("Cannot write file \"%s\". %s"), name_, errno);
}

TSequentialStream::TSequentialStream(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
  buffer_.reserve(kBufferSize);
}

TSequentialStream::~TSequentialStream() {
  if (fd_ >= 0) ::close(fd_);
}

void TSequentialStream::WriteOut(const char* data, std::size_t size) {
  StopIfAsked(stop_, name_);
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      // A full pipe is waited on in steps, so that a stop request (whose
      // signal may reach another thread) is seen.
      if (errno == EAGAIN) {
        pollfd ready{fd_, POLLOUT, 0};
        ::poll(&ready, 1, 100);
      }
      if (errno == EINTR || errno == EAGAIN) {
        StopIfAsked(stop_, name_);
        continue;
      }
      Fail(TrEn("Cannot write file \"%s\". %s"), name_, errno);
    }
    if (n == 0) Fail(TrEn("Cannot write file \"%s\". %s"), name_, EIO);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::size_t TSequentialStream::Write(const void* buffer, std::size_t size) {
  if (fd_ < 0) Fail(TrEn("Cannot write file \"%s\". %s"), name_, EBADF);
  const auto* data = static_cast<const char*>(buffer);
  if (buffer_.size() + size > kBufferSize) {
    WriteOut(buffer_.data(), buffer_.size());
    buffer_.clear();
    if (size >= kBufferSize) {
      WriteOut(data, size);
      position_ += static_cast<int64_t>(size);
      return size;
    }
  }
  buffer_.append(data, size);
  position_ += static_cast<int64_t>(size);
  return size;
}

std::size_t TSequentialStream::Read(void*, std::size_t) {
  Fail(TrEn("Cannot read file \"%s\". %s"), name_, ESPIPE);
}

void TSequentialStream::SetPosition(int64_t position) {
  if (position != position_) Fail(TrEn("Cannot write file \"%s\". %s"), name_, ESPIPE);
}

void TSequentialStream::Close() {
  if (fd_ < 0) return;
  WriteOut(buffer_.data(), buffer_.size());
  buffer_.clear();
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0 && errno != EINTR) Fail(TrEn("Cannot write file \"%s\". %s"), name_, errno);
}

}  // namespace kvitor
