// The managed arena: one contiguous virtual reservation from which every
// managed object and array is allocated, each with its header in front.
// Block numbers and card indices are offsets into it, and "is this address
// a managed object" is answered exactly from its page table, so stray or
// foreign addresses are told apart without touching unmapped memory.
//
// Small blocks (header + object up to 32 KiB) come from size-classed spans
// through per-thread caches: allocation and free take no lock on the fast
// path. Larger blocks are runs of 64 KiB pages from a first-fit page heap.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gc_detail {

// Read by the inline pointer-store code of every client: one cache line.
struct heap_info {
    std::uintptr_t base;      // first byte of the arena
    std::uintptr_t size;      // reserved bytes
    unsigned char* cards;     // one byte per 32 KiB of arena
    std::uintptr_t card_count;
};
extern heap_info g_heap;
// The current card table (same as g_heap.cards).
extern unsigned char* g_change_bitmap;

namespace arena {

// Reserves the arena; size from NORVANE_ARENA_MB or 4 GiB. Idempotent.
void init();

// A block for an object of the given size, header initialised as allocated
// but not registered. Returns the object address. Throws EOutOfMemory.
void* allocate(std::size_t object_size);
// Returns a block; the object address as allocate gave it.
void release(void* object) noexcept;

inline bool contains(const void* p) noexcept {
    return reinterpret_cast<std::uintptr_t>(p) - g_heap.base < g_heap.size;
}
// True when the address is the object address of a block in use
// (registered or not).
bool is_object_start(const void* p) noexcept;
// The object address of the block in use that contains the address, or
// null (interior pointers of base subobjects resolve to their object).
void* block_containing(const void* p) noexcept;
// Bytes the block offers to its object.
std::size_t usable_size(const void* object) noexcept;

// Around fork: every arena lock is taken before and released after, so
// the child never inherits a half-done list.
void fork_prepare() noexcept;
void fork_parent() noexcept;
void fork_child() noexcept;

// Called on an allocating thread before it takes fresh pages (a span or a
// large block); true when it waited, so free blocks may have come meanwhile.
void set_growth_gate(bool (*gate)() noexcept) noexcept;

// Calls fn once, on an allocating thread, when the arena has handed out
// `bytes` more to threads (blocks for their caches, large blocks), so an
// idle collector thread need not poll; 0 disarms. fn must not block.
void set_growth_alarm(std::size_t bytes, void (*fn)() noexcept) noexcept;

// Bytes with read/write access so far.
std::size_t committed_bytes() noexcept;
// Bytes of the arena in memory now (what it adds to the resident set).
std::size_t resident_bytes() noexcept;

// Spans whose blocks are all free go back to the page heap, where any size
// class or a large block can use them (freed pages past a small reserve go
// back to the system). Returns the bytes given back. An arena that runs out
// of room does this by itself before failing.
std::size_t reclaim_empty_spans() noexcept;
// The same, when enough has come free since the last time, against the
// live bytes (after a collection).
void reclaim_after_collection(std::uint64_t live_bytes) noexcept;
// Once no thread has taken blocks or pages for a whole period since the
// last call: the wholly free spans go back to the page heap and every free
// page run's memory goes back to the system, the backed reserve included
// (it only pays while the heap is busy). The collector's thread calls it
// about once a second. True when there was something to give back.
bool trim_when_idle() noexcept;
// Bytes of free small blocks in the central lists.
std::size_t central_free_bytes() noexcept;

} // namespace arena
} // namespace gc_detail
