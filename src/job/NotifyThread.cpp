// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include "job/NotifyThread.h"

namespace kvitor {

TNotifyThread::TNotifyThread(TNotifyEvent onNotify, bool freeOnTerminate)
    : onNotify_(std::move(onNotify)), freeOnTerminate_(freeOnTerminate) {}

TNotifyThread::~TNotifyThread() {
  Terminate();
  WaitFor();
}

void TNotifyThread::Start() {
  if (thread_.joinable() || finished_) return;
  if (freeOnTerminate_) {
    // The thread may end and delete this object at once, so nothing of the
    // object may be touched once it runs: it is never stored in thread_.
    std::thread([this] { Execute(); }).detach();
    return;
  }
  thread_ = std::thread([this] { Execute(); });
}

void TNotifyThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void TNotifyThread::Execute() {
  const bool run = !Terminated();
  if (run && onNotify_) onNotify_(*this);
  if (onTerminate_) onTerminate_(*this, run);
  if (freeOnTerminate_) {
    delete this;
    return;
  }
  finished_.store(true, std::memory_order_release);
}

}  // namespace kvitor
