// The collector's start-up at library load and its unload at the end.
// The library's start-up source calls these first and last (see
// core/Norvane_C14.cpp for the order of everything in between).
#include <pthread.h>
#include <unistd.h>

#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

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

// The process that loaded the library; a forked child inherits the heap
// but none of the threads its objects' finalizers would wait for.
pid_t g_load_pid = 0;

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

// Waiting helps only when a program thread may still drop what it holds:
// after the exit procedure ended the library's own threads, any thread left
// is the program's. Without it the library's idle pool threads are still
// there and would make every such exit wait for nothing.
bool worth_waiting() noexcept { return gc_finalizer::IsTerminated() && other_live_threads() != 0; }

// Up to `tries` full collections, stopping once nothing is left. When no
// thread can change it any more, two collections in a row that free nothing
// end the loop early.
bool collect_until_empty(int tries) {
    std::uint64_t last = remaining();
    int still = 0;
    for (int i = 0; i < tries; ++i) {
        collect(3);
        platform::sleep_ms(1);
        const std::uint64_t now = remaining();
        if (now == 0) return true;
        if (now == last && !worth_waiting() && ++still >= 2) return false;
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
    g_load_pid = ::getpid();
    gc_init(embedded);
#if defined(__SANITIZE_ADDRESS__)
    // The leak checker scans malloc'ed blocks, globals and stacks, not our
    // arena: without this, whatever live managed objects point to would be
    // reported as lost. Managed objects left at exit are the collector's to
    // report (the unload warning).
    __lsan_register_root_region(reinterpret_cast<void*>(g_heap.base), g_heap.size);
#endif
    collector_start();
    weak_handles_start();
}

void gc_unload() noexcept {
    if (abnormal_termination()) return;
    // In a forked child the final collections would run finalizers of
    // objects whose threads exist only in the parent (a thread pool waiting
    // for its threads): the child leaves the heap alone.
    if (::getpid() != g_load_pid) return;
    try {
        if (remaining() != 0) {
            platform::sleep_ms(50);
            for (int pass = 0; pass < 3 && remaining() != 0; ++pass) {
                // The long waits give threads that are still running time
                // to drop what they hold; with none left they change nothing.
                if (pass > 0) {
                    if (!worth_waiting()) break;
                    platform::sleep_ms(5000);
                }
                const bool emptied = collect_until_empty(500);
                if (pass == 2 && !emptied && worth_waiting()) {
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
