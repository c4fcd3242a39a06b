#include "RozavUde/AsyncResult.h"


namespace System {

using Sysutils::EInvalidOperation;
using Sysutils::EOutOfResources;
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
gc_disposable<TWaitHandle> TAsyncResult::GetAsyncWaitHandle() { return waitHandle; }
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
    : TAsyncResult(owner, state) {}

} // namespace System::IO
