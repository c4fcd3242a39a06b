// Collector-internal: the marking workers, one per processor (none in
// embedded mode). They share the marking units of a stopped world and run
// long finalizer and destructor lists. Woken through private futex events,
// never the kernel-object layer: a stopped thread may hold its lock.
#pragma once
#include <pthread.h>

#include <atomic>
#include <vector>

#include "GC/collector_state.h"
#include "platform/futex_event.h"

namespace gc_detail {

// What the workers are asked to run. Cleanup phases end when every worker
// gave up (busy reaches 0); marking phases when every worker finished.
enum class worker_phase : int { none = 0, destroy = 1, finalize = 2, cards = 3, roots = 4 };

inline bool is_marking(worker_phase p) noexcept { return p == worker_phase::cards || p == worker_phase::roots; }

struct worker_set {
    unsigned count = 0;
    std::vector<pthread_t> threads;
    std::vector<platform::futex_event*> go;
    platform::futex_event done{false};
    std::atomic<bool> quit{false};
    std::atomic<worker_phase> phase{worker_phase::none};
    std::atomic<unsigned> finished{0};
    std::atomic<int> busy{0};
    std::atomic<bool> stopped{false};
    std::atomic<unsigned> started{0};
    std::vector<mark_stack> stacks;
};

bool workers_available() noexcept;
// Runs one phase on every worker and waits for it to end.
void run_on_workers(worker_phase phase);
// Starts one worker per processor (start-up, not embedded).
void start_marking_workers();

} // namespace gc_detail
