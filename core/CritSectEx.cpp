#include "core/CritSectEx.h"

#include <chrono>

#include "core/Exceptions.h"

namespace FastCriticalSection {

namespace {
unsigned long spin_for(unsigned long requested) noexcept {
    return platform::processor_count() < 2 ? 1ul : requested;
}
} // namespace

CritSectEx::CritSectEx() noexcept : spinMax_(static_cast<std::uint32_t>(spin_for(250))) {}
CritSectEx::CritSectEx(unsigned long spinMax) noexcept : spinMax_(static_cast<std::uint32_t>(spin_for(spinMax))) {}

CritSectEx::~CritSectEx() {
    if (auto h = semaphore_.load(std::memory_order_acquire)) platform::CloseHandle(h);
}

void CritSectEx::SetSpinMax() noexcept { spinMax_ = static_cast<std::uint32_t>(spin_for(250)); }
void CritSectEx::SetSpinMax(unsigned long spinMax) noexcept { spinMax_ = static_cast<std::uint32_t>(spin_for(spinMax)); }

bool CritSectEx::PerfLock(platform::thread_id_t me, unsigned long timeout) noexcept {
    for (std::uint32_t i = 0; i < spinMax_; ++i) {
        std::uint32_t expected = 0;
        if (owner_.load(std::memory_order_relaxed) == 0 &&
            owner_.compare_exchange_strong(expected, me, std::memory_order_acquire))
            return true;
        platform::cpu_pause();
    }
    AllocateKernelSemaphore();
    bool r = PerfLockKernel(me, timeout);
    waiters_.fetch_sub(1, std::memory_order_acq_rel);
    return r;
}

bool CritSectEx::PerfLockKernel(platform::thread_id_t me, unsigned long timeout) noexcept {
    // Microseconds, not ticks: a time-out counted in whole milliseconds
    // could end up to one millisecond early.
    const auto start = std::chrono::steady_clock::now();
    bool timedOut = false;
    for (;;) {
        // The waiter count is what an unlocking thread reads to decide on a
        // release; it is raised before the last try so no release is missed.
        if (!timedOut) waiters_.fetch_add(1, std::memory_order_acq_rel);
        std::uint32_t expected = 0;
        if (owner_.compare_exchange_strong(expected, me, std::memory_order_acquire)) return true;
        std::uint32_t wait = platform::INFINITE;
        if (timeout != 0xFFFFFFFFul) {
            const long long elapsed_us =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
            const long long left_us = static_cast<long long>(timeout) * 1000 - elapsed_us;
            if (left_us <= 0) return false;
            wait = static_cast<std::uint32_t>((left_us + 999) / 1000); // the kernel wait never ends early
        }
        platform::HANDLE sem = semaphore_.load(std::memory_order_acquire);
        if (!sem) common_assert("m_hSemaphore", "CritSectEx", 114);
        timedOut = platform::WaitForSingleObject(sem, wait) == platform::WAIT_TIMEOUT;
    }
}

void CritSectEx::PerfUnlock() noexcept {
    owner_.store(0, std::memory_order_release);
    // Pairs with the waiter's increment-then-try: either it sees the free
    // owner word, or we see its count and release it.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    std::int32_t w = waiters_.load(std::memory_order_relaxed);
    while (w > 0) {
        if (waiters_.compare_exchange_weak(w, w - 1, std::memory_order_acq_rel)) {
            platform::ReleaseSemaphore(semaphore_.load(std::memory_order_acquire), 1, nullptr);
            return;
        }
    }
}

void CritSectEx::AllocateKernelSemaphore() noexcept {
    if (semaphore_.load(std::memory_order_acquire)) return;
    platform::HANDLE h = platform::CreateSemaphoreW(0, 0x7FFFFFFF, nullptr);
    platform::HANDLE expected = nullptr;
    if (!semaphore_.compare_exchange_strong(expected, h, std::memory_order_acq_rel)) platform::CloseHandle(h);
}

} // namespace FastCriticalSection
