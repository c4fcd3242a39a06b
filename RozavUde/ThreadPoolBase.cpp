#include "RozavUde/ThreadPoolBase.h"

#include <unistd.h>

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/Iocp.h"
#include "core/Monitor.h"
#include "platform/kernel_objects.h"
#include "platform/system.h"
#include "rtl/Thread.h"

namespace System::Threading {

using Sysutils::EInvalidOperation;

TThreadPoolBase::TThreadPoolBase(const gc_disposable<IO::TIocp> iocp_, int min, int max,
                                 ThreadExceptionEvent threadExceptionEvent_, PooledThreadEvent threadCreateEvent_,
                                 PooledThreadEvent threadDestroyEvent_) {
    if (min < 1) throw EInvalidOperation("TThreadPoolBase: argument 'min' must be 1 or greater");
    if (max < min)
        throw EInvalidOperation("TThreadPoolBase: argument 'max' must be equal to or greater than argument 'min'");
    selfRef = gc_ptr<TThreadPoolBase>(this);
    threads = gcnew<Collections::TGcList<gc_ptr<TPooledThread>>>();
    busyThreads = gcnew<Collections::TGcList<gc_ptr<TPooledThread>>>();
    threadCountMin.store(min);
    threadCountMax.store(max);
    iocp = iocp_;
    threadExceptionEvent = threadExceptionEvent_;
    threadCreateEvent = threadCreateEvent_;
    threadDestroyEvent = threadDestroyEvent_;
    processorCount = static_cast<int>(platform::processor_count());
    ownerProcess_ = static_cast<int>(getpid());
}

bool TThreadPoolBase::InOwnerProcess() const noexcept { return static_cast<int>(getpid()) == ownerProcess_; }

void TThreadPoolBase::AbandonThreads() {
    terminating.store(true, std::memory_order_release);
    DestroyThreads();
    closed.store(true, std::memory_order_release);
}

void TThreadPoolBase::Dispose() {
    Close();
    TGarbageCollector::SuppressFinalize(selfRef);
}

void TThreadPoolBase::StartThreads() {
    for (int i = 0, n = GetThreadCountMin(); i < n; ++i) AddNewThread();
}

gc_ptr<TPooledThread> TThreadPoolBase::AddNewThread() {
    // The helper calls this for a delayed add: whatever it asked for is done.
    addPending.store(false, std::memory_order_release);
    gc_ptr<TPooledThread> thread;
    TRecordLock l(ThreadsLock());
    if (threads->GetCount() < GetThreadCountMax()) {
        thread = CreateThread();
        thread->SetIdleTimeout(threadIdleTimeout.load());
        threads->Add(thread);
        threadCount_.fetch_add(1, std::memory_order_acq_rel);
        if (!thread->Start()) {
            threads->Remove(thread);
            threadCount_.fetch_sub(1, std::memory_order_acq_rel);
            throw Sysutils::EOutOfResources("Unable to start a pooled thread");
        }
    }
    return thread;
}

int TThreadPoolBase::GetThreadCount() {
    TRecordLock l(ThreadsLock());
    return threads->GetCount();
}

int TThreadPoolBase::GetBusyThreadCount() {
    TRecordLock l(BusyLock());
    return busyThreads->GetCount();
}

double TThreadPoolBase::GetThreadsUtilization() const noexcept {
    const int n = threadCount_.load(std::memory_order_acquire);
    if (n == 0) return 1.0;
    return static_cast<double>(busyCount_.load(std::memory_order_acquire)) / n;
}

void TThreadPoolBase::ThreadBusy(gc_ptr<TPooledThread> thread) {
    if (GetTerminating()) return;
    // The thread's flag mirrors its membership, so no search is needed. A
    // thread already busy changes no figure the growth rule reads: every
    // change of utilization is judged by the thread that made it.
    if (thread->busy_.load(std::memory_order_acquire)) return;
    {
        TRecordLock l(BusyLock());
        if (thread->busy_.load(std::memory_order_relaxed)) return;
        busyThreads->Add(thread);
        thread->busy_.store(true, std::memory_order_release);
        busyCount_.fetch_add(1, std::memory_order_acq_rel);
    }
    TRecordLock l(PoolLock());
    HandleAddThread();
}

void TThreadPoolBase::ThreadIdle(gc_ptr<TPooledThread> thread) {
    if (GetTerminating()) return;
    if (thread->busy_.load(std::memory_order_acquire)) {
        TRecordLock l(BusyLock());
        if (thread->busy_.load(std::memory_order_relaxed)) {
            busyThreads->Remove(thread);
            thread->busy_.store(false, std::memory_order_release);
            busyCount_.fetch_sub(1, std::memory_order_acq_rel);
        }
    }
    // Below one thread per processor a pending add stays.
    if (GetAddPending() && threadCount_.load(std::memory_order_acquire) >= processorCount) CancelDelayedAdd();
}

void TThreadPoolBase::HandleAddThread() {
    const double P = processorCount * 1.0;
    const int n = threadCount_.load(std::memory_order_acquire);
    const int max = GetThreadCountMax();
    double g = 0;
    if (n >= P) {
        double r = max - P;
        if (r <= 0) r = 0.001;
        g = (n - P) / r;
    }
    const double threshold = c_GrowthThreshold + (1 - c_GrowthThreshold) * g;
    if (GetThreadsUtilization() > threshold && n < max) RequestDelayedAdd();
}

void TThreadPoolBase::RequestDelayedAdd() {
    // The helper keeps one pending add per pool; asking again changes nothing.
    if (!Async || addPending.exchange(true, std::memory_order_acq_rel)) return;
    Async->DelayedAddPooledThread(gc_disposable<TThreadPoolBase>(selfRef), c_AddThreadDelay);
}

void TThreadPoolBase::CancelDelayedAdd() {
    if (!addPending.exchange(false, std::memory_order_acq_rel) || !Async) return;
    Async->CancelAddPooledThread(gc_disposable<TThreadPoolBase>(selfRef));
}

bool TThreadPoolBase::CanRemoveThread(gc_ptr<TPooledThread>) { return true; }

bool TThreadPoolBase::RemoveThread(gc_ptr<TPooledThread> thread) {
    if (GetTerminating()) return false;
    const platform::thread_id_t tid = thread->GetThreadID();
    if (iocp->HasIoPending(tid)) return false;
    bool removed = false;
    {
        TRecordLock l(ThreadsLock());
        if (threads->GetCount() > GetThreadCountMin() && CanRemoveThread(thread)) {
            if (threads->Remove(thread)) threadCount_.fetch_sub(1, std::memory_order_acq_rel);
            TRecordLock b(BusyLock());
            if (busyThreads->Remove(thread)) busyCount_.fetch_sub(1, std::memory_order_acq_rel);
            thread->busy_.store(false, std::memory_order_release);
            removed = true;
        }
    }
    if (removed) iocp->CleanupThread(tid);
    return removed;
}

void TThreadPoolBase::TerminateThreads() {
    terminating.store(true, std::memory_order_release);
    addPending.store(false, std::memory_order_release);
    if (Async) Async->CancelAddPooledThread(gc_disposable<TThreadPoolBase>(selfRef));
    TRecordLock l(ThreadsLock());
    for (int i = 0, n = threads->GetCount(); i < n; ++i) TerminateThread(threads->GetItem(i));
}

void TThreadPoolBase::TerminateThread(gc_ptr<TPooledThread> thread) { thread->Terminate(); }

void TThreadPoolBase::WaitFor() {
    // Threads told to stop are usually gone by the first scan: the pause
    // comes between scans, not before the first.
    for (;;) {
        bool running = false;
        {
            TRecordLock l(ThreadsLock());
            for (int i = 0, n = threads->GetCount(); i < n && !running; ++i) {
                gc_ptr<TPooledThread> t = threads->GetItem(i);
                TMonitorLock tl(t);
                if (t->exited) continue;
                const std::uint32_t r = platform::WaitForSingleObject(t->GetHandle(), 15);
                if (r != platform::WAIT_OBJECT_0 && r != platform::WAIT_FAILED) running = true;
            }
            if (!running)
                for (int i = 0, n = threads->GetCount(); i < n; ++i) threads->GetItem(i)->Classes::TThread::WaitFor();
        }
        if (!running) return;
        TThread::Sleep(100);
    }
}

void TThreadPoolBase::DestroyThreads() {
    {
        TRecordLock l(ThreadsLock());
        threads->Clear();
        threadCount_.store(0, std::memory_order_release);
    }
    TRecordLock l(BusyLock());
    busyThreads->Clear();
    busyCount_.store(0, std::memory_order_release);
}

void TThreadPoolBase::Close() {
    if (GetClosed()) return;
    if (!InOwnerProcess()) return AbandonThreads();
    TerminateThreads();
    TThread::Yield();
    WaitFor();
    DestroyThreads();
    closed.store(true, std::memory_order_release);
}

void TThreadPoolBase::SetThreadIdleTimeout(std::uint32_t ms) {
    TRecordLock l(ThreadsLock());
    threadIdleTimeout.store(ms);
    for (int i = 0, n = threads->GetCount(); i < n; ++i) threads->GetItem(i)->SetIdleTimeout(ms);
}

void TThreadPoolBase::SetThreadCountMin(int value) {
    TRecordLock l(ThreadsLock());
    if (value < 1) throw EInvalidOperation("TThreadPoolBase: ThreadCountMin must be 1 or greater");
    if (value > GetThreadCountMax()) threadCountMax.store(value);
    threadCountMin.store(value);
}

void TThreadPoolBase::SetThreadCountMax(int value) {
    TRecordLock l(ThreadsLock());
    if (value < 1) throw EInvalidOperation("TThreadPoolBase: ThreadCountMax must be 1 or greater");
    if (value < GetThreadCountMin()) threadCountMin.store(value);
    threadCountMax.store(value);
}

} // namespace System::Threading
