// Pool timers through the running helper thread: due times and periods,
// the outstanding-firing limit and catch-up, Change, Dispose, failures of
// callbacks and pools. Times are generous: the machine may be loaded.
#include "RozavUde/Timer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "RozavUde/ThreadPoolGlobals.h"
#include "RozavUde/TimerTable.h"
#include "tests/GC/gc_fixture.h"
#include "tests/RozavUde/pool_fixture.h"
#include "tests/support.h"

using namespace System;
using namespace System::Threading;
using pool_test::DisposeAtEnd;
using testing_support::message_of;
using testing_support::wait_until;
using TTimer = TAsyncHelperThread::TTimer;

namespace {

// Counts firings with their times; can hold every callback at a gate.
class TTicks : public TLockableObject {
public:
    void Tick() {
        {
            std::lock_guard<std::mutex> g(m_);
            at_.push_back(platform::tick_count64());
        }
        entered_.fetch_add(1);
        while (held_.load()) platform::sleep_ms(1);
    }
    void Throw() {
        entered_.fetch_add(1);
        throw Sysutils::EInvalidOperation("timer callback failed");
    }
    gc_ptr<InvokePtrImplBaseBase> Callback() { return pool_test::work<&TTicks::Tick>(this); }
    gc_ptr<InvokePtrImplBaseBase> Thrower() { return pool_test::work<&TTicks::Throw>(this); }

    int count() const { return entered_.load(); }
    std::vector<std::uint64_t> times() const {
        std::lock_guard<std::mutex> g(m_);
        return at_;
    }
    void hold() { held_.store(true); }
    void release() { held_.store(false); }

private:
    mutable std::mutex m_;
    std::vector<std::uint64_t> at_;
    std::atomic<int> entered_{0};
    std::atomic<bool> held_{false};
};

class TimerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Async->Initialize(); }

    void SetUp() override {
        ticks = gcnew<TTicks>();
        pool = gcnew<TThreadPool>(Global::g_Iocp, 4, 4, Internal::ThreadExceptionDispatcher());
        guard.target = pool;
    }
    // Every test starts and ends with an empty table.
    void TearDown() override {
        ticks->release();
        Async->UnregisterAllTimers(gc_disposable<TThreadPoolBase>());
    }

    gc_ptr<TTimer> Register(int dueTime, int period, const gc_ptr<TTicks>& t) {
        return Async->RegisterTimer(pool, t->Callback(), static_cast<unsigned long>(dueTime),
                                    static_cast<unsigned long>(period));
    }
    gc_ptr<TTimer> Register(int dueTime, int period) { return Register(dueTime, period, ticks); }

    static bool active(const gc_ptr<TTimer>& t) { return Async->Timers().IsActive(t->GetTimerInternal().get()); }
    static bool parked(const gc_ptr<TTimer>& t) { return Async->Timers().IsParked(t->GetTimerInternal().get()); }
    // Waits ms and says whether the count stayed as it was.
    bool stays(int expected, int ms) {
        platform::sleep_ms(static_cast<std::uint32_t>(ms));
        return ticks->count() == expected;
    }

    gc_ptr<TTicks> ticks;
    gc_disposable<TThreadPool> pool;
    DisposeAtEnd<TThreadPool> guard;
};

TEST_F(TimerTest, OneShotFiresOnceAfterItsDueTimeThenParksAndChangeZeroFiresAgain) {
    const std::uint64_t start = platform::tick_count64();
    gc_ptr<TTimer> t = Register(1000, -1);
    EXPECT_TRUE(active(t));
    ASSERT_TRUE(wait_until([&] { return ticks->count() == 1; }, 5000)) << "the timer never fired";
    const std::uint64_t late = ticks->times()[0] - start;
    EXPECT_GE(late, 950u);
    EXPECT_LE(late, 1400u);
    EXPECT_TRUE(stays(1, 300)) << "a one-shot timer fired again";
    EXPECT_TRUE(parked(t));
    EXPECT_FALSE(active(t));

    t->Change(0, -1);
    ASSERT_TRUE(wait_until([&] { return ticks->count() == 2; }, 2000)) << "Change(0, -1) did not fire";
    EXPECT_TRUE(stays(2, 200));
}

// Every combination of the two times, all running side by side for 700 ms.
TEST_F(TimerTest, DueTimeAndPeriodDecideFiringsAndList) {
    struct Case {
        int due, period, least, most;
        bool activeAfter;
    };
    const Case cases[] = {
        {-1, 50, 0, 0, false},  // parked, never fires
        {0, -1, 1, 1, false},   // once, at once
        {0, 0, 1, 1, false},
        {0, 200, 3, 5, true},   // at 0, 200, 400, 600
        {200, -1, 1, 1, false}, // once after its due time
        {200, 0, 1, 1, false},
        {200, 200, 2, 4, true}, // 200, 400, 600
    };
    std::vector<gc_ptr<TTicks>> counters;
    std::vector<gc_ptr<TTimer>> timers;
    for (const Case& c : cases) {
        counters.push_back(gcnew<TTicks>());
        timers.push_back(Register(c.due, c.period, counters.back()));
    }
    platform::sleep_ms(700);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << "due " << c.due << " period " << c.period);
        EXPECT_GE(counters[i]->count(), c.least);
        EXPECT_LE(counters[i]->count(), c.most);
        EXPECT_EQ(active(timers[i]), c.activeAfter);
        EXPECT_EQ(parked(timers[i]), !c.activeAfter);
    }
}

TEST_F(TimerTest, DueZeroFiresFromTheRegisteringCallThenEveryPeriod) {
    const std::uint64_t start = platform::tick_count64();
    gc_ptr<TTimer> t = Register(0, 100);
    ASSERT_TRUE(wait_until([&] { return ticks->count() >= 1; }, 2000));
    EXPECT_LE(ticks->times()[0] - start, 100u) << "the first firing was not immediate";
    ASSERT_TRUE(wait_until([&] { return ticks->count() >= 11; }, 5000));
    // Firings follow the period's grid: the k-th is due at start + k * 100.
    const std::vector<std::uint64_t> at = ticks->times();
    for (std::size_t k = 1; k < 11; ++k) {
        SCOPED_TRACE(k);
        EXPECT_GE(at[k] - start, k * 100);
        EXPECT_LE(at[k] - start, k * 100 + 300);
    }
}

TEST_F(TimerTest, BlockedPoolHoldsFifteenFiringsAndMissedPeriodsAreMadeUp) {
    gc_disposable<TThreadPool> one = gcnew<TThreadPool>(Global::g_Iocp, 1, 1, Internal::ThreadExceptionDispatcher());
    DisposeAtEnd<TThreadPool> oneGuard{one};
    ticks->hold();
    const std::uint64_t start = platform::tick_count64();
    gc_ptr<TTimer> t = Async->RegisterTimer(one, ticks->Callback(), 0, 20);
    auto inner = t->GetTimerInternal();
    // 600 ms is 30 periods: only 15 firings may be outstanding.
    ASSERT_TRUE(wait_until([&] { return inner->GetOutstandingTaskCount() == 15; }, 5000));
    platform::sleep_ms(300);
    EXPECT_EQ(inner->GetOutstandingTaskCount(), 15);
    EXPECT_EQ(ticks->count(), 1) << "the pool's only thread is held by the first firing";

    ticks->release();
    // Once the queue drains the helper catches up, one firing per missed
    // period: the total returns to the period grid.
    ASSERT_TRUE(wait_until(
        [&] {
            const std::uint64_t due = (platform::tick_count64() - start) / 20;
            return static_cast<std::uint64_t>(ticks->count()) + 3 >= due && ticks->count() > 45;
        },
        5000))
        << "fired " << ticks->count() << " times in " << platform::tick_count64() - start << " ms";
    t->Dispose();
    ASSERT_TRUE(wait_until([&] { return inner->GetOutstandingTaskCount() == 0; }, 5000));
    const int total = ticks->count();
    EXPECT_LE(static_cast<std::uint64_t>(total), (platform::tick_count64() - start) / 20 + 2) << "fired ahead of time";
}

TEST_F(TimerTest, ChangeMovesTimerBetweenListsAndRestartsItsClock) {
    gc_ptr<TTimer> t = Register(-1, -1);
    EXPECT_TRUE(parked(t));
    t->Change(300, -1);
    EXPECT_TRUE(active(t));
    platform::sleep_ms(200);
    const std::uint64_t restart = platform::tick_count64();
    t->Change(300, -1); // the clock starts again from here
    ASSERT_TRUE(wait_until([&] { return ticks->count() == 1; }, 3000));
    EXPECT_GE(ticks->times()[0] - restart, 290u);
    t->Change(50, 50);
    ASSERT_TRUE(wait_until([&] { return ticks->count() >= 3; }, 3000));
    t->Change(-1, 50);
    EXPECT_TRUE(parked(t));
    const int now = ticks->count();
    EXPECT_TRUE(stays(now, 250)) << "a timer changed to due time -1 kept firing";
}

TEST_F(TimerTest, BadTimesAreRefusedWithTheirMessages) {
    struct Case {
        int due, period;
        const char* message;
    };
    const Case cases[] = {
        {-2, 0, "System::Threading::Timer: value for dueTime must be -1 or greater"},
        {0, -2, "System::Threading::Timer: value for period must be -1 or greater"},
        {-2, -2, "System::Threading::Timer: value for dueTime must be -1 or greater"},
    };
    gc_ptr<TTimer> t = Register(-1, -1);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.due << ", " << c.period);
        EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { t->Change(c.due, c.period); }), c.message);
        EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { Register(c.due, c.period); }), c.message);
    }
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>(
                  [&] { Async->RegisterTimer(pool, gc_ptr<InvokePtrImplBaseBase>(), 0, 0); }),
              "System::Threading::Timer needs a callback");
    EXPECT_TRUE(parked(t)) << "a refused Change altered the timer";
}

TEST_F(TimerTest, DisposedTimerStillRunsItsQueuedFiringButNoMore) {
    gc_disposable<TThreadPool> one = gcnew<TThreadPool>(Global::g_Iocp, 1, 1, Internal::ThreadExceptionDispatcher());
    DisposeAtEnd<TThreadPool> oneGuard{one};
    gc_ptr<TTicks> blocker = gcnew<TTicks>();
    blocker->hold();
    one->QueueUserWorkItem(blocker->Callback());
    ASSERT_TRUE(wait_until([&] { return blocker->count() == 1; }, 5000));

    gc_disposable<TTimer> t = Async->RegisterTimer(one, ticks->Callback(), 0, 100);
    auto inner = t->GetTimerInternal();
    ASSERT_EQ(inner->GetOutstandingTaskCount(), 1);
    t.Dispose();
    EXPECT_FALSE(active(t));
    EXPECT_FALSE(parked(t));
    blocker->release();
    ASSERT_TRUE(wait_until([&] { return ticks->count() == 1; }, 5000)) << "the queued firing did not run";
    EXPECT_TRUE(stays(1, 400));
    EXPECT_EQ(inner->GetOutstandingTaskCount(), 0);
    EXPECT_NO_THROW(inner->Unregister()); // once only
}

TEST_F(TimerTest, ThrowingCallbackIsReportedAndStillCountedAsFinished) {
    testing_support::DebugCapture capture;
    gc_ptr<TTimer> t = Async->RegisterTimer(pool, ticks->Thrower(), 0, 50);
    ASSERT_TRUE(wait_until([&] { return ticks->count() >= 3; }, 5000)) << "a throwing timer stopped firing";
    ASSERT_TRUE(wait_until([&] { return capture.contains("<<< THREAD EXCEPTION >>>timer callback failed"); }, 5000));
    t->Dispose();
    ASSERT_TRUE(wait_until([&] { return t->GetTimerInternal()->GetOutstandingTaskCount() == 0; }, 5000));
}

TEST_F(TimerTest, CallbackOnAnUnmanagedObjectIsWarnedAboutAndStillRuns) {
    struct Plain {
        std::atomic<int> calls{0};
        void Tick() { calls.fetch_add(1); }
    };
    static Plain plain;
    testing_support::DebugCapture capture;
    gc_ptr<TTimer> t = Async->RegisterTimer(
        pool, gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<&Plain::Tick>(&plain)), 0, -1);
    ASSERT_TRUE(wait_until([&] { return plain.calls.load() == 1; }, 5000));
    EXPECT_TRUE(capture.contains("System.Threading.Timer warning: Invoking an unsafe method!"));
}

// A firing that cannot be queued any more must not end the helper thread:
// the other timers go on.
TEST_F(TimerTest, DisposedPoolDoesNotStopTheHelper) {
    gc_disposable<TThreadPool> doomed = gcnew<TThreadPool>(Global::g_Iocp, 1, 1, Internal::ThreadExceptionDispatcher());
    doomed.Dispose();
    gc_ptr<TTicks> lost = gcnew<TTicks>();
    gc_ptr<TTimer> orphan = Async->RegisterTimer(doomed, lost->Callback(), 0, 20);
    gc_ptr<TTimer> t = Register(0, 20);
    ASSERT_TRUE(wait_until([&] { return ticks->count() >= 10; }, 5000)) << "the helper stopped servicing";
    // Every firing of the orphan was refused, and none stays counted.
    EXPECT_EQ(orphan->GetTimerInternal()->GetOutstandingTaskCount(), 0);
    EXPECT_EQ(lost->count(), 0);
}

TEST_F(TimerTest, UnregisterAllTimersTakesOnlyThatPoolsTimers) {
    gc_disposable<TThreadPool> other = gcnew<TThreadPool>(Global::g_Iocp, 1, 1, Internal::ThreadExceptionDispatcher());
    DisposeAtEnd<TThreadPool> otherGuard{other};
    gc_ptr<TTimer> mine = Register(-1, -1);
    gc_ptr<TTimer> mine2 = Register(10000, -1);
    gc_ptr<TTimer> theirs = Async->RegisterTimer(other, ticks->Callback(), 10000, -1);
    Async->UnregisterAllTimers(pool);
    EXPECT_FALSE(parked(mine));
    EXPECT_FALSE(active(mine2));
    EXPECT_TRUE(active(theirs));
    EXPECT_TRUE(mine->GetTimerInternal()->GetUnregistered());
    theirs->Dispose();
}

// A timer whose handle is dropped is finalized and leaves the table.
TEST_F(TimerTest, DroppedTimerIsUnregisteredByItsFinalizer) {
    ASSERT_EQ(Async->Timers().ActiveCount(), 0);
    gc_test::in_own_frame([&] { Register(60000, -1); });
    EXPECT_EQ(Async->Timers().ActiveCount(), 1);
    ASSERT_TRUE(wait_until(
        [&] {
            gc_detail::collect(3);
            return Async->Timers().ActiveCount() == 0;
        },
        10000))
        << "the dropped timer stayed in the table";
}

} // namespace
