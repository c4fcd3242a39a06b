// Pool timers: TTimer is the handle users get from a pool's RegisterTimer;
// TThreadPoolTimerInternal is the state the helper's timer table keeps;
// TTimerCallback is what a firing runs on a pool thread. Callbacks never run
// on the helper thread: each firing is one work item on the timer's pool,
// and up to 15 of one timer may be queued or running at once.
#pragma once
#include <atomic>
#include <cstdint>

#include "RozavUde/AsyncHelperThread.h"

namespace System::Threading {

class TAsyncHelperThread::TThreadPoolTimerInternal : public TLockableObject {
public:
    // Throws EInvalidOperation: a timer needs its pool and callback.
    TThreadPoolTimerInternal();
    TThreadPoolTimerInternal(const gc_disposable<TThreadPoolBase> pool, gc_ptr<InvokePtrImplBaseBase> callback,
                             int dueTime, int period);

    void Change(int dueTime, int period);
    // The first call takes the timer out of the table; later calls do nothing.
    void Unregister();
    virtual void Finalize() { Unregister(); }

    gc_ptr<TTimerCallback> GetCallback();
    void IncrementOutstandingTaskCount() noexcept { outstandingTaskCount.fetch_add(1, std::memory_order_acq_rel); }
    void DecrementOutstandingTaskCount() noexcept { outstandingTaskCount.fetch_sub(1, std::memory_order_acq_rel); }
    std::int32_t GetOutstandingTaskCount() const noexcept { return outstandingTaskCount.load(std::memory_order_acquire); }

    int GetDueTime() const noexcept { return dueTime; }
    int GetPeriod() const noexcept { return period; }
    bool GetFired() const noexcept { return fired; }
    bool GetUnregistered() const noexcept { return unregistered.load(std::memory_order_acquire); }
    std::uint32_t GetStartTick() const noexcept { return startTick; }
    const gc_ptr<TThreadPool>& GetPool() const noexcept { return pool; }

private:
    friend class TTimerTable;

    // Written under timerLock.
    std::uint32_t startTick;
    bool fired = false;
    int dueTime;
    int period;
    std::atomic<bool> unregistered{false};
    gc_ptr<TThreadPool> pool;
    gc_ptr<InvokePtrImplBaseBase> callback;
    gc_ptr<TTimerCallback> timerCallback;
    std::atomic<std::int32_t> outstandingTaskCount{0};
    // The table's bookkeeping, under timerLock: position in the active
    // list (order of the last append) and the schedule entry, if any.
    std::uint64_t activeSeq = 0;
    std::uint64_t scheduleKey = 0;
    bool scheduled = false;
};

class TAsyncHelperThread::TTimerCallback : public TLockableObject {
public:
    TTimerCallback(const gc_ptr<TThreadPoolTimerInternal>& timer, const gc_ptr<InvokePtrImplBaseBase>& callback);
    // Runs on a pool thread: the user's delegate, unless the helper is
    // terminating; the firing counts as finished whatever happens.
    void Callback(gc_ptr<TThreadPoolTimerInternal> timer);

private:
    gc_ptr<InvokePtrImplBaseBase> callback;
    gc_ptr<TThreadPoolTimerInternal> timer;
};

class TAsyncHelperThread::TTimer : public TIDisposable {
public:
    // Throws EInvalidOperation: a timer needs its pool and callback.
    TTimer();
    // Checks its arguments (EInvalidOperation); the timer is inactive until
    // the helper's RegisterTimer enters it in the table.
    TTimer(const gc_disposable<TThreadPoolBase> pool, gc_ptr<InvokePtrImplBaseBase> callback, int dueTime, int period);

    void Change(int dueTime, int period);
    void Dispose() override;
    const gc_ptr<TThreadPoolTimerInternal>& GetTimerInternal() const noexcept { return timerInternal; }

private:
    gc_ptr<TThreadPoolTimerInternal> timerInternal;
};

} // namespace System::Threading
