#include "GC/gc_policy.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "GC/arena.h"
#include "GC/collector.h"
#include "GC/collector_thread.h"
#include "GC/thread_table.h"
#include "platform/debug_output.h"
#include "platform/system.h"

namespace gc_detail {

namespace {

std::uint64_t real_collect(int generation) { return collect(generation); }
std::uint64_t real_allocated() { return allocated_bytes(false); }
std::uint32_t real_ticks() { return platform::tick_count(); }

std::uint64_t now_ns() noexcept {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// Runs one collection and logs its duration unless it found another running.
std::uint64_t timed_collect(const gc_policy_services& s, int generation) {
    const std::uint64_t start = now_ns();
    const std::uint64_t live = s.collect(generation);
    if (live != collect_busy) gc_pause_log::record(generation, now_ns() - start);
    return live;
}

constexpr std::size_t kLogSize = 65536;
std::atomic<std::uint64_t> g_log[kLogSize];
std::atomic<std::uint64_t> g_logged{0};
std::atomic<std::uint64_t> g_by_generation[4];

} // namespace

gc_policy_services default_policy_services() noexcept { return {&real_collect, &real_allocated, &real_ticks}; }

// ---- desktop / server --------------------------------------------------------------

TAsyncGcManagerFull::TAsyncGcManagerFull(const std::atomic<bool>& appTerminating,
                                         const gc_policy_services& services) noexcept
    : TAsyncGcManager(appTerminating, services) {
    const float live = static_cast<float>(services_.allocated_bytes());
    liveAfterAny_ = liveAfter2_ = liveAfter3_ = live;
    lastTick_ = services_.tick_count();
}

void TAsyncGcManagerFull::Check() {
    const std::uint32_t interval = AppTerminating() ? 3000 : 30000;
    if (services_.tick_count() - lastTick_ > interval) {
        CollectGeneration(3);
        return;
    }
    int requested;
    if (TakeRequest(requested)) {
        nextGeneration_ = std::max(nextGeneration_, requested);
        CollectGeneration(nextGeneration_);
        return;
    }
    const float growth = static_cast<float>(services_.allocated_bytes()) - (liveAfterAny_ + 1.0f);
    const std::int64_t allowance = std::min<std::int64_t>(static_cast<std::int64_t>(liveAfterAny_) >> 2, 26214400);
    if (growth >= static_cast<float>(2097152 + allowance)) CollectGeneration(nextGeneration_);
}

namespace {
// How much an older generation may grow before it is collected too: 2 MiB
// plus a quarter of what it held, at most 25 MiB more (the young trigger's
// shape). Young collections stay young while the old generations hold
// about what they did.
float old_growth_allowance(float old_live) noexcept {
    return 2097152.0f + std::min(old_live / 4.0f, 26214400.0f);
}
} // namespace

void TAsyncGcManagerFull::CollectGeneration(int generation) {
    const std::uint32_t tick = services_.tick_count();
    const std::uint64_t result = timed_collect(services_, generation);
    if (result == collect_busy) return;
    const float live = static_cast<float>(result);
    lastTick_ = tick;
    nextGeneration_ = 1;
    switch (generation) {
    case 1:
        liveAfterAny_ = live;
        if (live - liveAfter2_ > old_growth_allowance(liveAfter2_)) nextGeneration_ = 2;
        break;
    case 2:
        liveAfterAny_ = liveAfter2_ = live;
        if (live - liveAfter3_ > old_growth_allowance(liveAfter3_)) nextGeneration_ = 3;
        break;
    default:
        liveAfterAny_ = liveAfter2_ = liveAfter3_ = live;
        break;
    }
}

// ---- embedded ----------------------------------------------------------------------

TAsyncGcManagerEmbedded::TAsyncGcManagerEmbedded(const std::atomic<bool>& appTerminating,
                                                 const gc_policy_services& services) noexcept
    : TAsyncGcManager(appTerminating, services) {
    lastLive_ = services_.allocated_bytes();
    lastTick_ = services_.tick_count();
}

void TAsyncGcManagerEmbedded::Check() {
    const std::uint32_t interval = AppTerminating() ? 500 : 30000;
    if (services_.tick_count() - lastTick_ > interval) {
        CollectAll();
        return;
    }
    int requested;
    if (TakeRequest(requested)) {
        CollectAll();
        return;
    }
    const std::uint64_t current = services_.allocated_bytes();
    const float base = static_cast<float>(lastLive_ + 1);
    const float growth = static_cast<float>(current) - base;
    const float ratio = static_cast<float>(current) / base;
    if (growth >= 65536.0f && (growth > 262144.0f || ratio >= 1.05f)) CollectAll();
}

void TAsyncGcManagerEmbedded::CollectAll() {
    const std::uint32_t tick = services_.tick_count();
    const std::uint64_t result = timed_collect(services_, 3);
    if (result == collect_busy) return;
    lastLive_ = result;
    lastTick_ = tick;
}

// ---- the collector's thread ----------------------------------------------------------

namespace {
void wake_collector_thread() noexcept {
    if (collector_thread_control* c = current_collector_thread()) c->wake();
}
} // namespace

void GcThreadProc(collector_thread_control& c) {
    current_record()->exempt.store(1);
    std::unique_ptr<TAsyncGcManager> policy;
    // Growth that wakes an idle policy: well below the smallest growth its
    // check collects on.
    std::size_t wake_bytes;
    if (embedded_mode()) {
        platform::output_debug_string("GC Embedded System mode");
        policy = std::make_unique<TAsyncGcManagerEmbedded>(c.app_terminating);
        wake_bytes = 32768;
    } else {
        platform::output_debug_string("GC Desktop / Server mode");
        policy = std::make_unique<TAsyncGcManagerFull>(c.app_terminating);
        wake_bytes = 1048576;
    }
    // Every millisecond while the heap changes. Once it stays the same the
    // sleeps double up to collector_idle_wait_ms, and the arena wakes the
    // thread as soon as threads allocate again, so no collection waits for
    // a sleep (the 30 s interval may come that much late).
    std::uint64_t seen = allocated_bytes(false);
    unsigned wait_ms = 1;
    std::uint32_t lastTrim = platform::tick_count();
    while (!c.terminated.load(std::memory_order_acquire)) {
        if (wait_ms > 1) {
            const std::uint32_t wakes = c.wake_count();
            arena::set_growth_alarm(wake_bytes, &wake_collector_thread);
            c.wait(wait_ms, wakes);
            arena::set_growth_alarm(0, nullptr);
        } else {
            c.wait(1);
        }
        int generation;
        if (c.take_request(generation)) policy->Request(generation);
        policy->Check();
        // A heap that stopped allocating gives its free memory back, and so
        // does the native heap the runtime's records and the objects' own
        // buffers live in (glibc keeps freed pages inside its arenas).
        if (platform::tick_count() - lastTrim >= 1000) {
            lastTrim = platform::tick_count();
            if (arena::trim_when_idle()) malloc_trim(0);
        }
        c.checks.fetch_add(1, std::memory_order_relaxed);
        const std::uint64_t now = allocated_bytes(false);
        // Once the program is ending the intervals are short: no long sleeps.
        const bool idle = now == seen && !c.app_terminating.load(std::memory_order_acquire);
        wait_ms = idle ? std::min(wait_ms * 2, collector_idle_wait_ms) : 1;
        seen = now;
    }
    arena::set_growth_alarm(0, nullptr);
}

// ---- pause log ---------------------------------------------------------------------

void gc_pause_log::record(int generation, std::uint64_t ns) noexcept {
    const std::uint64_t i = g_logged.fetch_add(1, std::memory_order_acq_rel);
    g_log[i % kLogSize].store(ns, std::memory_order_relaxed);
    if (generation >= 1 && generation <= 3) g_by_generation[generation].fetch_add(1, std::memory_order_relaxed);
}

std::size_t gc_pause_log::snapshot(std::uint64_t* out, std::size_t max) noexcept {
    const std::uint64_t n = g_logged.load(std::memory_order_acquire);
    const std::uint64_t first = n > kLogSize ? n - kLogSize : 0;
    std::size_t k = 0;
    for (std::uint64_t i = first; i < n && k < max; ++i) out[k++] = g_log[i % kLogSize].load(std::memory_order_relaxed);
    return k;
}

std::uint64_t gc_pause_log::total_count() noexcept { return g_logged.load(std::memory_order_acquire); }

std::uint64_t gc_pause_log::count(int generation) noexcept {
    return generation >= 1 && generation <= 3 ? g_by_generation[generation].load(std::memory_order_relaxed) : 0;
}

void gc_pause_log::reset() noexcept {
    g_logged.store(0, std::memory_order_release);
    for (auto& c : g_by_generation) c.store(0, std::memory_order_relaxed);
}

} // namespace gc_detail
