#include "core/runtime/parallel.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "core/failure.hpp"
#include "core/runtime/cancellation.hpp"
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

// Waits until the workers finished every chunk, polling the host meanwhile. Must not leave
// early: the job lives on the caller's stack. Returns whether an interrupt was noticed.
bool wait_polling(WorkerPool& pool) noexcept {
    bool interrupted = false;
    while (!pool.wait_done(poll_period)) {
        if (!interrupted && signal_pending()) {
            interrupted = true;
            raise_cancellation();
        }
    }
    if (interrupted) {
        lower_cancellation();
    }
    return interrupted;
}

void finish(const ChunkJob& job, bool interrupted) {
    if (interrupted || job.cancelled()) {
        VELMAR_FAIL("Keyboard interupt");
    }
    job.rethrow_first_failure();
}

void run_inline(std::size_t n_items, std::size_t chunk, const ChunkWork& work) {
    StepScope scope;
    ChunkJob job(work, n_items, chunk);
    job.run_available();
    finish(job, false);
}

}  // namespace

std::size_t worker_count() { return std::max<std::size_t>(WorkerPool::of_this_process().size(), 1); }

void parallel_chunks(std::size_t n_items, std::size_t chunk_items, const ChunkWork& work) {
    if (n_items == 0) {
        return;
    }
    WorkerPool& pool = WorkerPool::of_this_process();
    const std::size_t chunk = std::max<std::size_t>(chunk_items, 1);
    if (on_worker_thread() || step_depth > 0 || pool.size() == 0) {
        run_inline(n_items, chunk, work);
        return;
    }
    ChunkJob job(work, n_items, chunk);
    std::lock_guard<std::mutex> one_step_at_a_time(pool.step_mutex());
    StepScope scope;
    pool.submit(job);
    const bool interrupted = wait_polling(pool);
    finish(job, interrupted);
}

}  // namespace velmar
