// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace kvitor {

// The report file a save writes; the numbers are the save dialog's and the
// command line's.
enum class TReportFileType : int32_t { Binary = 1, Text = 2 };

// How far a save has come: written by the saving thread, read by any.
struct TSaveProgress {
  std::atomic<int64_t> Documents{0};  // outer containers written
  std::atomic<int64_t> Bytes{0};      // bytes of the file written

  void Reset() {
    Documents.store(0, std::memory_order_relaxed);
    Bytes.store(0, std::memory_order_relaxed);
  }
};

// What saving a report keeps beside the report: the progress of the save that
// runs now (or ran last), and the checksum of the binary file, kept with the
// header bytes it was worked out for, so that saving both files of one report
// encodes its tree once. Whoever keeps one forgets it when the report's
// documents change; a changed header misses by itself.
class TReportSave {
 public:
  [[nodiscard]] TSaveProgress& Progress() { return progress_; }
  [[nodiscard]] const TSaveProgress& Progress() const { return progress_; }

  [[nodiscard]] std::optional<uint32_t> KeptChecksum(const std::string& headerBytes) const {
    const std::lock_guard lock(mutex_);
    if (!checksumKept_ || checksumHeader_ != headerBytes) return std::nullopt;
    return checksum_;
  }
  void KeepChecksum(const std::string& headerBytes, uint32_t checksum) {
    const std::lock_guard lock(mutex_);
    checksumHeader_ = headerBytes;
    checksum_ = checksum;
    checksumKept_ = true;
  }
  void Forget() {
    const std::lock_guard lock(mutex_);
    checksumKept_ = false;
  }

 private:
  TSaveProgress progress_;
  mutable std::mutex mutex_;  // guards the checksum
  std::string checksumHeader_;
  uint32_t checksum_ = 0;
  bool checksumKept_ = false;
};

}  // namespace kvitor
