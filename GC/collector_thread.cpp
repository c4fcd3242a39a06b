#include "GC/collector_thread.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>

#include "GC/collector.h"

namespace gc_detail {

namespace {
std::atomic<collector_thread_proc> g_proc{nullptr};
std::atomic<collector_thread_control*> g_current{nullptr};
} // namespace

void collector_thread_control::request(int generation) noexcept {
    requested_generation.store(generation, std::memory_order_relaxed);
    request_pending.store(true, std::memory_order_release);
    wake();
}

bool collector_thread_control::take_request(int& generation) noexcept {
    if (!request_pending.exchange(false, std::memory_order_acq_rel)) return false;
    generation = requested_generation.load(std::memory_order_relaxed);
    return true;
}

void collector_thread_control::wake() noexcept {
    wakes_.fetch_add(1, std::memory_order_acq_rel);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&wakes_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void collector_thread_control::wait(unsigned ms, std::uint32_t seen) noexcept {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (request_pending.load(std::memory_order_acquire) || terminated.load(std::memory_order_acquire) ||
            wakes_.load(std::memory_order_acquire) != seen)
            return;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - clock::now()).count();
        if (left <= 0) return;
        const timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        // A changed count returns at once (EAGAIN); a signal restarts with what is left.
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&wakes_), FUTEX_WAIT_PRIVATE, seen, &ts, nullptr, 0);
    }
}

void collector_thread_control::stop() noexcept {
    terminated.store(true, std::memory_order_release);
    wake();
}

void default_collector_thread_proc(collector_thread_control& c) {
    while (!c.terminated.load(std::memory_order_acquire)) {
        c.wait(1000);
        int generation;
        if (c.take_request(generation)) collect(generation);
    }
}

void set_collector_thread_proc(collector_thread_proc fn) noexcept { g_proc.store(fn); }
collector_thread_proc get_collector_thread_proc() noexcept {
    collector_thread_proc p = g_proc.load();
    return p ? p : &default_collector_thread_proc;
}

collector_thread_control* current_collector_thread() noexcept { return g_current.load(); }
void set_current_collector_thread(collector_thread_control* c) noexcept { g_current.store(c); }

} // namespace gc_detail
