// Interruption of long analyses: a process-wide hook that the long loops of the core
// poll, so that a host (the Python binding) can stop a computation on the user's request.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <type_traits>
#include <utility>

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

// Runs `job`, which must not throw, on a parked helper thread, or on a new one when none
// is idle, and returns at once; false when no thread could be started. Helpers park for
// a while after their job, so that the next job skips the cost of starting a thread; a
// job never waits for another, however long that one runs.
bool run_on_helper(std::function<void()> job);

// Starts `work` on a helper thread and returns its future, which (unlike std::async's)
// does not wait for the helper when dropped: work left behind finishes on its own and its
// result is discarded, so `work` must own everything it reads. When no thread can be
// started, `work` runs at once on the calling thread.
template <class F>
auto start_detached(F work) -> std::future<decltype(work())> {
  using Result = decltype(work());
  auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
  std::future<Result> done = task->get_future();
  if (!run_on_helper([task] { (*task)(); })) (*task)();
  return done;
}

// The result of `done`, polling the interrupt hook while it is not ready: Interrupted
// is thrown at once on a stop request, whatever the helper is doing.
// Takes a std::future or a std::shared_future.
template <class Future>
auto wait_interruptibly(Future& done) {
  while (done.wait_for(std::chrono::milliseconds(kInterruptPollMs / 5)) !=
         std::future_status::ready)
    check_interrupt_now();
  using Result = std::decay_t<decltype(done.get())>;
  return Result(done.get());
}

// Runs `work`, a step that cannot poll by itself (a dense eigen-solve of a large
// matrix), so that a stop request is still answered at once: on a helper thread while
// this one polls, when a hook is installed; otherwise simply here.
template <class F>
auto run_interruptible(F work) -> decltype(work()) {
  if (!interrupt_hook_installed()) return work();
  auto done = start_detached(std::move(work));
  return wait_interruptibly(done);
}

}  // namespace korvane
