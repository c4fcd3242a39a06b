#include "platform/kernel_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

using steady = std::chrono::steady_clock;

// Generous: only a lost wake-up or a hang should ever reach it.
constexpr std::uint32_t kLongMs = 10000;

using testing_support::sleepers_on;

bool IsSignalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

// Closes its handles at the end of a test, whatever the test did to them.
struct Handles {
    std::vector<HANDLE> hs;
    HANDLE add(HANDLE h) {
        hs.push_back(h);
        return h;
    }
    ~Handles() {
        for (HANDLE h : hs) CloseHandle(h);
    }
};

TEST(KernelEvent, ZeroTimeoutReturnsAtOnceAndAutoResetIsConsumed) {
    Handles hs;
    HANDLE idle = hs.add(CreateEventW(false, false, nullptr));
    HANDLE autoe = hs.add(CreateEventW(false, true, nullptr));
    HANDLE manual = hs.add(CreateEventW(true, true, nullptr));
    ASSERT_TRUE(idle && autoe && manual);

    const auto t0 = steady::now();
    EXPECT_EQ(WaitForSingleObject(idle, 0), WAIT_TIMEOUT);
    EXPECT_LT(steady::now() - t0, 1s);

    EXPECT_EQ(WaitForSingleObject(autoe, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoe, 0), WAIT_TIMEOUT) << "auto-reset must be consumed by the wait";

    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "manual-reset stays set";
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
}

TEST(KernelEvent, TimeoutIsNeverShortAndNotMuchLong) {
    Handles hs;
    HANDLE e = hs.add(CreateEventW(false, false, nullptr));
    HANDLE other = hs.add(CreateEventW(false, false, nullptr));
    for (std::uint32_t ms : {30u, 120u}) {
        const auto t0 = steady::now();
        EXPECT_EQ(WaitForSingleObject(e, ms), WAIT_TIMEOUT);
        const auto took = steady::now() - t0;
        EXPECT_GE(took, std::chrono::milliseconds(ms));
        EXPECT_LT(took, std::chrono::milliseconds(ms) + 3s);
    }
    // Traffic on other objects must neither end the wait early nor extend it.
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        while (!stop) {
            SetEvent(other);
            WaitForSingleObject(other, 0);
            std::this_thread::sleep_for(1ms);
        }
    });
    HANDLE both[] = {e, e};
    const auto t0 = steady::now();
    EXPECT_EQ(WaitForMultipleObjects(2, both, false, 150), WAIT_TIMEOUT);
    const auto took = steady::now() - t0;
    stop = true;
    noise.join();
    EXPECT_GE(took, 150ms);
    EXPECT_LT(took, 150ms + 3s);
}

TEST(KernelEvent, AutoResetWakesExactlyOneWaiter) {
    Handles hs;
    HANDLE e = hs.add(CreateEventW(false, false, nullptr));
    constexpr int kThreads = 3;
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&] {
            if (WaitForSingleObject(e, kLongMs) == WAIT_OBJECT_0) ++woken;
        });
    ASSERT_TRUE(sleepers_on(e, kThreads));

    for (int round = 1; round <= kThreads; ++round) {
        ASSERT_TRUE(SetEvent(e));
        ASSERT_TRUE(sleepers_on(e, kThreads - round));
        std::this_thread::sleep_for(20ms); // room for a second, wrong wake-up
        EXPECT_EQ(woken.load(), round);
        EXPECT_FALSE(IsSignalled(e)) << "the one wake-up consumed the event";
    }
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), kThreads);
}

TEST(KernelEvent, ManualResetWakesAllWaiters) {
    Handles hs;
    HANDLE e = hs.add(CreateEventW(true, false, nullptr));
    constexpr int kThreads = 4;
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&] {
            if (WaitForSingleObject(e, kLongMs) == WAIT_OBJECT_0) ++woken;
        });
    ASSERT_TRUE(sleepers_on(e, kThreads));
    ASSERT_TRUE(SetEvent(e));
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), kThreads);
    EXPECT_TRUE(IsSignalled(e));
}

TEST(KernelEvent, CompletionHandleReleasesAllAndStaysSignalled) {
    Handles hs;
    HANDLE c = hs.add(CreateCompletionHandle());
    ASSERT_NE(c, nullptr);
    EXPECT_FALSE(IsSignalled(c));
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 2; ++i)
        ts.emplace_back([&] {
            if (WaitForSingleObject(c, kLongMs) == WAIT_OBJECT_0) ++woken;
        });
    ASSERT_TRUE(sleepers_on(c, 2));
    SignalCompletionHandle(c);
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_TRUE(IsSignalled(c));
    // Only its owner signals it, and not through the event calls.
    EXPECT_FALSE(SetEvent(c));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(c));
}

// --- wait-any / wait-all -------------------------------------------------

TEST(KernelWaitMultiple, WaitAnyReturnsLowestSignalledIndexAndConsumesOnlyIt) {
    Handles hs;
    HANDLE h[4];
    for (auto& x : h) x = hs.add(CreateEventW(false, false, nullptr));
    SetEvent(h[3]);
    SetEvent(h[1]);
    EXPECT_EQ(WaitForMultipleObjects(4, h, false, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(4, h, false, 0), WAIT_OBJECT_0 + 3);
    EXPECT_EQ(WaitForMultipleObjects(4, h, false, 0), WAIT_TIMEOUT);

    // A blocked wait-any reports the index of the object that woke it.
    std::uint32_t got = WAIT_FAILED;
    std::thread t([&] { got = WaitForMultipleObjects(4, h, false, kLongMs); });
    ASSERT_TRUE(sleepers_on(h[2], 1));
    SetEvent(h[2]);
    t.join();
    EXPECT_EQ(got, WAIT_OBJECT_0 + 2);
    EXPECT_FALSE(IsSignalled(h[2]));
}

TEST(KernelWaitMultiple, WaitAllTimesOutWithoutConsumingAnything) {
    Handles hs;
    HANDLE a = hs.add(CreateEventW(false, true, nullptr));
    HANDLE b = hs.add(CreateEventW(false, false, nullptr));
    HANDLE s = hs.add(CreateSemaphoreW(1, 5, nullptr));
    HANDLE all[] = {a, s, b};
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, 40), WAIT_TIMEOUT);
    EXPECT_TRUE(IsSignalled(a)) << "a wait-all that failed must not have taken a";
    EXPECT_TRUE(IsSignalled(s));
}

TEST(KernelWaitMultiple, WaitAllNeedsEveryObjectSignalledAtOnce) {
    Handles hs;
    HANDLE a = hs.add(CreateEventW(false, false, nullptr));
    HANDLE m = hs.add(CreateEventW(true, false, nullptr));
    HANDLE s = hs.add(CreateSemaphoreW(0, 5, nullptr));
    HANDLE all[] = {a, m, s};
    std::atomic<std::uint32_t> got{WAIT_FAILED};
    std::thread t([&] { got = WaitForMultipleObjects(3, all, true, kLongMs); });
    ASSERT_TRUE(sleepers_on(a, 1));

    // Each object is signalled at some point, but never all together.
    SetEvent(m);
    ResetEvent(m);
    SetEvent(a);
    ReleaseSemaphore(s, 2, nullptr);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(got.load(), WAIT_FAILED) << "returned while m was unsignalled";
    EXPECT_EQ(WaitingThreadCount(m), 1u);

    SetEvent(m);
    t.join();
    EXPECT_EQ(got.load(), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSignalled(a)) << "auto-reset consumed by the wait-all";
    EXPECT_TRUE(IsSignalled(m)) << "manual-reset left set";
    std::int32_t prev = -1;
    ASSERT_TRUE(ReleaseSemaphore(s, 1, &prev));
    EXPECT_EQ(prev, 1) << "the wait-all took exactly one count";
}

// The fault this catches: a wait-all that takes its auto-reset objects one
// at a time as they come, holding them while it waits for the rest, starves
// a plain waiter on the same object.
TEST(KernelWaitMultiple, WaitAllDoesNotHoldBackObjectsItCannotYetTake) {
    Handles hs;
    HANDLE a = hs.add(CreateEventW(false, false, nullptr));
    HANDLE b = hs.add(CreateEventW(false, false, nullptr));
    HANDLE ab[] = {a, b};

    std::atomic<std::uint32_t> all_result{WAIT_FAILED};
    std::thread all_waiter([&] { all_result = WaitForMultipleObjects(2, ab, true, kLongMs); });
    ASSERT_TRUE(sleepers_on(a, 1)); // the wait-all is first in line on a

    std::atomic<std::uint32_t> any_result{WAIT_FAILED};
    std::thread any_waiter([&] { any_result = WaitForSingleObject(a, kLongMs); });
    ASSERT_TRUE(sleepers_on(a, 2));

    SetEvent(a);
    any_waiter.join();
    EXPECT_EQ(any_result.load(), WAIT_OBJECT_0) << "a was lost to the wait-all";
    EXPECT_EQ(all_result.load(), WAIT_FAILED);

    SetEvent(b); // a is gone again: still not both at once
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(all_result.load(), WAIT_FAILED);
    EXPECT_EQ(WaitingThreadCount(b), 1u);

    SetEvent(a);
    all_waiter.join();
    EXPECT_EQ(all_result.load(), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSignalled(a));
    EXPECT_FALSE(IsSignalled(b)) << "b consumed together with a";
}

TEST(KernelWaitMultiple, SixtyFourHandlesAreTheLimit) {
    Handles hs;
    std::vector<HANDLE> h;
    for (std::uint32_t i = 0; i <= MAXIMUM_WAIT_OBJECTS; ++i) h.push_back(hs.add(CreateEventW(true, false, nullptr)));

    SetEvent(h[50]);
    SetEvent(h[37]);
    EXPECT_EQ(WaitForMultipleObjects(64, h.data(), false, 0), WAIT_OBJECT_0 + 37);
    EXPECT_EQ(WaitForMultipleObjects(64, h.data(), true, 0), WAIT_TIMEOUT);
    for (auto x : h) SetEvent(x);
    EXPECT_EQ(WaitForMultipleObjects(64, h.data(), true, 0), WAIT_OBJECT_0);

    // Wake a blocked 64-way wait through its last slot.
    for (auto x : h) ResetEvent(x);
    std::uint32_t got = WAIT_FAILED;
    std::thread t([&] { got = WaitForMultipleObjects(64, h.data(), false, kLongMs); });
    ASSERT_TRUE(sleepers_on(h[63], 1));
    SetEvent(h[63]);
    t.join();
    EXPECT_EQ(got, WAIT_OBJECT_0 + 63);

    for (bool all : {false, true}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(65, h.data(), all, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(WaitForMultipleObjects(0, h.data(), all, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(KernelWaitMultiple, SameHandleTwiceFailsOnlyForWaitAll) {
    Handles hs;
    HANDLE a = hs.add(CreateEventW(false, true, nullptr));
    HANDLE b = hs.add(CreateEventW(false, true, nullptr));
    HANDLE dup = nullptr;
    ASSERT_TRUE(DuplicateHandle(a, &dup));
    hs.add(dup);

    HANDLE twice[] = {b, a, dup};
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForMultipleObjects(3, twice, true, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(IsSignalled(a)) << "a failed wait consumed nothing";
    SetEvent(a);

    HANDLE any[] = {a, a};
    EXPECT_EQ(WaitForMultipleObjects(2, any, false, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(2, any, false, 0), WAIT_TIMEOUT);
    std::uint32_t got = WAIT_FAILED;
    std::thread t([&] { got = WaitForMultipleObjects(2, any, false, kLongMs); });
    ASSERT_TRUE(sleepers_on(a, 1));
    SetEvent(a);
    t.join();
    EXPECT_EQ(got, WAIT_OBJECT_0);
    EXPECT_EQ(WaitingThreadCount(a), 0u);

    // On a manual event the signal walks on past the doubled waiter to the
    // one queued behind it; each is released once.
    HANDLE m = hs.add(CreateEventW(true, false, nullptr));
    HANDLE mm[] = {m, m, b};
    std::uint32_t doubled = WAIT_FAILED, behind = WAIT_FAILED;
    ResetEvent(b);
    std::thread t1([&] { doubled = WaitForMultipleObjects(3, mm, false, kLongMs); });
    ASSERT_TRUE(sleepers_on(m, 1));
    std::thread t2([&] { behind = WaitForSingleObject(m, kLongMs); });
    ASSERT_TRUE(sleepers_on(m, 2));
    SetEvent(m);
    t1.join();
    t2.join();
    EXPECT_EQ(doubled, WAIT_OBJECT_0);
    EXPECT_EQ(behind, WAIT_OBJECT_0);
    EXPECT_EQ(WaitingThreadCount(m), 0u);
    EXPECT_EQ(WaitingThreadCount(b), 0u);
}

// --- errors and handle lifetime -------------------------------------------

TEST(KernelHandles, BadHandlesFailWithInvalidHandle) {
    Handles hs;
    HANDLE good = hs.add(CreateEventW(true, true, nullptr));
    HANDLE sem = hs.add(CreateSemaphoreW(0, 1, nullptr));
    HANDLE closed = CreateEventW(true, true, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE garbage = reinterpret_cast<HANDLE>(std::uintptr_t{0x10});
    HANDLE minus_one = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

    struct Case {
        const char* what;
        std::function<bool(HANDLE)> fails; // true when the call reported failure
    };
    const Case cases[] = {
        {"SetEvent", [](HANDLE h) { return !SetEvent(h); }},
        {"ResetEvent", [](HANDLE h) { return !ResetEvent(h); }},
        {"ReleaseSemaphore", [](HANDLE h) { return !ReleaseSemaphore(h, 1, nullptr); }},
        {"WaitForSingleObject", [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_FAILED; }},
        {"WaitForSingleObject infinite", [](HANDLE h) { return WaitForSingleObject(h, INFINITE) == WAIT_FAILED; }},
        {"wait-any with a good one first", [&](HANDLE h) {
             HANDLE hs2[] = {good, h};
             return WaitForMultipleObjects(2, hs2, false, 0) == WAIT_FAILED;
         }},
        {"wait-all", [&](HANDLE h) {
             HANDLE hs2[] = {good, h};
             return WaitForMultipleObjects(2, hs2, true, 0) == WAIT_FAILED;
         }},
        {"signal side of SignalObjectAndWait", [&](HANDLE h) { return SignalObjectAndWait(h, good, 0, false) == WAIT_FAILED; }},
        {"wait side of SignalObjectAndWait", [&](HANDLE h) { return SignalObjectAndWait(sem, h, 0, false) == WAIT_FAILED; }},
        {"DuplicateHandle", [](HANDLE h) {
             HANDLE out = nullptr;
             return !DuplicateHandle(h, &out);
         }},
        {"CloseHandle", [](HANDLE h) { return !CloseHandle(h); }},
    };
    const struct { const char* what; HANDLE h; } bad[] = {
        {"null", nullptr}, {"closed", closed}, {"garbage", garbage}, {"-1", minus_one}};
    for (const auto& c : cases) {
        for (const auto& b : bad) {
            SetLastError(ERROR_SUCCESS);
            EXPECT_TRUE(c.fails(b.h)) << c.what << " on " << b.what;
            EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE) << c.what << " on " << b.what;
        }
    }
    // The semaphore was not released by the failed SignalObjectAndWait.
    EXPECT_FALSE(IsSignalled(sem));

    // Right handle, wrong kind of object.
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(SetEvent(sem));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(ReleaseSemaphore(good, 1, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(KernelHandles, DuplicateKeepsTheObjectUntilTheLastClose) {
    HANDLE e = CreateEventW(false, false, nullptr);
    HANDLE d1 = nullptr, d2 = nullptr;
    ASSERT_TRUE(DuplicateHandle(e, &d1));
    ASSERT_TRUE(DuplicateHandle(d1, &d2));
    ASSERT_TRUE(CloseHandle(e));

    // The duplicates still reach the same object.
    ASSERT_TRUE(SetEvent(d1));
    EXPECT_EQ(WaitForSingleObject(d2, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(d1, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(CloseHandle(d1));
    EXPECT_EQ(WaitForSingleObject(d2, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(CloseHandle(d2));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(d2, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(d2)) << "one close too many";

    HANDLE s = CreateSemaphoreW(0, 1, nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(DuplicateHandle(s, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(s);
}

// A waiter keeps the object alive after its last handle is closed; the
// wait then simply runs out (under ASan this also checks for a use after
// free).
TEST(KernelHandles, ClosingTheLastHandleDuringAWaitIsSafe) {
    HANDLE e = CreateEventW(false, false, nullptr);
    HANDLE other = CreateEventW(false, false, nullptr);
    std::uint32_t got = 0;
    std::thread t([&] {
        HANDLE both[] = {e, other};
        got = WaitForMultipleObjects(2, both, true, 300);
    });
    ASSERT_TRUE(sleepers_on(e, 1));
    ASSERT_TRUE(CloseHandle(e));
    SetEvent(other);
    t.join();
    EXPECT_EQ(got, WAIT_TIMEOUT);
    EXPECT_TRUE(IsSignalled(other)) << "the failed wait-all did not take other";
    CloseHandle(other);
}

TEST(KernelHandles, LastErrorIsPerThread) {
    SetLastError(1234);
    std::uint32_t seen = 1;
    std::thread t([&] {
        seen = GetLastError();
        SetLastError(99);
    });
    t.join();
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), 1234u);
}

// --- names ----------------------------------------------------------------

TEST(KernelNamedEvent, SameNameIsTheSameObject) {
    Handles hs;
    SetLastError(ERROR_ALREADY_EXISTS);
    HANDLE first = hs.add(CreateEventW(true, false, u"kobj-test-shared"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);

    // The second create gets the existing object; its arguments are ignored.
    HANDLE second = hs.add(CreateEventW(false, true, u"kobj-test-shared"));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(IsSignalled(second)) << "initial_state of the second create ignored";
    ASSERT_TRUE(SetEvent(first));
    EXPECT_TRUE(IsSignalled(second));
    EXPECT_TRUE(IsSignalled(second)) << "still manual-reset";

    HANDLE opened = hs.add(OpenEventW(u"kobj-test-shared"));
    ASSERT_NE(opened, nullptr);
    ResetEvent(opened);
    EXPECT_FALSE(IsSignalled(first));

    // Names compare exactly.
    HANDLE upper = hs.add(CreateEventW(true, false, u"KOBJ-TEST-SHARED"));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    SetEvent(upper);
    EXPECT_FALSE(IsSignalled(first));

    // Empty and null names create separate unnamed objects.
    HANDLE u1 = hs.add(CreateEventW(true, false, u""));
    HANDLE u2 = hs.add(CreateEventW(true, false, u""));
    SetEvent(u1);
    EXPECT_FALSE(IsSignalled(u2));
}

TEST(KernelNamedEvent, OpenAndKindConflicts) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenEventW(u"kobj-test-absent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    HANDLE sem = CreateSemaphoreW(0, 1, u"kobj-test-kind");
    ASSERT_NE(sem, nullptr);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateEventW(true, false, u"kobj-test-kind"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE_TYPE);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenEventW(u"kobj-test-kind"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE_TYPE);
    HANDLE sem2 = CreateSemaphoreW(1, 1, u"kobj-test-kind");
    EXPECT_EQ(sem2, sem);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(sem2);
    CloseHandle(sem);

    // The name goes with the last handle and can then be taken afresh.
    HANDLE e = CreateEventW(true, true, u"kobj-test-kind");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE o = OpenEventW(u"kobj-test-kind");
    ASSERT_EQ(o, e);
    CloseHandle(e);
    EXPECT_TRUE(IsSignalled(o)) << "opened handle keeps the object";
    CloseHandle(o);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(OpenEventW(u"kobj-test-kind"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// --- semaphores -----------------------------------------------------------

TEST(KernelSemaphore, CreateRejectsBadCounts) {
    const struct { std::int32_t initial, maximum; } bad[] = {{2, 1}, {0, 0}, {-1, 5}, {0, -3}};
    for (const auto& c : bad) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateSemaphoreW(c.initial, c.maximum, nullptr), nullptr) << c.initial << "/" << c.maximum;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
}

TEST(KernelSemaphore, CountAndMaximum) {
    Handles hs;
    HANDLE s = hs.add(CreateSemaphoreW(2, 3, nullptr));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);

    std::int32_t prev = -1;
    ASSERT_TRUE(ReleaseSemaphore(s, 3, &prev));
    EXPECT_EQ(prev, 0);
    SetLastError(ERROR_SUCCESS);
    prev = -1;
    EXPECT_FALSE(ReleaseSemaphore(s, 1, &prev));
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(prev, -1) << "previous untouched on failure";
    EXPECT_FALSE(ReleaseSemaphore(s, INT32_MAX, nullptr)) << "no overflow past the maximum";
    for (std::int32_t bad : {0, -1}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(ReleaseSemaphore(s, bad, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    // The count stayed at the maximum through the refused releases.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
}

TEST(KernelSemaphore, ReleaseOfNWakesNWaiters) {
    Handles hs;
    HANDLE s = hs.add(CreateSemaphoreW(0, 10, nullptr));
    constexpr int kThreads = 4;
    std::atomic<int> woken{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kThreads; ++i)
        ts.emplace_back([&] {
            if (WaitForSingleObject(s, kLongMs) == WAIT_OBJECT_0) ++woken;
        });
    ASSERT_TRUE(sleepers_on(s, kThreads));
    ASSERT_TRUE(ReleaseSemaphore(s, 3, nullptr));
    ASSERT_TRUE(sleepers_on(s, 1));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT) << "all three counts went to waiters";
    ASSERT_TRUE(ReleaseSemaphore(s, 2, nullptr));
    for (auto& t : ts) t.join();
    EXPECT_EQ(woken.load(), kThreads);
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_OBJECT_0) << "the spare count is kept";
}

// --- SignalObjectAndWait ---------------------------------------------------

TEST(KernelSignalAndWait, SignalsThenWaits) {
    Handles hs;
    HANDLE go = hs.add(CreateEventW(false, false, nullptr));
    HANDLE done = hs.add(CreateEventW(false, false, nullptr));
    std::thread t([&] {
        if (WaitForSingleObject(go, kLongMs) == WAIT_OBJECT_0) SetEvent(done);
    });
    ASSERT_TRUE(sleepers_on(go, 1));
    EXPECT_EQ(SignalObjectAndWait(go, done, kLongMs, false), WAIT_OBJECT_0);
    t.join();
    EXPECT_FALSE(IsSignalled(done));

    // It times out like any wait, with the signal still made.
    EXPECT_EQ(SignalObjectAndWait(go, done, 30, false), WAIT_TIMEOUT);
    EXPECT_TRUE(IsSignalled(go));

    // A semaphore is released by one; at its maximum nothing is waited for.
    HANDLE s = hs.add(CreateSemaphoreW(0, 1, nullptr));
    EXPECT_EQ(SignalObjectAndWait(s, done, 0, false), WAIT_TIMEOUT);
    SetLastError(ERROR_SUCCESS);
    const auto t0 = steady::now();
    EXPECT_EQ(SignalObjectAndWait(s, done, kLongMs, false), WAIT_FAILED);
    EXPECT_LT(steady::now() - t0, 5s);
    EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);

    // Waiting on what it signals finds it signalled.
    HANDLE self = hs.add(CreateEventW(false, false, nullptr));
    EXPECT_EQ(SignalObjectAndWait(self, self, 0, false), WAIT_OBJECT_0);
    EXPECT_FALSE(IsSignalled(self));
}

// --- stress ---------------------------------------------------------------

// A lost wake-up shows as a wait that runs into its (long) time-out.
TEST(KernelStress, PingPongLosesNoWakeUps) {
    Handles hs;
    HANDLE ping = hs.add(CreateEventW(false, false, nullptr));
    HANDLE pong = hs.add(CreateEventW(false, false, nullptr));
    constexpr int kRounds = 20000;
    std::atomic<int> partner_failures{0};
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (WaitForSingleObject(ping, kLongMs) != WAIT_OBJECT_0) {
                ++partner_failures;
                return;
            }
            // Alternate the two ways of answering.
            if (i & 1) SetEvent(pong);
            else if (SignalObjectAndWait(pong, ping, 0, false) == WAIT_OBJECT_0) ++partner_failures;
        }
    });
    int failures = 0;
    for (int i = 0; i < kRounds && failures == 0; ++i) {
        SetEvent(ping);
        if (WaitForSingleObject(pong, kLongMs) != WAIT_OBJECT_0) ++failures;
    }
    partner.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(partner_failures.load(), 0);
}

// Counts handed through a semaphore by several producers and consumers,
// some consuming through wait-all together with a shared manual event:
// none is lost and none taken twice.
TEST(KernelStress, SemaphoreCountsAreNeitherLostNorDuplicated) {
    Handles hs;
    HANDLE s = hs.add(CreateSemaphoreW(0, 1000000, nullptr));
    HANDLE open = hs.add(CreateEventW(true, true, nullptr));
    constexpr int kPerProducer = 5000;
    constexpr int kProducers = 2, kConsumers = 3;
    std::atomic<int> taken{0}, failures{0};
    std::vector<std::thread> ts;
    for (int p = 0; p < kProducers; ++p)
        ts.emplace_back([&] {
            for (int i = 0; i < kPerProducer; ++i) ReleaseSemaphore(s, 1, nullptr);
        });
    for (int c = 0; c < kConsumers; ++c)
        ts.emplace_back([&, c] {
            HANDLE both[] = {s, open};
            while (taken.load() < kProducers * kPerProducer) {
                std::uint32_t r = (c == 0) ? WaitForMultipleObjects(2, both, true, 50) : WaitForSingleObject(s, 50);
                if (r == WAIT_OBJECT_0) ++taken;
                else if (r != WAIT_TIMEOUT) ++failures;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(taken.load(), kProducers * kPerProducer);
    EXPECT_EQ(failures.load(), 0) << "waits failed";
    EXPECT_EQ(WaitForSingleObject(s, 0), WAIT_TIMEOUT);
}

} // namespace
