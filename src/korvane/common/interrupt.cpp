#include "korvane/common/interrupt.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

namespace korvane {
namespace {

std::atomic<InterruptHook> g_hook{nullptr};

// Milliseconds of a monotonic clock for the poll interval: the coarse clock where there
// is one, read in a few nanoseconds where the precise one takes tens (check_interrupt
// reads it once per iteration of the layout's relaxation); its resolution of a few
// milliseconds is far below the interval.
std::int64_t poll_clock_ms() {
#if defined(CLOCK_MONOTONIC_COARSE)
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0)
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
#endif
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

thread_local const StopFlag* t_stop = nullptr;  // the flag this thread has adopted

// How long a helper stays parked without a job before its thread ends.
constexpr std::chrono::seconds kHelperIdleLife{10};

// The helper threads: each runs its first job, then parks on the queue. A job goes to a
// parked helper when one is free of the jobs already queued, otherwise to a new thread.
// Never destroyed: parked helpers wait on its members until the process ends.
class HelperThreads {
 public:
  bool run(std::function<void()> job) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (idle_ > queue_.size()) {
      queue_.push_back(std::move(job));
      lock.unlock();
      wake_.notify_one();
      return true;
    }
    lock.unlock();
    try {
      std::thread([this, job = std::move(job)]() mutable {
        job();
        job = nullptr;  // what the job owns goes now, not when the thread ends
        park();
      }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

 private:
  void park() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ++idle_;
      const bool woken = wake_.wait_for(lock, kHelperIdleLife, [this] { return !queue_.empty(); });
      --idle_;
      if (!woken) return;
      std::function<void()> job = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      job();
      job = nullptr;  // what the job owns goes outside the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  std::size_t idle_ = 0;  // parked helpers, counted under mutex_
};

std::atomic<HelperThreads*> g_helpers{nullptr};

// A child made by fork() has none of its parent's threads: it starts a set of its own.
// The parent's set is left alone (its lock may have been held at the fork).
void forget_helpers_in_child() { g_helpers.store(new HelperThreads()); }

HelperThreads& helpers() {
  static const bool registered = [] {
    g_helpers.store(new HelperThreads());
    pthread_atfork(nullptr, nullptr, &forget_helpers_in_child);
    return true;
  }();
  (void)registered;
  return *g_helpers.load();
}

}  // namespace

bool run_on_helper(std::function<void()> job) { return helpers().run(std::move(job)); }

StopScope::StopScope(const StopFlag* flag) : previous_(t_stop) { t_stop = flag; }

StopScope::~StopScope() { t_stop = previous_; }

InterruptHook set_interrupt_hook(InterruptHook hook) { return g_hook.exchange(hook); }

bool interrupt_hook_installed() { return g_hook.load(std::memory_order_acquire) != nullptr; }

void check_interrupt_now() {
  if (t_stop != nullptr) {
    if (t_stop->raised()) throw Interrupted();
    return;
  }
  const InterruptHook hook = g_hook.load(std::memory_order_acquire);
  if (hook != nullptr && hook()) throw Interrupted();
}

void check_interrupt() {
  if (t_stop != nullptr) {
    if (t_stop->raised()) throw Interrupted();
    return;
  }
  if (g_hook.load(std::memory_order_relaxed) == nullptr) return;
  // Per thread: analyses running on other threads must not use up this thread's polls.
  thread_local std::int64_t last_poll_ms = std::numeric_limits<std::int64_t>::min() / 2;
  const std::int64_t now = poll_clock_ms();
  if (now - last_poll_ms < kInterruptPollMs) return;
  last_poll_ms = now;
  check_interrupt_now();
}

}  // namespace korvane
