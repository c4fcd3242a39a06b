// Collector-internal: thread records, the thread table and the collector's
// global state (GC/thread_table.cpp). Not for clients.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "GC/gcptr.h"
#include "core/spin_lock.h"
#include "platform/suspend.h"
#include "platform/system.h"

namespace gc_detail {

// A growable array of headers, guarded by its record's lock.
struct gen_list {
    object_header** items = nullptr;
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;

    void push(object_header* h) {
        if (count == capacity) grow();
        items[count++] = h;
    }
    void grow();
    void free_storage() noexcept;
};

// After a sweep: storage for far more than keep entries (what the list
// holds or will soon hold again) goes back. Growth is fourfold, so a list
// in steady use stays within 4x of what it holds; past 8x it held a peak
// that is gone. For any list of headers with items, count and capacity.
template <class List>
void shrink_past_peak(List& l, std::size_t keep) noexcept {
    if (l.capacity < 4096 || l.capacity / 8 < keep || l.count > keep) return;
    if (keep == 0) {
        std::free(l.items);
        l.items = nullptr;
        l.capacity = 0;
        return;
    }
    const auto cap = static_cast<decltype(l.capacity)>(keep * 2 + 8);
    if (auto* n = static_cast<object_header**>(std::realloc(l.items, cap * sizeof(object_header*)))) {
        l.items = n;
        l.capacity = cap;
    }
}

struct generation_lists {
    gen_list* buckets = nullptr; // one per address block, made on first use
    gen_list overflow;           // objects that straddle a block boundary
};

struct root_array {
    pointer_base** items = nullptr;
    std::size_t count = 0;
    std::size_t capacity = 0;
};

struct thread_record {
    spin_lock lock{100};
    thread_fast_info* fast = nullptr;       // the thread's own fast record, while it lives
    platform::suspend_record suspend;       // saved context while stopped
    std::uintptr_t stack_base = 0;          // highest address + 1
    std::uintptr_t stack_limit = 0;         // lowest address
    std::uintptr_t scan_low = 0;            // lowest address to scan while stopped
    std::atomic<int> active{0};
    std::atomic<int> released{0};
    std::atomic<int> exempt{0};
    std::atomic<int> reserved{0};           // slot taken, thread not started yet
    std::uint32_t waited_cleanup = 0;       // the cleanup this thread has waited for (its own)
    std::uint32_t seen_cleanup = 0;         // the cleanup this thread last came to the barrier in
    std::int64_t cleanup_from = 0;          // its allocation counter then
    platform::thread_id_t thread_id = 0;
    std::uint32_t slot = 0;
    generation_lists gens[layout::generation_count];
    // Blocks with any list in use; then, as many words again, blocks found
    // empty since the last sweep, whose lists may still hold storage.
    std::uint64_t* block_bits = nullptr;
    root_array roots;

    gen_list& bucket(unsigned g, std::size_t block);
};

// Slot 0 is no thread's: its record adopts the objects and roots a thread
// leaves behind when it ends, so that thread's slot is free at once.
struct thread_table {
    spin_lock lock{100};
    thread_record* slots[layout::thread_slots] = {};
    std::uint32_t used = 0;                  // slots ever used, slot 0 never
    std::uint32_t free_stack[layout::thread_slots] = {};
    std::uint32_t free_count = 0;
    std::atomic<bool> dead_records{false};
};

extern thread_table g_threads;
// One cache line per counter: threads allocating at once do not share lines.
struct alignas(64) padded_counter {
    std::int64_t v = 0;
    operator std::int64_t() const noexcept { return v; }
    padded_counter& operator+=(std::int64_t d) noexcept { v += d; return *this; }
    padded_counter& operator-=(std::int64_t d) noexcept { v -= d; return *this; }
};
extern padded_counter slot_allocated_bytes[layout::thread_slots];

// Non-zero while mutators must wait at the barrier: stop_collecting while a
// collection stops and sweeps the world (cleanup, finalizers and
// destructors, runs with it clear again), stop_forking while a fork takes
// its snapshot.
inline constexpr int stop_collecting = 1;
inline constexpr int stop_forking = 2;
// While cleanup runs, mutators go on allocating. One that has registered
// more than cleanup_allowance bytes since it first came to the barrier in
// this cleanup, and would now take fresh pages from the arena, waits for
// the cleanup to end first, once and at most cleanup_wait_ms: the blocks
// being freed are what it would otherwise take fresh pages for, so
// allocation cannot outrun the freeing, and cleanup code that needs a lock
// such a thread holds is never kept waiting long.
inline constexpr int stop_cleaning = 4;
inline constexpr int stop_world = stop_collecting | stop_forking;
inline constexpr unsigned cleanup_wait_ms = 20;
extern std::atomic<std::int64_t> cleanup_allowance;
extern std::atomic<int> stop_flag;
extern std::atomic<std::uint32_t> cleanup_epoch;
// Changes stop_flag and wakes the threads at the barrier.
void set_stop_bits(int bits) noexcept;
void clear_stop_bits(int bits) noexcept;

// Mark epochs: epoch of generations 0, 1, 2, then the mark values
// new = epoch0, gen1 = epoch1 + 16, gen2 = epoch2 + 32.
extern std::uint8_t mark_epochs[6];
inline std::uint8_t new_mark() noexcept { return __atomic_load_n(&mark_epochs[3], __ATOMIC_RELAXED); }

// Which 64 KiB pages of the arena hold objects of generation 0 (young_pages)
// and of generation 1 (gen1_pages), one byte a page: a young collection's
// card scan skips children that cannot be young without finding their
// headers. Set with plain stores at registration (no shared cache line
// traffic beyond the byte), reset by the collector after its sweep.
inline constexpr unsigned young_page_shift = 16;
extern unsigned char* young_pages;
extern unsigned char* gen1_pages;
inline void mark_young_pages(const void* object, std::size_t size) noexcept {
    const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(object) - g_heap.base;
    const std::uintptr_t last = (off + (size ? size - 1 : 0)) >> young_page_shift;
    for (std::uintptr_t p = off >> young_page_shift; p <= last; ++p)
        if (!young_pages[p]) young_pages[p] = 1;
}

// Block arithmetic over the arena.
extern unsigned g_block_shift;
extern std::size_t g_block_count;
// Words of a bitmap with a bit per address block.
inline std::size_t block_words() noexcept { return (g_block_count + 63) / 64; }
inline std::size_t block_of(const void* p) noexcept {
    return (reinterpret_cast<std::uintptr_t>(p) - g_heap.base) >> g_block_shift;
}

// The calling thread's record, registering the thread on first use.
thread_record* register_calling_thread();
inline thread_record* current_record() {
    thread_record* r = t_gc_thread.record;
    return r ? r : register_calling_thread();
}
// Waits while a collection runs (not for exempt threads).
void stop_barrier_wait(thread_record* r) noexcept;
inline void stop_barrier(thread_record* r) noexcept {
    if (stop_flag.load(std::memory_order_acquire) != 0) stop_barrier_wait(r);
}

// Adds a root to a record's array; owner's lock held. Throws EOutOfMemory.
void add_root_locked(thread_record* r, pointer_base* p);
// Removes a root; owner's lock held.
void remove_root_locked(thread_record* r, pointer_base* p) noexcept;
// Hands what dead threads left to the adopting record and frees their
// slots; table lock held, and either every record lock (the collector) or
// none (the records' locks are taken here).
void recycle_dead_records_locked(bool records_locked) noexcept;

// Registration of threads (normally through the pthread_create hook).
thread_record* reserve_thread_record(); // throws EInvalidOperation when full
void activate_thread_record(thread_record* r);
void unregister_current_thread() noexcept;
void release_reserved_record(thread_record* r) noexcept;

// Recognition: the header of the managed object at or around the address,
// whether registered or not; null when none.
object_header* find_header(const void* p) noexcept;
bool is_registered(const object_header* h) noexcept;
bool is_temporary_hold(const object_header* h) noexcept;

// The stop handler's fix-up for a pointer store caught between its two
// instructions (registers in mcontext order).
void finish_interrupted_store(long long* gregs) noexcept;

// Start-up of the managed heap, the thread table and the stop machinery.
// embedded: no marking workers, the larger address blocks.
void gc_init(bool embedded);
bool embedded_mode() noexcept;

} // namespace gc_detail
