#include "RozavUde/AsyncHelperThread.h"

#include <malloc.h>
#include <pthread.h>

#include <chrono>

#include "GC/gc_finalizer.h"
#include "RozavUde/AsyncHelperThreadPools.h"
#include "RozavUde/Timer.h"
#include "RozavUde/TimerTable.h"
#include "core/Exceptions.h"
#include "platform/debug_output.h"
#include "platform/startup_order.h"
#include "platform/system.h"

namespace System::Threading {

TAsyncHelperThread* Async = nullptr;

namespace {
// Outlives the helper object's usefulness: callbacks still running on pool
// threads at exit read it instead of the helper.
std::atomic<bool> g_helperTerminated{false};

void wake_for_timer(std::uint64_t due, void* context);
} // namespace

// Runs the collection policy's procedure over the helper's control block.
class TAsyncHelperThread::TGcThread : public Classes::TThread {
public:
    explicit TGcThread(gc_detail::collector_thread_control& control) : control_(control) {
        SetName("gc-collector");
        SetPriority(platform::thread_priority::time_critical);
    }
protected:
    void Execute() override {
        control_.running.store(true, std::memory_order_release);
        gc_detail::get_collector_thread_proc()(control_);
        control_.running.store(false, std::memory_order_release);
    }
private:
    gc_detail::collector_thread_control& control_;
};

struct TAsyncHelperThread::TDelayedThreadAddObject {
    gc_disposable<TThreadPoolBase> pool;
    std::uint32_t dueTick;
};

TAsyncHelperThread::TAsyncHelperThread()
    : delayedAdds_(new std::list<TDelayedThreadAddObject>()), timers_(new TTimerTable()),
      gcThread_(new TGcThread(gcControl_)) {
    SetName("async-helper");
    // The timer-resolution request of the original platform has nothing to
    // do here: Linux sleeps are precise.
    if (helper_pools::global_pool_exists())
        common_assert("Global::ThreadPool == null", "RozavUde\\AsyncHelperThread", 56);
    timers_->SetWakeHook(&wake_for_timer, this);
}

TAsyncHelperThread::~TAsyncHelperThread() {
    Terminate();
    WaitFor();
    delete gcThread_;
    delete timers_;
    delete delayedAdds_;
}

bool TAsyncHelperThread::HelperTerminated() noexcept {
    return g_helperTerminated.load(std::memory_order_acquire) || Async == nullptr;
}

// ---- life cycle -------------------------------------------------------------

bool TAsyncHelperThread::Initialize() {
    bool startedNow = false;
    {
        FastCriticalSection::CritSectLock g(lock_);
        if (!started_.load(std::memory_order_relaxed) && !GetTerminated()) {
            started_.store(true, std::memory_order_release);
            gcThread_->Start();
            Start();
            startedNow = true;
        }
    }
    malloc_trim(0); // the working-set trim
    return startedNow;
}

void TAsyncHelperThread::Terminate() {
    Classes::TThread::Terminate();
    g_helperTerminated.store(true, std::memory_order_release);
    WakeHelper(0);
}

void TAsyncHelperThread::WaitFor() {
    Classes::TThread::WaitFor();
    // Normally stopped by the helper on its way out.
    gcControl_.stop();
    gcThread_->WaitFor();
}

void TAsyncHelperThread::GcCollect(int generation) {
    gcControl_.request(generation);
    platform::yield_processor();
}

// ---- the helper thread ----------------------------------------------------------

namespace {
void wake_for_timer(std::uint64_t due, void* context) {
    static_cast<TAsyncHelperThread*>(context)->WakeHelper(due);
}
} // namespace

void TAsyncHelperThread::WakeHelper(std::uint64_t due) noexcept {
    if (due != 0 && due >= plannedWake_.load(std::memory_order_acquire)) return;
    {
        std::lock_guard<std::mutex> g(wakeLock_);
        wakeRequested_.store(true, std::memory_order_release);
    }
    wake_.notify_all();
}

// Sleeps until the cycle's deadline, or earlier when a timer falls due
// before it, so that timers fire close to their due moment.
void TAsyncHelperThread::WaitForNextCycle(std::uint64_t cycleDeadline) {
    for (;;) {
        // A timer scheduled while the target is computed asks for a wake-up.
        plannedWake_.store(UINT64_MAX, std::memory_order_release);
        const std::uint64_t target = std::min(cycleDeadline, timers_->NextDue());
        std::unique_lock<std::mutex> g(wakeLock_);
        if (wakeRequested_.exchange(false)) {
            if (GetTerminated()) return;
            continue;
        }
        plannedWake_.store(target, std::memory_order_release);
        if (GetTerminated() || platform::tick_count64() >= target) return;
        const auto when = std::chrono::steady_clock::time_point(std::chrono::milliseconds(target));
        if (!wake_.wait_until(g, when, [this] { return wakeRequested_.load(std::memory_order_acquire); })) return;
    }
}

void TAsyncHelperThread::Execute() {
    lastAddCheck_ = platform::tick_count();
    std::uint64_t cycleDeadline = platform::tick_count64() + kCycleMs;
    while (!GetTerminated()) {
        WaitForNextCycle(cycleDeadline);
        if (GetTerminated()) break;
        const std::uint64_t now = platform::tick_count64();
        if (now >= cycleDeadline) cycleDeadline = now + kCycleMs;
        try {
            Cycle(now);
        } catch (const std::exception& e) {
            // Only a failure of the helper's own bookkeeping gets here (out
            // of memory); the next cycle tries again.
            platform::output_debug_string(std::string("TAsyncHelperThread: ") + e.what());
        }
    }
    ExitCleanup();
}

void TAsyncHelperThread::Cycle(std::uint64_t now) {
    const std::uint32_t now32 = static_cast<std::uint32_t>(now);
    if (now32 - lastAddCheck_ > kAddCheckMs) {
        lastAddCheck_ = now32;
        if (GetDelayedAddCount() > 0) PerformAddPooledThread();
    }
    ServiceTimers();
}

void TAsyncHelperThread::ExitCleanup() {
    CancelAllAddPooledThread();
    UnregisterAllTimers(gc_disposable<TThreadPoolBase>());
    // Firings already queued find the helper terminated and return.
    platform::sleep_ms(kExitPauseMs);
    timers_->Clear();
    gcControl_.stop();
    gcThread_->WaitFor();
}

// ---- timers ---------------------------------------------------------------------

gc_ptr<TAsyncHelperThread::TTimer> TAsyncHelperThread::RegisterTimer(const gc_disposable<TThreadPoolBase> pool,
                                                                     gc_ptr<InvokePtrImplBaseBase> callback,
                                                                     unsigned long dueTime, unsigned long period) {
    gc_ptr<TTimer> timer = gcnew<TTimer>(pool, callback, static_cast<int>(dueTime), static_cast<int>(period));
    timers_->Update(timer->GetTimerInternal());
    return timer;
}

void TAsyncHelperThread::TimerChange(const gc_ptr<TThreadPoolTimerInternal> timer, unsigned long dueTime,
                                     unsigned long period) {
    timers_->Change(timer, static_cast<int>(dueTime), static_cast<int>(period));
}

void TAsyncHelperThread::UnregisterTimer(const gc_ptr<TThreadPoolTimerInternal> timer) { timers_->Unregister(timer); }

void TAsyncHelperThread::UnregisterAllTimers(const gc_disposable<TThreadPoolBase> pool) {
    timers_->UnregisterAll(pool.get());
}

void TAsyncHelperThread::ServiceTimers() { timers_->Service(platform::tick_count64()); }

// ---- delayed thread additions ---------------------------------------------------------
//
// Entries hold the pool through a managed pointer (a root), so they are
// built and destroyed outside the lock and only spliced in and out under it.

void TAsyncHelperThread::DelayedAddPooledThread(const gc_disposable<TThreadPoolBase> pool, int delayMs) {
    std::list<TDelayedThreadAddObject> entry;
    entry.push_back({pool, platform::tick_count() + static_cast<std::uint32_t>(delayMs)});
    FastCriticalSection::CritSectLock g(delayedAddsLock_);
    for (const TDelayedThreadAddObject& e : *delayedAdds_)
        if (e.pool.get() == pool.get()) return;
    delayedAdds_->splice(delayedAdds_->end(), entry);
    delayedAddCount_.fetch_add(1, std::memory_order_acq_rel);
}

void TAsyncHelperThread::CancelAddPooledThread(const gc_disposable<TThreadPoolBase> pool) {
    if (GetDelayedAddCount() == 0) return; // the pools call this whenever a thread goes idle
    std::list<TDelayedThreadAddObject> gone;
    FastCriticalSection::CritSectLock g(delayedAddsLock_);
    for (auto it = delayedAdds_->begin(); it != delayedAdds_->end(); ++it) {
        if (it->pool.get() == pool.get()) {
            gone.splice(gone.end(), *delayedAdds_, it);
            delayedAddCount_.fetch_sub(1, std::memory_order_acq_rel);
            break;
        }
    }
}

void TAsyncHelperThread::CancelAllAddPooledThread() {
    std::list<TDelayedThreadAddObject> gone;
    FastCriticalSection::CritSectLock g(delayedAddsLock_);
    gone.splice(gone.end(), *delayedAdds_);
    delayedAddCount_.store(0, std::memory_order_release);
}

void TAsyncHelperThread::PerformAddPooledThread() {
    std::list<TDelayedThreadAddObject> due;
    {
        const std::uint32_t now = platform::tick_count();
        FastCriticalSection::CritSectLock g(delayedAddsLock_);
        for (auto it = delayedAdds_->begin(); it != delayedAdds_->end();) {
            auto cur = it++;
            if (static_cast<std::int32_t>(now - cur->dueTick) > 0) {
                due.splice(due.end(), *delayedAdds_, cur);
                delayedAddCount_.fetch_sub(1, std::memory_order_acq_rel);
            }
        }
    }
    // Outside the lock: creating a thread registers managed objects.
    for (TDelayedThreadAddObject& e : due) {
        try {
            helper_pools::add_thread(e.pool);
        } catch (...) {
        }
    }
}

// ---- process-wide ---------------------------------------------------------------------

namespace {
// A forked child has none of the parent's threads, and the parent's helper
// may have held the table's locks at the fork: a helper started before the
// fork is only marked terminated in the child, never joined or cleaned up.
std::atomic<bool> g_forkedChild{false};
void after_fork_child() {
    if (Async && Async->GetStarted()) g_forkedChild.store(true);
}
} // namespace

namespace Internal {
void ShutdownAsyncHelper() noexcept {
    TAsyncHelperThread* helper = Async;
    if (!helper) return;
    if (g_forkedChild.load()) {
        g_helperTerminated.store(true);
        return;
    }
    helper->Terminate();
    helper->WaitFor();
    helper->CancelAllAddPooledThread();
    helper->Timers().Clear();
}
} // namespace Internal

namespace {
void shutdown_hook() { Internal::ShutdownAsyncHelper(); }

// Right after the collector's start-up and before the pools', which assert
// that the helper exists first.
NORVANE_STARTUP(platform::startup::helper_thread) void create_async_helper() {
    Async = new TAsyncHelperThread();
    gc_detail::set_current_collector_thread(&Async->GcControl());
    gc_detail::gc_finalizer::SetHelperThreadTerminator(&shutdown_hook);
    pthread_atfork(nullptr, nullptr, &after_fork_child);
}

NORVANE_UNLOAD(platform::startup::helper_thread) void stop_async_helper() {
    Internal::ShutdownAsyncHelper();
    // Once the exit procedure ended the pools nothing uses the helper any
    // more: destroying it releases its timer table, so the collector's
    // unload finds an empty heap. A forked child leaves it alone: its
    // condition variable may count the parent's sleeping helper as a
    // waiter, and destroying it would wait for that thread for ever.
    if (gc_detail::gc_finalizer::IsTerminated() && !g_forkedChild.load()) {
        gc_detail::set_current_collector_thread(nullptr);
        delete Async;
        Async = nullptr;
    }
}
} // namespace

} // namespace System::Threading
