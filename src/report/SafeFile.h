#pragma once

#include <memory>
#include <string>

#include "BinStream.h"

namespace kvitor {

// Writes a file so that it either appears whole or not at all: the bytes go to
// a temporary file in the target's folder, which replaces the target only on
// Commit, after everything is written and flushed. Abandoning the writer (an
// error on the way) removes the temporary file and leaves the target as it was.
class TSafeFileWriter {
 public:
  // Error "Cannot create file "%s". %s" with the target's full path.
  explicit TSafeFileWriter(const std::string& fileName);
  ~TSafeFileWriter();
  TSafeFileWriter(const TSafeFileWriter&) = delete;
  TSafeFileWriter& operator=(const TSafeFileWriter&) = delete;

  [[nodiscard]] TStream& Stream() { return *stream_; }
  [[nodiscard]] const std::string& FullPath() const { return target_; }
  // Flushes, closes and puts the file in the target's place.
  void Commit();

 private:
  std::string target_;
  std::string temp_;
  std::unique_ptr<TFileStream> stream_;
  bool committed_ = false;
};

}  // namespace kvitor
