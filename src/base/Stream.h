// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Error.h"

namespace kvitor {

// A byte stream with a 64-bit position and size. Implementations raise Error
// when the medium refuses an operation, so that no write fails silently.
class TStream {
 public:
  virtual ~TStream() = default;
  // Moves up to size bytes; returns the count moved.
  virtual std::size_t Read(void* buffer, std::size_t size) = 0;
  virtual std::size_t Write(const void* buffer, std::size_t size) = 0;
  [[nodiscard]] virtual int64_t Position() const = 0;
  virtual void SetPosition(int64_t position) = 0;
  [[nodiscard]] virtual int64_t Size() const = 0;
};

class TMemoryStream final : public TStream {
 public:
  std::size_t Read(void* buffer, std::size_t size) override;
  std::size_t Write(const void* buffer, std::size_t size) override;
  [[nodiscard]] int64_t Position() const override { return static_cast<int64_t>(position_); }
  void SetPosition(int64_t position) override;
  [[nodiscard]] int64_t Size() const override { return static_cast<int64_t>(data_.size()); }
  [[nodiscard]] const std::string& Data() const { return data_; }

 private:
  std::string data_;
  std::size_t position_ = 0;
};

// A save stopped on request (Ctrl+C, SIGTERM) before it was complete.
class TSaveStopped : public Error {
 public:
  using Error::Error;
};

// A file opened for writing (and reading back) through a descriptor, with a
// buffer in front of it. Write errors raise Error with the system's text;
// Flush must succeed before the content counts as written.
class TFileStream final : public TStream {
 public:
  // Takes ownership of fd; name is used in error messages.
  TFileStream(int fd, std::string name);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t size) override;
  std::size_t Write(const void* buffer, std::size_t size) override;
  [[nodiscard]] int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  [[nodiscard]] int64_t Size() const override;

  // Writes out the buffer and asks the system to put the data on the disk.
  void Flush();
  // Flush, then close: the only way to learn that the last bytes were written.
  void Close();
  // Once *stop is true, the next write, flush or close raises TSaveStopped.
  void StopWhen(const std::atomic<bool>* stop) { stop_ = stop; }

 private:
  void WriteOut(int64_t at, const char* data, std::size_t size);
  void FlushBuffer();
  void CheckStop() const;

  int fd_;
  const std::atomic<bool>* stop_ = nullptr;
  std::string name_;
  std::string buffer_;  // pending bytes at position_ - buffer_.size()
  int64_t position_ = 0;
  int64_t size_ = 0;
};

// A pipe, a terminal or a device, written front to back as the bytes come:
// nothing is held beyond one buffer, so a pipe's reader gets the bytes at
// once and a save to /dev/null costs no memory. It cannot read back or seek
// (SetPosition only to where it stands).
class TSequentialStream final : public TStream {
 public:
  // Takes ownership of fd; name is used in error messages.
  TSequentialStream(int fd, std::string name);
  ~TSequentialStream() override;
  TSequentialStream(const TSequentialStream&) = delete;
  TSequentialStream& operator=(const TSequentialStream&) = delete;

  std::size_t Read(void* buffer, std::size_t size) override;
  std::size_t Write(const void* buffer, std::size_t size) override;
  [[nodiscard]] int64_t Position() const override { return position_; }
  void SetPosition(int64_t position) override;
  [[nodiscard]] int64_t Size() const override { return position_; }

  // Writes out the buffer and closes.
  void Close();
  // Once *stop is true, the next write or close raises TSaveStopped.
  void StopWhen(const std::atomic<bool>* stop) { stop_ = stop; }

 private:
  void WriteOut(const char* data, std::size_t size);

  int fd_;
  std::string name_;
  std::string buffer_;
  int64_t position_ = 0;
  const std::atomic<bool>* stop_ = nullptr;
};

}  // namespace kvitor
