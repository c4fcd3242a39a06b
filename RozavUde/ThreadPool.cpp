#include "RozavUde/ThreadPool.h"

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/Iocp.h"
#include "RozavUde/Timer.h"
#include "core/Monitor.h"
#include "platform/debug_output.h"
#include "rtl/Thread.h"

namespace System::Threading {

using Sysutils::EOutOfResources;

AsyncThreadInvokerResult TTaskQueue::PopFront() {
    if (head_ >= count_) return AsyncThreadInvokerResult();
    AsyncThreadInvokerResult* p = items_.data();
    AsyncThreadInvokerResult item = p[head_];
    p[head_] = default_;
    if (++head_ == count_) {
        head_ = 0;
        count_ = 0;
    } else if (head_ >= 64 && head_ * 2 >= count_) {
        // A long-lived backlog: move what is left to the front once.
        const int left = count_ - head_;
        for (int i = 0; i < left; ++i) p[i] = p[head_ + i];
        for (int i = left; i < count_; ++i) p[i] = default_;
        head_ = 0;
        count_ = left;
        AdjustCapacity();
    }
    ++version_;
    return item;
}

TThreadPool::TThreadPool(const gc_disposable<IO::TIocp> iocp, int min, int max,
                         ThreadExceptionEvent threadExceptionEvent, PooledThreadEvent threadCreateEvent,
                         PooledThreadEvent threadDestroyEvent)
    : TThreadPoolBase(iocp, min, max, threadExceptionEvent, threadCreateEvent, threadDestroyEvent) {
    Init();
}

TThreadPool::TThreadPool(const gc_disposable<IO::TIocp> iocp, int min, int max,
                         ThreadExceptionEvent threadExceptionEvent)
    : TThreadPoolBase(iocp, min, max, threadExceptionEvent, PooledThreadEvent(), PooledThreadEvent()) {
    Init();
}

TThreadPool::TThreadPool(const gc_disposable<IO::TIocp> iocp, ThreadExceptionEvent threadExceptionEvent,
                         PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent)
    : TThreadPoolBase(iocp, c_DefaultMin, c_DefaultMax, threadExceptionEvent, threadCreateEvent,
                      threadDestroyEvent) {
    Init();
}

TThreadPool::TThreadPool(const gc_disposable<IO::TIocp> iocp, ThreadExceptionEvent threadExceptionEvent)
    : TThreadPoolBase(iocp, c_DefaultMin, c_DefaultMax, threadExceptionEvent, PooledThreadEvent(),
                      PooledThreadEvent()) {
    Init();
}

TThreadPool::~TThreadPool() {
    if (taskEvent) platform::CloseHandle(taskEvent);
    if (terminateEvent) platform::CloseHandle(terminateEvent);
}

void TThreadPool::Init() {
    closing.store(false);
    tasks = gcnew<TTaskQueue>();
    taskEvent = platform::CreateEventW(false, false, nullptr);
    if (!taskEvent) throw EOutOfResources("TThreadPool: unable to create the task event");
    terminateEvent = platform::CreateEventW(true, false, nullptr);
    if (!terminateEvent) {
        platform::CloseHandle(taskEvent);
        taskEvent = nullptr;
        throw EOutOfResources("TThreadPool: unable to create the terminate event");
    }
    StartThreads();
}

gc_ptr<TPooledThread> TThreadPool::CreateThread() {
    return gcnew<TThreadPoolThread>(gc_disposable<TThreadPoolBase>(selfRef), threadExceptionEvent,
                                    threadCreateEvent, threadDestroyEvent);
}

void TThreadPool::Enqueue(const gc_ptr<TAsyncThreadInvokerResult>& task) {
    {
        TRecordLock l(TasksLock());
        tasks->Add(task);
        taskCount_.fetch_add(1, std::memory_order_acq_rel);
    }
    WakeWorkerThreads();
}

void TThreadPool::QueueUserWorkItem(gc_ptr<InvokePtrImplBaseBase> work) {
    Enqueue(gcnew<TAsyncThreadInvokerResult>(gc_ptr<TObject>(selfRef), gc_disposable<TWaitHandle>(), work));
}

gc_ptr<TAsyncThreadInvokerResult> TThreadPool::InternalBeginInvoke(gc_ptr<InvokePtrImplBaseBase> work) {
    if (GetClosing()) throw EObjectDisposed(typeid(TThreadPool));
    gc_ptr<TWaitHandle> event = gcnew<TManualResetEvent>(false);
    gc_ptr<TAsyncThreadInvokerResult> task =
        gcnew<TAsyncThreadInvokerResult>(gc_ptr<TObject>(selfRef), gc_disposable<TWaitHandle>(event), work);
    Enqueue(task);
    return task;
}

void TThreadPool::WakeWorkerThreads() {
    if (PeekTaskCount() > 0 && !platform::SetEvent(taskEvent))
        throw EAsyncException(UnicodeString("TThreadPool: Failed to set incoming task event"));
}

int TThreadPool::PeekTaskCount() { return taskCount_.load(std::memory_order_acquire); }

gc_ptr<TAsyncThreadInvokerResult> TThreadPool::GetTask() {
    if (PeekTaskCount() == 0) return gc_ptr<TAsyncThreadInvokerResult>();
    TRecordLock l(TasksLock());
    gc_ptr<TAsyncThreadInvokerResult> task = tasks->PopFront();
    if (task) taskCount_.fetch_sub(1, std::memory_order_acq_rel);
    return task;
}

gc_ptr<TAsyncThreadInvokerResult> TThreadPool::GetQueuedTaskStatus(unsigned long timeout, bool& timedOut) {
    timedOut = false;
    const platform::HANDLE handles[2] = {taskEvent, terminateEvent};
    for (;;) {
        const std::uint32_t r =
            platform::WaitForMultipleObjects(2, handles, false, static_cast<std::uint32_t>(timeout));
        if (r == platform::WAIT_TIMEOUT) {
            timedOut = true;
            return gc_ptr<TAsyncThreadInvokerResult>();
        }
        if (r != platform::WAIT_OBJECT_0) return gc_ptr<TAsyncThreadInvokerResult>();
        gc_ptr<TAsyncThreadInvokerResult> task = GetTask();
        // The event resets itself: pass the wake-up on while work remains.
        WakeWorkerThreads();
        if (task) return task;
    }
}

void TThreadPool::DoActualInvoke(const gc_ptr<TAsyncThreadInvokerResult> task) {
    gc_ptr<InvokePtrImplBaseBase> work = task->GetWork();
    auto finish = [&] {
        task->Completed();
        gc_disposable<TWaitHandle> h = task->GetAsyncWaitHandle();
        if (h) gc_ptr<TEventWaitHandle>(gc_ptr<TWaitHandle>(h))->Set();
    };
    try {
        if (work->IsUnsafeTarget())
            platform::output_debug_string("ThreadPool warning: Invoking an unsafe method!");
        work->Invoke();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

gc_ptr<TAsyncHelperThread::TTimer> TThreadPool::RegisterTimer(gc_ptr<InvokePtrImplBaseBase> callback, int dueTime,
                                                              int period) {
    return Async->RegisterTimer(gc_disposable<TThreadPoolBase>(selfRef), callback,
                                static_cast<unsigned long>(dueTime), static_cast<unsigned long>(period));
}

void TThreadPool::WaitForAllAsyncResults() {
    while (PeekTaskCount() > 0) TThread::Sleep(50);
}

void TThreadPool::SignalTerminate() { platform::SetEvent(terminateEvent); }

void TThreadPool::TerminateThreads() {
    TThreadPoolBase::TerminateThreads();
    SignalTerminate();
}

void TThreadPool::Close() {
    if (GetClosing() || GetClosed()) return;
    if (!InOwnerProcess()) {
        closing.store(true, std::memory_order_release);
        return AbandonThreads();
    }
    {
        TRecordLock l(PoolLock());
        if (GetClosing() || GetClosed()) return;
        closing.store(true, std::memory_order_release);
    }
    WaitForAllAsyncResults();
    TThread::Sleep(100);
    WaitForAllAsyncResults();
    TRecordLock l(PoolLock());
    TerminateThreads();
    TThread::Yield();
    WaitFor();
    platform::CloseHandle(taskEvent);
    taskEvent = nullptr;
    platform::CloseHandle(terminateEvent);
    terminateEvent = nullptr;
    TThreadPoolBase::Close();
}

TThreadPoolThread::TThreadPoolThread(const gc_disposable<TThreadPoolBase> threadPool_,
                                     ThreadExceptionEvent threadExceptionEvent, PooledThreadEvent threadCreateEvent,
                                     PooledThreadEvent threadDestroyEvent)
    : TPooledThread(threadPool_, threadExceptionEvent, threadCreateEvent, threadDestroyEvent) {
    if (!threadPool_) throw EArgumentNull("threadPool");
    threadPool = gc_ptr<TThreadPool>(gc_ptr<TThreadPoolBase>(threadPool_));
    SetPriority(platform::thread_priority::below_normal);
    SetName("norvane-pool");
}

void TThreadPoolThread::DoCallback(const gc_ptr<TAsyncThreadInvokerResult> task) {
    try {
        threadPool->DoActualInvoke(task);
    } catch (Sysutils::Exception& e) {
        DoThreadException(selfRef, &e);
    } catch (...) {
        ReportUnknown();
    }
}

void TThreadPoolThread::ThreadExecute() {
    while (!GetTerminated()) {
        // Work already queued is taken without going idle and waiting: a
        // backlog is run without a wait or an idle/busy flip per item.
        gc_ptr<TAsyncThreadInvokerResult> task = threadPool->GetTask();
        bool timedOut = false;
        if (!task) {
            Idle();
            platform::SetLastError(0);
            task = threadPool->GetQueuedTaskStatus(GetIdleTimeout(), timedOut);
            if (!timedOut && !task) Terminate();
        }
        if (task) {
            Busy();
            DoCallback(task);
        }
        if (timedOut && threadPool->RemoveThread(selfRef)) {
            Terminate();
            break;
        }
    }
    Idle();
}

} // namespace System::Threading
