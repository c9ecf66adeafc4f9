#pragma once
// Keyboard-interrupt polling. The boundary installs a hook that asks the host whether a
// signal is pending; it is only ever called on the calling thread. Worker threads look at
// a shared cancellation flag instead, which the calling thread raises while it waits.

namespace velmar {

// Returns true when the host has a pending signal (and has set its own error).
using InterruptHook = bool (*)();

void install_interrupt_hook(InterruptHook hook);

// Called by optimisers at their polling points. Fails with "Keyboard interupt" when the
// host reports a pending signal (calling thread) or the cancellation flag is up (worker).
void poll_interrupt();

}  // namespace velmar
