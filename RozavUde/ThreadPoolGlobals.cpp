#include "RozavUde/ThreadPoolGlobals.h"

#include <mutex>

#include "GC/gc_finalizer.h"
#include "RozavUde/AsyncHelperThread.h"
#include "core/CritSectEx.h"
#include "platform/debug_output.h"
#include "platform/startup_order.h"

namespace System::Threading {

// Built before the start-up routine below runs (a plain global would be
// initialised only after it, wiping what it stored).
__attribute__((init_priority(platform::startup::helper_thread))) gc_disposable<IO::TIocp> Global::g_Iocp;
__attribute__((init_priority(platform::startup::helper_thread))) gc_disposable<TThreadPool> Global::g_ThreadPool;

namespace {

FastCriticalSection::CritSectEx& handler_lock() {
    static FastCriticalSection::CritSectEx lock;
    return lock;
}
__attribute__((init_priority(platform::startup::helper_thread))) ThreadExceptionEvent g_handler;

void dispatch(void*, gc_ptr<TPooledThread> thread, Sysutils::Exception* e) {
    ThreadExceptionEvent handler;
    {
        FastCriticalSection::CritSectLock l(handler_lock());
        handler = g_handler;
    }
    if (handler) {
        handler(thread, e);
        return;
    }
    platform::output_debug_string("<<< THREAD EXCEPTION >>>" + (e ? e->Message().ToUtf8() : std::string()) +
                                  " (shown here because system global Iocp/ThreadPool OnThreadException is not assigned)");
}

} // namespace

void Global::SetThreadExceptionHandler(ThreadExceptionEvent handler) {
    FastCriticalSection::CritSectLock l(handler_lock());
    g_handler = handler;
}

ThreadExceptionEvent Global::GetThreadExceptionHandler() {
    FastCriticalSection::CritSectLock l(handler_lock());
    return g_handler;
}

ThreadExceptionEvent Internal::ThreadExceptionDispatcher() {
    ThreadExceptionEvent d;
    d.closure.code = &dispatch;
    d.closure.self = nullptr;
    return d;
}

void Internal::StartThreadPools() {
    static std::once_flag once;
    std::call_once(once, [] {
        handler_lock();
        Global::g_Iocp = gcnew<IO::TIocp>(ThreadExceptionDispatcher());
        Global::g_ThreadPool = gcnew<TThreadPool>(Global::g_Iocp, ThreadExceptionDispatcher());
    });
}

void Internal::TerminateThreadPools() {
    if (Global::g_ThreadPool) Global::g_ThreadPool.Dispose();
    if (Global::g_Iocp) Global::g_Iocp.Dispose();
    if (Async) Async->GcAppTerminate();
}

void Internal::ReleaseThreadPools() noexcept {
    Global::g_ThreadPool = nullptr;
    Global::g_Iocp = nullptr;
}

} // namespace System::Threading

// After the collector and the helper thread; the collector's exit procedure
// ends the pools before anything else.
NORVANE_STARTUP(platform::startup::thread_pool_globals) static void norvane_threadpool_startup() {
    System::Threading::Internal::StartThreadPools();
    gc_detail::gc_finalizer::SetThreadPoolsTerminator(&System::Threading::Internal::TerminateThreadPools);
}
NORVANE_UNLOAD(platform::startup::thread_pool_globals) static void norvane_threadpool_unload() {
    System::Threading::Internal::ReleaseThreadPools();
}
