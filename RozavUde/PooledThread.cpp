#include "RozavUde/PooledThread.h"

#include "RozavUde/ThreadPoolBase.h"
#include "core/Monitor.h"
#include "platform/debug_output.h"

namespace System::Threading {

TPooledThread::TPooledThread(const gc_disposable<TThreadPoolBase> pool_, ThreadExceptionEvent threadExceptionEvent_,
                             PooledThreadEvent threadCreateEvent_, PooledThreadEvent threadDestroyEvent_) {
    if (!threadExceptionEvent_)
        throw Sysutils::Exception("TPooledThread must be supplied with a threadExceptionEvent");
    selfRef = gc_ptr<TPooledThread>(this);
    threadExceptionEvent = threadExceptionEvent_;
    threadCreateEvent = threadCreateEvent_;
    threadDestroyEvent = threadDestroyEvent_;
    pool = pool_;
    exited = false;
    DoThreadCreate();
}

void TPooledThread::Busy() { pool->ThreadBusy(selfRef); }
void TPooledThread::Idle() { pool->ThreadIdle(selfRef); }

void TPooledThread::DoThreadException(gc_ptr<TPooledThread> thread, Sysutils::Exception* e) {
    if (GetTerminated()) return;
    try {
        threadExceptionEvent(thread, e);
    } catch (const Sysutils::Exception& inner) {
        platform::output_debug_string("Exception in ThreadExceptionEvent callback - " + inner.Message().ToUtf8());
    } catch (...) {
        platform::output_debug_string("Exception in ThreadExceptionEvent callback - ");
    }
}

void TPooledThread::ReportUnknown() {
    Sysutils::Exception e{UnicodeString()};
    DoThreadException(selfRef, &e);
}

void TPooledThread::DoThreadCreate() {
    if (threadCreateEvent) threadCreateEvent(selfRef);
}

void TPooledThread::DoThreadDestroy() {
    if (threadDestroyEvent) threadDestroyEvent(selfRef);
}

void TPooledThread::Finalize() { DoThreadDestroy(); }

bool TPooledThread::GetExited() {
    TMonitorLock l(selfRef);
    return exited;
}

void TPooledThread::Execute() {
    // Rooted on this stack while the thread runs: a retired thread is in
    // no list any more.
    gc_ptr<TPooledThread> self = selfRef;
    while (!GetTerminated()) {
        try {
            Idle();
            ThreadExecute();
        } catch (Sysutils::Exception& e) {
            DoThreadException(self, &e);
        } catch (...) {
            ReportUnknown();
        }
    }
    try {
        Idle();
        pool->RemoveThread(self);
    } catch (Sysutils::Exception& e) {
        DoThreadException(self, &e);
    } catch (...) {
        ReportUnknown();
    }
    TMonitorLock l(self);
    exited = true;
}

} // namespace System::Threading
