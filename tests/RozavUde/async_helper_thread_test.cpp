// The helper thread's life: started by Initialize only, its collector
// thread taking requests, a shutdown that leaves no thread behind, and the
// delayed thread additions it carries out for the pools. The life cases
// run in a child process each, since starting the helper is once per
// process.
#include "RozavUde/AsyncHelperThread.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RozavUde/ThreadPoolGlobals.h"
#include "RozavUde/Timer.h"
#include "RozavUde/TimerTable.h"
#include "tests/GC/gc_fixture.h"
#include "tests/RozavUde/pool_fixture.h"
#include "tests/support.h"

using namespace System;
using namespace System::Threading;
using testing_support::wait_until;

namespace {

class TCounter : public TLockableObject {
public:
    void Tick() { count.fetch_add(1); }
    std::atomic<int> count{0};
    gc_ptr<InvokePtrImplBaseBase> Callback() { return pool_test::work<&TCounter::Tick>(this); }
};

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// The children must start from a fresh process: a forked one would have
// none of the pools' threads.
class AsyncHelperLife : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::_Exit(1);
}

} // namespace

TEST_F(AsyncHelperLife, InitializeStartsOnceAndShutdownLeavesNoThread) {
    EXPECT_EXIT(
        {
            const int before = thread_count();
            if (Async->GetStarted()) fail("started before Initialize");
            if (!Async->Initialize()) fail("first Initialize did not start");
            if (Async->Initialize()) fail("second Initialize started again");
            if (thread_count() != before + 2) fail("Initialize did not add exactly two threads");
            if (!wait_until([] { return Async->GcControl().running.load(); }, 5000))
                fail("collector thread did not run");
            System::Threading::Internal::ShutdownAsyncHelper();
            if (!Async->GetTerminated() || !TAsyncHelperThread::HelperTerminated()) fail("not terminated");
            if (Async->GcControl().running.load()) fail("collector thread still running");
            if (thread_count() != before) fail("threads left after shutdown");
            System::Threading::Internal::ShutdownAsyncHelper(); // again: nothing to do
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AsyncHelperLife, CollectorThreadTakesRequests) {
    EXPECT_EXIT(
        {
            Async->Initialize();
            Async->GcCollect(3);
            if (!wait_until([] { return !Async->GcControl().request_pending.load(); }, 5000))
                fail("collection request not taken");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AsyncHelperLife, NoTimerFiresBeforeInitialize) {
    EXPECT_EXIT(
        {
            gc_ptr<TCounter> c = gcnew<TCounter>();
            gc_ptr<TAsyncHelperThread::TTimer> t = Async->RegisterTimer(Global::g_ThreadPool, c->Callback(), 20, 20);
            platform::sleep_ms(300);
            if (c->count.load() != 0) fail("a timer fired before Initialize");
            Async->Initialize();
            if (!wait_until([&] { return c->count.load() >= 3; }, 5000)) fail("no firing after Initialize");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// A firing queued before the helper stopped runs later and must not call
// the user's delegate; it still counts as finished.
TEST_F(AsyncHelperLife, FiringAfterTerminationSkipsTheDelegate) {
    EXPECT_EXIT(
        {
            Async->Initialize();
            gc_disposable<TThreadPool> one =
                gcnew<TThreadPool>(Global::g_Iocp, 1, 1, Internal::ThreadExceptionDispatcher());
            std::atomic<bool> hold{true};
            struct TBlocker : TLockableObject {
                std::atomic<bool>* hold;
                void Run() { while (hold->load()) platform::sleep_ms(1); }
            };
            gc_ptr<TBlocker> b = gcnew<TBlocker>();
            b->hold = &hold;
            one->QueueUserWorkItem(pool_test::work<&TBlocker::Run>(b.get()));
            gc_ptr<TCounter> c = gcnew<TCounter>();
            gc_ptr<TAsyncHelperThread::TTimer> t = Async->RegisterTimer(one, c->Callback(), 0, -1);
            auto inner = t->GetTimerInternal();
            Internal::ShutdownAsyncHelper();
            hold.store(false);
            if (!wait_until([&] { return inner->GetOutstandingTaskCount() == 0; }, 5000)) fail("firing never ended");
            if (c->count.load() != 0) fail("the delegate ran after termination");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// Timers dropped without Dispose are finalized while the helper queues
// firings: the finalizer takes the table's lock, so the helper must never
// wait for a collection while holding it. A hang here is the failure.
TEST_F(AsyncHelperLife, FinalizedTimersWhileFiringDoNotHang) {
    EXPECT_EXIT(
        {
            std::thread([] {
                platform::sleep_ms(60000);
                fail("hung: timer finalizers and the helper wait for each other");
            }).detach();
            Async->Initialize();
            gc_ptr<TCounter> c = gcnew<TCounter>();
            const std::uint64_t end = platform::tick_count64() + 1500;
            int round = 0;
            while (platform::tick_count64() < end) {
                gc_test::in_own_frame([&] {
                    for (int i = 0; i < 40; ++i)
                        Async->RegisterTimer(Global::g_ThreadPool, c->Callback(), static_cast<unsigned long>(i % 3),
                                             static_cast<unsigned long>(1 + i % 3));
                });
                platform::sleep_ms(static_cast<std::uint32_t>(round++ % 5));
                gc_detail::collect(3);
            }
            for (int i = 0; i < 5; ++i) gc_detail::collect(3);
            if (c->count.load() == 0) fail("no timer fired");
            if (!wait_until(
                    [] {
                        gc_detail::collect(3);
                        return Async->Timers().ActiveCount() == 0;
                    },
                    20000))
                fail("dropped timers stayed registered");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

class DelayedAdd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { Async->Initialize(); }
    void SetUp() override {
        pool = gcnew<TThreadPool>(Global::g_Iocp, 1, 4, Internal::ThreadExceptionDispatcher());
        guard.target = pool;
        platform::sleep_ms(100); // its first thread has started and gone idle
    }
    int threads() { return pool->GetThreadCount(); }

    gc_disposable<TThreadPool> pool;
    pool_test::DisposeAtEnd<TThreadPool> guard;
};

TEST_F(DelayedAdd, AddsOneThreadAboutASecondLater) {
    ASSERT_EQ(threads(), 1);
    const std::uint64_t start = platform::tick_count64();
    Async->DelayedAddPooledThread(pool, 1000);
    EXPECT_EQ(Async->GetDelayedAddCount(), 1);
    ASSERT_TRUE(wait_until([&] { return threads() == 2; }, 5000)) << "no thread was added";
    const std::uint64_t took = platform::tick_count64() - start;
    EXPECT_GE(took, 990u);
    EXPECT_LE(took, 1600u);
    EXPECT_EQ(Async->GetDelayedAddCount(), 0);
}

TEST_F(DelayedAdd, SecondRequestWhilePendingChangesNothing) {
    Async->DelayedAddPooledThread(pool, 1000);
    platform::sleep_ms(500);
    Async->DelayedAddPooledThread(pool, 1000);
    EXPECT_EQ(Async->GetDelayedAddCount(), 1);
    ASSERT_TRUE(wait_until([&] { return threads() == 2; }, 5000));
    platform::sleep_ms(1000); // past the second request's own due time
    EXPECT_EQ(threads(), 2);
}

TEST_F(DelayedAdd, CancelledRequestAddsNothing) {
    Async->DelayedAddPooledThread(pool, 1000);
    Async->CancelAddPooledThread(pool);
    EXPECT_EQ(Async->GetDelayedAddCount(), 0);
    platform::sleep_ms(1500);
    EXPECT_EQ(threads(), 1);
}

TEST_F(DelayedAdd, RequestsOfOtherPoolsAreKeptApart) {
    gc_disposable<TThreadPool> other = gcnew<TThreadPool>(Global::g_Iocp, 1, 4, Internal::ThreadExceptionDispatcher());
    pool_test::DisposeAtEnd<TThreadPool> otherGuard{other};
    Async->DelayedAddPooledThread(pool, 1000);
    Async->DelayedAddPooledThread(other, 1000);
    EXPECT_EQ(Async->GetDelayedAddCount(), 2);
    Async->CancelAddPooledThread(other);
    ASSERT_TRUE(wait_until([&] { return threads() == 2; }, 5000));
    EXPECT_EQ(other->GetThreadCount(), 1);
}

// The cycle takes due timers from its schedule but queues them in the
// order of the active list, as a walk of the list would. The helper is not
// started here, so the test runs the cycle itself.
class TOrder : public TLockableObject {
public:
    void Mark(int i) {
        std::lock_guard<std::mutex> g(m_);
        seen_ += static_cast<char>('A' + i);
    }
    std::string Seen() {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }
private:
    std::mutex m_;
    std::string seen_;
};

void cycle_in_list_order() {
    gc_disposable<TThreadPool> one = gcnew<TThreadPool>(Global::g_Iocp, 1, 1, Internal::ThreadExceptionDispatcher());
    gc_ptr<TOrder> order = gcnew<TOrder>();
    const int due[] = {40, 10, 30, 20};
    std::vector<gc_ptr<TAsyncHelperThread::TTimer>> timers;
    for (int i = 0; i < 4; ++i)
        timers.push_back(Async->RegisterTimer(one, pool_test::work<&TOrder::Mark>(order.get(), i),
                                              static_cast<unsigned long>(due[i]), static_cast<unsigned long>(-1)));
    timers[0]->Change(40, -1); // stays in place: it is listed already
    platform::sleep_ms(100);
    Async->ServiceTimers();
    if (!wait_until([&] { return order->Seen().size() == 4; }, 5000)) fail("not every timer fired");
    if (order->Seen() != "ABCD") fail(("fired in the order " + order->Seen()).c_str());
    std::exit(0);
}

TEST_F(AsyncHelperLife, OneCycleQueuesDueTimersInListOrder) {
    EXPECT_EXIT(cycle_in_list_order(), ::testing::ExitedWithCode(0), "");
}
