#pragma once
// The process-wide worker pool behind parallel_chunks. Internal to the runtime.
//
// One worker per CPU available to the process (or VELMAR_NUM_THREADS), started on first
// use and never stopped:
// the pool is leaked at exit on purpose, since joining threads during static destruction
// deadlocks inside an embedding interpreter. A process forked after the pool started
// inherits none of its threads, so the pool is keyed by process id and rebuilt in the child.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

namespace velmar {

using ChunkWork = std::function<void(std::size_t begin, std::size_t end)>;

// One parallel step: contiguous chunks of [0, n_items), handed out in order. Lives on the
// stack of the thread that runs the step.
class ChunkJob {
public:
    ChunkJob(const ChunkWork& work, std::size_t n_items, std::size_t chunk);

    std::size_t chunk_count() const { return failures_.size(); }
    bool all_taken() const { return next_.load(std::memory_order_acquire) >= chunk_count(); }

    // Takes chunks until none is left. Chunks that can no longer change the outcome (after
    // a lower chunk failed, or once cancellation is requested) are taken but not run.
    void run_available() noexcept;

    // Asks the runs of this job to stop: chunks not yet started are skipped, and running
    // ones fail at their next look at the flag.
    void request_cancellation() { cancel_requested_.store(true, std::memory_order_release); }
    const std::atomic<bool>& cancellation_flag() const { return cancel_requested_; }

    // Lets at most `seats` pool workers take chunks (the calling thread, which also takes
    // chunks, would otherwise make one thread more than there are cores).
    void limit_workers(std::size_t seats) { seats_.store(seats, std::memory_order_release); }
    std::size_t seats() const { return seats_.load(std::memory_order_acquire); }
    // A worker asks for a seat before it takes chunks.
    bool take_seat() {
        std::size_t left = seats_.load(std::memory_order_acquire);
        while (left > 0 && !seats_.compare_exchange_weak(left, left - 1, std::memory_order_acq_rel)) {
        }
        return left > 0;
    }

    // True once some chunk failed.
    bool failed() const;

    // True when some chunk was not run because cancellation was requested.
    bool cancelled() const { return cancelled_.load(std::memory_order_acquire); }

    // Rethrows the failure of the lowest failing chunk, if any. Call once every chunk ended.
    void rethrow_first_failure() const;

private:
    void record_failure(std::size_t index) noexcept;

    const ChunkWork& work_;
    const std::size_t n_items_;
    const std::size_t chunk_;
    std::vector<std::exception_ptr> failures_;  // one slot per chunk, written by its runner
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> first_failure_;
    std::atomic<std::size_t> seats_{static_cast<std::size_t>(-1)};
    std::atomic<bool> cancel_requested_{false};
    std::atomic<bool> cancelled_{false};
};

// Bumped in every child of fork(): per-thread state seeded before the fork (the random
// generators) compares it to know that it must start afresh.
std::uint64_t fork_generation();

class WorkerPool {
public:
    // The pool of the current process, built on first use (and again after a fork).
    static WorkerPool& of_this_process();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Threads actually started; 0 only if the system refused every one of them.
    std::size_t size() const { return started_; }

    // True in a child forked after this pool started: its threads are not there.
    bool abandoned_by_fork() const;

    // Held by the thread that runs a step, for the whole step: one step at a time. Only
    // ever tried, never waited for (see parallel_chunks).
    std::mutex& step_mutex() { return step_mutex_; }

    // Hands the job to the workers. The caller must then call wait_done until it returns true.
    void submit(ChunkJob& job);

    // Waits up to `timeout` for every chunk to end. True once the job is finished and no
    // worker refers to it any more. Never call it in a process that abandoned the pool: a
    // lock may be held there by a thread that does not exist.
    bool wait_done(std::chrono::milliseconds timeout) noexcept;

private:
    WorkerPool(pid_t owner, WorkerPool* replaced, std::size_t wanted);
    [[noreturn]] void worker_loop() noexcept;

    const pid_t owner_;
    // A pool abandoned by a fork stays reachable from its successor rather than dangling.
    WorkerPool* const replaced_;
    std::size_t started_ = 0;

    std::mutex step_mutex_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    ChunkJob* job_ = nullptr;       // guarded by mutex_
    std::uint64_t generation_ = 0;  // guarded by mutex_; bumped by every submit
    std::size_t attached_ = 0;      // guarded by mutex_; workers inside job_
};

}  // namespace velmar
