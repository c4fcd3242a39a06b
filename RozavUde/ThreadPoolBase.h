// The abstract pool of pooled threads: growth one second after the threads
// got busy (through the helper thread), retirement of threads idle past
// their wait unless they have overlapped I/O outstanding, ordered shutdown.
#pragma once
#include <atomic>
#include <cstdint>

#include "collections/GcList.h"
#include "GC/gcptr.h"
#include "RozavUde/PooledThread.h"
#include "core/Monitor.h"
#include "core/Objects.h"

namespace System::IO { class TIocp; }

namespace System::Threading {

// Holds the monitor of an object whose lock record was looked up once: the
// pools take their list and queue monitors for every item they run.
class TRecordLock {
public:
    explicit TRecordLock(gc_detail::monitor_lock_record* r) : r_(r) { gc_detail::monitor_enter(r_, 0xFFFFFFFFul); }
    ~TRecordLock() { gc_detail::monitor_exit(r_); }
    TRecordLock(const TRecordLock&) = delete;
    TRecordLock& operator=(const TRecordLock&) = delete;
    // The record of p's monitor, found on first use and kept in `cache`.
    static gc_detail::monitor_lock_record* Of(std::atomic<gc_detail::monitor_lock_record*>& cache,
                                              const gc_detail::pointer_base& p) {
        gc_detail::monitor_lock_record* r = cache.load(std::memory_order_acquire);
        if (!r) {
            r = gc_detail::TManagedObjectLock::GetCritSecObj(p);
            cache.store(r, std::memory_order_release);
        }
        return r;
    }

private:
    gc_detail::monitor_lock_record* r_;
};

class TThreadPoolBase : public TIDisposable {
public:
    static constexpr double c_GrowthThreshold = 0.75;
    static constexpr int c_AddThreadDelay = 1000;

    TThreadPoolBase(const gc_disposable<IO::TIocp> iocp, int min, int max, ThreadExceptionEvent threadExceptionEvent,
                    PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);

    void Dispose() override;
    virtual void StartThreads();
    virtual void ThreadBusy(gc_ptr<TPooledThread> thread);
    virtual void ThreadIdle(gc_ptr<TPooledThread> thread);
    virtual gc_ptr<TPooledThread> CreateThread() = 0;
    // The growth rule; called under the pool's own lock.
    virtual void HandleAddThread();
    virtual bool CanRemoveThread(gc_ptr<TPooledThread> thread);
    virtual void Close();

    // A new started thread, or empty when the pool is full.
    gc_ptr<TPooledThread> AddNewThread();
    int GetThreadCount();
    int GetBusyThreadCount();
    double GetThreadsUtilization() const noexcept;
    // The shrink rule: true when the thread has been taken out of the pool.
    bool RemoveThread(gc_ptr<TPooledThread> thread);
    virtual void TerminateThreads();
    void TerminateThread(gc_ptr<TPooledThread> thread);
    void WaitFor();
    void DestroyThreads();

    int GetThreadCountMin() const noexcept { return threadCountMin.load(std::memory_order_acquire); }
    int GetThreadCountMax() const noexcept { return threadCountMax.load(std::memory_order_acquire); }
    void SetThreadCountMin(int value);
    void SetThreadCountMax(int value);
    bool GetTerminating() const noexcept { return terminating.load(std::memory_order_acquire); }
    bool GetClosed() const noexcept { return closed.load(std::memory_order_acquire); }
    int GetProcessorCount() const noexcept { return processorCount; }
    // Whether a delayed add requested by this pool is waiting at the helper.
    bool GetAddPending() const noexcept { return addPending.load(std::memory_order_acquire); }
    // The idle wait of every thread, from each one's next wait on.
    void SetThreadIdleTimeout(std::uint32_t ms);
    gc_disposable<IO::TIocp> GetIocp() const { return iocp; }
    gc_ptr<TThreadPoolBase> GetSelf() const { return selfRef; }

protected:
    gc_ptr<TThreadPoolBase> selfRef;
    std::atomic<bool> closed{false};
    std::atomic<int> threadCountMin;
    std::atomic<int> threadCountMax;
    std::atomic<bool> terminating{false};
    gc_ptr<Collections::TGcList<gc_ptr<TPooledThread>>> threads;
    gc_ptr<Collections::TGcList<gc_ptr<TPooledThread>>> busyThreads;
    int processorCount;
    gc_disposable<IO::TIocp> iocp;
    ThreadExceptionEvent threadExceptionEvent;
    PooledThreadEvent threadCreateEvent;
    PooledThreadEvent threadDestroyEvent;

    // False in a forked child: it has the pool but none of its threads.
    bool InOwnerProcess() const noexcept;
    // Closing in a forked child: nothing runs there to stop or wait for,
    // and the threads' waits must not be signalled.
    void AbandonThreads();

    gc_detail::monitor_lock_record* ThreadsLock() { return TRecordLock::Of(threadsLock_, threads); }
    gc_detail::monitor_lock_record* BusyLock() { return TRecordLock::Of(busyLock_, busyThreads); }
    gc_detail::monitor_lock_record* PoolLock() { return TRecordLock::Of(poolLock_, selfRef); }

private:
    std::atomic<gc_detail::monitor_lock_record*> threadsLock_{nullptr};
    std::atomic<gc_detail::monitor_lock_record*> busyLock_{nullptr};
    std::atomic<gc_detail::monitor_lock_record*> poolLock_{nullptr};
    void RequestDelayedAdd();
    void CancelDelayedAdd();
    // Counts kept beside the lists so that utilization is read without
    // their locks.
    std::atomic<int> threadCount_{0};
    std::atomic<int> busyCount_{0};
    std::atomic<bool> addPending{false};
    std::atomic<std::uint32_t> threadIdleTimeout{TPooledThread::c_IdleTimeout};
    int ownerProcess_;
    friend class TAsyncHelperThread;
};

} // namespace System::Threading
