// A thread owned by a pool: it alternates between waiting for work (idle)
// and running it (busy), reports what escapes the work to the pool's
// exception event, and offers to retire after an idle wait.
#pragma once
#include <cstdint>

#include "GC/gcptr.h"
#include "core/Delegates.h"
#include "core/Objects.h"
#include "rtl/Thread.h"

namespace System::Threading {

class TPooledThread;
class TThreadPoolBase;

// Called when an exception escapes work on a pooled thread.
using ThreadExceptionEvent = TDelegate<void(gc_ptr<TPooledThread> thread, Sysutils::Exception* e)>;
// Called when a pooled thread is created or finalized; may be empty.
using PooledThreadEvent = TDelegate<void(gc_ptr<TPooledThread> thread)>;

class TPooledThread : public Classes::TThread {
public:
    static constexpr std::uint32_t c_IdleTimeout = 60000;

    // The OS thread starts with Start(), which the pool calls once the
    // thread is listed, so that a running thread is always reachable.
    TPooledThread(const gc_disposable<TThreadPoolBase> pool, ThreadExceptionEvent threadExceptionEvent,
                  PooledThreadEvent threadCreateEvent, PooledThreadEvent threadDestroyEvent);

    virtual void Busy();
    virtual void Idle();
    // Hands e to the exception event unless the thread is terminated;
    // whatever the event throws is reported on the debugger output.
    virtual void DoThreadException(gc_ptr<TPooledThread> thread, Sysutils::Exception* e);
    virtual void DoThreadCreate();
    virtual void DoThreadDestroy();
    // The per-thread work loop.
    virtual void ThreadExecute() = 0;
    // Run by the collector: the destroy event fires on the finalizing thread.
    virtual void Finalize();

    gc_ptr<TPooledThread> GetSelf() const { return selfRef; }
    gc_disposable<TThreadPoolBase> GetPool() const { return pool; }
    std::uint32_t GetIdleTimeout() const noexcept { return idleTimeout.load(std::memory_order_relaxed); }
    // Shorter waits serve tests and embedders; the default is a minute. A
    // wait under way keeps its time-out.
    void SetIdleTimeout(std::uint32_t ms) noexcept { idleTimeout.store(ms, std::memory_order_relaxed); }
    bool GetExited();
    // Busy/idle state as last reported to the pool.
    bool GetIsBusy() const noexcept { return busy_.load(std::memory_order_acquire); }

protected:
    void Execute() override;
    // Reports a non-Exception object as an Exception with an empty message.
    void ReportUnknown();

    gc_ptr<TPooledThread> selfRef;
    ThreadExceptionEvent threadExceptionEvent;
    PooledThreadEvent threadCreateEvent;
    PooledThreadEvent threadDestroyEvent;
    gc_disposable<TThreadPoolBase> pool;
    std::atomic<std::uint32_t> idleTimeout{c_IdleTimeout};
    bool exited = false;

private:
    friend class TThreadPoolBase;
    std::atomic<bool> busy_{false};
};

} // namespace System::Threading
