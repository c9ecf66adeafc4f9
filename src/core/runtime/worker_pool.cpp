#include "core/runtime/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <limits>
#include <string>
#include <string_view>
#include <thread>

#include "core/failure.hpp"
#include "core/runtime/cancellation.hpp"

namespace velmar {

namespace {

constexpr std::size_t no_failure = std::numeric_limits<std::size_t>::max();

// CPUs in this thread's affinity mask, growing the set for machines beyond CPU_SETSIZE.
std::size_t available_cpus() {
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) {
            break;
        }
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const int status = sched_getaffinity(0, bytes, set);
        const int error = errno;
        const int count = status == 0 ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (status == 0) {
            return count > 0 ? static_cast<std::size_t>(count) : 1;
        }
        if (error != EINVAL) {
            break;
        }
    }
    const unsigned hinted = std::thread::hardware_concurrency();
    return hinted > 0 ? hinted : 1;
}

// The pool size: VELMAR_NUM_THREADS when set (an empty value counts as unset), as
// OMP_NUM_THREADS sizes an OpenMP runtime, so that several processes on one machine can
// share its cores; otherwise the CPUs of the affinity mask. A value that is not a positive
// whole number fails, at every use, rather than quietly falling back.
std::size_t wanted_workers() {
    const char* text = std::getenv("VELMAR_NUM_THREADS");
    if (text == nullptr || *text == '\0') {
        return available_cpus();
    }
    const std::string_view value(text);
    std::size_t count = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (error != std::errc() || end != value.data() + value.size() || count == 0) {
        fail("VELMAR_NUM_THREADS must be a positive whole number, got '" + std::string(value) + "'");
    }
    return count;
}

// Only ever held for the short time it takes to build a pool. The fork handlers take it
// around fork() so that a child never inherits it locked by a thread it does not have.
std::mutex creation_mutex;
std::atomic<WorkerPool*> current_pool{nullptr};
WorkerPool* abandoned_pool = nullptr;  // guarded by creation_mutex
std::atomic<std::uint64_t> forks_seen{0};

void lock_creation() { creation_mutex.lock(); }
void unlock_creation() { creation_mutex.unlock(); }

// In a child of fork() the pool's threads are gone: forget it so that the next step builds
// a new one. The process id check in of_this_process covers forks that bypass these handlers.
void forget_pool_in_child() {
    if (WorkerPool* inherited = current_pool.load(std::memory_order_relaxed)) {
        abandoned_pool = inherited;
        current_pool.store(nullptr, std::memory_order_relaxed);
    }
    forks_seen.fetch_add(1, std::memory_order_relaxed);
    creation_mutex.unlock();
}

// Registered when the module loads, so a fork is seen even before the pool's first use.
[[maybe_unused]] const int fork_handlers = pthread_atfork(lock_creation, unlock_creation, forget_pool_in_child);

// Blocks every signal in the calling thread until destroyed; threads started meanwhile
// inherit the full mask, so the host's handlers always run on the host's own threads.
class AllSignalsBlocked {
public:
    AllSignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous_);
    }
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

}  // namespace

ChunkJob::ChunkJob(const ChunkWork& work, std::size_t n_items, std::size_t chunk)
    : work_(work),
      n_items_(n_items),
      chunk_(chunk),
      failures_(n_items / chunk + (n_items % chunk != 0 ? 1 : 0)),
      first_failure_(no_failure) {}

void ChunkJob::run_available() noexcept {
    for (;;) {
        const std::size_t index = next_.fetch_add(1, std::memory_order_acq_rel);
        if (index >= chunk_count()) {
            return;
        }
        if (cancel_requested_.load(std::memory_order_acquire)) {
            cancelled_.store(true, std::memory_order_release);
            continue;
        }
        if (index > first_failure_.load(std::memory_order_acquire)) {
            continue;  // a lower chunk already failed: this one cannot change the outcome
        }
        const std::size_t begin = index * chunk_;
        const std::size_t end = begin + std::min(chunk_, n_items_ - begin);
        try {
            work_(begin, end);
        } catch (...) {
            failures_[index] = std::current_exception();
            record_failure(index);
        }
    }
}

bool ChunkJob::failed() const { return first_failure_.load(std::memory_order_acquire) != no_failure; }

void ChunkJob::record_failure(std::size_t index) noexcept {
    std::size_t lowest = first_failure_.load(std::memory_order_acquire);
    while (index < lowest && !first_failure_.compare_exchange_weak(lowest, index, std::memory_order_acq_rel)) {
    }
}

void ChunkJob::rethrow_first_failure() const {
    for (const auto& failure : failures_) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

std::uint64_t fork_generation() { return forks_seen.load(std::memory_order_relaxed); }

bool WorkerPool::abandoned_by_fork() const { return owner_ != getpid(); }

WorkerPool& WorkerPool::of_this_process() {
    const pid_t pid = getpid();
    WorkerPool* pool = current_pool.load(std::memory_order_acquire);
    if (pool != nullptr && pool->owner_ == pid) {
        return *pool;
    }
    std::lock_guard<std::mutex> lock(creation_mutex);
    pool = current_pool.load(std::memory_order_acquire);
    if (pool != nullptr && pool->owner_ == pid) {
        return *pool;
    }
    // First use, or a forked child: the inherited pool has no threads and its locks may be
    // held by threads that do not exist here, so it is left untouched and a new one built.
    if (pool != nullptr) {
        abandoned_pool = pool;
    }
    pool = new WorkerPool(pid, abandoned_pool, wanted_workers());
    abandoned_pool = nullptr;
    current_pool.store(pool, std::memory_order_release);
    return *pool;
}

WorkerPool::WorkerPool(pid_t owner, WorkerPool* replaced, std::size_t wanted) : owner_(owner), replaced_(replaced) {
    AllSignalsBlocked blocked;
    for (std::size_t i = 0; i < wanted; ++i) {
        try {
            std::thread(&WorkerPool::worker_loop, this).detach();
        } catch (const std::exception&) {
            break;  // run with the workers we have; with none, steps run on the caller
        }
        ++started_;
    }
}

void WorkerPool::submit(ChunkJob& job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        job_ = &job;
        ++generation_;
    }
    // A job that seats one worker wakes one: waking the others would only take time from it.
    if (job.seats() == 1) {
        work_ready_.notify_one();
    } else {
        work_ready_.notify_all();
    }
}

bool WorkerPool::wait_done(std::chrono::milliseconds timeout) noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto finished = [this] { return job_->all_taken() && attached_ == 0; };
    if (!finished()) {
        work_done_.wait_for(lock, timeout);
    }
    if (!finished()) {
        return false;
    }
    // Workers that wake late see no job and go back to sleep.
    job_ = nullptr;
    return true;
}

void WorkerPool::worker_loop() noexcept {
    mark_worker_thread();
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return job_ != nullptr && generation_ != seen; });
        seen = generation_;
        ChunkJob& job = *job_;
        ++attached_;
        lock.unlock();
        watch_cancellation(&job.cancellation_flag());
        if (job.take_seat()) job.run_available();
        watch_cancellation(nullptr);
        lock.lock();
        if (--attached_ == 0) {
            work_done_.notify_all();
        }
    }
}

}  // namespace velmar
