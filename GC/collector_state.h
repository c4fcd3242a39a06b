// Collector-internal: the state one collection works on, shared by its
// phases (marking, sweeping, cleanup, the marking workers). Not for clients.
#pragma once
#include <sys/mman.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "GC/collector.h"
#include "GC/corruption.h"
#include "GC/thread_table.h"
#include "core/Exceptions.h"

namespace gc_detail {

// Generations as indices into a record's lists; collect(g) collects the
// generations up to index g - 1.
enum generation_index : int { gen_young = 0, gen_middle = 1, gen_old = 2 };

// Mark values: an object is marked in this collection when its mark byte
// equals the gen1 or gen2 value. Values below gen1_mark_base are the
// epoch-0 values of objects registered since (unmarked).
inline constexpr std::uint8_t gen1_mark_base = 16;
inline constexpr std::uint8_t gen2_mark_base = 32;

// Marking uses explicit stacks, so a deep structure (a list of a million
// nodes) needs no deep native stack. One entry per possible object: nothing
// can overflow it, and pushing never allocates while the world is stopped.
struct mark_stack {
    object_header** items = nullptr;
    std::size_t top = 0;
    std::size_t capacity = 0;

    void init() {
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
        if (bytes > (std::size_t{1} << 20))
            madvise(reinterpret_cast<char*>(items) + (1 << 20), bytes - (1 << 20), MADV_DONTNEED);
    }
};

// A list of headers that grows with realloc; used only with the world running.
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

struct worker_set;

struct collector_state {
    spin_lock work_lock{100};
    header_vector queue;             // finalization queue
    std::int64_t queue_bytes = 0;
    header_vector destroy_list;
    std::size_t work_index = 0;      // next batch, under work_lock
    std::atomic<int> collecting{0};
    std::atomic<std::uint64_t> cached_total{0};
    std::atomic<std::int64_t> queue_snapshot{0};
    unsigned char* accumulated = nullptr; // cards dirtied since the last older collection
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
    int k = gen_young;               // the oldest generation collected
    std::uint8_t gen1_mark = gen1_mark_base, gen2_mark = gen2_mark_base;
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

extern collector_state* S;

// Written to the debugger output and to stderr.
void report_both(const std::string& text);
// "<prefix><class>: <message>" for a library exception, else prefix + external.
std::string describe(std::exception_ptr ep, const char* prefix, const char* external);

inline bool is_marked(const object_header* h) noexcept {
    const std::uint8_t m = h->load_mark();
    return m == S->gen1_mark || m == S->gen2_mark;
}

inline std::int64_t accounted_bytes(const object_header* h) noexcept {
    return object_size(h) + static_cast<std::int64_t>(layout::accounted_overhead);
}

} // namespace gc_detail
