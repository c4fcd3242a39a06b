// A private event on a futex. The collector signals its workers while every
// other thread is stopped; a stopped thread may hold the lock of the shared
// kernel-object layer, so this path owns no lock at all.
#pragma once
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "platform/before_blocking.h"

namespace platform {

class futex_event {
public:
    explicit futex_event(bool manual_reset, bool initial = false) noexcept
        : manual_(manual_reset), state_(initial ? 1u : 0u) {}

    void set() noexcept {
        state_.store(1, std::memory_order_release);
        syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAKE_PRIVATE, manual_ ? INT_MAX : 1,
                nullptr, nullptr, 0);
    }
    void reset() noexcept { state_.store(0, std::memory_order_release); }
    void wait() noexcept {
        bool told = false;
        for (;;) {
            std::uint32_t s = state_.load(std::memory_order_acquire);
            if (s == 1) {
                if (manual_) return;
                if (state_.compare_exchange_weak(s, 0, std::memory_order_acq_rel)) return;
                continue;
            }
            if (!told) {
                told = true;
                before_blocking();
            }
            syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAIT_PRIVATE, 0u, nullptr, nullptr,
                    0);
        }
    }

private:
    bool manual_;
    std::atomic<std::uint32_t> state_;
};

} // namespace platform
