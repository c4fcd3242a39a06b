// Design note. A collection runs on the thread that asks for it and reads as
// its phases: stop the world (take every lock, then suspend every other
// registered thread), mark (cards of old objects for young collections,
// then stacks and root arrays), resume, keep what finalizers will need,
// sweep, finalize, destroy. While threads are stopped nothing here calls
// malloc or takes a lock another thread may hold: a stopped thread may be
// inside either. Mark stacks are anonymous mappings; worker signals are
// futexes.
//
// Marking uses explicit stacks, so a deep structure (a list of a million
// nodes) needs no deep native stack.
//
// Mark values: an object is marked in this collection when its mark byte
// equals the gen1 or gen2 value. A young collection advances only epoch 0,
// so every older object already carries a current value and is skipped.
#include "GC/collector.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "GC/object_lock.h"
#include "GC/thread_table.h"
#include "core/Exceptions.h"
#include "platform/debug_output.h"
#include "platform/futex_event.h"
#include "platform/kernel_objects.h"

namespace gc_detail {

extern platform::HANDLE collector_idle_event;

namespace {

// ---- state ----------------------------------------------------------------------

struct mark_stack {
    object_header** items = nullptr;
    std::size_t top = 0;
    std::size_t capacity = 0;

    void init() {
        // One entry per possible object: nothing can overflow it.
        capacity = g_heap.size / (layout::header_size + 16) + 1024;
        void* p = mmap(nullptr, capacity * sizeof(object_header*), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            std::fputs("Norvane: unable to map a mark stack\n", stderr);
            std::abort();
        }
        items = static_cast<object_header**>(p);
    }
    void push(object_header* h) noexcept { items[top++] = h; }
    bool empty() const noexcept { return top == 0; }
    object_header* pop() noexcept { return items[--top]; }
    // Gives the touched pages back after a large collection.
    void trim() noexcept {
        const std::size_t bytes = capacity * sizeof(object_header*);
        if (bytes > (std::size_t{1} << 20)) madvise(reinterpret_cast<char*>(items) + (1 << 20), bytes - (1 << 20), MADV_DONTNEED);
    }
};

struct header_vector {
    object_header** items = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;
    void push(object_header* h) {
        if (count == capacity) {
            std::size_t cap = capacity * 2 + 151;
            auto* n = static_cast<object_header**>(std::realloc(items, cap * sizeof(object_header*)));
            if (!n) throw Sysutils::EOutOfMemory("Out of memory");
            items = n;
            capacity = cap;
        }
        items[count++] = h;
    }
};

struct worker_set {
    unsigned count = 0;
    std::vector<pthread_t> threads;
    std::vector<platform::futex_event*> go;
    platform::futex_event done{false};
    std::atomic<bool> quit{false};
    std::atomic<int> phase{0};
    std::atomic<unsigned> finished{0};
    std::atomic<int> busy{0};
    std::atomic<bool> stopped{false};
    std::atomic<unsigned> started{0};
    std::vector<mark_stack> stacks;
};

struct collector_state {
    spin_lock work_lock{100};
    header_vector queue;             // finalization queue
    std::int64_t queue_bytes = 0;
    header_vector destroy_list;
    std::size_t work_index = 0;      // next batch, under work_lock
    std::atomic<int> collecting{0};
    std::atomic<std::uint64_t> cached_total{0};
    std::atomic<std::int64_t> queue_snapshot{0};
    unsigned char* accumulated = nullptr;
    std::uint32_t* active_blocks = nullptr;
    std::uint64_t* block_union = nullptr;
    std::size_t active_count = 0;
    thread_record* allocating[layout::thread_slots] = {};
    std::size_t allocating_count = 0;
    platform::suspend_record* stopped[layout::thread_slots] = {};
    thread_record* stopped_records[layout::thread_slots] = {};
    bool stop_failed[layout::thread_slots] = {};
    std::size_t stopped_count = 0;
    thread_record* self = nullptr;   // the collecting thread
    std::uintptr_t self_scan_low = 0;
    int k = 0;
    std::uint8_t gen1_mark = 16, gen2_mark = 32;
    std::atomic<std::size_t> shared_index{0}; // marking work split among workers
    std::atomic<bool> worker_failed{false};
    bool revive = false; // the sweep marked children of newly queued objects
    std::atomic<bool> abnormal{false};
    mark_stack inline_stack;
    worker_set* workers = nullptr;
    weak_clear_fn weak_clear = nullptr;
    stopped_world_fn stopped_hook = nullptr;
    void* stopped_hook_ctx = nullptr;
};

collector_state* S = nullptr;

[[noreturn]] void corrupt(int line) {
    debug_report("Managed Memory is corrupt (detected at gcptr line " + UnicodeString(std::to_string(line)) + ")");
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

// ---- marking ----------------------------------------------------------------------

inline void mark(object_header* h, mark_stack& ms) noexcept {
    const std::uint8_t m = h->load_mark();
    std::uint8_t v;
    if (m < 16) v = S->gen1_mark;
    else if (m == S->gen1_mark || m == S->gen2_mark) return;
    else v = S->gen2_mark;
    if (h->exchange_mark(v) != v) ms.push(h);
}

// A child or root target: a managed object or a temporary hold.
inline void mark_target(const void* t, mark_stack& ms) {
    object_header* h = find_header(t);
    if (!h) corrupt(1308);
    if (is_registered(h)) mark(h, ms);
    else if (!is_temporary_hold(h)) corrupt(1308);
}

// A member destroyed early has given up its slot word; its bytes may hold
// anything since.
inline const void* live_member_target(const pointer_base* p) noexcept {
    if (__atomic_load_n(&p->slot, __ATOMIC_RELAXED) != layout::slot_member) return nullptr;
    return __atomic_load_n(&p->target, __ATOMIC_RELAXED);
}

// Children of an old object found through a dirty card: only young ones
// matter, and a child in a page with no young object is not young.
inline bool may_be_young(const void* t) noexcept {
    const std::uintptr_t page = (reinterpret_cast<std::uintptr_t>(t) - g_heap.base) >> young_page_shift;
    if (page >= (g_heap.size >> young_page_shift)) return true; // not in the arena: let marking report it
    return young_pages[page] || (S->k == 1 && gen1_pages[page]);
}

void trace_young_children(object_header* h, mark_stack& ms) {
    if (h->member_count < 0) {
        auto* elems = static_cast<pointer_base*>(h->object());
        const std::int32_t n = h->word_before;
        for (std::int32_t i = 0; i < n; ++i)
            if (const void* t = __atomic_load_n(&elems[i].target, __ATOMIC_RELAXED))
                if (may_be_young(t)) mark_target(t, ms);
    } else {
        for (std::int32_t i = 0; i < h->member_count; ++i)
            if (const void* t = live_member_target(member_at(h, i)))
                if (may_be_young(t)) mark_target(t, ms);
    }
}

void trace_children(object_header* h, mark_stack& ms) {
    if (h->member_count < 0) {
        auto* elems = static_cast<pointer_base*>(h->object());
        const std::int32_t n = h->word_before;
        for (std::int32_t i = 0; i < n; ++i)
            if (const void* t = __atomic_load_n(&elems[i].target, __ATOMIC_RELAXED)) mark_target(t, ms);
    } else {
        for (std::int32_t i = 0; i < h->member_count; ++i)
            if (const void* t = live_member_target(member_at(h, i))) mark_target(t, ms);
    }
}

void drain(mark_stack& ms) {
    while (!ms.empty()) trace_children(ms.pop(), ms);
}

// Stack words are read as they are: dead frames and redzones included.
__attribute__((no_sanitize("address", "undefined"))) void scan_stack(std::uintptr_t low, std::uintptr_t high,
                                                                     mark_stack& ms) {
    if (high < low + layout::pointer_base_size) return;
    low = (low + 7) & ~std::uintptr_t{7};
    for (std::uintptr_t p = (high - layout::pointer_base_size) & ~std::uintptr_t{7}; p >= low; p -= 8) {
        if (*reinterpret_cast<const std::int64_t*>(p) != layout::stack_marker) continue;
        const void* t = *reinterpret_cast<void* const*>(p + layout::off_pb_target);
        if (!t) continue;
        object_header* h = find_header(t);
        if (h && is_registered(h)) mark(h, ms);
    }
}

bool card_range_dirty(const object_header* h, const unsigned char* cards) noexcept {
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(h) + layout::header_size - g_heap.base;
    const std::uintptr_t first = start >> layout::card_shift;
    std::uintptr_t last = (start + h->size) >> layout::card_shift;
    if (last >= g_heap.card_count) last = g_heap.card_count - 1;
    for (std::uintptr_t c = first; c <= last; ++c)
        if (cards[c]) return true;
    return false;
}

bool block_dirty(std::size_t block, const unsigned char* cards) noexcept {
    const std::size_t per_block = std::size_t{1} << (g_block_shift - layout::card_shift);
    const std::size_t first = block * per_block;
    const std::size_t end = std::min(first + per_block, static_cast<std::size_t>(g_heap.card_count));
    const std::size_t words = (end - first) / 8;
    const auto* w = reinterpret_cast<const std::uint64_t*>(cards + first);
    for (std::size_t i = 0; i < words; ++i)
        if (w[i]) return true;
    for (std::size_t c = first + words * 8; c < end; ++c)
        if (cards[c]) return true;
    return false;
}

const unsigned char* active_cards() noexcept { return S->k == 0 ? g_change_bitmap : S->accumulated; }

void scan_cards_of_list(const gen_list& l, const unsigned char* cards, mark_stack& ms) {
    for (std::uint32_t i = 0; i < l.count; ++i)
        if (card_range_dirty(l.items[i], cards)) trace_young_children(l.items[i], ms);
}

// Old objects whose cards are dirty: their children may be young.
void scan_cards_block(std::size_t bi, mark_stack& ms) {
    const unsigned char* cards = active_cards();
    const std::uint32_t block = S->active_blocks[bi];
    if (!block_dirty(block, cards)) return;
    for (std::size_t t = 0; t < S->allocating_count; ++t) {
        thread_record* r = S->allocating[t];
        for (int g = S->k + 1; g <= 2; ++g)
            if (r->gens[g].buckets) scan_cards_of_list(r->gens[g].buckets[block], cards, ms);
    }
    drain(ms);
}

void scan_cards_overflow(std::size_t t, mark_stack& ms) {
    thread_record* r = S->allocating[t];
    for (int g = S->k + 1; g <= 2; ++g) scan_cards_of_list(r->gens[g].overflow, active_cards(), ms);
    drain(ms);
}

void scan_record_roots(std::uint32_t slot, mark_stack& ms) {
    thread_record* r = g_threads.slots[slot];
    if (!r) return;
    if (r == S->self && S->self_scan_low) {
        scan_stack(S->self_scan_low, r->stack_base, ms);
    } else if (r->active.load(std::memory_order_acquire) && !r->exempt.load(std::memory_order_relaxed) &&
               r->scan_low) {
        scan_stack(r->scan_low, r->stack_base, ms);
    }
    // Open construction scopes: their pointers are roots until registration.
    thread_fast_info* fast = r->active.load(std::memory_order_acquire) ? r->fast : nullptr;
    for (current_list_t* c = fast ? fast->scope : nullptr; c; c = c->previous)
        for (int i = 0, n = c->list.size(); i < n; ++i)
            if (pointer_base* p = c->list[i])
                if (const void* t = __atomic_load_n(&p->target, __ATOMIC_RELAXED)) mark_target(t, ms);
    if (!r->released.load(std::memory_order_relaxed)) {
        for (std::size_t i = 0; i < r->roots.count; ++i)
            if (const void* t = __atomic_load_n(&r->roots.items[i]->target, __ATOMIC_RELAXED)) mark_target(t, ms);
    }
    drain(ms);
}

// Marking work is handed out one unit at a time: blocks, then overflow
// lists (phase 3); records (phase 4).
void run_card_phase(mark_stack& ms) {
    const std::size_t total = S->active_count + S->allocating_count;
    for (;;) {
        const std::size_t i = S->shared_index.fetch_add(1, std::memory_order_relaxed);
        if (i >= total) break;
        if (i < S->active_count) scan_cards_block(i, ms);
        else scan_cards_overflow(i - S->active_count, ms);
    }
}

void run_root_phase(mark_stack& ms) {
    for (;;) {
        const std::size_t i = S->shared_index.fetch_add(1, std::memory_order_relaxed); // slot 0: what dead threads left
        if (i > g_threads.used) break;
        scan_record_roots(static_cast<std::uint32_t>(i), ms);
    }
}

// ---- finalize and destroy -----------------------------------------------------------

void finalize_one(object_header* h) {
    h->finalized = 1;
    try {
        h->finalize(h->object());
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
    if (h->member_capacity != 0) std::free(h->members); // shared layouts stay
    h->members = nullptr;
    h->member_count = 0;
    h->member_capacity = 0;
    // The object is unreachable: nobody else can be locking it now.
    monitor_lock_record* lock = h->lock.load(std::memory_order_relaxed);
    h->lock.store(nullptr, std::memory_order_relaxed);
    try {
        h->destroy(h->object());
    } catch (...) {
        destructor_failed(std::current_exception());
    }
    delete lock;
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

void run_finalize_batches() {
    std::size_t a, b;
    while (take_batch(S->queue, 50, a, b))
        for (std::size_t i = a; i < b; ++i)
            if (!S->queue.items[i]->finalized) finalize_one(S->queue.items[i]);
}

void run_destroy_batches() {
    std::size_t a, b;
    while (take_batch(S->destroy_list, 1000, a, b))
        for (std::size_t i = a; i < b; ++i) {
            if (i + 4 < b) __builtin_prefetch(S->destroy_list.items[i + 4]);
            destroy_one(S->destroy_list.items[i]);
        }
}

// ---- workers -------------------------------------------------------------------------

void run_phase(int phase, mark_stack& ms) {
    switch (phase) {
    case 1: run_destroy_batches(); break;
    case 2: run_finalize_batches(); break;
    case 3: run_card_phase(ms); break;
    case 4: run_root_phase(ms); break;
    default: break;
    }
}

struct worker_arg { unsigned index; };

void* worker_main(void* p) {
    const unsigned index = static_cast<worker_arg*>(p)->index;
    delete static_cast<worker_arg*>(p);
    thread_record* r = current_record();
    r->exempt.store(1);
    platform::set_thread_priority(platform::current_thread_id(), platform::thread_priority::below_normal);
    worker_set& w = *S->workers;
    w.started.fetch_add(1);
    for (;;) {
        w.go[index]->wait();
        if (w.quit.load(std::memory_order_acquire)) break;
        const int phase = w.phase.load(std::memory_order_acquire);
        try {
            run_phase(phase, w.stacks[index]);
        } catch (...) {
            if (phase >= 3) S->worker_failed.store(true);
            else report_both(describe(std::current_exception(), "GC Failed with ", "external exception"));
        }
        if (phase <= 2) w.busy.fetch_sub(1, std::memory_order_acq_rel);
        else w.finished.fetch_add(1, std::memory_order_acq_rel);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        w.done.set();
    }
    return nullptr;
}

bool workers_available() noexcept { return S->workers && !S->workers->stopped.load(std::memory_order_acquire); }

void run_on_workers(int phase) {
    worker_set& w = *S->workers;
    w.busy.store(static_cast<int>(w.count));
    w.finished.store(0);
    w.phase.store(phase, std::memory_order_release);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    for (unsigned i = 0; i < w.count; ++i) w.go[i]->set();
    for (;;) {
        const bool over = phase <= 2 ? w.busy.load() == 0 : w.finished.load() == w.count;
        if (over) break;
        // A worker hit a fatal error and is ending the process: carrying on
        // could let this thread return, or exit the process, before it does.
        while (S->abnormal.load()) platform::sleep_ms(1000);
        w.done.wait();
    }
}

// ---- the collection's steps ----------------------------------------------------------

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

void collect_active_blocks() noexcept {
    S->allocating_count = 0;
    S->active_count = 0;
    const std::size_t words = (g_block_count + 63) / 64;
    // The active block list is the union of the allocating threads' bits,
    // gathered in block order.
    std::uint64_t* uni = S->block_union;
    std::memset(uni, 0, words * sizeof(std::uint64_t));
    for (std::uint32_t s = 0; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (!r || slot_allocated_bytes[s] == 0 || !r->block_bits) continue;
        S->allocating[S->allocating_count++] = r;
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t bits = r->block_bits[w];
            for (std::uint64_t b = bits; b; b &= b - 1) {
                const std::size_t block = w * 64 + static_cast<std::size_t>(__builtin_ctzll(b));
                bool used = false;
                for (auto& gl : r->gens)
                    if (gl.buckets && gl.buckets[block].count) { used = true; break; }
                if (!used) bits &= ~(std::uint64_t{1} << (block & 63));
            }
            r->block_bits[w] = bits;
            uni[w] |= bits;
        }
        // Overflow lists keep their own block bit set at registration.
    }
    for (std::size_t w = 0; w < words; ++w)
        for (std::uint64_t b = uni[w]; b; b &= b - 1)
            S->active_blocks[S->active_count++] = static_cast<std::uint32_t>(w * 64 + __builtin_ctzll(b));
}

void advance_epochs(int k) noexcept {
    for (int i = 0; i <= k; ++i) mark_epochs[i] = static_cast<std::uint8_t>((mark_epochs[i] + 1) & 15);
    __atomic_store_n(&mark_epochs[3], mark_epochs[0], __ATOMIC_RELAXED);
    mark_epochs[4] = static_cast<std::uint8_t>(mark_epochs[1] + 16);
    mark_epochs[5] = static_cast<std::uint8_t>(mark_epochs[2] + 32);
    S->gen1_mark = mark_epochs[4];
    S->gen2_mark = mark_epochs[5];
}

void merge_cards() noexcept {
    auto* acc = reinterpret_cast<std::uint64_t*>(S->accumulated);
    const auto* cur = reinterpret_cast<const std::uint64_t*>(g_change_bitmap);
    const std::size_t words = g_heap.card_count / 8;
    for (std::size_t i = 0; i < words; ++i) acc[i] |= cur[i];
    for (std::size_t c = words * 8; c < g_heap.card_count; ++c) S->accumulated[c] |= g_change_bitmap[c];
}

void mark_phase() {
    if (S->k < 2) merge_cards();
    if (workers_available()) {
        if (S->k < 2) {
            S->shared_index.store(0);
            run_on_workers(3);
        }
        S->shared_index.store(0);
        run_on_workers(4);
    } else {
        if (S->k < 2) {
            S->shared_index.store(0);
            run_card_phase(S->inline_stack);
        }
        S->shared_index.store(0);
        run_root_phase(S->inline_stack);
    }
    if (S->worker_failed.load()) return; // reported after resumption
    if (S->k >= 1) std::memcpy(S->accumulated, g_change_bitmap, g_heap.card_count);
    std::memset(g_change_bitmap, 0, g_heap.card_count);
}

void resume_world() noexcept { platform::resume_threads(); }

bool is_marked(const object_header* h) noexcept {
    const std::uint8_t m = h->load_mark();
    return m == S->gen1_mark || m == S->gen2_mark;
}

void put_back(thread_record* r, object_header* h, unsigned g) {
    void* obj = h->object();
    if (g == 1) {
        const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(obj) - g_heap.base;
        for (std::uintptr_t p = off >> young_page_shift; p <= (off + h->size) >> young_page_shift; ++p)
            gen1_pages[p] = 1;
    }
    const std::size_t block = block_of(obj);
    gen_list& l = block == block_of(static_cast<char*>(obj) + h->size) ? r->bucket(g, block) : r->gens[g].overflow;
    if (&l == &r->gens[g].overflow) r->bucket(g, block);
    l.push(h);
}

// Entries marked since they were queued are alive again.
void process_finalization_queue() {
    header_vector& q = S->queue;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < q.count; ++i) {
        object_header* h = q.items[i];
        const std::int64_t bytes = h->size + static_cast<std::int64_t>(layout::accounted_overhead);
        if (is_marked(h)) {
            S->queue_bytes -= bytes;
            put_back(S->self, h, h->load_mark() == S->gen2_mark ? 2 : 1);
            slot_allocated_bytes[S->self->slot] += bytes;
        } else if (h->finalized) {
            S->destroy_list.push(h);
            S->queue_bytes -= bytes;
        } else {
            q.items[kept++] = h;
        }
    }
    q.count = kept;
}

// What a pending finalizer can reach must outlive it, so a finalizer that
// resurrects its object never finds a destroyed member. Queued entries
// trace their children before the sweep; newly queued ones during it, and
// whatever that marks after its list was swept is revived afterwards.
void keep_queue_reach(mark_stack& ms) {
    for (std::size_t i = 0; i < S->queue.count; ++i)
        if (!S->queue.items[i]->finalized) trace_children(S->queue.items[i], ms);
    drain(ms);
}

void revive_reached() {
    if (!S->revive) return;
    S->revive = false;
    header_vector& d = S->destroy_list;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < d.count; ++i) {
        object_header* h = d.items[i];
        if (!is_marked(h)) {
            d.items[kept++] = h;
            continue;
        }
        put_back(S->self, h, h->load_mark() == S->gen2_mark ? 2 : 1);
        slot_allocated_bytes[S->self->slot] += h->size + static_cast<std::int64_t>(layout::accounted_overhead);
    }
    d.count = kept;
}

void sweep_list(thread_record* r, unsigned g, gen_list& l, gen_list* next) {
    std::int64_t freed = 0;
    std::uint32_t n = l.count;
    for (std::uint32_t i = 0; i < n;) {
        object_header* h = l.items[i];
        if (i + 8 < n) __builtin_prefetch(&l.items[i + 8]->mark);
        if (is_marked(h)) {
            if (next) next->push(h);
            ++i;
            continue;
        }
        const std::int64_t bytes = h->size + static_cast<std::int64_t>(layout::accounted_overhead);
        freed += bytes;
        if (!h->finalize || h->finalized) {
            S->destroy_list.push(h);
        } else {
            S->queue.push(h);
            S->queue_bytes += bytes;
            trace_children(h, S->inline_stack);
            drain(S->inline_stack);
            S->revive = true;
        }
        l.items[i] = l.items[--n];
    }
    l.count = next ? 0 : n;
    slot_allocated_bytes[r->slot] -= freed;
    (void)g;
}

void sweep() {
    for (std::size_t bi = 0; bi < S->active_count; ++bi) {
        const std::uint32_t block = S->active_blocks[bi];
        for (std::size_t t = 0; t < S->allocating_count; ++t) {
            thread_record* r = S->allocating[t];
            for (int g = S->k; g >= 0; --g) {
                if (!r->gens[g].buckets) continue;
                gen_list* next = g < 2 ? &r->bucket(static_cast<unsigned>(g + 1), block) : nullptr;
                sweep_list(r, static_cast<unsigned>(g), r->gens[g].buckets[block], next);
            }
        }
    }
    for (std::size_t t = 0; t < S->allocating_count; ++t) {
        thread_record* r = S->allocating[t];
        for (int g = S->k; g >= 0; --g)
            sweep_list(r, static_cast<unsigned>(g), r->gens[g].overflow, g < 2 ? &r->gens[g + 1].overflow : nullptr);
    }
}

// Once marked, the survivors of generation 0 are what generation 1 gains
// (a young collection adds them; an older one makes them all of it), and
// generation 0 starts empty.
void roll_young_pages() noexcept {
    const std::size_t pages = (g_heap.size >> young_page_shift) + 1;
    if (S->k == 0) {
        auto* g1 = reinterpret_cast<std::uint64_t*>(gen1_pages);
        const auto* y = reinterpret_cast<const std::uint64_t*>(young_pages);
        for (std::size_t i = 0; i < pages / 8; ++i) g1[i] |= y[i];
        for (std::size_t i = pages / 8 * 8; i < pages; ++i) gen1_pages[i] |= young_pages[i];
    } else {
        std::memcpy(gen1_pages, young_pages, pages);
    }
    std::memset(young_pages, 0, pages);
}

// A queued object can be made reachable again by its finalizer, also from an
// old object: the next young card scan must not skip it.
void queue_counts_as_young() noexcept {
    for (std::size_t i = 0; i < S->queue.count; ++i)
        mark_young_pages(S->queue.items[i]->object(), S->queue.items[i]->size);
}

std::uint64_t sum_allocated() noexcept {
    std::int64_t total = 0;
    const std::uint32_t used = __atomic_load_n(&g_threads.used, __ATOMIC_RELAXED);
    for (std::uint32_t s = 0; s <= used; ++s) total += slot_allocated_bytes[s];
    return total < 0 ? 0 : static_cast<std::uint64_t>(total);
}

// Waking the workers costs more than a short list takes to run here.
constexpr std::size_t kInlineFinalizers = 50;
constexpr std::size_t kInlineDestructions = 1000;

void finalize_and_destroy() {
    {
        spin_guard g(S->work_lock);
        S->work_index = 0;
    }
    if (workers_available() && S->queue.count > kInlineFinalizers) run_on_workers(2);
    else run_finalize_batches();
    {
        spin_guard g(S->work_lock);
        S->work_index = 0;
    }
    if (workers_available() && S->destroy_list.count > kInlineDestructions) run_on_workers(1);
    else run_destroy_batches();
    S->destroy_list.count = 0;
}

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
        lock_world();
        suspend_world();
        collect_active_blocks();
        advance_epochs(S->k);
        mark_phase();
        if (S->stopped_hook) S->stopped_hook(S->stopped_hook_ctx);
        resume_world();
        if (S->worker_failed.exchange(false)) corrupt(2680);
        roll_young_pages(); // before anything is put back into generation 1
        process_finalization_queue();
        keep_queue_reach(S->inline_stack);
        sweep();
        revive_reached();
        queue_counts_as_young();
        if (S->weak_clear) S->weak_clear();
        S->queue_snapshot.store(S->queue_bytes);
        if (g_threads.dead_records.load()) recycle_dead_records_locked(true);
        unlock_world();
        total = sum_allocated();
        S->cached_total.store(total);
        // Cleanup code runs with the world released: a finalizer or
        // destructor that needs a lock held by an allocating thread gets it
        // once that thread goes on (it waits for cleanup at most
        // cleanup_wait_ms), and cleanup code never waits for the collection
        // that called it. The collecting flag stays set, so no other
        // collection starts until the lists are done.
        release_mutators();
        finalize_and_destroy();
        cleanup_done();
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
    S->block_union = static_cast<std::uint64_t*>(std::calloc((g_block_count + 63) / 64, sizeof(std::uint64_t)));
    if (embedded_mode()) return;
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

} // namespace gc_detail
