#include "core/Exceptions.h"

#include <gtest/gtest.h>

#include <functional>

#include "tests/support.h"

namespace System::Threading { class TSampleType {}; }

namespace {

struct TextCase {
    const char* what;
    std::function<Exception()> make;
    const char* expected;
    bool reports; // also announced on the debugger output
};

const TextCase kTexts[] = {
    {"null ref", []() -> Exception { return ENullReference(); },
     "NullReferenceException - Object reference not set to an instance of an object.", true},
    {"null ref typed", []() -> Exception { return ENullReference(typeid(System::Threading::TSampleType)); },
     "NullReferenceException of type 'System::Threading::TSampleType' - Object reference not set to an instance of an object.", true},
    {"disposed", []() -> Exception { return EObjectDisposed(); }, "ObjectDisposedException - Object has been disposed.", true},
    {"disposed typed", []() -> Exception { return EObjectDisposed(typeid(int)); },
     "ObjectDisposedException of type 'int' - Object has been disposed.", true},
    {"corrupt", []() -> Exception { return EManagedMemoryCorrupt(); },
     "ManagedMemoryCorruptException - Memory corruption detected in managed resource.", true},
    {"gc internal", []() -> Exception { return EGarbageCollector(); }, "GarbageCollectorException: Internal Error.", true},
    {"gc message", []() -> Exception { return EGarbageCollector("boom"); }, "GarbageCollectorException: boom", true},
    {"not implemented", []() -> Exception { return System::ENotImplemented(); },
     "NotImplementedException: The method or operation is not implemented.", false},
    {"argument", []() -> Exception { return System::EArgument("x"); }, "Invalid value for argument 'x'", false},
    {"argument message", []() -> Exception { return System::EArgument("bad", "x"); }, "Invalid value for argument 'x' - bad", false},
    {"argument null", []() -> Exception { return System::EArgumentNull("object"); },
     "Invalid value for argument 'object' - argument must not be null.", false},
    {"out of range", []() -> Exception { return System::EArgumentOutOfRange("i"); },
     "Invalid value for argument 'i' - argument out of range.", false},
    {"out of range message",
     []() -> Exception { return System::EArgumentOutOfRange("GC::Collect invalid generation argument", "generation"); },
     "Invalid value for argument 'generation' - GC::Collect invalid generation argument", false},
    {"timeout", []() -> Exception { return System::ETimeout(); }, "TimeoutException: operation has timed out.", false},
    {"not supported", []() -> Exception { return System::ENotSupported(); }, "NotSupportedException: The operation is not supported.", false},
    {"platform", []() -> Exception { return System::EPlatformNotSupported(); },
     "PlatformNotSupportedException: The operation is not supported on this platform.", false},
    {"key not found", []() -> Exception { return System::Collections::EKeyNotFound(); },
     "KeyNotFoundException: Key could not be found in Dictionary.", false},
    {"key exists", []() -> Exception { return System::Collections::EKeyAlreadyExists(); },
     "KeyAlreadyExistsException: Key already exists in Dictionary.", false},
    {"abandoned", []() -> Exception { return System::Threading::EAbandonedMutex(); }, "Wait abandoned", false},
    {"win32", []() -> Exception { return System::EWin32(2); }, "Win32Exception: No such file or directory", false},
    {"win32 unknown", []() -> Exception { return System::EWin32(123456); }, "Win32Exception: Unknown error", false},
    {"io", []() -> Exception { return System::EIOException(10054); }, "IOException: Connection reset by peer", false},
};

TEST(Exceptions, MessagesAndDebugReports) {
    for (const auto& c : kTexts) {
        testing_support::DebugCapture cap;
        Exception e = c.make();
        EXPECT_EQ(e.Message().ToUtf8(), c.expected) << c.what;
        EXPECT_STREQ(e.what(), c.expected) << c.what;
        const std::string report = std::string("MANAGED-DEBUG-BREAK: ") + c.expected;
        EXPECT_EQ(cap.contains(report), c.reports) << c.what;
    }
}

TEST(Exceptions, HierarchyAndNames) {
    try {
        throw System::EArgumentNull("value");
    } catch (const System::EArgument& e) {
        EXPECT_EQ(e.ClassName(), "EArgumentNull");
        EXPECT_EQ(e.QualifiedClassName(), "System::EArgumentNull");
        EXPECT_EQ(e.ParamName(), UnicodeString("value"));
    }
    System::EAsyncException copy(System::ETimeout("late"));
    EXPECT_EQ(copy.Message(), UnicodeString("late"));
    System::EIOException io("x");
    EXPECT_TRUE(dynamic_cast<Sysutils::EInOutError*>(&io) != nullptr);
}

TEST(ExceptionsDeathTest, CommonAssertReportsAndNeverReturns) {
    EXPECT_DEATH(NORVANE_FATAL("CATASTROPHIC FAILURE", "Unable to OpenThread", "GC\\gcptr", 205),
                 "\"CATASTROPHIC FAILURE\" == \"Unable to OpenThread\", file GC\\\\gcptr, line 205");
}

} // namespace
