// Interruption of long analyses: a process-wide hook that the long loops of the core
// poll, so that a host (the Python binding) can stop a computation on the user's request.
#pragma once
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

// Long enough that a hook which must wait for a lock held elsewhere (the GIL) slows an
// analysis little, short enough that a stop request is met at once to a person.
inline constexpr int kInterruptPollMs = 50;

}  // namespace korvane
