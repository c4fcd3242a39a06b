// The process-wide completion port and work pool, the handler that receives
// every exception escaping work on them, and their start-up and shutdown.
#pragma once
#include "GC/gcptr.h"
#include "RozavUde/Iocp.h"
#include "RozavUde/IocpThreadPool.h"
#include "RozavUde/PooledThread.h"
#include "RozavUde/ThreadPool.h"

namespace System::Threading::Global {

extern gc_disposable<IO::TIocp> g_Iocp;
extern gc_disposable<TThreadPool> g_ThreadPool;

// An empty handler restores the default report on the debugger output.
void SetThreadExceptionHandler(ThreadExceptionEvent handler);
// The handler set with SetThreadExceptionHandler; empty when none is.
ThreadExceptionEvent GetThreadExceptionHandler();

} // namespace System::Threading::Global

namespace System::Threading::Internal {

// The exception event both global pools get: hands the exception to the
// handler set with SetThreadExceptionHandler, or writes the default text.
ThreadExceptionEvent ThreadExceptionDispatcher();

// Library load: creates g_Iocp, then g_ThreadPool with its first thread.
// Runs once; the helper thread must exist already.
void StartThreadPools();
// Normal exit: disposes g_ThreadPool (queued work drains), then g_Iocp (its
// threads end), then tells the helper the application is terminating.
void TerminateThreadPools();
// Library unload: drops the two global references.
void ReleaseThreadPools() noexcept;

} // namespace System::Threading::Internal
