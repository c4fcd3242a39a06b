#include "GC/cleanup.h"

#include <algorithm>

#include "GC/mark_workers.h"
#include "GC/object_lock.h"

namespace gc_detail {
namespace arena {
// Hands the calling thread's cached free blocks to the central lists (in
// arena.cpp): a thread that frees for others, as a marking worker
// destroying objects does, would otherwise keep them, and their spans,
// from everyone.
void flush_thread_cache() noexcept;
} // namespace arena

namespace {

// Batch sizes; waking the workers costs more than one batch takes to run
// here, so lists no longer than that run on the collecting thread.
constexpr std::size_t finalizer_batch = 50;
constexpr std::size_t destructor_batch = 1000;

void finalize_one(object_header* h) {
    h->finalized = 1;
    try {
        finalize_of(h)(h->object());
    } catch (...) {
        report_both(describe(std::current_exception(), "WARNING - Managed object finalizer raised ",
                             "an external exception"));
    }
}

[[noreturn]] void destructor_failed(std::exception_ptr ep) {
    report_both(describe(ep, "Managed object destructor raised ", "an external exception"));
    S->abnormal.store(true);
    if (S->workers && !S->workers->stopped.load()) S->workers->done.set();
    NORVANE_FATAL("CRITICAL FAILURE", "Unhandled exception in managed object destructor", "GC\\gcptr", 979);
}

void destroy_one(object_header* h) {
    // The object is unreachable: nobody else can be locking it now.
    object_extension* e = h->extension();
    try {
        destroy_of(h)(h->object());
    } catch (...) {
        destructor_failed(std::current_exception());
    }
    if (e) free_extension(e);
}

// Takes the next batch of a list; false when none is left.
bool take_batch(const header_vector& list, std::size_t batch, std::size_t& from, std::size_t& to) {
    spin_guard g(S->work_lock);
    if (S->work_index >= list.count) return false;
    from = S->work_index;
    to = std::min(list.count, from + batch);
    S->work_index = to;
    return true;
}

} // namespace

void run_finalize_batches() {
    std::size_t a, b;
    while (take_batch(S->queue, finalizer_batch, a, b))
        for (std::size_t i = a; i < b; ++i)
            if (!S->queue.items[i]->finalized) finalize_one(S->queue.items[i]);
}

void run_destroy_batches() {
    std::size_t a, b;
    while (take_batch(S->destroy_list, destructor_batch, a, b))
        for (std::size_t i = a; i < b; ++i) {
            if (i + 4 < b) __builtin_prefetch(S->destroy_list.items[i + 4]);
            destroy_one(S->destroy_list.items[i]);
        }
    arena::flush_thread_cache(); // the blocks serve the allocating threads, not this one
}

void finalize_and_destroy() {
    {
        spin_guard g(S->work_lock);
        S->work_index = 0;
    }
    if (workers_available() && S->queue.count > finalizer_batch) run_on_workers(worker_phase::finalize);
    else run_finalize_batches();
    {
        spin_guard g(S->work_lock);
        S->work_index = 0;
    }
    if (workers_available() && S->destroy_list.count > destructor_batch) run_on_workers(worker_phase::destroy);
    else run_destroy_batches();
    const std::size_t used = S->destroy_list.count;
    S->destroy_list.count = 0;
    shrink_past_peak(S->destroy_list, used);
}

} // namespace gc_detail
