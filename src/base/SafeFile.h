// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <sys/stat.h>

#include "base/Error.h"
#include "base/Stream.h"

namespace kvitor {

class TPendingTempName;

inline constexpr const char* kStandardOutput = "/dev/stdout";

// Writes a file so that it either appears whole or not at all. The bytes go
// to an unnamed temporary file in the target's folder (O_TMPFILE), linked in
// under the target's name only on Commit, after everything is written and
// flushed: an interrupted save, even by kill -9, leaves nothing behind. Where
// the file system has no unnamed files, a hidden named one is used instead;
// it is removed on SIGINT and SIGTERM (see RemovePendingTempFiles) and when
// the writer is abandoned.
//
// The folder is opened once and the file is made and put in place relative
// to it, so that the entry that was checked is the one written, however the
// path changes meanwhile. The writer follows every link on the way itself,
// the one at the end to the file it names; in a world-writable sticky folder
// a link owned by someone else is refused, as the kernel's protected-symlinks
// rule refuses it.
//
// The new file keeps only the permission bits of the file it replaces, never
// its set-user-ID, set-group-ID or sticky bit. An existing file is never
// overwritten in place: where its folder admits no new file, the save is
// refused and the old file stays. A device or a named pipe such as /dev/null
// receives the save itself. kStandardOutput is the descriptor itself,
// whatever it is: a file it stands for is written at its offset, not
// replaced. A folder is refused.
//
// Errors are "Cannot create file "%s". %s" with the target's full path, and
// the stream's "Cannot write file ..." while writing.
class TSafeFileWriter {
 public:
  explicit TSafeFileWriter(const std::string& fileName);
  ~TSafeFileWriter();
  TSafeFileWriter(const TSafeFileWriter&) = delete;
  TSafeFileWriter& operator=(const TSafeFileWriter&) = delete;

  [[nodiscard]] TStream& Stream() {
    return sequential_ ? static_cast<TStream&>(*sequential_) : *stream_;
  }
  // False for a device or a pipe: written front to back, no seeking back.
  [[nodiscard]] bool Seekable() const { return !sequential_; }
  [[nodiscard]] const std::string& FullPath() const { return target_; }
  // Flushes, closes and puts the file in the target's place.
  void Commit();

 private:
  enum class TMode { Unnamed, Named, Special };
  bool OpenTemporary(mode_t mode, int& error);
  void OpenSpecial(int folder, const std::string& name, const struct stat& seen, bool throughLink);
  void LinkUnnamed();

  std::string target_;
  int folderFd_ = -1;                          // the target's folder (O_PATH)
  std::string name_;                           // the target's entry in it
  std::string tempName_;                       // the named temporary file's entry
  std::string temp_;                           // its full path, for the signal handler
  std::unique_ptr<TPendingTempName> pending_;  // temp_ for the signal handler
  std::unique_ptr<TFileStream> stream_;
  std::unique_ptr<TSequentialStream> sequential_;  // Special: the target itself
  int fd_ = -1;                                    // stream_'s descriptor
  TMode mode_ = TMode::Unnamed;
  bool committed_ = false;
};

// Checks before any work is done that a save to fileName can be made: its
// folder exists and admits a new file, and it is no folder. Raises the
// writer's "Cannot create file" error.
void CheckSaveTarget(const std::string& fileName);

// Once *stop is true, every save in progress and to come ends at its next
// write with TSaveStopped, leaving the old file as it was. For a program's
// SIGINT/SIGTERM handler, which only sets the flag; nullptr ends it.
void StopSavesWhen(const std::atomic<bool>* stop);

// Removes the named temporary files of the saves in progress. Safe to call
// from a signal handler: a program that ends itself from its own SIGINT or
// SIGTERM handler calls it first. Without such a handler (the default
// action) the writer removes them itself before the signal ends the process.
void RemovePendingTempFiles() noexcept;

// A read refused before or while reading a file. Code() is the errno value,
// or 0 when the file is no regular file or is larger than allowed.
class TFileReadError : public Error {
 public:
  TFileReadError(int code, const std::string& reason) : Error(reason), code_(code) {}
  [[nodiscard]] int Code() const { return code_; }

 private:
  int code_;
};

// A regular file open for reading; the descriptor is closed with it.
class TRegularFile {
 public:
  ~TRegularFile();
  TRegularFile(TRegularFile&& other) noexcept;
  TRegularFile& operator=(TRegularFile&&) = delete;
  TRegularFile(const TRegularFile&) = delete;
  TRegularFile& operator=(const TRegularFile&) = delete;

  [[nodiscard]] int Fd() const { return fd_; }
  // The size when it was opened.
  [[nodiscard]] uint64_t Size() const { return size_; }

 private:
  friend TRegularFile OpenRegularFile(const std::string& path, uint64_t maxBytes);
  explicit TRegularFile(int fd) : fd_(fd) {}

  int fd_;
  uint64_t size_ = 0;
};

// Opens a regular file of at most maxBytes bytes for reading. What is not a
// regular file (a device such as /dev/zero, a named pipe, a folder) is refused
// without being opened, and nothing blocks; so is a larger file. Raises
// TFileReadError with the reason alone ("Not a regular file", the system's
// text, "larger than N bytes"); the caller names the file.
[[nodiscard]] TRegularFile OpenRegularFile(const std::string& path, uint64_t maxBytes);

// The whole content of a regular file, opened as OpenRegularFile opens it; a
// file growing past maxBytes while being read is refused without reading it
// all.
[[nodiscard]] std::string ReadRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace kvitor
