// Two-word spin-then-yield lock for short critical sections of the
// collector and its thread records. Never blocks in the kernel, so it may be
// taken by code that runs while other threads are stopped.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/system.h"

namespace gc_detail {

struct spin_lock {
    std::uint32_t spin_count = 100;
    std::atomic<std::uint32_t> word{0};

    // constexpr so that locks at namespace scope are ready before any
    // start-up routine of the library runs.
    constexpr explicit spin_lock(std::uint32_t count = 100) noexcept : spin_count(count) {}
    void init(std::uint32_t count = 100) noexcept {
        spin_count = count;
        word.store(0, std::memory_order_relaxed);
    }
    // The count in force: no spinning on a single processor.
    std::uint32_t spins() const noexcept { return platform::processor_count() < 2 ? 1 : spin_count; }

    void acquire() noexcept {
        const std::uint32_t n = spins();
        for (std::uint32_t i = 0; i < n; ++i) {
            if (word.load(std::memory_order_relaxed) == 0) {
                if (word.exchange(1, std::memory_order_acquire) == 0) return;
                break; // lost a race: stop spinning at once
            }
            platform::cpu_pause();
        }
        for (;;) {
            platform::yield_processor();
            if (word.load(std::memory_order_relaxed) == 0 && word.exchange(1, std::memory_order_acquire) == 0)
                return;
        }
    }
    bool try_acquire() noexcept {
        return word.load(std::memory_order_relaxed) == 0 && word.exchange(1, std::memory_order_acquire) == 0;
    }
    void release() noexcept { word.store(0, std::memory_order_release); }
};

struct spin_guard {
    explicit spin_guard(spin_lock& l) noexcept : lock(l) { lock.acquire(); }
    ~spin_guard() { lock.release(); }
    spin_guard(const spin_guard&) = delete;
    spin_guard& operator=(const spin_guard&) = delete;
    spin_lock& lock;
};

} // namespace gc_detail
