#pragma once
// Internal to the runtime: how the worker pool and interrupt polling share what they know
// about a pending keyboard interrupt. Nothing outside src/core/runtime includes this.

#include <atomic>

namespace velmar {

// Asks the installed hook whether the host has a pending signal. Calling thread only;
// false when no hook is installed.
bool host_signal_pending();

// Called once at the start of every pool thread: from then on poll_interrupt() on that
// thread never calls the hook (it has no host thread state) and reads the cancellation
// flag of the job it is running instead.
void mark_worker_thread();
bool on_worker_thread();

// The flag a worker looks at while it runs chunks of one job; null between jobs. Each job
// has its own flag, so an interrupt of one call never cancels another thread's call.
void watch_cancellation(const std::atomic<bool>* flag);

}  // namespace velmar
