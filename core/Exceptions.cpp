#include "core/Exceptions.h"

#include <cstdio>
#include <cstdlib>

#include "platform/debug_output.h"
#include "platform/error_text.h"
#include "rtl/TypeName.h"

namespace {
// Prepared once at start-up, as the collector's exceptions are raised on
// paths that must not build their texts piecemeal.
struct collector_texts {
    const UnicodeString nullRef{"NullReferenceException"};
    const UnicodeString disposed{"ObjectDisposedException"};
    const UnicodeString corrupt{"ManagedMemoryCorruptException"};
    const UnicodeString nullRefMsg{"Object reference not set to an instance of an object."};
    const UnicodeString disposedMsg{"Object has been disposed."};
    const UnicodeString corruptMsg{"Memory corruption detected in managed resource."};
    const UnicodeString dash{" - "};
    const UnicodeString ofType{" of type '"};
    const UnicodeString typeEnd{"' - "};
};
const collector_texts& texts() {
    static const collector_texts t;
    return t;
}

UnicodeString plain(const UnicodeString& name, const UnicodeString& msg) {
    return name + texts().dash + msg;
}
UnicodeString typed(const UnicodeString& name, const std::type_info& ti, const UnicodeString& msg) {
    return name + texts().ofType + UnicodeString(System::QualifiedTypeName(ti)) + texts().typeEnd + msg;
}
// The collector exceptions report their whole message once it is built.
UnicodeString reported(UnicodeString msg) {
    gc_detail::debug_report(msg);
    return msg;
}
constexpr const char* kArgPrefix = "Invalid value for argument '";
} // namespace

ENullReference::ENullReference() : Exception(reported(plain(texts().nullRef, texts().nullRefMsg))) {}
ENullReference::ENullReference(const std::type_info& t)
    : Exception(reported(typed(texts().nullRef, t, texts().nullRefMsg))) {}
EObjectDisposed::EObjectDisposed() : Exception(reported(plain(texts().disposed, texts().disposedMsg))) {}
EObjectDisposed::EObjectDisposed(const std::type_info& t)
    : Exception(reported(typed(texts().disposed, t, texts().disposedMsg))) {}
EManagedMemoryCorrupt::EManagedMemoryCorrupt() : Exception(reported(plain(texts().corrupt, texts().corruptMsg))) {}
EManagedMemoryCorrupt::EManagedMemoryCorrupt(const std::type_info& t)
    : Exception(reported(typed(texts().corrupt, t, texts().corruptMsg))) {}
EGarbageCollector::EGarbageCollector() : Exception(reported("GarbageCollectorException: Internal Error.")) {}
EGarbageCollector::EGarbageCollector(const UnicodeString& m)
    : Exception(reported("GarbageCollectorException: " + m)) {}

namespace System {

ENotImplemented::ENotImplemented() : Exception("NotImplementedException: The method or operation is not implemented.") {}
EWin32::EWin32(const UnicodeString& m) : Exception(m) {}
EWin32::EWin32(int code)
    : Exception("Win32Exception: " + UnicodeString(platform::GetSystemErrorMessage(static_cast<std::uint32_t>(code)))) {}
EIOException::EIOException(const UnicodeString& m) : Sysutils::EInOutError(m) {}
EIOException::EIOException(int code)
    : Sysutils::EInOutError("IOException: " +
                            UnicodeString(platform::GetSystemErrorMessage(static_cast<std::uint32_t>(code)))) {}

EArgument::EArgument(const UnicodeString& p) : Exception(UnicodeString(kArgPrefix) + p + "'"), param_(p) {}
EArgument::EArgument(const UnicodeString& m, const UnicodeString& p)
    : Exception(UnicodeString(kArgPrefix) + p + "' - " + m), param_(p) {}
EArgumentNull::EArgumentNull(const UnicodeString& p) : EArgument("argument must not be null.", p) {}
EArgumentOutOfRange::EArgumentOutOfRange(const UnicodeString& p) : EArgument("argument out of range.", p) {}
EArgumentOutOfRange::EArgumentOutOfRange(const UnicodeString& m, const UnicodeString& p) : EArgument(m, p) {}

ETimeout::ETimeout() : Exception("TimeoutException: operation has timed out.") {}
ENotSupported::ENotSupported() : Exception("NotSupportedException: The operation is not supported.") {}
EPlatformNotSupported::EPlatformNotSupported()
    : ENotSupported("PlatformNotSupportedException: The operation is not supported on this platform.") {}

namespace Collections {
EKeyNotFound::EKeyNotFound() : Exception("KeyNotFoundException: Key could not be found in Dictionary.") {}
EKeyAlreadyExists::EKeyAlreadyExists() : Exception("KeyAlreadyExistsException: Key already exists in Dictionary.") {}
} // namespace Collections

namespace Threading {
EAbandonedMutex::EAbandonedMutex() : Exception("Wait abandoned") {}
} // namespace Threading

} // namespace System

void common_assert(const char* expression, const char* file, int line) {
    platform::debug_break_if_attached();
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expression, file, line);
    std::fflush(stderr);
    std::abort();
}

namespace gc_detail {
void debug_report(const UnicodeString& text) noexcept {
    try {
        platform::output_debug_string("MANAGED-DEBUG-BREAK: " + text.ToUtf8());
    } catch (...) {
    }
    platform::debug_break_if_attached();
}
} // namespace gc_detail
