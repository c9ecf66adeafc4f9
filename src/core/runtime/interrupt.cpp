#include "core/runtime/interrupt.hpp"

#include <atomic>
#include <chrono>

#include "core/failure.hpp"
#include "core/runtime/cancellation.hpp"

namespace velmar {

namespace {

using Clock = std::chrono::steady_clock;

// Work between two looks at the clock or the flag: a few tens of microseconds of pricing.
constexpr std::size_t cells_between_looks = std::size_t{1} << 16;
// The calling thread asks the host at most this often from note_work: the signal check
// runs the host's handlers, which is not free.
constexpr Clock::duration host_poll_period = std::chrono::milliseconds(20);

std::atomic<InterruptHook> installed_hook{nullptr};
thread_local bool is_worker_thread = false;
thread_local const std::atomic<bool>* job_cancellation = nullptr;
thread_local std::size_t cells_since_look = 0;
thread_local Clock::time_point last_host_poll{};

bool cancellation_raised() { return job_cancellation != nullptr && job_cancellation->load(std::memory_order_acquire); }

}  // namespace

void install_interrupt_hook(InterruptHook hook) { installed_hook.store(hook, std::memory_order_release); }

bool host_signal_pending() {
    const InterruptHook hook = installed_hook.load(std::memory_order_acquire);
    return hook != nullptr && hook();
}

void mark_worker_thread() { is_worker_thread = true; }
bool on_worker_thread() { return is_worker_thread; }
void watch_cancellation(const std::atomic<bool>* flag) { job_cancellation = flag; }

void poll_interrupt() {
    // Workers have no host thread state, so the hook is off limits there; the calling
    // thread polls the host on their behalf and raises the flag.
    const bool pending = is_worker_thread ? cancellation_raised() : host_signal_pending();
    if (pending) {
        fail(interrupt_message);
    }
}

void note_work(std::size_t cells) {
    cells_since_look += cells;
    if (cells_since_look < cells_between_looks) {
        return;
    }
    cells_since_look = 0;
    if (!is_worker_thread) {
        const Clock::time_point now = Clock::now();
        if (now - last_host_poll < host_poll_period) {
            return;
        }
        last_host_poll = now;
    }
    poll_interrupt();
}

}  // namespace velmar
