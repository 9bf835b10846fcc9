// Interruption of long analyses: a process-wide hook that the long loops of the core
// poll, so that a host (the Python binding) can stop a computation on the user's request.
#pragma once
#include <atomic>
#include <stdexcept>

namespace korvane {

// Thrown from check_interrupt() when the hook asks for the analysis to stop. Everything
// an analysis builds lives in locals, so unwinding leaves no half-built result behind.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("analysis interrupted") {}
};

// Returns true when the running analysis should stop. Called on the thread that runs
// the analysis; it must not throw.
using InterruptHook = bool (*)();

// Installs the hook (nullptr: never interrupt, the default) and returns the previous one.
InterruptHook set_interrupt_hook(InterruptHook hook);

// Polls the hook at most once per kInterruptPollMs on each thread and throws Interrupted
// when it asks to stop. Cheap enough to call once per iteration of any loop whose
// iterations take more than a few hundred nanoseconds.
void check_interrupt();

// Polls the hook now, whenever it was last polled.
void check_interrupt_now();

// Whether an interrupt hook is installed.
bool interrupt_hook_installed();

// A stop request for work handed to a helper thread. The helper adopts the flag for
// the lifetime of a StopScope; there, check_interrupt and check_interrupt_now throw
// Interrupted once the flag is raised, and do not poll the hook (which answers only on
// the thread that runs the host's signal handlers): the thread that waits polls it and
// raises the flag.
class StopFlag {
 public:
  void raise() { raised_.store(true, std::memory_order_relaxed); }
  bool raised() const { return raised_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> raised_{false};
};

class StopScope {
 public:
  explicit StopScope(const StopFlag* flag);
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  const StopFlag* previous_;
};

// Long enough that a hook which must wait for a lock held elsewhere (the GIL) slows an
// analysis little, short enough that a stop request is met at once to a person.
inline constexpr int kInterruptPollMs = 50;

}  // namespace korvane
