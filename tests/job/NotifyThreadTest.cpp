// SPDX-License-Identifier: MIT
// Copyright The Kvitor authors

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "job/NotifyThread.h"

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

TEST(NotifyThreadTest, TerminatedBeforeItRunsSkipsItsBodyButNotItsEnd) {
  for (const bool terminate : {true, false}) {
    std::atomic<int> calls{0};
    std::atomic<int> ends{0};
    std::atomic<bool> ran{!terminate};
    TNotifyThread thread([&](TNotifyThread&) { ++calls; });
    thread.SetOnTerminate([&](TNotifyThread&, bool bodyRan) {
      ++ends;
      ran = bodyRan;
    });
    if (terminate) thread.Terminate();
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(calls, terminate ? 0 : 1);
    EXPECT_EQ(ends, 1) << "the end is told also when the body was skipped";
    EXPECT_EQ(ran, !terminate);
    EXPECT_TRUE(thread.Finished());
  }
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

TEST(NotifyThreadTest, FreedUnstartedItSkipsItsBodyAndEnds) {
  std::atomic<int> calls{0};
  std::atomic<int> ends{0};
  std::atomic<bool> ran{true};
  {
    TNotifyThread thread([&](TNotifyThread&) { ++calls; });
    thread.SetOnTerminate([&](TNotifyThread& t, bool bodyRan) {
      ++ends;
      ran = bodyRan;
      EXPECT_TRUE(t.Terminated());
    });
    thread.WaitFor();  // nothing started: returns at once
    EXPECT_FALSE(thread.Finished());
  }
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(ends, 1);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace kvitor::test
