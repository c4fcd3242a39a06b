// The work-item pool: bound-method delegates queued first-in, first-out and
// run on its threads.
#pragma once
#include <atomic>

#include "collections/GcList.h"
#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/ThreadPoolBase.h"
#include "core/Delegates.h"
#include "platform/kernel_objects.h"

namespace System::Threading {

// One queued work item. Items queued with QueueUserWorkItem carry no wait
// handle; those from InternalBeginInvoke carry their own event.
class TAsyncThreadInvokerResult : public TAsyncResult {
public:
    TAsyncThreadInvokerResult(const gc_ptr<TObject> owner, const gc_disposable<TWaitHandle> waitHandle,
                              const gc_ptr<InvokePtrImplBaseBase> work)
        : TAsyncResult(owner, gc_ptr<TObject>(), waitHandle), work(work) {}
    gc_ptr<InvokePtrImplBaseBase> GetWork() const { return work; }

private:
    gc_ptr<InvokePtrImplBaseBase> work;
};
using AsyncThreadInvokerResult = gc_ptr<TAsyncThreadInvokerResult>;

// The work queue: a list consumed from the front through a head index, so
// that taking an item neither shifts the rest nor allocates.
class TTaskQueue : public Collections::TGcList<AsyncThreadInvokerResult> {
public:
    int GetCount() override { return count_ - head_; }
    void Clear() override {
        Collections::TGcList<AsyncThreadInvokerResult>::Clear();
        head_ = 0;
    }
    // The oldest item, removed; empty when there is none.
    AsyncThreadInvokerResult PopFront();

private:
    int head_ = 0;
};

class TThreadPool : public TThreadPoolBase {
public:
    static constexpr int c_DefaultMin = 1;
    static constexpr int c_DefaultMax = 250;

    TThreadPool(const gc_disposable<IO::TIocp> iocp, int min, int max, ThreadExceptionEvent threadExceptionEvent,
                PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);
    TThreadPool(const gc_disposable<IO::TIocp> iocp, int min, int max, ThreadExceptionEvent threadExceptionEvent);
    TThreadPool(const gc_disposable<IO::TIocp> iocp, ThreadExceptionEvent threadExceptionEvent,
                PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);
    TThreadPool(const gc_disposable<IO::TIocp> iocp, ThreadExceptionEvent threadExceptionEvent);
    ~TThreadPool() override;

    gc_ptr<TPooledThread> CreateThread() override;
    // Drains the queue, then stops the threads.
    void Close() override;
    void TerminateThreads() override;

    // Queues work even while the pool closes (the queue still drains).
    void QueueUserWorkItem(gc_ptr<InvokePtrImplBaseBase> work);
    // Work with a result whose event is set once it has run; refused
    // (EObjectDisposed) once Close has begun.
    gc_ptr<TAsyncThreadInvokerResult> InternalBeginInvoke(gc_ptr<InvokePtrImplBaseBase> work);
    int PeekTaskCount();
    void WaitForAllAsyncResults();
    // A timer whose firings run as work items of this pool (milliseconds;
    // due time -1 = never, period -1 or 0 = once).
    gc_ptr<TAsyncHelperThread::TTimer> RegisterTimer(gc_ptr<InvokePtrImplBaseBase> callback, int dueTime, int period);
    bool GetClosing() const noexcept { return closing.load(std::memory_order_acquire); }

    // Internal to the pool's threads.
    gc_ptr<TAsyncThreadInvokerResult> GetTask();
    gc_ptr<TAsyncThreadInvokerResult> GetQueuedTaskStatus(unsigned long timeout, bool& timedOut);
    void DoActualInvoke(const gc_ptr<TAsyncThreadInvokerResult> task);
    void WakeWorkerThreads();
    void SignalTerminate();

private:
    void Init();
    void Enqueue(const gc_ptr<TAsyncThreadInvokerResult>& task);

    std::atomic<bool> closing{false};
    gc_ptr<TTaskQueue> tasks;
    platform::HANDLE taskEvent = nullptr;
    platform::HANDLE terminateEvent = nullptr;
    // Queue length beside the list, so that waking and polling need no lock.
    std::atomic<int> taskCount_{0};
    std::atomic<gc_detail::monitor_lock_record*> tasksLock_{nullptr};
    gc_detail::monitor_lock_record* TasksLock() { return TRecordLock::Of(tasksLock_, tasks); }
};

class TThreadPoolThread : public TPooledThread {
public:
    TThreadPoolThread(const gc_disposable<TThreadPoolBase> threadPool, ThreadExceptionEvent threadExceptionEvent,
                      PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);
    void ThreadExecute() override;
    void DoCallback(const gc_ptr<TAsyncThreadInvokerResult> task);

private:
    gc_ptr<TThreadPool> threadPool;
};

} // namespace System::Threading
