// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/NotifyThread.h"

namespace kvitor {

TNotifyThread::TNotifyThread(TNotifyEvent onNotify)
    : onNotify_(std::move(onNotify)),
      thread_([this](const std::stop_token& stop) { Execute(stop); }) {}

TNotifyThread::~TNotifyThread() {
  // One never started is let run with its flag set, so that it ends.
  Terminate();
  Start();
  if (thread_.joinable()) thread_.join();
}

void TNotifyThread::Start() {
  const std::lock_guard lock(mutex_);
  started_ = true;
  startCondition_.notify_all();
}

void TNotifyThread::WaitFor() {
  {
    const std::lock_guard lock(mutex_);
    if (!started_) return;
  }
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TNotifyThread::Execute(const std::stop_token& stop) {
  {
    std::unique_lock lock(mutex_);
    startCondition_.wait(lock, [this] { return started_; });
  }
  const bool run = !stop.stop_requested();
  if (run && onNotify_) onNotify_(*this);
  if (onTerminate_) onTerminate_(*this, run);
  finished_.store(true, std::memory_order_release);
}

}  // namespace kvitor
