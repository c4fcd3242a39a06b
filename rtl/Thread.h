// The runtime's thread class and the static thread operations.
//
// Classes::TThread is an OS thread bound to an object: Start() runs the
// virtual Execute() on a new thread; Terminate() only sets a flag that
// Execute polls. The OS thread's bookkeeping lives in a block shared with
// the running thread, so the object may be destroyed while the thread is
// still finishing: after Execute returns the thread no longer touches it.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/kernel_objects.h"
#include "platform/system.h"
#include "rtl/TypInfo.h"
#include "time/TimeSpan.h"

namespace System::Classes {

class TThread : public TObject {
public:
    TThread();
    // Joins a thread that has not been joined unless it is the caller;
    // otherwise the OS thread is left to finish on its own.
    ~TThread() override;
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Creates the OS thread, which runs Execute(). Once only; false when
    // the thread could not be created (or was started already).
    bool Start();
    void Terminate() noexcept { terminated_.store(true, std::memory_order_release); }
    bool GetTerminated() const noexcept { return terminated_.load(std::memory_order_acquire); }
    // Waits until the thread has ended and joins it. A thread waiting for
    // itself returns at once.
    void WaitFor();
    // Signalled (manual reset) once Execute has returned; valid for the
    // object's life.
    platform::HANDLE GetHandle() const noexcept;
    // 0 until the thread runs.
    platform::thread_id_t GetThreadID() const noexcept;
    bool GetStarted() const noexcept;
    bool GetFinished() const noexcept;
    // Recorded and applied best effort once the thread runs.
    void SetPriority(platform::thread_priority p) noexcept;
    platform::thread_priority GetPriority() const noexcept;
    // Up to 15 characters, shown by the OS tools; set before Start.
    void SetName(const char* name) noexcept;

protected:
    virtual void Execute() = 0;

private:
    struct control;
    static void* thread_main(void* arg);
    std::shared_ptr<control> control_;
    std::atomic<bool> terminated_{false};
};

} // namespace System::Classes

namespace System::Threading {

// Static thread operations.
class TThread {
public:
    static void MemoryBarrier() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }
    static void SpinWait(int iterations) noexcept {
        for (int i = 0; i < iterations; ++i) platform::cpu_pause();
    }
    // True when another thread ran (the kernel does not tell; a yield that
    // took measurable time is taken as one).
    static bool Yield() noexcept;
    static void Sleep(int milliseconds) noexcept;
    static void Sleep(const TimeSpan& span) noexcept;
};

} // namespace System::Threading
