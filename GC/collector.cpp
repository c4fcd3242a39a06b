// Design note. A collection runs on the thread that asks for it and reads as
// its phases: stop the world (take every lock, then suspend every other
// registered thread), mark (cards of old objects for young collections,
// then stacks and root arrays), resume, sweep (keep what finalizers will
// need, promote survivors), release the world, finalize and destroy.
// While threads are stopped nothing here calls malloc or takes a lock
// another thread may hold: a stopped thread may be inside either. Mark
// stacks are anonymous mappings; worker signals are futexes.
#include "GC/collector.h"

#include <algorithm>
#include <cstring>

#include "GC/arena.h"
#include "GC/cleanup.h"
#include "GC/collector_state.h"
#include "GC/mark_workers.h"
#include "GC/marking.h"
#include "GC/sweeping.h"
#include "platform/debug_output.h"
#include "platform/kernel_objects.h"

namespace gc_detail {

extern platform::HANDLE collector_idle_event;

collector_state* S = nullptr;

void corrupt(corruption_site site) {
    debug_report("Managed Memory is corrupt (detected at gcptr line " +
                 UnicodeString(std::to_string(static_cast<int>(site))) + ")");
    throw EManagedMemoryCorrupt();
}

void report_both(const std::string& text) {
    platform::output_debug_string(text);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

std::string describe(std::exception_ptr ep, const char* prefix, const char* external) {
    try {
        std::rethrow_exception(ep);
    } catch (const Exception& e) {
        return std::string(prefix) + e.ClassName() + ": " + e.Message().ToUtf8();
    } catch (...) {
        return std::string(prefix) + external;
    }
}

namespace {

// ---- stopping the world ---------------------------------------------------------------

void lock_world() noexcept {
    g_threads.lock.acquire();
    for (std::uint32_t s = 0; s <= g_threads.used; ++s)
        if (g_threads.slots[s]) g_threads.slots[s]->lock.acquire();
}

void unlock_world() noexcept {
    for (std::uint32_t s = g_threads.used + 1; s-- > 0;)
        if (g_threads.slots[s]) g_threads.slots[s]->lock.release();
    g_threads.lock.release();
}

void suspend_world() noexcept {
    S->stopped_count = 0;
    for (std::uint32_t s = 1; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (!r || r == S->self || !r->active.load() || r->exempt.load()) continue;
        S->stopped_records[S->stopped_count] = r;
        S->stopped[S->stopped_count++] = &r->suspend;
    }
    platform::suspend_threads(S->stopped, S->stopped_count, S->stop_failed);
    for (std::size_t i = 0; i < S->stopped_count; ++i) {
        thread_record* r = S->stopped_records[i];
        if (S->stop_failed[i]) {
            r->active.store(0);
            r->scan_low = 0;
            g_threads.dead_records.store(true);
            continue;
        }
        // The red zone below the stack pointer may hold a leaf's locals.
        std::uintptr_t low = r->suspend.context.sp - 128;
        if (low < r->stack_limit || low >= r->stack_base) low = r->stack_limit;
        r->scan_low = low;
    }
}

void resume_world() noexcept { platform::resume_threads(); }

// ---- what the marking covers ----------------------------------------------------------

void collect_active_blocks() noexcept {
    S->allocating_count = 0;
    S->active_count = 0;
    const std::size_t words = block_words();
    // The active block list is the union of the allocating threads' bits,
    // gathered in block order.
    std::uint64_t* uni = S->block_union;
    std::memset(uni, 0, words * sizeof(std::uint64_t));
    for (std::uint32_t s = 0; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (!r || !r->block_bits) continue;
        // A thread with nothing left still gets its empty blocks noted, so
        // the sweep gives their lists' storage back.
        const bool allocating = slot_allocated_bytes[s] != 0;
        if (allocating) S->allocating[S->allocating_count++] = r;
        std::uint64_t* drained = r->block_bits + words;
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t bits = r->block_bits[w];
            for (std::uint64_t b = bits; b; b &= b - 1) {
                const std::size_t block = w * 64 + static_cast<std::size_t>(__builtin_ctzll(b));
                bool used = false;
                for (auto& gl : r->gens)
                    if (gl.buckets && gl.buckets[block].count) { used = true; break; }
                if (!used) bits &= ~(std::uint64_t{1} << (block & 63));
            }
            drained[w] |= r->block_bits[w] & ~bits;
            r->block_bits[w] = bits;
            if (allocating) uni[w] |= bits;
        }
        // Overflow lists keep their own block bit set at registration.
    }
    for (std::size_t w = 0; w < words; ++w)
        for (std::uint64_t b = uni[w]; b; b &= b - 1)
            S->active_blocks[S->active_count++] = static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(b));
}

std::uint64_t sum_allocated() noexcept {
    std::int64_t total = 0;
    const std::uint32_t used = __atomic_load_n(&g_threads.used, __ATOMIC_RELAXED);
    for (std::uint32_t s = 0; s <= used; ++s) total += slot_allocated_bytes[s];
    return total < 0 ? 0 : static_cast<std::uint64_t>(total);
}

// ---- entering and leaving a collection ------------------------------------------------

void begin_collection(int generation) {
    S->k = generation - 1;
    S->self = current_record();
    S->self_scan_low = S->self->exempt.load() ? 0 : reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    set_stop_bits(stop_collecting);
    platform::ResetEvent(collector_idle_event);
    S->self->exempt.store(1);
}

void release_mutators() noexcept {
    cleanup_epoch.fetch_add(1, std::memory_order_acq_rel);
    set_stop_bits(stop_cleaning);
    clear_stop_bits(stop_collecting);
}

void cleanup_done() noexcept {
    clear_stop_bits(stop_cleaning);
    platform::SetEvent(collector_idle_event);
}

void end_collection(bool was_exempt) noexcept {
    if (!was_exempt) S->self->exempt.store(0);
    S->collecting.store(0, std::memory_order_release);
}

[[noreturn]] void collection_failed(std::exception_ptr ep) {
    S->abnormal.store(true);
    platform::output_debug_string(describe(ep, "GC Failed with ", "external exception"));
    NORVANE_FATAL("CATASTROPHIC FAILURE",
                  "Garbage collection failed (likely due to memory corruption caused by bad hardware and/or compiler).",
                  "GC\\gcptr", 2695);
}

// ---- the phases ------------------------------------------------------------------------

// Every lock, then every other registered thread suspended.
void stop_the_world() noexcept {
    lock_world();
    suspend_world();
}

// Survivors promoted, the dead queued for their finalizers or listed for
// destruction; the world runs, the records stay locked.
void sweep_phase() {
    roll_young_pages(); // before anything is put back into generation 1
    process_finalization_queue();
    keep_queue_reach(S->inline_stack);
    sweep();
    revive_reached();
    queue_counts_as_young();
    if (S->weak_clear) S->weak_clear();
    S->queue_snapshot.store(S->queue_bytes);
}

// Records unlocked, dead threads' records recycled, totals published.
std::uint64_t release_world() noexcept {
    if (g_threads.dead_records.load()) recycle_dead_records_locked(true);
    unlock_world();
    const std::uint64_t total = sum_allocated();
    S->cached_total.store(total);
    return total;
}

// Cleanup code runs with the world released: a finalizer or destructor
// that needs a lock held by an allocating thread gets it once that thread
// goes on (it waits for cleanup at most cleanup_wait_ms, and only once it
// has allocated its allowance), and cleanup code
// never waits for the collection that called it. The collecting flag stays
// set, so no other collection starts until the lists are done.
void cleanup_phase(std::uint64_t live_bytes) {
    // Half the young trigger's growth for each thread before it waits.
    cleanup_allowance.store(
        static_cast<std::int64_t>((std::uint64_t{1} << 20) + std::min<std::uint64_t>(live_bytes / 8, 13107200)),
        std::memory_order_relaxed);
    release_mutators();
    finalize_and_destroy();
    cleanup_done();
    // Spans emptied by this collection serve other sizes again; mutators
    // already run.
    arena::reclaim_after_collection(live_bytes);
}

} // namespace

std::uint64_t collect(int generation) {
    // The collector's thread, the workers and code run by a collection get
    // the busy answer; a mutator that asks directly waits for the running
    // collection and then runs its own.
    for (unsigned waited = 0; S->collecting.exchange(1, std::memory_order_acq_rel); ++waited) {
        if (current_record()->exempt.load()) return collect_busy;
        if (waited < 64) platform::yield_processor();
        else platform::sleep_ms(1);
    }
    const bool was_exempt = current_record()->exempt.load() != 0;
    const platform::thread_id_t tid = platform::current_thread_id();
    const platform::thread_priority old_priority = platform::get_thread_priority(tid);
    platform::set_thread_priority(tid, platform::thread_priority::normal);
    std::uint64_t total = 0;
    try {
        begin_collection(generation);
        stop_the_world();
        collect_active_blocks();
        advance_epochs(S->k);
        mark_phase();
        if (S->stopped_hook) S->stopped_hook(S->stopped_hook_ctx);
        resume_world();
        if (S->worker_failed.exchange(false)) corrupt(corruption_site::worker_marking);
        sweep_phase();
        total = release_world();
        cleanup_phase(total);
    } catch (...) {
        collection_failed(std::current_exception());
    }
    platform::set_thread_priority(tid, old_priority);
    end_collection(was_exempt);
    return total;
}

void collector_after_fork_child() noexcept {
    if (!S) return;
    if (S->collecting.load() && S->self != t_gc_thread.record) {
        // Forked while the parent's cleanup ran on another thread: those
        // objects are the parent's to finish; the child never runs them again.
        S->destroy_list.count = 0;
        S->work_index = 0;
        S->collecting.store(0);
    }
    S->work_lock.word.store(0);
    if (S->workers) S->workers->stopped.store(true); // their threads did not come along
}

bool abnormal_termination() noexcept { return S && S->abnormal.load(); }
void set_abnormal_termination() noexcept {
    if (S) S->abnormal.store(true);
}

std::uint64_t allocated_bytes(bool include_queue) noexcept {
    std::uint64_t total;
    if (S->collecting.load(std::memory_order_acquire)) {
        total = S->cached_total.load();
    } else {
        total = sum_allocated();
        S->cached_total.store(total);
    }
    if (include_queue) total += static_cast<std::uint64_t>(S->queue_snapshot.load());
    return total;
}

void set_weak_clear_hook(weak_clear_fn fn) noexcept { S->weak_clear = fn; }
void set_stopped_world_hook(stopped_world_fn fn, void* ctx) noexcept {
    S->stopped_hook_ctx = ctx;
    S->stopped_hook = fn;
}

// Creates the collector state and, unless embedded, one marking worker per
// processor; called once at library start-up.
void collector_start() noexcept {
    S = new collector_state();
    S->inline_stack.init();
    S->accumulated = static_cast<unsigned char*>(
        mmap(nullptr, g_heap.card_count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    S->active_blocks = static_cast<std::uint32_t*>(std::calloc(g_block_count, sizeof(std::uint32_t)));
    S->block_union = static_cast<std::uint64_t*>(std::calloc(block_words(), sizeof(std::uint64_t)));
    if (!embedded_mode()) start_marking_workers();
}

} // namespace gc_detail
