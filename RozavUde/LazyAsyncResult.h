// A result whose wait handle is made only when somebody asks for it. It
// completes exactly once through an atomic counter and runs its callback
// inline, or on the thread pool once completions nest too deeply.
#pragma once
#include <atomic>
#include <cstdint>

#include "RozavUde/AsyncResult.h"

namespace System::Net {

class TLazyAsyncResult : public TAsyncResult {
public:
    static constexpr int c_ForceAsyncCount = 50;
    static constexpr std::uint32_t c_HighBit = 0x80000000u;
    static constexpr std::uint32_t c_HighBitFlipped = 0x7FFFFFFFu;

    // How many result callbacks are running nested inside completion
    // processing. One record serves the whole process; its count is
    // changed with atomic increments and decrements so that completions on
    // different threads never lose an update.
    class TThreadContext : public TLockableObject {
    public:
        std::atomic<std::int32_t> nestedIOCount{0};
    };
    static gc_ptr<TThreadContext> t_ThreadContext;
    static gc_ptr<TThreadContext> GetCurrentThreadContext();

    TLazyAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                     MulticastDelegate<TIocpCompletionEvent> callback);
    // Already completed with `result`; a callback runs at once, on the
    // constructing thread.
    TLazyAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                     MulticastDelegate<TIocpCompletionEvent> callback, gc_ptr<TObject> result);

    void Completed() override;
    gc_disposable<Threading::TWaitHandle> GetAsyncWaitHandle() override;
    bool GetIsCompleted() override;
    bool GetCompletedSynchronously() override;
    // Releases per-operation resources; runs once after the callback.
    virtual void Cleanup() {}

    void InvokeCallback(const gc_ptr<TObject> result) { ProtectedInvokeCallback(result); }
    bool GetInternalPeekCompleted() const noexcept {
        return (completionState.load(std::memory_order_acquire) & c_HighBitFlipped) != 0;
    }
    gc_ptr<TObject> WaitForCompletion(bool snap);
    gc_ptr<TObject> InternalWaitForCompletion() { return WaitForCompletion(true); }
    void InternalCleanup();
    // The pool's work item once the nesting limit is reached.
    void WorkerThreadComplete();

    gc_ptr<TObject> GetResult() const { return result; }
    std::uint32_t GetCompletionState() const noexcept { return completionState.load(std::memory_order_acquire); }

protected:
    void ProtectedInvokeCallback(const gc_ptr<TObject> result);
    // True when this call's event won and was published.
    bool LazilyCreateEvent(gc_disposable<Threading::TManualResetEvent>& waitHandle);

private:
    void InitLazy(MulticastDelegate<TIocpCompletionEvent>& callback);
    // The state as seen by an observer: a result still at 0 is marked as
    // looked at before completion.
    std::uint32_t ObserveState() noexcept;
    gc_disposable<Threading::TManualResetEvent> CurrentEvent() const;

    gc_ptr<TLazyAsyncResult> selfRef;

protected:
    std::atomic<void*> eventSlot{nullptr};
    gc_ptr<TObject> event;
    gc_ptr<TObject> result;
    std::atomic<std::uint32_t> completionState{0};
    std::atomic<bool> userEvent{false};
};

} // namespace System::Net
