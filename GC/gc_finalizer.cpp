#include "GC/gc_finalizer.h"

#include <atomic>
#include <cstdint>

#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "GC/gcptr.h"
#include "platform/system.h"

namespace gc_detail {

namespace {
std::atomic<bool> g_terminated{false};
std::atomic<bool> g_terminating{false};
std::atomic<gc_finalizer::hook> g_pools{nullptr};
std::atomic<gc_finalizer::hook> g_helper{nullptr};
std::atomic<gc_finalizer::hook> g_settings{nullptr};

void run_hook(std::atomic<gc_finalizer::hook>& h) {
    if (gc_finalizer::hook fn = h.exchange(nullptr)) fn();
}

// Full collections until the total stops changing (at most 10).
void settling_pass() {
    for (int i = 0; i < 10; ++i) {
        const std::uint64_t before = allocated_bytes(true);
        collect(3);
        platform::sleep_ms(1);
        if (abnormal_termination() || allocated_bytes(true) == before) return;
    }
}
} // namespace

void gc_finalizer::ExitProc() {
    if (IsTerminated() || IsAbnormalTermination()) return;
    run_hook(g_pools);
    Terminate();
}

void gc_finalizer::Terminate() {
    if (g_terminating.exchange(true)) return;
    g_terminated.store(true, std::memory_order_release);
    stop_marking_workers();
    run_hook(g_helper);
    run_hook(g_settings);
    for (int pass = 0; pass < 10 && gc_managed_thread::Count() != 0; ++pass) {
        for (int i = 0; i < 5; ++i) {
            settling_pass();
            if (IsAbnormalTermination()) return;
            platform::sleep_ms(100);
        }
        platform::sleep_ms(250);
    }
    // Whatever the program dropped goes now, while the library is whole.
    settling_pass();
}

bool gc_finalizer::IsTerminated() noexcept { return g_terminated.load(std::memory_order_acquire); }
bool gc_finalizer::IsAbnormalTermination() noexcept { return abnormal_termination(); }

void gc_finalizer::SetThreadPoolsTerminator(hook fn) noexcept { g_pools.store(fn); }
void gc_finalizer::SetHelperThreadTerminator(hook fn) noexcept { g_helper.store(fn); }
void gc_finalizer::SetSettingsDestroyer(hook fn) noexcept { g_settings.store(fn); }

void gc_finalizer::Reset() noexcept {
    g_terminated.store(false);
    g_terminating.store(false);
}

} // namespace gc_detail
