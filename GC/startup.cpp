// The collector's start-up at library load and its unload at the end.
// The library's start-up source calls these first and last (see
// core/Norvane_C14.cpp for the order of everything in between).
#include <pthread.h>

#include <cstdint>

#include "GC/collector.h"
#include "GC/gc_finalizer.h"
#include "GC/gc_handle.h"
#include "GC/startup.h"
#include "GC/thread_table.h"
#include "core/Exceptions.h"
#include "platform/debug_output.h"

namespace gc_detail {

void collector_start() noexcept;

pthread_key_t gdwTlsIndex = 0;

namespace {

// Registered threads other than the caller that are still running: roots
// only they hold may still be released.
unsigned other_live_threads() noexcept {
    unsigned n = 0;
    thread_record* me = t_gc_thread.record;
    spin_guard g(g_threads.lock);
    for (std::uint32_t s = 1; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (r && r != me && r->active.load() && !r->exempt.load()) ++n;
    }
    return n;
}

std::uint64_t remaining() noexcept { return allocated_bytes(true); }

// Up to `tries` full collections, stopping once nothing is left. Without
// another running thread the total can only shrink through finalizers, so
// two collections in a row that free nothing end the loop early.
bool collect_until_empty(int tries) {
    std::uint64_t last = remaining();
    int still = 0;
    for (int i = 0; i < tries; ++i) {
        collect(3);
        platform::sleep_ms(1);
        const std::uint64_t now = remaining();
        if (now == 0) return true;
        if (now == last && other_live_threads() == 0 && ++still >= 2) return false;
        if (now != last) still = 0;
        last = now;
    }
    return false;
}

} // namespace

void gc_startup(bool embedded) {
    if (pthread_key_create(&gdwTlsIndex, nullptr) != 0 || gdwTlsIndex >= 64)
        common_assert("gc_detail::gdwTlsIndex < 64", "Norvane_C14", 20);
    gc_finalizer::Reset();
    gc_init(embedded);
    collector_start();
    weak_handles_start();
}

void gc_unload() noexcept {
    if (abnormal_termination()) return;
    try {
        if (remaining() != 0) {
            platform::sleep_ms(50);
            for (int pass = 0; pass < 3 && remaining() != 0; ++pass) {
                // The long waits give threads that are still running time
                // to drop what they hold; with none left they change nothing.
                if (pass > 0) {
                    if (other_live_threads() == 0) break;
                    platform::sleep_ms(5000);
                }
                const bool emptied = collect_until_empty(500);
                if (pass == 2 && !emptied && other_live_threads() != 0) {
                    platform::sleep_ms(5000);
                    collect(3);
                    collect(3);
                }
            }
        }
        if (remaining() != 0)
            platform::output_debug_string("WARNING: Some data may not be commited due to ungraceful termination");
    } catch (...) {
        return; // a failed collection has already reported itself
    }
    stop_marking_workers();
    weak_handles_free();
    pthread_key_delete(gdwTlsIndex);
}

} // namespace gc_detail
