#include "core/WaitHandle.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "GC/collector.h"
#include "platform/error_text.h"
#include "platform/kernel_objects.h"
#include "tests/support.h"

using namespace System::Threading;
using System::Diagnostics::Internal::TProcessWaitHandle;
using Handles = TWaitHandle::HandleArray;
using Clock = std::chrono::steady_clock;

namespace waithandle_test {

// Counts calls of Dispose, whoever makes them.
class TCountingEvent : public TEventWaitHandle {
public:
    static inline std::atomic<int> disposals{0};
    explicit TCountingEvent(const UnicodeString& name) : TEventWaitHandle(false, EventResetMode::ManualReset, name) {}
    void Dispose() override {
        disposals.fetch_add(1);
        TEventWaitHandle::Dispose();
    }
};

} // namespace waithandle_test

using waithandle_test::TCountingEvent;

namespace {

using testing_support::full_collection;
using testing_support::in_own_frame;
using testing_support::settle;
using testing_support::sleepers_on;

// Event names are process-wide: every test takes fresh ones.
UnicodeString unique_name(const char* tag) {
    static std::atomic<int> n{0};
    return UnicodeString("waithandle_test/" + std::to_string(getpid()) + "/" + tag + "/" + std::to_string(n++));
}

std::string sys(std::uint32_t code) { return platform::GetSystemErrorMessage(code); }

// Whether a named event still exists (some handle to it is open).
bool name_exists(const UnicodeString& name) {
    platform::HANDLE h = platform::OpenEventW(name.c_str());
    if (!h) return false;
    platform::CloseHandle(h);
    return true;
}

gc_disposable<TEventWaitHandle> manual(bool state = false) { return gcnew<TManualResetEvent>(state); }
gc_disposable<TEventWaitHandle> autoreset(bool state = false) { return gcnew<TAutoResetEvent>(state); }

template <class... E>
Handles handles_of(const E&... e) {
    Handles a = gcnew_array<gc_disposable<TWaitHandle>>(static_cast<int>(sizeof...(e)));
    int i = 0;
    ((a[i++] = gc_disposable<TWaitHandle>(e)), ...);
    return a;
}

// A blocking call on a thread of its own.
class Background {
public:
    explicit Background(std::function<bool()> f)
        : t_([this, f] {
              try {
                  result_ = f();
              } catch (const Exception& e) {
                  error_ = e.Message().ToUtf8();
              }
              done_ = true;
          }) {}
    ~Background() {
        if (t_.joinable()) t_.join();
    }
    bool done() const { return done_.load(); }
    bool join() {
        t_.join();
        EXPECT_EQ(error_, "");
        return result_;
    }
private:
    std::atomic<bool> done_{false};
    bool result_ = false;
    std::string error_;
    std::thread t_;
};

long long ms_since(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// The exception's class and exact message.
void expect_error(const std::function<void()>& call, const std::string& cls, const std::string& message,
                  const std::string& what) {
    try {
        call();
        ADD_FAILURE() << what << ": nothing thrown, expected " << cls;
    } catch (const Exception& e) {
        EXPECT_EQ(e.ClassName(), cls) << what;
        EXPECT_EQ(e.Message().ToUtf8(), message) << what;
    }
}

const std::string kDisposed = "ObjectDisposedException of type 'System::Threading::TWaitHandle' - Object has been disposed.";
const std::string kNullRef =
    "NullReferenceException of type 'System::Threading::TWaitHandle' - Object reference not set to an instance of an object.";
const std::string kTooMany = "WaitAll: Unsupported waitHandles length - length must not be more than 64";

// ---- single waits and events ---------------------------------------------------

TEST(WaitHandle, WaitOneTimesOutOrReturnsWhenSet) {
    gc_disposable<TEventWaitHandle> ev = manual();
    auto t0 = Clock::now();
    EXPECT_FALSE(ev->WaitOne(0));
    EXPECT_LT(ms_since(t0), 1000);

    t0 = Clock::now();
    EXPECT_FALSE(ev->WaitOne(100));
    EXPECT_GE(ms_since(t0), 95);

    Background waiter([&] { return ev->WaitOne(); });
    ASSERT_TRUE(sleepers_on(ev->GetHandle()));
    EXPECT_FALSE(waiter.done());
    EXPECT_TRUE(ev->Set());
    EXPECT_TRUE(waiter.join());
}

TEST(WaitHandle, WaitOneRejectsTimeoutsBelowMinusOne) {
    gc_disposable<TEventWaitHandle> ev = manual(true);
    for (int ms : {-2, INT_MIN})
        expect_error([&] { ev->WaitOne(ms); }, "ERangeError", "WaitOne millisecondsTimeout needs to be non-negative or -1",
                     std::to_string(ms));
    EXPECT_TRUE(ev->WaitOne(-1, true));
}

TEST(EventWaitHandle, SetAndResetFollowTheResetMode) {
    struct Case {
        const char* what;
        std::function<gc_disposable<TEventWaitHandle>(bool)> make;
        bool staysSet;
    };
    const Case cases[] = {
        {"TManualResetEvent", [](bool s) { return manual(s); }, true},
        {"TAutoResetEvent", [](bool s) { return autoreset(s); }, false},
        {"ManualReset mode", [](bool s) { return gcnew<TEventWaitHandle>(s, EventResetMode::ManualReset); }, true},
        {"AutoReset mode", [](bool s) { return gcnew<TEventWaitHandle>(s, EventResetMode::AutoReset); }, false},
    };
    for (const Case& c : cases) {
        gc_disposable<TEventWaitHandle> initiallySet = c.make(true);
        EXPECT_TRUE(initiallySet->WaitOne(0)) << c.what;

        gc_disposable<TEventWaitHandle> ev = c.make(false);
        EXPECT_FALSE(ev->WaitOne(0)) << c.what;
        EXPECT_TRUE(ev->Set()) << c.what;
        EXPECT_TRUE(ev->WaitOne(0)) << c.what;
        EXPECT_EQ(ev->WaitOne(0), c.staysSet) << c.what;
        EXPECT_TRUE(ev->Set()) << c.what;
        EXPECT_TRUE(ev->Reset()) << c.what;
        EXPECT_FALSE(ev->WaitOne(0)) << c.what;
    }
}

TEST(EventWaitHandle, ClosedEventRefusesSetResetAndWait) {
    gc_disposable<TEventWaitHandle> ev = manual(true);
    ev->Close();
    EXPECT_TRUE(ev->GetIsHandleInvalid());
    EXPECT_EQ(ev->GetHandle(), INVALID_HANDLE_VALUE);
    expect_error([&] { ev->Set(); }, "EInvalidOperation", "TEventWaitHandle::Set - handle is invalid", "Set");
    expect_error([&] { ev->Reset(); }, "EInvalidOperation", "TEventWaitHandle::Reset - handle is invalid", "Reset");
    // Must not read as signalled, though the event was set when closed.
    expect_error([&] { ev->WaitOne(0); }, "EInvalidOperation",
                 "TWaitHandle::WaitOne " + sys(platform::ERROR_INVALID_HANDLE), "WaitOne");
    ev->Close(); // a second Close has nothing left to do
    EXPECT_TRUE(ev->GetIsHandleInvalid());
}

TEST(EventWaitHandle, NamesUpTo260CharactersAndValidMode) {
    const std::u16string base = unique_name("len").u16();
    const UnicodeString n260(base + std::u16string(260 - base.size(), u'x'));
    const UnicodeString n261(base + std::u16string(261 - base.size(), u'x'));
    const std::string tooLong = "TEventWaitHandle name must not be longer than 260 chars";

    gc_disposable<TEventWaitHandle> ok = gcnew<TEventWaitHandle>(false, EventResetMode::ManualReset, n260);
    EXPECT_FALSE(ok->GetIsHandleInvalid());
    EXPECT_TRUE(TEventWaitHandle::OpenExisting(n260)->Set());
    EXPECT_TRUE(ok->WaitOne(0));

    const auto badMode = static_cast<EventResetMode::Enum>(2);
    expect_error([&] { gcnew<TEventWaitHandle>(false, EventResetMode::AutoReset, n261); }, "EInvalidOperation",
                 tooLong, "create 261");
    expect_error([&] { gcnew<TEventWaitHandle>(false, badMode, n261); }, "EInvalidOperation", tooLong,
                 "name is checked before mode");
    expect_error([&] { gcnew<TEventWaitHandle>(false, badMode); }, "EInvalidOperation",
                 "TEventWaitHandle mode argument is invalid", "mode");
    expect_error([&] { TEventWaitHandle::OpenExisting(n261); }, "EInvalidOperation", tooLong, "open 261");
    expect_error([&] { TEventWaitHandle::OpenExisting(UnicodeString()); }, "EInvalidOperation",
                 "TEventWaitHandle OpenExisting name not be empty", "open empty");
    EXPECT_FALSE(name_exists(n261));
}

TEST(EventWaitHandle, SameNameSharesOneEvent) {
    const UnicodeString name = unique_name("shared");
    gc_disposable<TEventWaitHandle> a = gcnew<TEventWaitHandle>(false, EventResetMode::ManualReset, name);
    // The second creation opens the first event: its own arguments are ignored.
    gc_disposable<TEventWaitHandle> b = gcnew<TEventWaitHandle>(true, EventResetMode::AutoReset, name);
    EXPECT_FALSE(b->WaitOne(0));
    EXPECT_TRUE(a->Set());
    EXPECT_TRUE(b->WaitOne(0));
    EXPECT_TRUE(b->WaitOne(0)); // still manual reset

    gc_disposable<TEventWaitHandle> opened = TEventWaitHandle::OpenExisting(name);
    EXPECT_TRUE(opened->Reset());
    EXPECT_FALSE(a->WaitOne(0));

    // Each wrapper holds its own reference to the event.
    a->Close();
    b->Close();
    EXPECT_TRUE(opened->Set());
    EXPECT_TRUE(opened->WaitOne(0));
    opened->Close();
    EXPECT_FALSE(name_exists(name));
}

TEST(EventWaitHandle, OpenExistingAndCreationReportTheSystemError) {
    expect_error([] { TEventWaitHandle::OpenExisting(unique_name("missing")); }, "EInvalidOperation",
                 "TEventWaitHandle::OpenExisting " + sys(platform::ERROR_FILE_NOT_FOUND), "missing name");

    const UnicodeString taken = unique_name("semaphore");
    platform::HANDLE sem = platform::CreateSemaphoreW(0, 1, taken.c_str());
    ASSERT_NE(sem, nullptr);
    expect_error([&] { gcnew<TEventWaitHandle>(false, EventResetMode::ManualReset, taken); }, "EInvalidOperation",
                 "TEventWaitHandle " + sys(platform::ERROR_INVALID_HANDLE_TYPE), "create over a semaphore");
    expect_error([&] { TEventWaitHandle::OpenExisting(taken); }, "EInvalidOperation",
                 "TEventWaitHandle::OpenExisting " + sys(platform::ERROR_INVALID_HANDLE_TYPE), "open a semaphore");
    platform::CloseHandle(sem);
}

TEST(EventWaitHandle, AdoptedHandleIsOwnedAndComparedByValue) {
    const UnicodeString name = unique_name("adopted");
    platform::HANDLE raw = platform::CreateEventW(false, false, name.c_str());
    ASSERT_NE(raw, nullptr);
    gc_disposable<TEventWaitHandle> ev = gcnew<TEventWaitHandle>(raw);
    gc_disposable<TEventWaitHandle> other = manual();
    EXPECT_EQ(ev->GetHandle(), raw);
    EXPECT_TRUE(*ev == raw);
    EXPECT_TRUE(*ev == *ev);
    EXPECT_FALSE(*ev == *other);
    EXPECT_FALSE(*ev == nullptr);

    EXPECT_TRUE(ev->Set());
    EXPECT_EQ(platform::WaitForSingleObject(raw, 0), platform::WAIT_OBJECT_0);

    ev->Close(); // closes the adopted handle itself
    EXPECT_FALSE(name_exists(name));
    EXPECT_TRUE(*ev == nullptr); // null stands for "no handle"
    EXPECT_FALSE(*ev == raw);
    other->Close();
    EXPECT_TRUE(*ev == *other); // both without a handle
}

// ---- WaitAll and WaitAny ----------------------------------------------------------

struct ArgCase {
    const char* what;
    std::function<void()> call;
    std::string cls;
    std::string message;
};

TEST(WaitAll, ArgumentChecksInOrder) {
    gc_disposable<TEventWaitHandle> set = manual(true);
    gc_disposable<TEventWaitHandle> disposed = manual(true);
    disposed.Dispose();
    gc_disposable<TEventWaitHandle> closed = manual(true);
    closed->Close();
    Handles big = gcnew_array<gc_disposable<TWaitHandle>>(65); // all null: the length is checked first
    Handles withNull = handles_of(set, gc_disposable<TWaitHandle>());
    const std::string inval = "EInvalidOperation";

    const ArgCase cases[] = {
        {"null array", [] { TWaitHandle::WaitAll(Handles()); }, inval, "WaitAll waitHandles cannot be NULL"},
        {"zero length", [] { TWaitHandle::WaitAll(gcnew_array<gc_disposable<TWaitHandle>>(0)); }, inval,
         "WaitAll waitHandles cannot be zero length"},
        {"65 handles", [&] { TWaitHandle::WaitAll(big, -2); }, inval, kTooMany},
        {"timeout -2 before elements", [&] { TWaitHandle::WaitAll(withNull, -2); }, "ERangeError",
         "WaitAll millisecondsTimeout needs to be non-negative or -1"},
        {"null element", [&] { TWaitHandle::WaitAll(withNull, 0); }, inval,
         "WaitAll: one of the waitHandles is NULL (not allowed)"},
        {"disposed element", [&] { TWaitHandle::WaitAll(handles_of(set, disposed), 0); }, "EObjectDisposed",
         kDisposed},
        {"closed element", [&] { TWaitHandle::WaitAll(handles_of(set, closed)); }, inval,
         "WaitAll: one of the waitHandles has INVALID_HANDLE_VALUE (not allowed)"},
        // One auto-reset event cannot be consumed together with itself.
        {"same event twice", [&] { TWaitHandle::WaitAll(handles_of(set, set), 0); }, inval,
         "TWaitHandle::WaitAll " + sys(platform::ERROR_INVALID_PARAMETER)},
    };
    for (const ArgCase& c : cases) expect_error(c.call, c.cls, c.message, c.what);
    EXPECT_TRUE(TWaitHandle::WaitAll(handles_of(set), 0));
}

TEST(WaitAny, ArgumentChecks) {
    gc_disposable<TEventWaitHandle> set = manual(true);
    gc_disposable<TEventWaitHandle> disposed = manual(true);
    disposed.Dispose();
    gc_disposable<TEventWaitHandle> closed = manual(true);
    closed->Close();
    gc_disposable<TEventWaitHandle> nullHandle = gcnew<TEventWaitHandle>(static_cast<platform::HANDLE>(nullptr));
    const std::string inval = "EInvalidOperation";

    const ArgCase cases[] = {
        {"null array", [] { TWaitHandle::WaitAny(Handles()); }, inval, "WaitAny waitHandles cannot be NULL"},
        {"zero length", [] { TWaitHandle::WaitAny(gcnew_array<gc_disposable<TWaitHandle>>(0), 0); }, inval,
         "WaitAll waitHandles cannot be zero length"},
        {"65 handles", [] { TWaitHandle::WaitAny(gcnew_array<gc_disposable<TWaitHandle>>(65), 0); }, inval, kTooMany},
        {"timeout -2", [&] { TWaitHandle::WaitAny(handles_of(set), -2); }, "ERangeError",
         "WaitAny millisecondsTimeout needs to be non-negative or -1"},
        {"null element", [&] { TWaitHandle::WaitAny(handles_of(set, gc_disposable<TWaitHandle>()), 0); },
         "ENullReference", kNullRef},
        {"disposed element", [&] { TWaitHandle::WaitAny(handles_of(set, disposed), 0); }, "EObjectDisposed",
         kDisposed},
        {"null handle", [&] { TWaitHandle::WaitAny(handles_of(set, nullHandle), 0); }, inval,
         "WaitAny: one of the waitHandles is NULL (not allowed)"},
        // A closed event was set: it must not count as "any is signalled".
        {"closed element", [&] { TWaitHandle::WaitAny(handles_of(closed), 0); }, inval,
         "WaitAny: one of the waitHandles has INVALID_HANDLE_VALUE (not allowed)"},
    };
    for (const ArgCase& c : cases) expect_error(c.call, c.cls, c.message, c.what);
}

TEST(WaitAll, SixtyFourHandlesWaitUntilEveryOneIsSet) {
    std::vector<gc_disposable<TEventWaitHandle>> events;
    Handles all = gcnew_array<gc_disposable<TWaitHandle>>(64);
    for (int i = 0; i < 64; ++i) {
        events.push_back(i % 2 ? manual() : autoreset());
        all[i] = gc_disposable<TWaitHandle>(events.back());
    }
    Background waiter([&] { return TWaitHandle::WaitAll(all); }); // -1: no limit
    ASSERT_TRUE(sleepers_on(events[0]->GetHandle()));
    for (int i = 0; i < 63; ++i) events[i]->Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(waiter.done());
    events[63]->Set();
    EXPECT_TRUE(waiter.join());
    // Consumed as one: every auto-reset event is clear, every manual one set.
    for (int i = 0; i < 64; ++i) EXPECT_EQ(events[i]->WaitOne(0), i % 2 == 1) << i;
}

TEST(WaitAll, AutoResetEventsAreConsumedTogetherNotOneByOne) {
    gc_disposable<TEventWaitHandle> a = autoreset();
    gc_disposable<TEventWaitHandle> b = autoreset();
    Handles both = handles_of(a, b);

    // A time-out takes nothing, even from the events that were set.
    a->Set();
    const auto t0 = Clock::now();
    EXPECT_FALSE(TWaitHandle::WaitAll(both, 100));
    EXPECT_GE(ms_since(t0), 95);
    EXPECT_TRUE(a->WaitOne(0));

    Background waiter([&] { return TWaitHandle::WaitAll(both, -1); });
    ASSERT_TRUE(sleepers_on(a->GetHandle()));
    a->Set();
    // A waiter that took a alone would leave nothing here.
    EXPECT_TRUE(a->WaitOne(0));
    b->Set();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(waiter.done()); // b alone is not enough
    a->Set();
    EXPECT_TRUE(waiter.join());
    EXPECT_FALSE(a->WaitOne(0));
    EXPECT_FALSE(b->WaitOne(0));
}

TEST(WaitAny, ReturnsForAnyOneAndConsumesOnlyIt) {
    gc_disposable<TEventWaitHandle> a = autoreset();
    gc_disposable<TEventWaitHandle> b = autoreset();
    gc_disposable<TEventWaitHandle> c = manual();
    Handles three = handles_of(a, b, c);

    auto t0 = Clock::now();
    EXPECT_FALSE(TWaitHandle::WaitAny(three, 0));
    EXPECT_FALSE(TWaitHandle::WaitAny(three, 100));
    EXPECT_GE(ms_since(t0), 95);

    a->Set();
    b->Set();
    EXPECT_TRUE(TWaitHandle::WaitAny(three, 0));
    // Exactly one of the two was taken.
    EXPECT_EQ(int(a->WaitOne(0)) + int(b->WaitOne(0)), 1);

    Background waiter([&] { return TWaitHandle::WaitAny(three); });
    ASSERT_TRUE(sleepers_on(c->GetHandle()));
    c->Set();
    EXPECT_TRUE(waiter.join());
    EXPECT_TRUE(c->WaitOne(0)); // manual: still set
}

// ---- SignalAndWait ------------------------------------------------------------

TEST(SignalAndWait, SignalsOneAndWaitsOnTheOther) {
    gc_disposable<TEventWaitHandle> ping = autoreset();
    gc_disposable<TEventWaitHandle> pong = autoreset();
    Background partner([&] { return ping->WaitOne(20000) && pong->Set(); });
    EXPECT_TRUE(TWaitHandle::SignalAndWait(ping, pong));
    EXPECT_TRUE(partner.join());

    // Timing out still leaves the signal made.
    const auto t0 = Clock::now();
    EXPECT_FALSE(TWaitHandle::SignalAndWait(ping, pong, 100, false));
    EXPECT_GE(ms_since(t0), 95);
    EXPECT_TRUE(ping->WaitOne(0));
}

TEST(SignalAndWait, ArgumentChecksAndFailures) {
    gc_disposable<TEventWaitHandle> ev = manual(true);
    gc_disposable<TEventWaitHandle> disposed = manual(true);
    disposed.Dispose();
    gc_disposable<TEventWaitHandle> closed = manual(true);
    closed->Close();
    platform::HANDLE done = platform::CreateCompletionHandle();
    platform::SignalCompletionHandle(done);
    gc_disposable<TWaitHandle> process = gcnew<TProcessWaitHandle>(done);
    platform::CloseHandle(done);
    const gc_disposable<TWaitHandle> none;
    const std::string inval = "EInvalidOperation";
    const std::string failed = "TWaitHandle::SignalAndWait " + sys(platform::ERROR_INVALID_HANDLE);

    const ArgCase cases[] = {
        {"null toSignal", [&] { TWaitHandle::SignalAndWait(none, none, -2, false); }, inval,
         "SignalAndWait toSignal cannot be NULL"},
        {"null toWaitOn", [&] { TWaitHandle::SignalAndWait(ev, none, -2, false); }, inval,
         "SignalAndWait toWaitOn cannot be NULL"},
        {"timeout -2", [&] { TWaitHandle::SignalAndWait(ev, disposed, -2, false); }, "ERangeError",
         "SignalAndWait millisecondsTimeout needs to be non-negative or -1"},
        {"disposed toSignal", [&] { TWaitHandle::SignalAndWait(disposed, ev, 0, false); }, "EObjectDisposed",
         kDisposed},
        {"disposed toWaitOn", [&] { TWaitHandle::SignalAndWait(ev, disposed, 0, false); }, "EObjectDisposed",
         kDisposed},
        {"closed toWaitOn", [&] { TWaitHandle::SignalAndWait(ev, closed, 0, false); }, inval, failed},
        {"closed toSignal", [&] { TWaitHandle::SignalAndWait(closed, ev, 0, false); }, inval, failed},
        // A process handle can be waited on but not signalled.
        {"process toSignal", [&] { TWaitHandle::SignalAndWait(process, ev, 0, false); }, inval, failed},
    };
    for (const ArgCase& c : cases) expect_error(c.call, c.cls, c.message, c.what);
    EXPECT_TRUE(TWaitHandle::SignalAndWait(ev, process, 0, true));
}

// ---- process handles ----------------------------------------------------------

TEST(ProcessWaitHandle, WaitsOnItsOwnDuplicate) {
    platform::HANDLE process = platform::CreateCompletionHandle();
    ASSERT_NE(process, nullptr);
    gc_disposable<TWaitHandle> wh = gcnew<TProcessWaitHandle>(process);
    EXPECT_FALSE(wh->GetIsHandleInvalid());
    EXPECT_FALSE(wh->WaitOne(0));

    Background waiter([&] { return wh->WaitOne(); });
    ASSERT_TRUE(sleepers_on(wh->GetHandle()));
    platform::SignalCompletionHandle(process);
    EXPECT_TRUE(waiter.join());

    // Closing the caller's handle leaves the duplicate usable, and the
    // wait handle closing its own leaves the caller's alone.
    platform::HANDLE second = platform::CreateCompletionHandle();
    gc_disposable<TWaitHandle> wh2 = gcnew<TProcessWaitHandle>(second);
    platform::CloseHandle(process);
    EXPECT_TRUE(wh->WaitOne(0));
    wh2->Close();
    EXPECT_EQ(platform::WaitForSingleObject(second, 0), platform::WAIT_TIMEOUT);
    platform::CloseHandle(second);
}

TEST(ProcessWaitHandle, UnusableHandleThrowsWin32Error) {
    for (platform::HANDLE bad : {static_cast<platform::HANDLE>(nullptr), INVALID_HANDLE_VALUE})
        expect_error([&] { gcnew<TProcessWaitHandle>(bad); }, "EWin32",
                     "Win32Exception: " + sys(platform::ERROR_INVALID_HANDLE), bad ? "invalid" : "null");
}

// ---- disposal and finalization ------------------------------------------------

TEST(WaitHandleDisposal, DisposeTwiceClosesOnceAndSuppressesTheFinalizer) {
    settle();
    TCountingEvent::disposals = 0;
    const UnicodeString name = unique_name("dispose");
    platform::HANDLE dup = nullptr;
    in_own_frame([&] {
        gc_disposable<TEventWaitHandle> ev = gcnew<TCountingEvent>(name);
        ASSERT_TRUE(platform::DuplicateHandle(ev->GetHandle(), &dup));
        EXPECT_TRUE(ev.Dispose());
        EXPECT_FALSE(ev.Dispose());
        EXPECT_EQ(TCountingEvent::disposals.load(), 1);
        expect_error([&] { ev->Set(); }, "EObjectDisposed",
                     "ObjectDisposedException of type 'System::Threading::TEventWaitHandle' - Object has been disposed.",
                     "access after Dispose");
    });
    settle();
    EXPECT_EQ(TCountingEvent::disposals.load(), 1); // the finalizer did not run Dispose again
    // Only the wrapper's reference was dropped: a second close would have taken ours.
    EXPECT_TRUE(platform::SetEvent(dup));
    EXPECT_TRUE(name_exists(name));
    platform::CloseHandle(dup);
    EXPECT_FALSE(name_exists(name));
}

TEST(WaitHandleDisposal, FinalizerClosesANeverDisposedHandle) {
    settle();
    TCountingEvent::disposals = 0;
    const UnicodeString name = unique_name("finalized");
    in_own_frame([&] { EXPECT_TRUE(gcnew<TCountingEvent>(name)->Set()); });
    EXPECT_TRUE(name_exists(name));
    full_collection(); // finalizes it
    full_collection(); // destroys it
    EXPECT_EQ(TCountingEvent::disposals.load(), 1);
    EXPECT_FALSE(name_exists(name));
}

TEST(WaitHandleDisposal, InstanceOutsideManagedMemoryClosesItsHandle) {
    const UnicodeString disposedName = unique_name("plain-disposed");
    const UnicodeString scopedName = unique_name("plain-scoped");
    TEventWaitHandle disposed(false, EventResetMode::ManualReset, disposedName);
    disposed.Dispose(); // nothing to suppress, but the handle goes
    EXPECT_TRUE(disposed.GetIsHandleInvalid());
    EXPECT_FALSE(name_exists(disposedName));
    {
        TEventWaitHandle scoped(false, EventResetMode::AutoReset, scopedName);
        EXPECT_TRUE(name_exists(scopedName));
    }
    EXPECT_FALSE(name_exists(scopedName));
}

} // namespace
