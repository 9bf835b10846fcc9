// The parked helper threads: jobs handed off the calling thread, helpers reused once
// parked, work left behind on a stop request, and a forked child's own helpers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/common/helper_threads.hpp"
#include "korvane/common/interrupt.hpp"

using namespace korvane;

namespace {

bool never_stop() { return false; }
bool always_stop() { return true; }

// Restores "no hook" whatever a test leaves installed.
class HelperThreadsTest : public ::testing::Test {
 protected:
  void TearDown() override { set_interrupt_hook(nullptr); }
};

}  // namespace

TEST_F(HelperThreadsTest, InterruptibleWorkIsLeftBehindAtOnce) {
  // Without a hook the work runs on the calling thread, exceptions included.
  const auto caller = std::this_thread::get_id();
  EXPECT_EQ(run_interruptible([] { return std::this_thread::get_id(); }), caller);
  EXPECT_THROW(run_interruptible([]() -> int { throw std::runtime_error("no"); }),
               std::runtime_error);
  // With a hook that never stops: the helper's result, or its exception.
  set_interrupt_hook(&never_stop);
  EXPECT_EQ(run_interruptible([] { return 42; }), 42);
  EXPECT_THROW(run_interruptible([]() -> int { throw std::runtime_error("no"); }),
               std::runtime_error);
  // A stop request is answered while the work cannot finish: it waits for a gate that
  // opens only after Interrupted has reached the caller, so no timing is involved.
  set_interrupt_hook(&always_stop);
  std::promise<void> gate;
  std::promise<void> finished;
  auto finished_future = finished.get_future();
  EXPECT_THROW(run_interruptible([opened = gate.get_future().share(),
                                  done = std::make_shared<std::promise<void>>(
                                      std::move(finished))] {
                 opened.wait();
                 done->set_value();
                 return 0;
               }),
               Interrupted);
  gate.set_value();
  finished_future.wait();  // the helper ran to its end on its own
}

TEST(HelperThreads, AJobLeftRunningDoesNotHoldUpTheNext) {
  std::promise<void> gate;
  auto blocked = start_detached([opened = gate.get_future().share()] {
    opened.wait();
    return 1;
  });
  // Submitted while the first job waits: it must run on a thread of its own.
  auto next = start_detached([] { return 2; });
  EXPECT_EQ(next.get(), 2);
  EXPECT_EQ(blocked.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  gate.set_value();
  EXPECT_EQ(blocked.get(), 1);
}

TEST(HelperThreads, ParkedHelpersTakeTheNextJobs) {
  // One job at a time, each after the previous helper had ample time to park: a parked
  // helper takes it rather than a new thread. Helpers parked by earlier tests of this
  // process may take some, so only a bound well below one thread per job is asked.
  std::vector<std::thread::id> ids;
  for (int i = 0; i < 20; ++i) {
    ids.push_back(start_detached([] { return std::this_thread::get_id(); }).get());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::sort(ids.begin(), ids.end());
  const auto distinct = std::unique(ids.begin(), ids.end()) - ids.begin();
  EXPECT_LE(distinct, 4);
}

TEST(HelperThreads, WhatAJobOwnsIsReleasedWhenItEnds) {
  // Not when its thread ends, which a parked helper's does only after a long idle time.
  for (int round = 0; round < 2; ++round) {  // a new thread, then a parked one
    auto token = std::make_shared<int>(round);
    const std::weak_ptr<int> watch = token;
    EXPECT_EQ(start_detached([token = std::move(token)] { return *token; }).get(), round);
    for (int i = 0; i < 500 && !watch.expired(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(watch.expired());
  }
}

TEST(HelperThreads, AForkedChildRunsItsOwnJobs) {
  // The parent has a parked helper; the child inherits none of its threads.
  EXPECT_EQ(start_detached([] { return 3; }).get(), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto done = start_detached([] { return 4; });
    const bool ran = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready &&
                     done.get() == 4;
    _exit(ran ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
