// Wait handles: disposable owners of one kernel handle with single, multiple
// and signal-and-wait waits, and the events and process handles built on
// them.
//
// The exitContext / alertable flags of the waits are accepted and ignored
// (SignalAndWait passes its flag on): there are no APCs to deliver on Linux,
// so an alertable wait behaves exactly like a plain one.
#pragma once
#include <cstdint>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "core/Objects.h"
#include "platform/kernel_objects.h"
#include "rtl/UnicodeString.h"

namespace System::Threading {

// The value of a wait handle that owns no kernel handle. Never a live kernel
// object, so waits and signals on it fail instead of touching something.
inline const platform::HANDLE INVALID_HANDLE_VALUE =
    reinterpret_cast<platform::HANDLE>(static_cast<std::intptr_t>(-1));

struct EventResetMode {
    // A fixed underlying type keeps any other value representable, so that
    // Init can reject it instead of it being undefined.
    enum Enum : int { AutoReset = 0, ManualReset = 1 };
};

class TWaitHandle : public TIDisposable {
public:
    NORVANE_CLASS_INFO();
    ~TWaitHandle() override;

    // Closes the handle and suppresses finalization: the finalizer would
    // only close it again.
    void Dispose() override;
    virtual void Close();
    virtual bool WaitOne();
    virtual bool WaitOne(int millisecondsTimeout);
    virtual bool WaitOne(int millisecondsTimeout, bool exitContext);

    platform::HANDLE GetHandle() const noexcept { return handle_; }
    bool GetIsHandleInvalid() const noexcept { return handle_ == INVALID_HANDLE_VALUE; }

    bool operator==(const TWaitHandle& other) const noexcept { return handle_ == other.handle_; }
    // Null stands for "no handle" and so matches a closed wait handle.
    bool operator==(const void* handle) const noexcept {
        return handle == nullptr ? GetIsHandleInvalid() : handle == handle_;
    }

    using HandleArray = gc_array<gc_disposable<TWaitHandle>>;
    // True once every handle is signalled at the same time; auto-reset
    // objects are consumed together, only then.
    static bool WaitAll(const HandleArray& waitHandles);
    static bool WaitAll(const HandleArray& waitHandles, int millisecondsTimeout);
    static bool WaitAll(const HandleArray& waitHandles, int millisecondsTimeout, bool exitContext);
    // True once any one handle is signalled (only that one is consumed).
    static bool WaitAny(const HandleArray& waitHandles);
    static bool WaitAny(const HandleArray& waitHandles, int millisecondsTimeout);
    static bool WaitAny(const HandleArray& waitHandles, int millisecondsTimeout, bool exitContext);
    // Signals toSignal and waits on toWaitOn as one step.
    static bool SignalAndWait(const gc_disposable<TWaitHandle>& toSignal, const gc_disposable<TWaitHandle>& toWaitOn);
    static bool SignalAndWait(const gc_disposable<TWaitHandle>& toSignal, const gc_disposable<TWaitHandle>& toWaitOn,
                              int millisecondsTimeout, bool exitContext);

protected:
    TWaitHandle() = default;
    // Takes ownership of h.
    explicit TWaitHandle(platform::HANDLE h) noexcept : handle_(h) {}
    void SetHandle(platform::HANDLE h) noexcept { handle_ = h; }

private:
    // Set on the first Dispose: SuppressFinalize needs a managed pointer.
    gc_ptr<TWaitHandle> self_;
    platform::HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class TEventWaitHandle : public TWaitHandle {
public:
    NORVANE_CLASS_INFO();
    // Adopts an open event handle.
    explicit TEventWaitHandle(platform::HANDLE handle) noexcept : TWaitHandle(handle) {}
    TEventWaitHandle(bool initialState, EventResetMode::Enum mode);
    // A name already in use opens that event; state and mode are then the
    // existing event's.
    TEventWaitHandle(bool initialState, EventResetMode::Enum mode, const UnicodeString& name);

    static gc_ptr<TEventWaitHandle> OpenExisting(const UnicodeString& name);

    bool Set();
    bool Reset();

protected:
    void Init(bool initialState, EventResetMode::Enum mode, const UnicodeString& name);
};

class TManualResetEvent : public TEventWaitHandle {
public:
    NORVANE_CLASS_INFO();
    explicit TManualResetEvent(bool initialState) : TEventWaitHandle(initialState, EventResetMode::ManualReset) {}
};

class TAutoResetEvent : public TEventWaitHandle {
public:
    NORVANE_CLASS_INFO();
    explicit TAutoResetEvent(bool initialState) : TEventWaitHandle(initialState, EventResetMode::AutoReset) {}
};

} // namespace System::Threading

namespace System::Diagnostics::Internal {

// Signalled when the process ends. Holds its own duplicate, so the caller
// may close the handle it passed.
class TProcessWaitHandle : public Threading::TWaitHandle {
public:
    NORVANE_CLASS_INFO();
    explicit TProcessWaitHandle(platform::HANDLE process);
};

} // namespace System::Diagnostics::Internal
