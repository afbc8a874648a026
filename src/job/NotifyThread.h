// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace kvitor {

// A worker thread created suspended, with a termination flag that its body
// tests, and an option to free itself when it ends.
class TNotifyThread {
 public:
  using TNotifyEvent = std::function<void(TNotifyThread& sender)>;
  // Called on the thread at its end, also when the body was skipped; bodyRan
  // tells which.
  using TTerminateEvent = std::function<void(TNotifyThread& sender, bool bodyRan)>;

  explicit TNotifyThread(TNotifyEvent onNotify, bool freeOnTerminate = false);
  // Sets the termination flag and waits for the thread to end.
  ~TNotifyThread();
  TNotifyThread(const TNotifyThread&) = delete;
  TNotifyThread& operator=(const TNotifyThread&) = delete;

  // Lets the thread run. A thread that frees itself must have been made with
  // new; it is deleted when its body ends.
  void Start();
  // Set before Start.
  void SetOnTerminate(TTerminateEvent onTerminate) { onTerminate_ = std::move(onTerminate); }
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  [[nodiscard]] bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  [[nodiscard]] bool Finished() const { return finished_.load(std::memory_order_acquire); }
  void WaitFor();

 private:
  void Execute();

  TNotifyEvent onNotify_;
  TTerminateEvent onTerminate_;
  const bool freeOnTerminate_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;
};

}  // namespace kvitor
