#include "RozavUde/Timer.h"

#include "RozavUde/AsyncHelperThreadPools.h"
#include "RozavUde/TimerTable.h"
#include "core/Monitor.h"
#include "platform/debug_output.h"
#include "platform/system.h"

namespace System::Threading {

using Sysutils::EInvalidOperation;

namespace {
void check_times(int dueTime, int period) {
    if (dueTime < -1) throw EInvalidOperation("System::Threading::Timer: value for dueTime must be -1 or greater");
    if (period < -1) throw EInvalidOperation("System::Threading::Timer: value for period must be -1 or greater");
}
} // namespace

// ---- TThreadPoolTimerInternal ----------------------------------------------

TAsyncHelperThread::TThreadPoolTimerInternal::TThreadPoolTimerInternal() {
    throw EInvalidOperation("ThreadPoolTimer cannot be instantiated via default constructor");
}

TAsyncHelperThread::TThreadPoolTimerInternal::TThreadPoolTimerInternal(const gc_disposable<TThreadPoolBase> pool_,
                                                                      gc_ptr<InvokePtrImplBaseBase> callback_,
                                                                      int dueTime_, int period_)
    : startTick(platform::tick_count()), dueTime(dueTime_), period(period_),
      pool(helper_pools::as_work_pool(pool_)), callback(callback_) {}

void TAsyncHelperThread::TThreadPoolTimerInternal::Change(int dueTime_, int period_) {
    TAsyncHelperThread* helper = Async;
    if (!helper) return;
    helper->TimerChange(gc_ptr<TThreadPoolTimerInternal>(this), static_cast<unsigned long>(dueTime_),
                        static_cast<unsigned long>(period_));
}

void TAsyncHelperThread::TThreadPoolTimerInternal::Unregister() {
    if (unregistered.exchange(true, std::memory_order_acq_rel)) return;
    if (TAsyncHelperThread* helper = Async) helper->UnregisterTimer(gc_ptr<TThreadPoolTimerInternal>(this));
}

gc_ptr<TAsyncHelperThread::TTimerCallback> TAsyncHelperThread::TThreadPoolTimerInternal::GetCallback() {
    gc_ptr<TThreadPoolTimerInternal> self(this);
    TMonitorLock hold(self);
    if (!timerCallback) timerCallback = gcnew<TTimerCallback>(self, callback);
    return timerCallback;
}

// ---- TTimerCallback ---------------------------------------------------------

TAsyncHelperThread::TTimerCallback::TTimerCallback(const gc_ptr<TThreadPoolTimerInternal>& timer_,
                                                   const gc_ptr<InvokePtrImplBaseBase>& callback_)
    : callback(callback_), timer(timer_) {}

void TAsyncHelperThread::TTimerCallback::Callback(gc_ptr<TThreadPoolTimerInternal> firing) {
    struct Done {
        TThreadPoolTimerInternal* t;
        ~Done() { t->DecrementOutstandingTaskCount(); }
    } done{firing.get()};
    if (TAsyncHelperThread::HelperTerminated()) return;
    if (callback->IsUnsafeTarget())
        platform::output_debug_string("System.Threading.Timer warning: Invoking an unsafe method!");
    callback->Invoke();
}

// ---- TTimer -----------------------------------------------------------------

TAsyncHelperThread::TTimer::TTimer() {
    throw EInvalidOperation("System::Threading::Timer cannot be instantiated via default constructor");
}

TAsyncHelperThread::TTimer::TTimer(const gc_disposable<TThreadPoolBase> pool, gc_ptr<InvokePtrImplBaseBase> callback,
                                   int dueTime, int period) {
    if (!pool) throw EInvalidOperation("System::Threading::Timer must be owned by a ThreadPool parent");
    if (!callback) throw EInvalidOperation("System::Threading::Timer needs a callback");
    check_times(dueTime, period);
    timerInternal = gcnew<TThreadPoolTimerInternal>(pool, callback, dueTime, period);
}

void TAsyncHelperThread::TTimer::Change(int dueTime, int period) {
    check_times(dueTime, period);
    timerInternal->Change(dueTime, period);
}

void TAsyncHelperThread::TTimer::Dispose() {
    timerInternal->Unregister();
    TGarbageCollector::SuppressFinalize(gc_ptr<TTimer>(this));
}

} // namespace System::Threading
