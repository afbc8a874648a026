// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#pragma once

#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "BinStream.h"

namespace kvitor {

// Writes pieces to a stream on a thread of its own while the caller makes the
// next one: the copy into the system's cache then costs the caller nothing.
// Only that thread touches the stream until Finish.
class TWriteBehind {
 public:
  explicit TWriteBehind(TStream& out);
  // Waits for the piece being written; an error it met is dropped.
  ~TWriteBehind();
  TWriteBehind(const TWriteBehind&) = delete;
  TWriteBehind& operator=(const TWriteBehind&) = delete;

  // Hands piece over once the previous one is written, and gives back that
  // one's storage, emptied, to fill next. Raises the error of an earlier write.
  void Put(std::string& piece);
  // Waits until everything is written; raises the error of a write.
  void Finish();

 private:
  void Run();
  void Wait(std::unique_lock<std::mutex>& lock);

  TStream& out_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::string piece_;  // being written while full_
  bool full_ = false;
  bool stop_ = false;
  std::exception_ptr error_;
  std::thread thread_;  // last: started once the rest is made
};

}  // namespace kvitor
