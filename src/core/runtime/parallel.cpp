#include "core/runtime/parallel.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "core/failure.hpp"
#include "core/runtime/cancellation.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/worker_pool.hpp"

namespace velmar {

namespace {

// How long the calling thread sleeps between two looks at the host's signal state.
constexpr std::chrono::milliseconds poll_period{20};

// Depth of parallel steps on this thread. A step started from inside one (from a worker,
// or from a host signal handler that runs while the calling thread polls) runs inline:
// handing it to the busy pool could only deadlock.
thread_local int step_depth = 0;

class StepScope {
public:
    StepScope() { ++step_depth; }
    ~StepScope() { --step_depth; }
    StepScope(const StepScope&) = delete;
    StepScope& operator=(const StepScope&) = delete;
};

bool signal_pending() noexcept {
    try {
        return host_signal_pending();
    } catch (...) {
        return true;  // a hook that cannot answer is treated as an interrupt
    }
}

enum class WaitOutcome { finished, interrupted, forked };

// Waits until the workers finished every chunk, polling the host meanwhile. Must not leave
// early while workers may hold the job, which lives on the caller's stack. Only a fork
// from a signal handler ends the wait before that: the child has no workers to wait for.
WaitOutcome wait_polling(WorkerPool& pool, ChunkJob& job) noexcept {
    bool interrupted = false;
    while (!pool.wait_done(poll_period)) {
        if (!interrupted && signal_pending()) {
            interrupted = true;
            job.request_cancellation();
        }
        if (pool.abandoned_by_fork()) {
            return WaitOutcome::forked;
        }
    }
    return interrupted ? WaitOutcome::interrupted : WaitOutcome::finished;
}

void finish(const ChunkJob& job, WaitOutcome outcome) {
    if (outcome == WaitOutcome::forked) {
        fail("the process forked during a parallel step; the call cannot finish in the child");
    }
    if (outcome == WaitOutcome::interrupted || job.cancelled()) {
        fail(interrupt_message);
    }
    job.rethrow_first_failure();
}

void run_inline(std::size_t n_items, std::size_t chunk, const ChunkWork& work) {
    StepScope scope;
    ChunkJob job(work, n_items, chunk);
    job.run_available();
    finish(job, WaitOutcome::finished);
}

}  // namespace

std::size_t worker_count() { return std::max<std::size_t>(WorkerPool::of_this_process().size(), 1); }

void parallel_chunks(std::size_t n_items, std::size_t chunk_items, const ChunkWork& work, CallerRole role) {
    if (n_items == 0) {
        return;
    }
    WorkerPool& pool = WorkerPool::of_this_process();
    const std::size_t chunk = std::max<std::size_t>(chunk_items, 1);
    if (on_worker_thread() || step_depth > 0 || pool.size() == 0) {
        run_inline(n_items, chunk, work);
        return;
    }
    // One step at a time on the pool. A busy pool is never waited for: this thread holds
    // the interpreter lock, and the step that holds the pool may be waiting for that lock
    // (a host signal handler can hand it over while the step polls). Run here instead.
    std::unique_lock<std::mutex> one_step_at_a_time(pool.step_mutex(), std::try_to_lock);
    if (!one_step_at_a_time.owns_lock()) {
        run_inline(n_items, chunk, work);
        return;
    }
    ChunkJob job(work, n_items, chunk);
    if (role == CallerRole::works) job.limit_workers(pool.size() - 1);
    StepScope scope;
    pool.submit(job);
    if (role == CallerRole::works) {
        job.run_available();
        if (job.failed()) job.request_cancellation();
    }
    finish(job, wait_polling(pool, job));
}

}  // namespace velmar
