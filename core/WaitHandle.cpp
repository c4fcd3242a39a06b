#include "core/WaitHandle.h"

#include <string>

#include "GC/GarbageCollector.h"
#include "core/Exceptions.h"
#include "platform/error_text.h"
#include "rtl/Exception.h"

namespace System::Threading {

namespace {

using platform::HANDLE;
using Sysutils::EInvalidOperation;
using Sysutils::ERangeError;

constexpr int kMaxNameLength = 260;

UnicodeString last_error_text() { return UnicodeString(platform::GetSystemErrorMessage(platform::GetLastError())); }

// -1 is INFINITE after the cast.
std::uint32_t timeout_of(int ms) noexcept { return static_cast<std::uint32_t>(ms); }

void check_array_length(const TWaitHandle::HandleArray& waitHandles) {
    const int n = waitHandles.Length();
    if (n == 0) throw EInvalidOperation("WaitAll waitHandles cannot be zero length");
    if (n > static_cast<int>(platform::MAXIMUM_WAIT_OBJECTS))
        throw EInvalidOperation("WaitAll: Unsupported waitHandles length - length must not be more than " +
                                UnicodeString(std::to_string(platform::MAXIMUM_WAIT_OBJECTS)));
}

bool is_abandoned(std::uint32_t r, std::uint32_t count) noexcept {
    return r >= platform::WAIT_ABANDONED_0 && r < platform::WAIT_ABANDONED_0 + count;
}

// What a wait returned, for WaitOne, WaitAll and WaitAny: abandonment and
// failure throw (a failed wait must not read as "signalled"); only a
// time-out gives false.
bool wait_outcome(std::uint32_t r, std::uint32_t count, const char* who) {
    if (is_abandoned(r, count)) throw EAbandonedMutex();
    if (r == platform::WAIT_FAILED) throw EInvalidOperation(UnicodeString(who) + " " + last_error_text());
    return r != platform::WAIT_TIMEOUT;
}

} // namespace

TClass TWaitHandle::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TWaitHandle, TIDisposable>("TWaitHandle", "System.Threading").Build();
    return &cls;
}
TClass TEventWaitHandle::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TEventWaitHandle, TWaitHandle>("TEventWaitHandle", "System.Threading").Build();
    return &cls;
}
TClass TManualResetEvent::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TManualResetEvent, TEventWaitHandle>("TManualResetEvent", "System.Threading").Build();
    return &cls;
}
TClass TAutoResetEvent::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TAutoResetEvent, TEventWaitHandle>("TAutoResetEvent", "System.Threading").Build();
    return &cls;
}

// An instance that never went through the finalizer (not managed, or its
// finalization suppressed without a Dispose) must not leak its handle.
TWaitHandle::~TWaitHandle() { TWaitHandle::Close(); }

void TWaitHandle::Close() {
    if (handle_ != INVALID_HANDLE_VALUE) {
        platform::CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

void TWaitHandle::Dispose() {
    Close();
    // A wait handle outside managed memory has no finalizer to suppress.
    if (!TGarbageCollector::IsObjectManaged(gc_detail::object_start(this))) return;
    if (!self_) self_ = gc_ptr<TWaitHandle>(this);
    TGarbageCollector::SuppressFinalize(self_);
}

bool TWaitHandle::WaitOne() { return WaitOne(-1, false); }
bool TWaitHandle::WaitOne(int millisecondsTimeout) { return WaitOne(millisecondsTimeout, false); }

bool TWaitHandle::WaitOne(int millisecondsTimeout, bool /*exitContext*/) {
    // Anything below -1 would turn into a wait of about 49 days.
    if (millisecondsTimeout < -1) throw ERangeError("WaitOne millisecondsTimeout needs to be non-negative or -1");
    return wait_outcome(platform::WaitForSingleObject(handle_, timeout_of(millisecondsTimeout)), 1,
                        "TWaitHandle::WaitOne");
}

bool TWaitHandle::WaitAll(const HandleArray& waitHandles) { return WaitAll(waitHandles, -1, true); }
bool TWaitHandle::WaitAll(const HandleArray& waitHandles, int millisecondsTimeout) {
    return WaitAll(waitHandles, millisecondsTimeout, true);
}

bool TWaitHandle::WaitAll(const HandleArray& waitHandles, int millisecondsTimeout, bool /*exitContext*/) {
    if (!waitHandles) throw EInvalidOperation("WaitAll waitHandles cannot be NULL");
    check_array_length(waitHandles);
    if (millisecondsTimeout < -1)
        throw ERangeError("WaitAll millisecondsTimeout needs to be non-negative or -1");
    const int n = waitHandles.Length();
    HANDLE raw[platform::MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < n; ++i) {
        const gc_disposable<TWaitHandle>& h = waitHandles[i];
        if (!h) throw EInvalidOperation("WaitAll: one of the waitHandles is NULL (not allowed)");
        TWaitHandle* w = h.operator->(); // EObjectDisposed once disposed
        if (w->GetIsHandleInvalid())
            throw EInvalidOperation("WaitAll: one of the waitHandles has INVALID_HANDLE_VALUE (not allowed)");
        raw[i] = w->handle_;
    }
    const auto count = static_cast<std::uint32_t>(n);
    // Fails for one event listed twice, which can never be consumed
    // "together" with itself.
    return wait_outcome(platform::WaitForMultipleObjects(count, raw, true, timeout_of(millisecondsTimeout)), count,
                        "TWaitHandle::WaitAll");
}

bool TWaitHandle::WaitAny(const HandleArray& waitHandles) { return WaitAny(waitHandles, -1, true); }
bool TWaitHandle::WaitAny(const HandleArray& waitHandles, int millisecondsTimeout) {
    return WaitAny(waitHandles, millisecondsTimeout, true);
}

bool TWaitHandle::WaitAny(const HandleArray& waitHandles, int millisecondsTimeout, bool /*exitContext*/) {
    if (!waitHandles) throw EInvalidOperation("WaitAny waitHandles cannot be NULL");
    check_array_length(waitHandles);
    // As for WaitAll: a negative time-out other than -1 is a caller's error,
    // not a 49-day wait.
    if (millisecondsTimeout < -1)
        throw ERangeError("WaitAny millisecondsTimeout needs to be non-negative or -1");
    const int n = waitHandles.Length();
    HANDLE raw[platform::MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < n; ++i) {
        TWaitHandle* w = waitHandles[i].operator->(); // ENullReference, EObjectDisposed
        if (w->handle_ == nullptr) throw EInvalidOperation("WaitAny: one of the waitHandles is NULL (not allowed)");
        if (w->GetIsHandleInvalid())
            throw EInvalidOperation("WaitAny: one of the waitHandles has INVALID_HANDLE_VALUE (not allowed)");
        raw[i] = w->handle_;
    }
    const auto count = static_cast<std::uint32_t>(n);
    return wait_outcome(platform::WaitForMultipleObjects(count, raw, false, timeout_of(millisecondsTimeout)), count,
                        "TWaitHandle::WaitAny");
}

bool TWaitHandle::SignalAndWait(const gc_disposable<TWaitHandle>& toSignal, const gc_disposable<TWaitHandle>& toWaitOn) {
    return SignalAndWait(toSignal, toWaitOn, -1, false);
}

bool TWaitHandle::SignalAndWait(const gc_disposable<TWaitHandle>& toSignal, const gc_disposable<TWaitHandle>& toWaitOn,
                                int millisecondsTimeout, bool exitContext) {
    if (!toSignal) throw EInvalidOperation("SignalAndWait toSignal cannot be NULL");
    if (!toWaitOn) throw EInvalidOperation("SignalAndWait toWaitOn cannot be NULL");
    if (millisecondsTimeout < -1)
        throw ERangeError("SignalAndWait millisecondsTimeout needs to be non-negative or -1");
    const HANDLE s = toSignal->handle_;
    const HANDLE w = toWaitOn->handle_;
    const std::uint32_t r = platform::SignalObjectAndWait(s, w, timeout_of(millisecondsTimeout), exitContext);
    if (r == platform::WAIT_FAILED) throw EInvalidOperation("TWaitHandle::SignalAndWait " + last_error_text());
    if (r == platform::WAIT_ABANDONED_0) throw EAbandonedMutex();
    return r == platform::WAIT_OBJECT_0;
}

// ---- events ------------------------------------------------------------------

TEventWaitHandle::TEventWaitHandle(bool initialState, EventResetMode::Enum mode) {
    Init(initialState, mode, UnicodeString());
}

TEventWaitHandle::TEventWaitHandle(bool initialState, EventResetMode::Enum mode, const UnicodeString& name) {
    Init(initialState, mode, name);
}

void TEventWaitHandle::Init(bool initialState, EventResetMode::Enum mode, const UnicodeString& name) {
    if (name.Length() > kMaxNameLength)
        throw EInvalidOperation("TEventWaitHandle name must not be longer than 260 chars");
    bool manual;
    switch (mode) {
    case EventResetMode::AutoReset: manual = false; break;
    case EventResetMode::ManualReset: manual = true; break;
    default: throw EInvalidOperation("TEventWaitHandle mode argument is invalid");
    }
    HANDLE h = platform::CreateEventW(manual, initialState, name.IsEmpty() ? nullptr : name.c_str());
    if (!h) throw EInvalidOperation("TEventWaitHandle " + last_error_text());
    SetHandle(h);
}

gc_ptr<TEventWaitHandle> TEventWaitHandle::OpenExisting(const UnicodeString& name) {
    if (name.IsEmpty()) throw EInvalidOperation("TEventWaitHandle OpenExisting name not be empty");
    if (name.Length() > kMaxNameLength)
        throw EInvalidOperation("TEventWaitHandle name must not be longer than 260 chars");
    HANDLE h = platform::OpenEventW(name.c_str());
    if (!h) throw EInvalidOperation("TEventWaitHandle::OpenExisting " + last_error_text());
    try {
        return gcnew<TEventWaitHandle>(h);
    } catch (...) {
        platform::CloseHandle(h);
        throw;
    }
}

bool TEventWaitHandle::Set() {
    if (GetIsHandleInvalid()) throw EInvalidOperation("TEventWaitHandle::Set - handle is invalid");
    return platform::SetEvent(GetHandle());
}

bool TEventWaitHandle::Reset() {
    if (GetIsHandleInvalid()) throw EInvalidOperation("TEventWaitHandle::Reset - handle is invalid");
    return platform::ResetEvent(GetHandle());
}

} // namespace System::Threading

namespace System::Diagnostics::Internal {

TClass TProcessWaitHandle::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TProcessWaitHandle, Threading::TWaitHandle>("TProcessWaitHandle", "System.Diagnostics")
            .Build();
    return &cls;
}

TProcessWaitHandle::TProcessWaitHandle(platform::HANDLE process) {
    platform::HANDLE dup = nullptr;
    if (!platform::DuplicateHandle(process, &dup)) throw EWin32(static_cast<int>(platform::GetLastError()));
    SetHandle(dup);
}

} // namespace System::Diagnostics::Internal
