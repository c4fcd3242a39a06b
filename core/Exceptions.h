// The framework's exception classes and its assertion. Messages follow the
// managed class library that the framework imitates and are built at
// construction; the collector's own four classes also announce themselves
// on the debugger output, since they usually mean a programming error.
#pragma once
#include <typeinfo>

#include "rtl/Exception.h"

class ENullReference : public Exception {
public:
    ENullReference();
    explicit ENullReference(const std::type_info& type);
};

class EObjectDisposed : public Exception {
public:
    EObjectDisposed();
    explicit EObjectDisposed(const std::type_info& type);
};

class EManagedMemoryCorrupt : public Exception {
public:
    EManagedMemoryCorrupt();
    explicit EManagedMemoryCorrupt(const std::type_info& type);
};

class EGarbageCollector : public Exception {
public:
    EGarbageCollector();
    explicit EGarbageCollector(const UnicodeString& message);
};

namespace System {

class ENotImplemented : public Exception {
public:
    ENotImplemented();
};

class EWin32 : public Exception {
public:
    explicit EWin32(const UnicodeString& message);
    explicit EWin32(int errorCode);
};

class EIOException : public Sysutils::EInOutError {
public:
    explicit EIOException(const UnicodeString& message);
    explicit EIOException(int errorCode);
};

class EArgument : public Exception {
public:
    explicit EArgument(const UnicodeString& paramName);
    EArgument(const UnicodeString& message, const UnicodeString& paramName);
    const UnicodeString& ParamName() const { return param_; }
private:
    UnicodeString param_;
};

class EArgumentNull : public EArgument {
public:
    explicit EArgumentNull(const UnicodeString& paramName);
};

class EArgumentOutOfRange : public EArgument {
public:
    explicit EArgumentOutOfRange(const UnicodeString& paramName);
    EArgumentOutOfRange(const UnicodeString& message, const UnicodeString& paramName);
};

class EEndOfStream : public Exception {
public:
    explicit EEndOfStream(const UnicodeString& message) : Exception(message) {}
};

class ETimeout : public Exception {
public:
    ETimeout();
    explicit ETimeout(const UnicodeString& message) : Exception(message) {}
};

class ENotSupported : public Exception {
public:
    ENotSupported();
    explicit ENotSupported(const UnicodeString& message) : Exception(message) {}
};

class EPlatformNotSupported : public ENotSupported {
public:
    EPlatformNotSupported();
    explicit EPlatformNotSupported(const UnicodeString& message) : ENotSupported(message) {}
};

// Carries another exception's message across threads.
class EAsyncException : public Exception {
public:
    explicit EAsyncException(const Exception& other) : Exception(other) {}
    explicit EAsyncException(const UnicodeString& message) : Exception(message) {}
};

class ETargetInvocationException : public Exception {
public:
    explicit ETargetInvocationException(const Exception& other) : Exception(other) {}
    explicit ETargetInvocationException(const UnicodeString& message) : Exception(message) {}
};

namespace Collections {
class EKeyNotFound : public Exception {
public:
    EKeyNotFound();
};
class EKeyAlreadyExists : public Exception {
public:
    EKeyAlreadyExists();
};
} // namespace Collections

namespace Threading {
class ESynchronizationLock : public Exception {
public:
    explicit ESynchronizationLock(const UnicodeString& message) : Exception(message) {}
};
class EAbandonedMutex : public Exception {
public:
    EAbandonedMutex();
};
} // namespace Threading

} // namespace System

// Reports a condition that must never happen and ends the process: breaks
// into an attached debugger, prints expression, file and line, aborts.
[[noreturn]] void common_assert(const char* expression, const char* file, int line);

// The framework's fatal assertion: an always-false comparison whose source
// text names the reason, e.g. NORVANE_FATAL("CATASTROPHIC FAILURE",
// "Unable to OpenThread", "GC\\gcptr", 205).
#define NORVANE_FATAL(kind, reason, file, line) common_assert("\"" kind "\" == \"" reason "\"", file, line)

namespace gc_detail {
// "MANAGED-DEBUG-BREAK: " + text to the debugger output, then a break into
// an attached debugger.
void debug_report(const UnicodeString& text) noexcept;
} // namespace gc_detail
