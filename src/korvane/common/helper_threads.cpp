// The parked helper threads behind run_on_helper: a job goes to an idle helper or to a
// new thread, and a helper parks for a while after its job before its thread ends.
#include "korvane/common/helper_threads.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace korvane {
namespace {

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

}  // namespace korvane
