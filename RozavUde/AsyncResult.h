// The result object of the Begin/End calling pattern, and the base result of
// overlapped I/O on the completion port.
#pragma once
#include <atomic>
#include <cstdint>

#include "GC/gcptr.h"
#include "core/Delegates.h"
#include "core/Objects.h"
#include "core/WaitHandle.h"

namespace System {

class TAsyncResult;

// The completion callback of every Begin/End pair.
using TIocpCompletionEvent = void(gc_ptr<TAsyncResult> result);

class TAsyncResult : public TLockableObject {
public:
    // Creates its own non-signalled manual-reset event.
    TAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state);
    // Takes the given handle, which may be empty.
    TAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                 const gc_disposable<Threading::TWaitHandle> waitHandle);

    // Marks the result complete. Signalling the handle and calling back are
    // the completer's business.
    virtual void Completed();
    virtual gc_disposable<Threading::TWaitHandle> GetAsyncWaitHandle();
    virtual bool GetIsCompleted();
    // Only true is accepted: EndCalled cannot be reset.
    virtual void SetEndCalled(bool value);
    virtual bool GetEndCalled();
    virtual bool GetCompletedSynchronously();

    // Sets the wait handle, or, for a handle not made yet, makes it start
    // set. Completers call this instead of setting the event themselves.
    void SignalWaitHandle();
    // Waits until the result has been signalled (at once when it was,
    // without making a handle for it).
    void WaitSignalled();

    // Set by the operation's owner when it finished inside BeginX.
    void SetCompletedSynchronously(bool value) noexcept { completedSynchronously.store(value, std::memory_order_release); }
    gc_ptr<TObject> GetAsyncState() const { return state; }
    gc_ptr<TObject> GetOwner() const { return owner; }
    MulticastDelegate<TIocpCompletionEvent>& GetCallback() noexcept { return callback; }

protected:
    struct TLazyWaitHandle {};
    // The manual-reset event is made only when somebody asks for the wait
    // handle or waits: most I/O results complete and are ended without
    // anybody waiting, and an event is a kernel object with a finalizer.
    TAsyncResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state, TLazyWaitHandle);

    void Init(const gc_ptr<TObject>& owner, const gc_ptr<TObject>& state,
              const gc_disposable<Threading::TWaitHandle>& waitHandle);

    gc_disposable<Threading::TWaitHandle> waitHandle;
    // Flags are written by the completing thread and read by any other.
    std::atomic<bool> completedSynchronously{false};
    gc_ptr<TObject> state;
    gc_ptr<TObject> owner;
    std::atomic<bool> isCompleted{false};
    std::atomic<bool> endCalled{false};
    MulticastDelegate<TIocpCompletionEvent> callback;

private:
    void MakeLazyWaitHandle();
    gc_disposable<Threading::TWaitHandle> PublishedWaitHandle() const;

    bool lazyWaitHandle = false;
    // The event that won the race to be made; waitHandle follows it.
    std::atomic<void*> waitHandleSlot{nullptr};
    std::atomic<bool> signalled{false};
};

} // namespace System

namespace System::IO {

class TIocpCallback;

// The base of every result of overlapped I/O.
class TAsyncIoResult : public TAsyncResult {
public:
    TAsyncIoResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state);

    std::uint32_t GetBytesTransferred() const noexcept { return bytesTransferred; }
    void SetBytesTransferred(std::uint32_t v) noexcept { bytesTransferred = v; }
    std::uint32_t GetErrorCode() const noexcept { return errorCode; }
    void SetErrorCode(std::uint32_t v) noexcept { errorCode = v; }
    gc_ptr<TIocpCallback> GetIocpCallback() const { return iocpCallback; }
    void SetIocpCallback(const gc_ptr<TIocpCallback>& c) { iocpCallback = c; }

protected:
    std::uint32_t bytesTransferred = 0;
    std::uint32_t errorCode = 0;
    gc_ptr<TIocpCallback> iocpCallback;
};

} // namespace System::IO
