#include "RozavUde/AsyncResult.h"

#include "rtl/Thread.h"


namespace System {

using Sysutils::EInvalidOperation;
using Sysutils::EOutOfResources;
using Threading::TEventWaitHandle;
using Threading::TManualResetEvent;
using Threading::TWaitHandle;

namespace {
gc_disposable<TWaitHandle> new_event() {
    gc_ptr<TManualResetEvent> e;
    try {
        e = gcnew<TManualResetEvent>(false);
    } catch (const EInvalidOperation&) {
        throw EOutOfResources("CreateEvent failed");
    }
    return gc_disposable<TWaitHandle>(gc_ptr<TWaitHandle>(e));
}
} // namespace

TAsyncResult::TAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state) {
    Init(owner, state, new_event());
}

TAsyncResult::TAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                           const gc_disposable<TWaitHandle> waitHandle) {
    Init(owner, state, waitHandle);
}

TAsyncResult::TAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state, TLazyWaitHandle) {
    Init(owner, state, gc_disposable<TWaitHandle>());
    lazyWaitHandle = true;
}

void TAsyncResult::Init(const gc_ptr<TObject>& owner_, const gc_ptr<TObject>& state_,
                        const gc_disposable<TWaitHandle>& waitHandle_) {
    waitHandle = waitHandle_;
    state = state_;
    owner = owner_;
    isCompleted.store(false);
    endCalled.store(false);
    completedSynchronously.store(false);
}

void TAsyncResult::Completed() { isCompleted.store(true, std::memory_order_release); }
gc_disposable<TWaitHandle> TAsyncResult::GetAsyncWaitHandle() {
    if (!lazyWaitHandle) return waitHandle;
    if (!waitHandleSlot.load(std::memory_order_seq_cst)) MakeLazyWaitHandle();
    return PublishedWaitHandle();
}

gc_disposable<TWaitHandle> TAsyncResult::PublishedWaitHandle() const {
    // The winner of the slot stores the handle right after winning.
    while (!__atomic_load_n(&waitHandle.target, __ATOMIC_ACQUIRE)) Threading::TThread::SpinWait(1);
    return waitHandle;
}

void TAsyncResult::MakeLazyWaitHandle() {
    gc_disposable<TWaitHandle> e = new_event();
    void* expected = nullptr;
    if (!waitHandleSlot.compare_exchange_strong(expected, e.get(), std::memory_order_seq_cst)) {
        e->Close();
        return;
    }
    waitHandle = e;
    // A signal that came before the slot was taken found no event to set.
    if (signalled.load(std::memory_order_seq_cst)) static_cast<TEventWaitHandle*>(e.get())->Set();
}

void TAsyncResult::SignalWaitHandle() {
    signalled.store(true, std::memory_order_seq_cst);
    gc_disposable<TWaitHandle> h;
    if (!lazyWaitHandle) h = waitHandle;
    else if (waitHandleSlot.load(std::memory_order_seq_cst)) h = PublishedWaitHandle();
    if (auto* e = dynamic_cast<TEventWaitHandle*>(h.get())) e->Set();
}

void TAsyncResult::WaitSignalled() {
    if (signalled.load(std::memory_order_acquire)) return;
    GetAsyncWaitHandle()->WaitOne();
}
bool TAsyncResult::GetIsCompleted() { return isCompleted.load(std::memory_order_acquire); }
bool TAsyncResult::GetEndCalled() { return endCalled.load(std::memory_order_acquire); }
bool TAsyncResult::GetCompletedSynchronously() { return completedSynchronously.load(std::memory_order_acquire); }

void TAsyncResult::SetEndCalled(bool value) {
    if (!value) throw EInvalidOperation("EndCalled cannot be unset");
    endCalled.store(true, std::memory_order_release);
}

} // namespace System

namespace System::IO {

TAsyncIoResult::TAsyncIoResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state)
    : TAsyncResult(owner, state, TLazyWaitHandle{}) {}

} // namespace System::IO
