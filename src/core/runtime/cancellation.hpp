#pragma once
// Internal to the runtime: how the worker pool and interrupt polling share what they know
// about a pending keyboard interrupt. Nothing outside src/core/runtime includes this.

namespace velmar {

// Asks the installed hook whether the host has a pending signal. Calling thread only;
// false when no hook is installed.
bool host_signal_pending();

// The shared flag that workers' poll_interrupt() looks at. Raised by the calling thread
// while it waits for a parallel step, lowered once every chunk has finished.
void raise_cancellation();
void lower_cancellation();
bool cancellation_raised();

// Called once at the start of every pool thread: from then on poll_interrupt() on that
// thread never calls the hook (it has no host thread state) and reads the flag instead.
void mark_worker_thread();
bool on_worker_thread();

}  // namespace velmar
