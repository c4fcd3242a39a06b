// Mark values: a young collection advances only epoch 0, so every older
// object already carries a current value and is skipped.
#include "GC/marking.h"

#include <algorithm>
#include <cstring>

#include "GC/mark_workers.h"

namespace gc_detail {

namespace {

inline void mark(object_header* h, mark_stack& ms) noexcept {
    const std::uint8_t m = h->load_mark();
    std::uint8_t v;
    if (m < gen1_mark_base) v = S->gen1_mark;
    else if (m == S->gen1_mark || m == S->gen2_mark) return;
    else v = S->gen2_mark;
    if (h->exchange_mark(v) != v) ms.push(h);
}


// A child or root target: a managed object or a temporary hold.
inline void mark_target(const void* t, mark_stack& ms) {
    object_header* h = find_header(t);
    if (!h) corrupt(corruption_site::reference_target);
    if (is_registered(h)) mark(h, ms);
    else if (!is_temporary_hold(h)) corrupt(corruption_site::reference_target);
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
    return young_pages[page] || (S->k == gen_middle && gen1_pages[page]);
}

void trace_young_children(object_header* h, mark_stack& ms) {
    const member_view m = members_of(h);
    if (m.count < 0) {
        auto* elems = static_cast<pointer_base*>(h->object());
        const std::int32_t n = h->word_before;
        for (std::int32_t i = 0; i < n; ++i)
            if (const void* t = __atomic_load_n(&elems[i].target, __ATOMIC_RELAXED))
                if (may_be_young(t)) mark_target(t, ms);
    } else {
        for (std::int32_t i = 0; i < m.count; ++i)
            if (const void* t = live_member_target(m[i]))
                if (may_be_young(t)) mark_target(t, ms);
    }
}

} // namespace

void trace_children(object_header* h, mark_stack& ms) {
    const member_view m = members_of(h);
    if (m.count < 0) {
        auto* elems = static_cast<pointer_base*>(h->object());
        const std::int32_t n = h->word_before;
        for (std::int32_t i = 0; i < n; ++i)
            if (const void* t = __atomic_load_n(&elems[i].target, __ATOMIC_RELAXED)) mark_target(t, ms);
    } else {
        for (std::int32_t i = 0; i < m.count; ++i)
            if (const void* t = live_member_target(m[i])) mark_target(t, ms);
    }
}

void drain(mark_stack& ms) {
    while (!ms.empty()) trace_children(ms.pop(), ms);
}

namespace {


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
    std::uintptr_t last = (start + object_size(h)) >> layout::card_shift;
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

const unsigned char* active_cards() noexcept { return S->k == gen_young ? g_change_bitmap : S->accumulated; }

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
        for (int g = S->k + 1; g <= gen_old; ++g)
            if (r->gens[g].buckets) scan_cards_of_list(r->gens[g].buckets[block], cards, ms);
    }
    drain(ms);
}

void scan_cards_overflow(std::size_t t, mark_stack& ms) {
    thread_record* r = S->allocating[t];
    for (int g = S->k + 1; g <= gen_old; ++g) scan_cards_of_list(r->gens[g].overflow, active_cards(), ms);
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
    // and, of an object of a known type, its members at the type's offsets.
    for (current_list_t* c = fast ? fast->scope : nullptr; c; c = c->previous)
        if (const type_descriptor* type = c->type; type && c->span)
            for (std::int32_t i = 0; i < type->member_count; ++i)
                if (const void* t = live_member_target(reinterpret_cast<const pointer_base*>(c->lo + type->offsets[i])))
                    mark_target(t, ms);
    if (!r->released.load(std::memory_order_relaxed)) {
        for (std::size_t i = 0; i < r->roots.count; ++i)
            if (const void* t = __atomic_load_n(&r->roots.items[i]->target, __ATOMIC_RELAXED)) mark_target(t, ms);
    }
    drain(ms);
}

} // namespace


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

void advance_epochs(int k) noexcept {
    for (int i = 0; i <= k; ++i) mark_epochs[i] = static_cast<std::uint8_t>((mark_epochs[i] + 1) & 15);
    __atomic_store_n(&mark_epochs[3], mark_epochs[0], __ATOMIC_RELAXED);
    mark_epochs[4] = static_cast<std::uint8_t>(mark_epochs[1] + gen1_mark_base);
    mark_epochs[5] = static_cast<std::uint8_t>(mark_epochs[2] + gen2_mark_base);
    S->gen1_mark = mark_epochs[4];
    S->gen2_mark = mark_epochs[5];
}

namespace {
void merge_cards() noexcept {
    auto* acc = reinterpret_cast<std::uint64_t*>(S->accumulated);
    const auto* cur = reinterpret_cast<const std::uint64_t*>(g_change_bitmap);
    const std::size_t words = g_heap.card_count / 8;
    for (std::size_t i = 0; i < words; ++i) acc[i] |= cur[i];
    for (std::size_t c = words * 8; c < g_heap.card_count; ++c) S->accumulated[c] |= g_change_bitmap[c];
}
} // namespace

void mark_phase() {
    if (S->k < gen_old) merge_cards();
    if (workers_available()) {
        if (S->k < gen_old) {
            S->shared_index.store(0);
            run_on_workers(worker_phase::cards);
        }
        S->shared_index.store(0);
        run_on_workers(worker_phase::roots);
    } else {
        if (S->k < gen_old) {
            S->shared_index.store(0);
            run_card_phase(S->inline_stack);
        }
        S->shared_index.store(0);
        run_root_phase(S->inline_stack);
    }
    if (S->worker_failed.load()) return; // reported after resumption
    if (S->k >= gen_middle) std::memcpy(S->accumulated, g_change_bitmap, g_heap.card_count);
    std::memset(g_change_bitmap, 0, g_heap.card_count);
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

} // namespace gc_detail
