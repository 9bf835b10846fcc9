// Parked helper threads: work handed off the calling thread (run_on_helper,
// start_detached), waited for while the interrupt hook is polled (wait_interruptibly,
// run_interruptible), so that a stop request is answered while a step that cannot poll runs.
#pragma once
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <type_traits>
#include <utility>

#include "korvane/common/interrupt.hpp"

namespace korvane {

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

// Waits until `done` is ready, polling the interrupt hook meanwhile: Interrupted is
// thrown at once on a stop request, whatever the helper is doing. Takes a std::future
// or a std::shared_future, and leaves its result to be read.
template <class Future>
void wait_ready_interruptibly(const Future& done) {
  while (done.wait_for(std::chrono::milliseconds(kInterruptPollMs / 5)) !=
         std::future_status::ready)
    check_interrupt_now();
}

// The result of `done`, waited for as wait_ready_interruptibly does.
template <class Future>
auto wait_interruptibly(Future& done) {
  wait_ready_interruptibly(done);
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
