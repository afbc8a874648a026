// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "WriteBehind.h"

#include <utility>

namespace kvitor {

TWriteBehind::TWriteBehind(TStream& out) : out_(out), thread_([this] { Run(); }) {}

TWriteBehind::~TWriteBehind() {
  {
    const std::lock_guard lock(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void TWriteBehind::Run() {
  std::unique_lock lock(lock_);
  for (;;) {
    changed_.wait(lock, [this] { return full_ || stop_; });
    if (!full_) return;
    lock.unlock();
    std::exception_ptr error;
    try {
      out_.Write(piece_.data(), piece_.size());
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !error_) error_ = error;
    full_ = false;
    changed_.notify_all();
  }
}

void TWriteBehind::Wait(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !full_; });
  if (error_) std::rethrow_exception(error_);
}

void TWriteBehind::Put(std::string& piece) {
  {
    std::unique_lock lock(lock_);
    Wait(lock);
    std::swap(piece_, piece);
    full_ = true;
  }
  changed_.notify_all();
  piece.clear();
}

void TWriteBehind::Finish() {
  std::unique_lock lock(lock_);
  Wait(lock);
}

}  // namespace kvitor
