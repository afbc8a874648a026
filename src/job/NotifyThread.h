// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>

namespace kvitor {

// A worker thread created suspended: it waits until Start lets its body run.
// Its termination flag is the thread's stop token, which the body tests.
class TNotifyThread {
 public:
  using TNotifyEvent = std::function<void(TNotifyThread& sender)>;
  // Called on the thread at its end, also when the body was skipped; bodyRan
  // tells which.
  using TTerminateEvent = std::function<void(TNotifyThread& sender, bool bodyRan)>;

  // Error (std::system_error) when no thread can be made.
  explicit TNotifyThread(TNotifyEvent onNotify);
  // Sets the termination flag and waits for the thread to end; one never
  // started skips its body.
  ~TNotifyThread();
  TNotifyThread(const TNotifyThread&) = delete;
  TNotifyThread& operator=(const TNotifyThread&) = delete;

  // Lets the thread run.
  void Start();
  // Set before Start.
  void SetOnTerminate(TTerminateEvent onTerminate) { onTerminate_ = std::move(onTerminate); }
  void Terminate() { thread_.request_stop(); }
  [[nodiscard]] bool Terminated() const { return thread_.get_stop_token().stop_requested(); }
  [[nodiscard]] bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Waits for the end of a started thread.
  void WaitFor();

 private:
  void Execute(const std::stop_token& stop);

  TNotifyEvent onNotify_;
  TTerminateEvent onTerminate_;
  std::mutex mutex_;
  std::condition_variable startCondition_;
  bool started_ = false;  // under mutex_
  std::atomic<bool> finished_{false};
  // Last: it runs from the constructor on, and is joined before the members
  // it uses are gone.
  std::jthread thread_;
};

}  // namespace kvitor
