// The interrupt hook, its rate-limited polling and the stop flags that helper threads adopt.
#include "korvane/common/interrupt.hpp"

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <limits>

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

}  // namespace

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
