// Design note. Each table is an array of object addresses; a handle is the
// entry's index (bit 31 for the tracking table). Freed entries form a free
// list threaded through the array (an odd value: next free index << 1 | 1,
// since object addresses are 16-byte aligned), so a freed index is reused
// by the next allocation and no live handle ever moves.
//
// Reading an entry must not race with marking: a reader that fetched an
// address the collector did not see marked would hand out an object the
// sweep destroys. Readers therefore hold their own thread record's lock
// while they copy the entry into a stack pointer: the collector takes every
// record lock before it stops the world, so the copy is either complete (and
// the stack pointer roots the object) or has not started.
#include "GC/gc_handle.h"

#include <cstdlib>

#include "GC/collector.h"
#include "GC/thread_table.h"

namespace gc_detail {

namespace {

constexpr std::uintptr_t free_tag = 1;
constexpr std::uint32_t no_free = 0xFFFFFFFFu;

struct handle_table {
    std::uintptr_t* items = nullptr;
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;
    std::uint32_t free_head = no_free;
    std::uint32_t live = 0;

    std::uint32_t alloc(std::uintptr_t value) {
        std::uint32_t i;
        if (free_head != no_free) {
            i = free_head;
            const std::uintptr_t next = items[i] >> 1;
            free_head = next == (no_free >> 1) ? no_free : static_cast<std::uint32_t>(next);
        } else {
            if (count >= 0x7FFFFFFFu) throw Sysutils::EOutOfResources("Too many weak handles");
            if (count == capacity) {
                const std::uint64_t cap64 = std::uint64_t{count} * 4 + 8;
                const std::uint32_t cap = cap64 > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(cap64);
                auto* n = static_cast<std::uintptr_t*>(std::realloc(items, cap * sizeof(std::uintptr_t)));
                if (!n) throw Sysutils::EOutOfMemory("Out of memory");
                items = n;
                capacity = cap;
            }
            i = count++;
        }
        items[i] = value;
        ++live;
        return i;
    }
    bool valid(std::uint32_t i) const noexcept { return i < count && (items[i] & free_tag) == 0; }
    void release(std::uint32_t i) noexcept {
        const std::uintptr_t next = free_head == no_free ? (no_free >> 1) : free_head;
        items[i] = (next << 1) | free_tag;
        free_head = i;
        --live;
    }
    void free_storage() noexcept {
        std::free(items);
        *this = handle_table{};
    }
};

spin_lock g_lock{100};
handle_table g_short;     // cleared when the object becomes unreachable
handle_table g_tracking;  // cleared when the object is destroyed

handle_table& table_of(std::uint32_t handle) noexcept { return (handle & TGCHandle::track_bit) ? g_tracking : g_short; }
std::uint32_t index_of(std::uint32_t handle) noexcept { return handle & ~TGCHandle::track_bit; }

[[noreturn]] void invalid_handle() { throw Sysutils::EInvalidOperation("Invalid weak handle"); }

// The address of a fully constructed managed object, or 0 for null.
std::uintptr_t checked_address(const gc_ptr<System::TObject>& target) {
    if (!target) return 0;
    if (!pointer_base::ensure_pointer_valid(object_start(target.get())))
        throw Sysutils::EInvalidOperation("Managed object has not been fully constructed");
    return reinterpret_cast<std::uintptr_t>(target.get());
}

// Waits out a running collection, then holds the caller's record lock so
// none can start; see the note at the top.
class reader_guard {
public:
    reader_guard() : r_(current_record()) {
        for (;;) {
            stop_barrier(r_);
            r_->lock.acquire();
            if (stop_flag.load(std::memory_order_acquire) == 0 || r_->exempt.load(std::memory_order_relaxed)) break;
            r_->lock.release();
        }
        g_lock.acquire();
    }
    ~reader_guard() {
        g_lock.release();
        r_->lock.release();
    }
    reader_guard(const reader_guard&) = delete;
    reader_guard& operator=(const reader_guard&) = delete;

private:
    thread_record* r_;
};

class writer_guard {
public:
    writer_guard() {
        stop_barrier(current_record());
        g_lock.acquire();
    }
    ~writer_guard() { g_lock.release(); }
    writer_guard(const writer_guard&) = delete;
    writer_guard& operator=(const writer_guard&) = delete;
};

bool marked_now(const object_header* h) noexcept {
    const std::uint8_t m = h->load_mark();
    return m == mark_epochs[4] || m == mark_epochs[5];
}

object_header* header_of_entry(std::uintptr_t address) {
    object_header* h = find_header(reinterpret_cast<const void*>(address));
    if (!h || !is_registered(h)) {
        debug_report("Managed Memory is corrupt (detected at gcptr line 1308)");
        throw EManagedMemoryCorrupt();
    }
    return h;
}

// Runs after the sweep, before finalizers, with the world running again
// and every record lock held by the collector.
void clear_weak_entries() {
    spin_guard g(g_lock);
    for (std::uint32_t i = 0; i < g_short.count; ++i) {
        const std::uintptr_t a = g_short.items[i];
        if (a == 0 || (a & free_tag)) continue;
        if (!marked_now(header_of_entry(a))) g_short.items[i] = 0;
    }
    for (std::uint32_t i = 0; i < g_tracking.count; ++i) {
        const std::uintptr_t a = g_tracking.items[i];
        if (a == 0 || (a & free_tag)) continue;
        const object_header* h = header_of_entry(a);
        // Unreachable objects whose finalizer is still to run stay: the
        // finalizer may bring them back.
        if (!marked_now(h) && (!finalize_of(h) || h->finalized)) g_tracking.items[i] = 0;
    }
}

} // namespace

std::uint32_t TGCHandle::InternalAlloc(const gc_ptr<System::TObject>& target, bool trackResurrection) {
    const std::uintptr_t a = checked_address(target);
    writer_guard g;
    if (trackResurrection) return g_tracking.alloc(a) | track_bit;
    return g_short.alloc(a);
}

void TGCHandle::InternalFree(std::uint32_t handle) {
    writer_guard g;
    handle_table& t = table_of(handle);
    if (!t.valid(index_of(handle))) invalid_handle();
    t.release(index_of(handle));
}

gc_ptr<System::TObject> TGCHandle::InternalGet(std::uint32_t handle) {
    gc_ptr<System::TObject> result;
    {
        reader_guard g;
        handle_table& t = table_of(handle);
        if (!t.valid(index_of(handle))) invalid_handle();
        result.store_target(reinterpret_cast<void*>(t.items[index_of(handle)]));
    }
    return result;
}

gc_ptr<System::TObject> TGCHandle::InternalUpdate(std::uint32_t handle, const gc_ptr<System::TObject>& target) {
    const std::uintptr_t a = checked_address(target);
    gc_ptr<System::TObject> previous;
    {
        reader_guard g;
        handle_table& t = table_of(handle);
        if (!t.valid(index_of(handle))) invalid_handle();
        previous.store_target(reinterpret_cast<void*>(t.items[index_of(handle)]));
        t.items[index_of(handle)] = a;
    }
    return previous;
}

std::uint32_t TGCHandle::InternalCount() noexcept {
    spin_guard g(g_lock);
    return g_short.live + g_tracking.live;
}

void weak_handles_start() noexcept { set_weak_clear_hook(&clear_weak_entries); }

void weak_handles_free() noexcept {
    spin_guard g(g_lock);
    g_short.free_storage();
    g_tracking.free_storage();
}

} // namespace gc_detail
