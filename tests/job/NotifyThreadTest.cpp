#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "NotifyThread.h"

namespace kvitor::test {
namespace {

TEST(NotifyThreadTest, RunsItsBodyOnceWithItselfAsSender) {
  int calls = 0;
  TNotifyThread* sender = nullptr;
  TNotifyThread thread([&](TNotifyThread& t) {
    ++calls;
    sender = &t;
  });
  thread.Start();
  thread.WaitFor();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sender, &thread);
  EXPECT_TRUE(thread.Finished());
}

TEST(NotifyThreadTest, TerminatedBeforeItRunsSkipsItsBody) {
  std::atomic<int> calls{0};
  TNotifyThread thread([&](TNotifyThread&) { ++calls; });
  thread.Terminate();
  thread.Start();
  thread.WaitFor();
  EXPECT_EQ(calls, 0);
  EXPECT_TRUE(thread.Finished());
}

TEST(NotifyThreadTest, DestructorSetsTheFlagAndWaitsForTheBody) {
  std::atomic<bool> started{false};
  std::atomic<bool> ended{false};
  {
    TNotifyThread thread([&](TNotifyThread& t) {
      started = true;
      while (!t.Terminated()) std::this_thread::yield();
      ended = true;
    });
    thread.Start();
    while (!started) std::this_thread::yield();
  }
  EXPECT_TRUE(ended);
}

TEST(NotifyThreadTest, SelfFreeingThreadsFreeThemselves) {
  // Short bodies end while Start may still be busy with the thread object.
  constexpr int kThreads = 200;
  std::mutex mutex;
  std::condition_variable done;
  int ended = 0;
  for (int i = 0; i < kThreads; ++i) {
    auto* thread = new TNotifyThread(
        [&](TNotifyThread&) {
          const std::lock_guard lock(mutex);
          ++ended;
          done.notify_all();
        },
        true);
    thread->Start();
  }
  std::unique_lock lock(mutex);
  EXPECT_TRUE(done.wait_for(lock, std::chrono::seconds(60), [&] { return ended == kThreads; }));
}

}  // namespace
}  // namespace kvitor::test
