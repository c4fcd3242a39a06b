#include "RozavUde/ContextAwareResult.h"

namespace System::Net {

TContextAwareResult::TContextAwareResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                                         MulticastDelegate<TIocpCompletionEvent> callback)
    : TLazyAsyncResult(owner, state, callback) {}

void TContextAwareResult::Completed() {
    std::uint32_t f = flags.load(std::memory_order_acquire);
    while ((f & (PostStarted | PostFinished)) == PostStarted) {
        if (flags.compare_exchange_weak(f, f | CompletionDeferred, std::memory_order_acq_rel)) return;
    }
    TLazyAsyncResult::Completed();
}

bool TContextAwareResult::FinishPostingAsyncOp() {
    std::uint32_t f = flags.load(std::memory_order_acquire);
    do {
        if ((f & (PostStarted | PostFinished)) != PostStarted) return false;
    } while (!flags.compare_exchange_weak(f, f | PostFinished, std::memory_order_acq_rel));
    // Only a completion held back by the bracket runs here: one that ran
    // before the bracket opened must not run twice.
    if ((f & CompletionDeferred) == 0) return GetCompletedSynchronously();
    const bool synchronously = GetCompletedSynchronously();
    TLazyAsyncResult::Completed();
    return synchronously;
}

} // namespace System::Net
