// The library's helper thread: one per process, created (not yet running)
// at library load and published as System::Threading::Async. Once the
// program calls Initialize() it carries out the pools' delayed thread
// additions, services the timer table and runs the collector's thread.
//
// Locking note. A collection keeps every thread that registers a managed
// object or a root waiting until its finalizers have run, and the
// finalizers of timers and pools take timerLock and the delayed-add lock.
// So nothing here allocates managed objects or builds heap roots while
// holding those locks: firings and thread additions are decided under the
// lock and carried out after it is released.
#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <vector>

#include "GC/collector_thread.h"
#include "GC/gcptr.h"
#include "core/CritSectEx.h"
#include "core/Delegates.h"
#include "core/Objects.h"
#include "rtl/Thread.h"

namespace System::Threading {

class TThreadPoolBase;
class TThreadPool;
class TTimerTable;

class TAsyncHelperThread : public Classes::TThread {
public:
    class TThreadPoolTimerInternal;
    class TTimerCallback;
    class TTimer;

    static constexpr std::uint32_t kCycleMs = 15;          // sleep per service cycle
    static constexpr std::uint32_t kAddCheckMs = 90;       // delayed adds are checked after more than this
    static constexpr std::int32_t kMaxOutstandingFirings = 15;
    static constexpr std::uint32_t kExitPauseMs = 250;     // after unregistering all timers at exit

    // Both threads are created not running; Initialize() starts them.
    TAsyncHelperThread();
    ~TAsyncHelperThread() override;
    TAsyncHelperThread(const TAsyncHelperThread&) = delete;
    TAsyncHelperThread& operator=(const TAsyncHelperThread&) = delete;

    // Starts both threads on the first call (true then); every call trims
    // the process's working set.
    bool Initialize();
    bool GetStarted() const noexcept { return started_.load(std::memory_order_acquire); }
    // Sets the terminate flag and cuts the helper's sleep short.
    void Terminate();
    // Waits for the helper thread and the collector's thread to end after
    // Terminate(). Nothing to wait for when never started.
    void WaitFor();

    // The collector's thread.
    void GcAppTerminate() noexcept { gcControl_.app_terminating.store(true, std::memory_order_release); }
    bool GetAppTerminating() const noexcept { return gcControl_.app_terminating.load(std::memory_order_acquire); }
    void GcCollect(int generation);
    gc_detail::collector_thread_control& GcControl() noexcept { return gcControl_; }

    // Delayed thread additions: at most one pending per pool; about
    // delayMs later, unless cancelled, the helper calls pool->AddNewThread().
    void DelayedAddPooledThread(const gc_disposable<TThreadPoolBase> pool, int delayMs);
    void CancelAddPooledThread(const gc_disposable<TThreadPoolBase> pool);
    void CancelAllAddPooledThread();
    void PerformAddPooledThread();
    int GetDelayedAddCount() const noexcept { return delayedAddCount_.load(std::memory_order_acquire); }

    // Timers (see TTimerTable). The times are milliseconds; -1 = never
    // (due time) or one-shot (period, as is 0).
    gc_ptr<TTimer> RegisterTimer(const gc_disposable<TThreadPoolBase> pool, gc_ptr<InvokePtrImplBaseBase> callback,
                                 unsigned long dueTime, unsigned long period);
    void TimerChange(const gc_ptr<TThreadPoolTimerInternal> timer, unsigned long dueTime, unsigned long period);
    void UnregisterTimer(const gc_ptr<TThreadPoolTimerInternal> timer);
    // Unregisters every timer of the pool, or every timer when pool is empty.
    void UnregisterAllTimers(const gc_disposable<TThreadPoolBase> pool);
    void ServiceTimers();
    TTimerTable& Timers() noexcept { return *timers_; }

    // True once the process's helper is terminated, and while none exists;
    // safe to call from any thread at any time.
    static bool HelperTerminated() noexcept;
    // Cuts the helper's sleep short when due comes before its planned
    // wake-up (0: at once).
    void WakeHelper(std::uint64_t due) noexcept;

protected:
    void Execute() override;

private:
    struct TDelayedThreadAddObject;
    class TGcThread;
    void WaitForNextCycle(std::uint64_t cycleDeadline);
    void Cycle(std::uint64_t now);
    void ExitCleanup();

    FastCriticalSection::CritSectEx lock_; // guards started_
    std::atomic<bool> started_{false};

    FastCriticalSection::CritSectEx delayedAddsLock_;
    std::list<TDelayedThreadAddObject>* delayedAdds_;
    std::atomic<int> delayedAddCount_{0};
    std::uint32_t lastAddCheck_ = 0;

    TTimerTable* timers_;

    gc_detail::collector_thread_control gcControl_;
    TGcThread* gcThread_; // the collector's thread
    std::mutex wakeLock_;
    std::condition_variable wake_;
    std::atomic<std::uint64_t> plannedWake_{0};
    std::atomic<bool> wakeRequested_{false};

    friend class TTimerTable;
};

// The process's helper, created at library load.
extern TAsyncHelperThread* Async;

namespace Internal {
// Terminates the helper, waits for its threads and releases its tables.
// The object itself stays, so that finalizers and late callbacks still find
// a terminated helper instead of freed memory. Idempotent.
void ShutdownAsyncHelper() noexcept;
} // namespace Internal

} // namespace System::Threading
