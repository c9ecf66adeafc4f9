#pragma once
// Keyboard-interrupt polling. The boundary installs a hook that asks the host whether a
// signal is pending; it is only ever called on the calling thread. Worker threads look at
// the cancellation flag of their job instead, which the calling thread raises while it
// waits.

#include <cstddef>

namespace velmar {

// What a call fails with when it is interrupted, as callers have always seen it (the
// misspelling included).
inline constexpr char interrupt_message[] = "Keyboard interupt";

// Returns true when the host has a pending signal (and has set its own error).
using InterruptHook = bool (*)();

void install_interrupt_hook(InterruptHook hook);

// Called by optimisers at their polling points. Fails with interrupt_message when the
// host reports a pending signal (calling thread) or the job's cancellation flag is up
// (worker).
void poll_interrupt();

// Counts `cells` of work done on this thread. Between the polling points of the searches,
// however far apart they are, this keeps every call answerable to an interrupt: a worker
// looks at its flag every 65,536 cells, the calling thread asks the host once per 20 ms of
// work. Fails like poll_interrupt.
void note_work(std::size_t cells);

}  // namespace velmar
