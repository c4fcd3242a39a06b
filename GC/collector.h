// The collector: a generational (three generations), stop-the-world,
// non-moving mark and sweep over the registered objects.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gc_detail {

// collect() while another collection runs.
inline constexpr std::uint64_t collect_busy = 0xFFFFFFFFu;

// Runs a collection of generation 1 (young), 2 or 3 (everything) on the
// calling thread; returns the live byte total after it, or collect_busy.
std::uint64_t collect(int generation);

// Worker threads in use (0 in embedded mode or once stopped).
unsigned marking_worker_count() noexcept;
// Stops the marking workers (after any running collection); later
// marking, finalizing and destroying run on the collecting thread.
void stop_marking_workers() noexcept;

// A fatal path ran: exit and unload clean-up must not touch the heap.
bool abnormal_termination() noexcept;
void set_abnormal_termination() noexcept;

// Sum of the threads' allocation counters (cached while collecting).
std::uint64_t allocated_bytes(bool include_finalization_queue) noexcept;

// Called by the sweep to clear weak references to dead objects.
using weak_clear_fn = void (*)();
void set_weak_clear_hook(weak_clear_fn fn) noexcept;

// Test hook: runs while the world is stopped (every other thread suspended),
// after marking, before resumption.
using stopped_world_fn = void (*)(void* context);
void set_stopped_world_hook(stopped_world_fn fn, void* context) noexcept;

} // namespace gc_detail
