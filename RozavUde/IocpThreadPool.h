// The threads that wait on the completion port and dispatch each packet to
// the record of its operation.
#pragma once
#include <atomic>

#include "RozavUde/Iocp.h"
#include "RozavUde/ThreadPoolBase.h"

namespace System::Threading {

class TIocpThreadPool : public TThreadPoolBase {
public:
    TIocpThreadPool(const gc_disposable<IO::TIocp> iocp, int min, int max, ThreadExceptionEvent threadExceptionEvent,
                    PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);

    gc_ptr<TPooledThread> CreateThread() override;
    void Close() override;
    void TerminateThreads() override;
    // Ten termination packets per thread: each ends the thread that takes it.
    void SignalTerminate();

private:
    std::atomic<bool> closing{false};
};
using IocpThreadPool = gc_ptr<TIocpThreadPool>;

class TIocpThread : public TPooledThread {
public:
    TIocpThread(const gc_disposable<TThreadPoolBase> threadPool, ThreadExceptionEvent threadExceptionEvent,
                PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);
    void ThreadExecute() override;
    void DoCallback(gc_ptr<IO::TIocpCallback> callback, unsigned long bytesTransferred, unsigned long errorCode);

private:
    IocpThreadPool threadPool;
};

// The overlapped pointer of a termination packet.
inline platform::OVERLAPPED* const c_TerminatePacket =
    reinterpret_cast<platform::OVERLAPPED*>(~static_cast<std::uintptr_t>(0));

} // namespace System::Threading
