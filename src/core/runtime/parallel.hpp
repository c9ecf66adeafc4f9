#pragma once
// A parallel map over an index range on the process-wide worker pool.

#include <cstddef>
#include <functional>

namespace velmar {

// Number of workers: the CPUs available to this process.
std::size_t worker_count();

// Runs work(begin, end) for contiguous chunks [begin, end) of [0, n_items), each chunk of
// `chunk` items (at least one; the last may be shorter), on the worker pool, and waits.
// Workers take chunks in order as they become free, so small chunks balance uneven work. The
// calling thread polls for keyboard interrupts while it waits and raises the cancellation
// flag. The failure of the chunk with the lowest index is rethrown on the calling thread;
// if an interrupt was noticed the call fails with interrupt_message (interrupt.hpp).
// With CallerRole::works the calling thread takes chunks too before it waits, and one
// worker fewer joins (as many threads as workers): for steps of short chunks (well under
// the 20 ms polling period), where waking the workers is a large share of the step. Its own
// chunks answer interrupts through note_work; a failure there cancels the rest.
enum class CallerRole { polls, works };
void parallel_chunks(std::size_t n_items, std::size_t chunk,
                     const std::function<void(std::size_t begin, std::size_t end)>& work,
                     CallerRole role = CallerRole::polls);

}  // namespace velmar
