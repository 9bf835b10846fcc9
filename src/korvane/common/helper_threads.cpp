// The parked helper threads behind run_on_helper: a job goes to an idle helper or to a
// new thread, and a helper parks for a while after its job before its thread ends.
#include "korvane/common/helper_threads.hpp"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
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

// How long one reading of the machine's running threads stands.
constexpr std::chrono::milliseconds kLoadReadingLife{20};

// The running threads of the machine, from the fourth field of /proc/loadavg
// ("running/total"); -1 where it cannot be read.
int running_threads() {
  std::FILE* f = std::fopen("/proc/loadavg", "r");
  if (f == nullptr) return -1;
  double a = 0, b = 0, c = 0;
  int running = -1, total = 0;
  if (std::fscanf(f, "%lf %lf %lf %d/%d", &a, &b, &c, &running, &total) != 5) running = -1;
  std::fclose(f);
  return running;
}

int allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 0;
  return CPU_COUNT(&set);
}

std::atomic<std::int64_t> g_load_read_at{std::numeric_limits<std::int64_t>::min()};
std::atomic<bool> g_core_free{true};

}  // namespace

bool helper_core_free() {
  const char* setting = std::getenv("KORVANE_HELPER_THREADS");
  if (setting != nullptr && std::strcmp(setting, "always") == 0) return true;
  const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
  std::int64_t read_at = g_load_read_at.load(std::memory_order_relaxed);
  if (read_at != std::numeric_limits<std::int64_t>::min() &&
      now - read_at < kLoadReadingLife.count())
    return g_core_free.load(std::memory_order_relaxed);
  // One thread reads; the others take the last reading meanwhile.
  if (!g_load_read_at.compare_exchange_strong(read_at, now, std::memory_order_relaxed))
    return g_core_free.load(std::memory_order_relaxed);
  const int running = running_threads(), cpus = allowed_cpus();
  const bool free = running < 0 || cpus <= 0 || running < cpus;
  g_core_free.store(free, std::memory_order_relaxed);
  return free;
}

bool run_on_helper(std::function<void()> job) { return helpers().run(std::move(job)); }

}  // namespace korvane
