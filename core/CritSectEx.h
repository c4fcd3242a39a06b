// Spin-then-block mutual exclusion. Uncontended acquisition is one
// compare-exchange; a kernel semaphore is created only the first time a
// thread has to block, so locks that never contend own no kernel object.
// Nested acquisition by the owner succeeds without counting.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/kernel_objects.h"
#include "platform/system.h"

namespace FastCriticalSection {

class CritSectEx {
public:
    CritSectEx() noexcept;
    explicit CritSectEx(unsigned long spinMax) noexcept;
    ~CritSectEx();
    CritSectEx(const CritSectEx&) = delete;
    CritSectEx& operator=(const CritSectEx&) = delete;

    // True when the caller holds the lock; unlockNeeded is false when it
    // already did. timeout 0: try once; 0xFFFFFFFF: no limit.
    bool Lock(bool& unlockNeeded, unsigned long timeout = 0xFFFFFFFFul) noexcept {
        const platform::thread_id_t me = platform::current_thread_id();
        std::uint32_t owner = owner_.load(std::memory_order_relaxed);
        if (owner == me) { unlockNeeded = false; return true; }
        std::uint32_t expected = 0;
        if (owner == 0 && owner_.compare_exchange_strong(expected, me, std::memory_order_acquire)) {
            unlockNeeded = true;
            return true;
        }
        if (timeout == 0) return false;
        unlockNeeded = PerfLock(me, timeout);
        return unlockNeeded;
    }
    void Unlock(bool unlockNeeded) noexcept { if (unlockNeeded) PerfUnlock(); }

    bool PerfLock(platform::thread_id_t threadId, unsigned long timeout) noexcept;
    bool PerfLockKernel(platform::thread_id_t threadId, unsigned long timeout) noexcept;
    void PerfUnlock() noexcept;
    void AllocateKernelSemaphore() noexcept;
    void SetSpinMax() noexcept;
    void SetSpinMax(unsigned long spinMax) noexcept;

    platform::thread_id_t Owner() const noexcept { return owner_.load(std::memory_order_relaxed); }
    bool HasSemaphore() const noexcept { return semaphore_.load(std::memory_order_acquire) != nullptr; }

private:
    std::atomic<std::uint32_t> owner_{0};
    std::uint32_t spinMax_;
    std::atomic<platform::HANDLE> semaphore_{nullptr};
    std::atomic<std::int32_t> waiters_{0};
};

// RAII holder for the common case.
class CritSectLock {
public:
    explicit CritSectLock(CritSectEx& cs) noexcept : cs_(cs) { cs_.Lock(unlock_); }
    ~CritSectLock() { cs_.Unlock(unlock_); }
    CritSectLock(const CritSectLock&) = delete;
    CritSectLock& operator=(const CritSectLock&) = delete;
private:
    CritSectEx& cs_;
    bool unlock_ = false;
};

} // namespace FastCriticalSection
