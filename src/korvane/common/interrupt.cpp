#include "korvane/common/interrupt.hpp"

#include <atomic>
#include <chrono>

namespace korvane {
namespace {

std::atomic<InterruptHook> g_hook{nullptr};

using Clock = std::chrono::steady_clock;

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
  thread_local Clock::time_point last_poll{};
  const Clock::time_point now = Clock::now();
  if (now - last_poll < std::chrono::milliseconds(kInterruptPollMs)) return;
  last_poll = now;
  check_interrupt_now();
}

}  // namespace korvane
