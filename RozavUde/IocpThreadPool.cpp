#include "RozavUde/IocpThreadPool.h"

#include "platform/kernel_objects.h"

namespace System::Threading {

TIocpThreadPool::TIocpThreadPool(const gc_disposable<IO::TIocp> iocp, int min, int max,
                                 ThreadExceptionEvent threadExceptionEvent, PooledThreadEvent threadCreateEvent,
                                 PooledThreadEvent threadDestroyEvent)
    : TThreadPoolBase(iocp, min, max, threadExceptionEvent, threadCreateEvent, threadDestroyEvent) {
    StartThreads();
}

gc_ptr<TPooledThread> TIocpThreadPool::CreateThread() {
    return gcnew<TIocpThread>(gc_disposable<TThreadPoolBase>(selfRef), threadExceptionEvent, threadCreateEvent,
                              threadDestroyEvent);
}

void TIocpThreadPool::SignalTerminate() {
    platform::completion_port* port = iocp->GetCompletionPortHandle();
    const int packets = GetThreadCount() * 10;
    for (int i = 0; i < packets; ++i) platform::PostQueuedCompletionStatus(port, 0, 0, c_TerminatePacket);
}

void TIocpThreadPool::TerminateThreads() {
    TThreadPoolBase::TerminateThreads();
    SignalTerminate();
}

void TIocpThreadPool::Close() {
    if (closing.load(std::memory_order_acquire) || GetClosed()) return;
    if (!InOwnerProcess()) {
        closing.store(true, std::memory_order_release);
        return AbandonThreads();
    }
    TerminateThreads();
    TThreadPoolBase::Close();
    closing.store(true, std::memory_order_release);
}

TIocpThread::TIocpThread(const gc_disposable<TThreadPoolBase> threadPool_, ThreadExceptionEvent threadExceptionEvent,
                         PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent)
    : TPooledThread(threadPool_, threadExceptionEvent, threadCreateEvent, threadDestroyEvent) {
    threadPool = IocpThreadPool(dynamic_cast<TIocpThreadPool*>(threadPool_.get()));
    if (!threadPool)
        throw Sysutils::EInvalidOperation("TIocpThread is expecting threadPool to be of type IocpThreadPool");
    SetPriority(platform::thread_priority::above_normal);
    SetName("norvane-iocp");
}

void TIocpThread::DoCallback(gc_ptr<IO::TIocpCallback> callback, unsigned long bytesTransferred,
                             unsigned long errorCode) {
    try {
        if (!callback) throw ENullReference(typeid(IO::TIocpCallback));
        callback->DoEvent(bytesTransferred, errorCode);
    } catch (Sysutils::Exception& e) {
        DoThreadException(selfRef, &e);
    } catch (...) {
        ReportUnknown();
    }
}

void TIocpThread::ThreadExecute() {
    platform::completion_port* port = threadPool->GetIocp()->GetCompletionPortHandle();
    // After a completion the port is polled once before going idle: under
    // load a thread runs packet after packet without an idle/busy flip each.
    bool justCompleted = false;
    while (!GetTerminated()) {
        platform::OVERLAPPED* overlapped = nullptr;
        std::uint32_t bytes = 0;
        std::uintptr_t key = 0;
        bool ok;
        if (justCompleted) {
            justCompleted = false;
            ok = platform::GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 0);
            if (!ok && !overlapped && platform::GetLastError() == platform::WAIT_TIMEOUT) continue;
        } else {
            Idle();
            platform::SetLastError(0);
            ok = platform::GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, GetIdleTimeout());
        }
        const std::uint32_t error = ok ? 0 : platform::GetLastError();
        if (overlapped) {
            if (overlapped == c_TerminatePacket) {
                Terminate();
                break;
            }
            Busy();
            DoCallback(gc_ptr<IO::TIocpCallback>(IO::TIocpCallback::FromOverlapped(overlapped)), bytes, error);
            justCompleted = true;
        } else if (error == platform::WAIT_TIMEOUT) {
            if (threadPool->RemoveThread(selfRef)) {
                Terminate();
                break;
            }
        } else if (!ok) {
            // The port is gone (closed under the wait, or never valid):
            // waiting again would only spin.
            Terminate();
            break;
        }
    }
    Idle();
}

} // namespace System::Threading
