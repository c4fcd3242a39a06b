#include "GC/sweeping.h"

#include <cstring>

#include "GC/marking.h"

namespace gc_detail {

namespace {

void put_back(thread_record* r, object_header* h, unsigned g) {
    void* obj = h->object();
    if (g == gen_middle) {
        const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(obj) - g_heap.base;
        for (std::uintptr_t p = off >> young_page_shift; p <= (off + object_size(h)) >> young_page_shift; ++p)
            gen1_pages[p] = 1;
    }
    const std::size_t block = block_of(obj);
    gen_list& l = block == block_of(static_cast<char*>(obj) + object_size(h)) ? r->bucket(g, block) : r->gens[g].overflow;
    if (&l == &r->gens[g].overflow) r->bucket(g, block);
    l.push(h);
}

} // namespace


// Entries marked since they were queued are alive again.
void process_finalization_queue() {
    header_vector& q = S->queue;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < q.count; ++i) {
        object_header* h = q.items[i];
        const std::int64_t bytes = accounted_bytes(h);
        if (is_marked(h)) {
            S->queue_bytes -= bytes;
            put_back(S->self, h, h->load_mark() == S->gen2_mark ? gen_old : gen_middle);
            slot_allocated_bytes[S->self->slot] += bytes;
        } else if (h->finalized) {
            S->destroy_list.push(h);
            S->queue_bytes -= bytes;
        } else {
            q.items[kept++] = h;
        }
    }
    q.count = kept;
    shrink_past_peak(q, kept);
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
        put_back(S->self, h, h->load_mark() == S->gen2_mark ? gen_old : gen_middle);
        slot_allocated_bytes[S->self->slot] += accounted_bytes(h);
    }
    d.count = kept;
}

namespace {

// Survivors move to next (null: they stay); the dead are taken out.
void sweep_list(thread_record* r, gen_list& l, gen_list* next) {
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
        const std::int64_t bytes = accounted_bytes(h);
        freed += bytes;
        if (!finalize_of(h) || h->finalized) {
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
    const std::uint32_t used = l.count;
    l.count = next ? 0 : n;
    // A young list keeps room for what it took this time; an older one for
    // its survivors.
    shrink_past_peak(l, next ? used : n);
    slot_allocated_bytes[r->slot] -= freed;
}

// The lists of blocks a thread no longer uses give their storage back (the
// world is running, so the C heap may be used).
void release_drained_lists() noexcept {
    const std::size_t words = block_words();
    for (std::uint32_t s = 0; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (!r || !r->block_bits) continue;
        std::uint64_t* drained = r->block_bits + words;
        for (std::size_t w = 0; w < words; ++w) {
            for (std::uint64_t b = drained[w]; b; b &= b - 1) {
                const std::size_t block = w * 64 + static_cast<std::size_t>(__builtin_ctzll(b));
                for (auto& gl : r->gens)
                    if (gl.buckets && gl.buckets[block].count == 0) gl.buckets[block].free_storage();
            }
            drained[w] = 0;
        }
    }
}

} // namespace

void sweep() {
    for (std::size_t bi = 0; bi < S->active_count; ++bi) {
        const std::uint32_t block = S->active_blocks[bi];
        for (std::size_t t = 0; t < S->allocating_count; ++t) {
            thread_record* r = S->allocating[t];
            for (int g = S->k; g >= 0; --g) {
                if (!r->gens[g].buckets) continue;
                gen_list* next = g < gen_old ? &r->bucket(static_cast<unsigned>(g + 1), block) : nullptr;
                sweep_list(r, r->gens[g].buckets[block], next);
            }
        }
    }
    for (std::size_t t = 0; t < S->allocating_count; ++t) {
        thread_record* r = S->allocating[t];
        for (int g = S->k; g >= 0; --g)
            sweep_list(r, r->gens[g].overflow, g < gen_old ? &r->gens[g + 1].overflow : nullptr);
    }
    release_drained_lists();
}

// Once marked, the survivors of generation 0 are what generation 1 gains
// (a young collection adds them; an older one makes them all of it), and
// generation 0 starts empty.
void roll_young_pages() noexcept {
    const std::size_t pages = (g_heap.size >> young_page_shift) + 1;
    if (S->k == gen_young) {
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
        mark_young_pages(S->queue.items[i]->object(), object_size(S->queue.items[i]));
}

} // namespace gc_detail
