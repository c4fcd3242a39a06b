#include "RozavUde/LazyAsyncResult.h"

#include <mutex>

#include "RozavUde/ThreadPool.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "platform/startup_order.h"
#include "rtl/Thread.h"

namespace System::Net {

using Threading::TManualResetEvent;
using Threading::TWaitHandle;

__attribute__((init_priority(platform::startup::helper_thread))) gc_ptr<TLazyAsyncResult::TThreadContext>
    TLazyAsyncResult::t_ThreadContext;

gc_ptr<TLazyAsyncResult::TThreadContext> TLazyAsyncResult::GetCurrentThreadContext() {
    static std::once_flag once;
    std::call_once(once, [] { t_ThreadContext = gcnew<TThreadContext>(); });
    return t_ThreadContext;
}

TLazyAsyncResult::TLazyAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                                   MulticastDelegate<TIocpCompletionEvent> callback_)
    : TAsyncResult(owner, state, gc_disposable<TWaitHandle>()) {
    InitLazy(callback_);
}

TLazyAsyncResult::TLazyAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                                   MulticastDelegate<TIocpCompletionEvent> callback_, gc_ptr<TObject> result_)
    : TAsyncResult(owner, state, gc_disposable<TWaitHandle>()) {
    InitLazy(callback_);
    result = result_;
    completionState.store(1, std::memory_order_release);
    if (callback) callback(gc_ptr<TAsyncResult>(selfRef));
}

void TLazyAsyncResult::InitLazy(MulticastDelegate<TIocpCompletionEvent>& callback_) {
    selfRef = gc_ptr<TLazyAsyncResult>(this);
    callback = callback_;
}

std::uint32_t TLazyAsyncResult::ObserveState() noexcept {
    std::uint32_t s = completionState.load(std::memory_order_acquire);
    if (s == 0) {
        // A failed exchange leaves the value that beat us in s.
        if (completionState.compare_exchange_strong(s, c_HighBit, std::memory_order_acq_rel)) s = 0;
    }
    return s;
}

bool TLazyAsyncResult::GetIsCompleted() { return (ObserveState() & c_HighBitFlipped) != 0; }

bool TLazyAsyncResult::GetCompletedSynchronously() {
    return static_cast<std::int32_t>(ObserveState()) > 0;
}

gc_disposable<TManualResetEvent> TLazyAsyncResult::CurrentEvent() const {
    gc_ptr<TObject> e = event;
    if (!e) return gc_disposable<TManualResetEvent>();
    return gc_disposable<TManualResetEvent>(gc_ptr<TManualResetEvent>(e));
}

void TLazyAsyncResult::ProtectedInvokeCallback(const gc_ptr<TObject> result_) {
    if (!result_) throw EArgumentNull("result");
    if ((completionState.load(std::memory_order_acquire) & c_HighBitFlipped) != 0) return;
    if (((completionState.fetch_add(1, std::memory_order_acq_rel) + 1) & c_HighBitFlipped) != 1) return;
    if (!result) result = result_;
    gc_disposable<TManualResetEvent> e = CurrentEvent();
    if (e) e->Set();
    Completed();
}

void TLazyAsyncResult::Completed() {
    gc_ptr<TThreadContext> ctx = GetCurrentThreadContext();
    const std::int32_t depth = ctx->nestedIOCount.fetch_add(1, std::memory_order_acq_rel) + 1;
    bool offloaded = false;
    try {
        if (callback) {
            if (depth < c_ForceAsyncCount) {
                callback(gc_ptr<TAsyncResult>(selfRef));
            } else {
                gc_ptr<InvokePtrImplBaseBase> work = gcnew<InvokePtrImpl0<void()>>(
                    TClosure<void()>::Of<&TLazyAsyncResult::WorkerThreadComplete>(this));
                Threading::Global::g_ThreadPool->QueueUserWorkItem(work);
                offloaded = true;
            }
        }
    } catch (...) {
        ctx->nestedIOCount.fetch_sub(1, std::memory_order_acq_rel);
        if (!offloaded) Cleanup();
        throw;
    }
    ctx->nestedIOCount.fetch_sub(1, std::memory_order_acq_rel);
    if (!offloaded) Cleanup();
}

void TLazyAsyncResult::WorkerThreadComplete() {
    try {
        callback(gc_ptr<TAsyncResult>(selfRef));
    } catch (...) {
        Cleanup();
        throw;
    }
    Cleanup();
}

gc_disposable<TWaitHandle> TLazyAsyncResult::GetAsyncWaitHandle() {
    userEvent.store(true, std::memory_order_release);
    ObserveState();
    gc_disposable<TManualResetEvent> e = CurrentEvent();
    while (!e) LazilyCreateEvent(e);
    return gc_disposable<TWaitHandle>(gc_ptr<TWaitHandle>(e));
}

bool TLazyAsyncResult::LazilyCreateEvent(gc_disposable<TManualResetEvent>& waitHandle_) {
    waitHandle_ = nullptr;
    try {
        waitHandle_ = gcnew<TManualResetEvent>(false);
        void* expected = nullptr;
        if (eventSlot.compare_exchange_strong(expected, waitHandle_.get(), std::memory_order_acq_rel)) {
            event = gc_ptr<TObject>(waitHandle_);
            // A completion that already passed found no event to set.
            if (GetInternalPeekCompleted()) waitHandle_->Set();
            return true;
        }
        waitHandle_->Close();
        waitHandle_ = CurrentEvent();
        return false;
    } catch (...) {
        eventSlot.store(nullptr, std::memory_order_release);
        event = nullptr;
        if (waitHandle_) waitHandle_->Close();
        throw;
    }
}

gc_ptr<TObject> TLazyAsyncResult::WaitForCompletion(bool snap) {
    const bool complete = snap ? GetIsCompleted() : GetInternalPeekCompleted();
    if (!complete) {
        gc_disposable<TManualResetEvent> e = CurrentEvent();
        bool createdByMe = false;
        if (!e) createdByMe = LazilyCreateEvent(e);
        if (e) {
            auto forget = [&] {
                if (createdByMe && !userEvent.load(std::memory_order_acquire)) {
                    eventSlot.store(nullptr, std::memory_order_release);
                    event = nullptr;
                    if (!userEvent.load(std::memory_order_acquire)) e->Close();
                }
            };
            try {
                e->WaitOne();
            } catch (...) {
                forget();
                throw;
            }
            forget();
        }
    }
    while (!__atomic_load_n(&result.target, __ATOMIC_ACQUIRE)) Threading::TThread::SpinWait(1);
    return result;
}

void TLazyAsyncResult::InternalCleanup() {
    if ((completionState.load(std::memory_order_acquire) & c_HighBitFlipped) == 0 &&
        ((completionState.fetch_add(1, std::memory_order_acq_rel) + 1) & c_HighBitFlipped) == 1) {
        result = nullptr;
        Cleanup();
    }
}

} // namespace System::Net

NORVANE_STARTUP(platform::startup::async_result_statics) static void norvane_async_result_startup() {
    System::Net::TLazyAsyncResult::GetCurrentThreadContext();
}
