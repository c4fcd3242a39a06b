// Helpers for the managed-memory tests.
#pragma once
#include <gtest/gtest.h>

#include <atomic>

#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "GC/gcptr.h"
#include "GC/thread_table.h"

namespace gc_test {

// Counts constructions and destructions of its instances.
struct Tracked {
    static std::atomic<int> alive;
    static std::atomic<int> destroyed;
    int value;
    gc_ptr<Tracked> next;
    explicit Tracked(int v = 0) : value(v) { alive.fetch_add(1); }
    ~Tracked() {
        alive.fetch_sub(1);
        destroyed.fetch_add(1);
    }
};

inline std::size_t root_count() { return gc_detail::current_record()->roots.count; }

// Full collections until nothing more goes (finalized objects need a second).
inline void settle() {
    for (int i = 0; i < 3; ++i) gc_detail::collect(3);
}

// Runs f in a frame of its own that is gone before the caller collects.
template <class F>
__attribute__((noinline)) void in_own_frame(F&& f) {
    f();
    asm volatile("" ::: "memory");
}

} // namespace gc_test
