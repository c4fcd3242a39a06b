#include "GC/mark_workers.h"

#include "GC/cleanup.h"
#include "GC/marking.h"
#include "platform/kernel_objects.h"

namespace gc_detail {

namespace {

void run_phase(worker_phase phase, mark_stack& ms) {
    switch (phase) {
    case worker_phase::destroy: run_destroy_batches(); break;
    case worker_phase::finalize: run_finalize_batches(); break;
    case worker_phase::cards: run_card_phase(ms); break;
    case worker_phase::roots: run_root_phase(ms); break;
    case worker_phase::none: break;
    }
}

struct worker_arg { unsigned index; };

void* worker_main(void* p) {
    const unsigned index = static_cast<worker_arg*>(p)->index;
    delete static_cast<worker_arg*>(p);
    thread_record* r = current_record();
    r->exempt.store(1);
    // Normal priority, as the collecting thread has while it collects: a
    // phase ends only when every worker is done, and below-normal workers
    // beside busy mutators made each phase wait for the scheduler.
    worker_set& w = *S->workers;
    w.started.fetch_add(1);
    for (;;) {
        w.go[index]->wait();
        if (w.quit.load(std::memory_order_acquire)) break;
        const worker_phase phase = w.phase.load(std::memory_order_acquire);
        try {
            run_phase(phase, w.stacks[index]);
        } catch (...) {
            if (is_marking(phase)) S->worker_failed.store(true);
            else report_both(describe(std::current_exception(), "GC Failed with ", "external exception"));
        }
        if (!is_marking(phase)) w.busy.fetch_sub(1, std::memory_order_acq_rel);
        else w.finished.fetch_add(1, std::memory_order_acq_rel);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        w.done.set();
    }
    return nullptr;
}

} // namespace

bool workers_available() noexcept { return S->workers && !S->workers->stopped.load(std::memory_order_acquire); }

void run_on_workers(worker_phase phase) {
    worker_set& w = *S->workers;
    w.busy.store(static_cast<int>(w.count));
    w.finished.store(0);
    w.phase.store(phase, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (unsigned i = 0; i < w.count; ++i) w.go[i]->set();
    // The collecting thread takes its share instead of idling: beside busy
    // mutators a woken worker may wait long for a processor.
    try {
        run_phase(phase, S->inline_stack);
    } catch (...) {
        if (is_marking(phase)) S->worker_failed.store(true);
        else report_both(describe(std::current_exception(), "GC Failed with ", "external exception"));
    }
    for (;;) {
        const bool over = is_marking(phase) ? w.finished.load() == w.count : w.busy.load() == 0;
        if (over) break;
        // A worker hit a fatal error and is ending the process: carrying on
        // could let this thread return, or exit the process, before it does.
        while (S->abnormal.load()) platform::sleep_ms(1000);
        w.done.wait();
    }
}

void start_marking_workers() {
    auto* w = new worker_set();
    w->count = platform::processor_count();
    w->stacks.resize(w->count);
    for (unsigned i = 0; i < w->count; ++i) {
        w->stacks[i].init();
        w->go.push_back(new platform::futex_event(false));
    }
    S->workers = w;
    for (unsigned i = 0; i < w->count; ++i) {
        pthread_t t;
        if (pthread_create(&t, nullptr, &worker_main, new worker_arg{i}) != 0)
            NORVANE_FATAL("CATASTROPHIC FAILURE", "Unable to create GC worker thread", "GC\\gcptr", 3069);
        w->threads.push_back(t);
    }
    while (w->started.load() < w->count) platform::yield_processor();
}

unsigned marking_worker_count() noexcept { return workers_available() ? S->workers->count : 0; }

void stop_marking_workers() noexcept {
    if (!S || !S->workers || S->workers->stopped.load()) return;
    // Not in the middle of a collection that uses them.
    while (S->collecting.exchange(1, std::memory_order_acq_rel)) platform::sleep_ms(1);
    if (S->workers->stopped.exchange(true)) {
        S->collecting.store(0, std::memory_order_release);
        return;
    }
    worker_set& w = *S->workers;
    w.quit.store(true, std::memory_order_release);
    for (unsigned i = 0; i < w.count; ++i) w.go[i]->set();
    for (auto& t : w.threads) pthread_join(t, nullptr);
    S->collecting.store(0, std::memory_order_release);
}

} // namespace gc_detail
