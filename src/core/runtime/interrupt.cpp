#include "core/runtime/interrupt.hpp"

#include <atomic>

#include "core/failure.hpp"
#include "core/runtime/cancellation.hpp"

namespace velmar {

namespace {

std::atomic<InterruptHook> installed_hook{nullptr};
std::atomic<bool> cancellation{false};
thread_local bool is_worker_thread = false;

}  // namespace

void install_interrupt_hook(InterruptHook hook) { installed_hook.store(hook, std::memory_order_release); }

bool host_signal_pending() {
    const InterruptHook hook = installed_hook.load(std::memory_order_acquire);
    return hook != nullptr && hook();
}

void raise_cancellation() { cancellation.store(true, std::memory_order_release); }
void lower_cancellation() { cancellation.store(false, std::memory_order_release); }
bool cancellation_raised() { return cancellation.load(std::memory_order_acquire); }

void mark_worker_thread() { is_worker_thread = true; }
bool on_worker_thread() { return is_worker_thread; }

void poll_interrupt() {
    // Workers have no host thread state, so the hook is off limits there; the calling
    // thread polls the host on their behalf and raises the flag.
    const bool pending = is_worker_thread ? cancellation_raised() : host_signal_pending();
    if (pending) {
        VELMAR_FAIL("Keyboard interupt");
    }
}

}  // namespace velmar
