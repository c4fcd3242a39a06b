#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/Timer.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "tests/RozavUde/pool_fixture.h"

namespace {

using namespace pool_test;
using Clock = std::chrono::steady_clock;
using testing_support::DebugCapture;
using testing_support::message_of;
using testing_support::wait_until;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// Work that records where and when each item started, and can be held.
class TWork : public TLockableObject {
public:
    struct Start {
        int item;
        platform::thread_id_t thread;
        double at; // seconds since the recorder was made
    };
    std::atomic<int> sleepMs{0};
    std::atomic<bool> hold{false};
    std::atomic<int> done{0};

    void Run(int item) {
        {
            std::lock_guard<std::mutex> g(m_);
            starts_.push_back({item, platform::current_thread_id(), seconds_since(t0_)});
        }
        if (sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs.load()));
        while (hold.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        done.fetch_add(1);
    }
    void Throw(int kind) {
        threadOfThrow = platform::current_thread_id();
        if (kind == 0) throw Sysutils::EInvalidOperation("boom");
        throw 42;
    }
    std::vector<Start> starts() const {
        std::lock_guard<std::mutex> g(m_);
        return starts_;
    }
    std::atomic<platform::thread_id_t> threadOfThrow{0};

private:
    mutable std::mutex m_;
    std::vector<Start> starts_;
    Clock::time_point t0_ = Clock::now();
};

class ThreadPoolTest : public ::testing::Test {
protected:
    gc_ptr<TRecorder> rec = gcnew<TRecorder>();
    gc_disposable<IO::TIocp> iocp = gcnew<IO::TIocp>(rec->ExceptionEvent());
    gc_ptr<TWork> w = gcnew<TWork>();
    DisposeAtEnd<IO::TIocp> iocpEnd{iocp};

    gc_disposable<TThreadPool> pool(int min, int max) {
        return gcnew<TThreadPool>(iocp, min, max, rec->ExceptionEvent(), rec->CreateEvent(), PooledThreadEvent());
    }
};

TEST_F(ThreadPoolTest, ConstructionAndLimitErrors) {
    struct Case {
        int min, max;
        const char* message;
    };
    const Case cases[] = {
        {0, 5, "TThreadPoolBase: argument 'min' must be 1 or greater"},
        {3, 2, "TThreadPoolBase: argument 'max' must be equal to or greater than argument 'min'"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { pool(c.min, c.max); }), c.message);
    EXPECT_EQ(message_of<Sysutils::Exception>([&] { gcnew<TThreadPool>(iocp, ThreadExceptionEvent()); }),
              "TPooledThread must be supplied with a threadExceptionEvent");

    gc_disposable<TThreadPool> p = pool(1, 3);
    DisposeAtEnd<TThreadPool> end{p};
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { p->SetThreadCountMin(0); }),
              "TThreadPoolBase: ThreadCountMin must be 1 or greater");
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { p->SetThreadCountMax(0); }),
              "TThreadPoolBase: ThreadCountMax must be 1 or greater");
    p->SetThreadCountMin(5);
    EXPECT_EQ(p->GetThreadCountMax(), 5);
    EXPECT_EQ(p->GetThreadCount(), 1) << "raising the minimum starts no thread";
    p->SetThreadCountMax(2);
    EXPECT_EQ(p->GetThreadCountMin(), 2);
    EXPECT_EQ(p->GetThreadCountMax(), 2);
}

TEST_F(ThreadPoolTest, ThreadsRefuseAPoolOfTheWrongKind) {
    gc_disposable<TThreadPool> p = pool(1, 1);
    DisposeAtEnd<TThreadPool> end{p};
    gc_disposable<TThreadPoolBase> base{gc_ptr<TThreadPoolBase>(p)};
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>(
                  [&] { gcnew<TIocpThread>(base, rec->ExceptionEvent(), PooledThreadEvent(), PooledThreadEvent()); }),
              "TIocpThread is expecting threadPool to be of type IocpThreadPool");
    try {
        gcnew<TThreadPoolThread>(gc_disposable<TThreadPoolBase>(), rec->ExceptionEvent(), PooledThreadEvent(),
                                 PooledThreadEvent());
        ADD_FAILURE() << "an empty pool was taken";
    } catch (const EArgumentNull& e) {
        EXPECT_EQ(e.ParamName().ToUtf8(), "threadPool");
    }
    gc_disposable<TThreadPoolBase> ports{gc_ptr<TThreadPoolBase>(iocp->GetThreadPool())};
    EXPECT_THROW(gcnew<TThreadPoolThread>(ports, rec->ExceptionEvent(), PooledThreadEvent(), PooledThreadEvent()),
                 Sysutils::EInvalidCast);
}

TEST_F(ThreadPoolTest, DefaultPoolRunsQueuedItemsInOrderOnItsOneThread) {
    gc_disposable<TThreadPool> p =
        gcnew<TThreadPool>(iocp, rec->ExceptionEvent(), rec->CreateEvent(), PooledThreadEvent());
    DisposeAtEnd<TThreadPool> end{p};
    EXPECT_EQ(p->GetThreadCountMin(), 1);
    EXPECT_EQ(p->GetThreadCountMax(), 250);
    EXPECT_EQ(p->GetThreadCount(), 1);
    for (int i = 0; i < 10; ++i) p->QueueUserWorkItem(work<&TWork::Run>(w.get(), i));
    ASSERT_TRUE(wait_until([&] { return w->done.load() == 10; })) << "the items did not all run";
    const auto starts = w->starts();
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(starts[static_cast<std::size_t>(i)].item, i);
        EXPECT_EQ(starts[static_cast<std::size_t>(i)].thread, starts[0].thread);
    }
    EXPECT_EQ(rec->created().size(), 1u);
}

TEST_F(ThreadPoolTest, BeginInvokeCompletesAndSetsItsEventEvenWhenTheWorkThrows) {
    gc_disposable<TThreadPool> p = pool(1, 1);
    DisposeAtEnd<TThreadPool> end{p};
    gc_ptr<TAsyncThreadInvokerResult> ok = p->InternalBeginInvoke(work<&TWork::Run>(w.get(), 1));
    gc_ptr<TAsyncThreadInvokerResult> bad = p->InternalBeginInvoke(work<&TWork::Throw>(w.get(), 0));
    for (auto& r : {ok, bad}) {
        ASSERT_TRUE(r->GetAsyncWaitHandle()->WaitOne(10000)) << "the item's event was never set";
        EXPECT_TRUE(r->GetIsCompleted());
        EXPECT_TRUE(r->GetOwner() == p);
    }
    ASSERT_TRUE(wait_until([&] { return rec->reports().size() == 1; }));
    EXPECT_EQ(rec->reports()[0].message, "boom");
}

// Exceptions escaping work on the global pool go to the process-wide
// handler, once, with the thread that ran the item.
TEST_F(ThreadPoolTest, EscapingExceptionsReachTheGlobalHandler) {
    struct Case {
        const char* name;
        int kind;               // 0: an Exception, 1: another thrown object
        bool handlerSet;
        const char* expected;   // what the handler sees, or the debugger line
    };
    const Case cases[] = {
        {"Exception to the handler", 0, true, "boom"},
        {"other object to the handler", 1, true, ""},
        {"no handler", 0, false,
         "<<< THREAD EXCEPTION >>>boom (shown here because system global Iocp/ThreadPool OnThreadException is not "
         "assigned)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc_ptr<TRecorder> handler = gcnew<TRecorder>();
        DebugCapture capture;
        Global::SetThreadExceptionHandler(c.handlerSet ? handler->ExceptionEvent() : ThreadExceptionEvent());
        w->threadOfThrow = 0;
        Global::g_ThreadPool->QueueUserWorkItem(work<&TWork::Throw>(w.get(), c.kind));
        if (c.handlerSet) {
            ASSERT_TRUE(wait_until([&] { return handler->reports().size() == 1; })) << "the handler was not called";
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_EQ(handler->reports().size(), 1u);
            EXPECT_EQ(handler->reports()[0].message, c.expected);
            EXPECT_EQ(handler->reports()[0].thread, w->threadOfThrow.load());
        } else {
            ASSERT_TRUE(wait_until([&] { return capture.contains(c.expected); })) << "no default report";
        }
        Global::SetThreadExceptionHandler(ThreadExceptionEvent());
    }
}

class TThrowingHandler : public TLockableObject {
public:
    void OnException(gc_ptr<TPooledThread>, Sysutils::Exception*) { throw Sysutils::EInvalidOperation("handler broke"); }
};

TEST_F(ThreadPoolTest, AFailingHandlerIsReportedAndTheThreadGoesOn) {
    gc_ptr<TThrowingHandler> h = gcnew<TThrowingHandler>();
    gc_disposable<TThreadPool> p = gcnew<TThreadPool>(
        iocp, 1, 1, ThreadExceptionEvent::Of<&TThrowingHandler::OnException>(h.get()));
    DisposeAtEnd<TThreadPool> end{p};
    DebugCapture capture;
    p->QueueUserWorkItem(work<&TWork::Throw>(w.get(), 0));
    p->QueueUserWorkItem(work<&TWork::Run>(w.get(), 1));
    ASSERT_TRUE(wait_until([&] { return w->done.load() == 1; })) << "the thread stopped after the failure";
    EXPECT_TRUE(capture.contains("Exception in ThreadExceptionEvent callback - handler broke"));
}

class TUnmanaged {
public:
    void Run() { ran = true; }
    std::atomic<bool> ran{false};
};

TEST_F(ThreadPoolTest, UnsafeTargetsRunWithAWarning) {
    gc_disposable<TThreadPool> p = pool(1, 1);
    DisposeAtEnd<TThreadPool> end{p};
    TUnmanaged target;
    DebugCapture capture;
    gc_ptr<TAsyncThreadInvokerResult> r = p->InternalBeginInvoke(
        gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<&TUnmanaged::Run>(&target)));
    ASSERT_TRUE(r->GetAsyncWaitHandle()->WaitOne(10000));
    EXPECT_TRUE(target.ran);
    EXPECT_TRUE(capture.contains("ThreadPool warning: Invoking an unsafe method!"));
}

TEST_F(ThreadPoolTest, CloseDrainsTheQueueAndRefusesOnlyBeginInvoke) {
    gc_disposable<TThreadPool> p = pool(1, 1);
    w->hold = true;
    for (int i = 0; i < 5; ++i) p->QueueUserWorkItem(work<&TWork::Run>(w.get(), i));
    ASSERT_TRUE(wait_until([&] { return w->starts().size() == 1; }));
    std::atomic<bool> closed{false};
    std::thread closer([&] {
        p.Dispose();
        closed = true;
    });
    ASSERT_TRUE(wait_until([&] { return p->GetClosing(); })) << "Close did not begin";
    EXPECT_THROW(p->InternalBeginInvoke(work<&TWork::Run>(w.get(), 99)), EObjectDisposed);
    p->QueueUserWorkItem(work<&TWork::Run>(w.get(), 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(closed.load()) << "Close returned with work queued";
    w->hold = false;
    const bool finished = wait_until([&] { return closed.load(); });
    closer.join();
    ASSERT_TRUE(finished) << "Close never returned";
    EXPECT_EQ(w->done.load(), 6);
    const auto starts = w->starts();
    for (int i = 0; i < 6; ++i) EXPECT_EQ(starts[static_cast<std::size_t>(i)].item, i);
    for (TPooledThread* t : rec->created()) EXPECT_TRUE(t->GetFinished());
    EXPECT_EQ(p.get()->GetThreadCount(), 0);
}

// Threads above the minimum retire after their idle wait; a thread with
// overlapped I/O outstanding never does.
TEST_F(ThreadPoolTest, IdleThreadsRetireAboveTheMinimumButNotWithPendingIo) {
    gc_disposable<TThreadPool> p = pool(1, 10);
    DisposeAtEnd<TThreadPool> end{p};
    p->SetThreadIdleTimeout(300);
    // The first thread takes the shorter wait from its next wait on.
    p->QueueUserWorkItem(work<&TWork::Run>(w.get(), 0));
    ASSERT_TRUE(wait_until([&] { return w->done.load() == 1; }));
    p->AddNewThread();
    p->AddNewThread();
    ASSERT_EQ(p->GetThreadCount(), 3);
    // Park an operation on whichever thread takes this item.
    struct TIssuer : TLockableObject {
        gc_disposable<IO::TIocp> iocp;
        gc_ptr<IO::TIocpCallback> op;
        std::atomic<platform::thread_id_t> thread{0};
        void Issue() {
            op = gcnew<IO::TIocpCallback>(iocp, MulticastDelegate<IO::TInternalIocpCompletionEvent>(),
                                          gcnew<IO::TAsyncIoResult>(gc_ptr<TObject>(), gc_ptr<TObject>()));
            thread = platform::current_thread_id();
        }
    };
    gc_ptr<TIssuer> issuer = gcnew<TIssuer>();
    issuer->iocp = iocp;
    p->QueueUserWorkItem(work<&TIssuer::Issue>(issuer.get()));
    ASSERT_TRUE(wait_until([&] { return issuer->thread.load() != 0; }));
    const platform::thread_id_t busy = issuer->thread;
    gc_ptr<TPooledThread> issuerThread(rec->thread_with_id(busy));
    ASSERT_TRUE(issuerThread);
    EXPECT_TRUE(iocp->HasIoPending(busy));

    ASSERT_TRUE(wait_until([&] { return p->GetThreadCount() == 1; })) << "idle threads did not retire";
    EXPECT_FALSE(issuerThread->GetFinished()) << "the thread with pending I/O retired";
    int finished = 0;
    for (TPooledThread* t : rec->created()) finished += t->GetFinished();
    EXPECT_EQ(finished, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(p->GetThreadCount(), 1) << "a thread retired below the minimum";

    // The rule itself, with the count above the minimum again.
    p->AddNewThread();
    EXPECT_FALSE(p->RemoveThread(issuerThread));
    issuer->op->SetIoFailed();
    EXPECT_FALSE(iocp->HasIoPending(busy));
    EXPECT_TRUE(p->RemoveThread(issuerThread));
}

// Growth needs the helper thread, which carries out the delayed adds.
class ThreadPoolGrowthTest : public ThreadPoolTest {
protected:
    void SetUp() override { Async->Initialize(); }
};

TEST_F(ThreadPoolGrowthTest, BusyThreadsAreJoinedByOneMoreEachSecond) {
    gc_disposable<TThreadPool> p =
        gcnew<TThreadPool>(iocp, rec->ExceptionEvent(), rec->CreateEvent(), PooledThreadEvent());
    DisposeAtEnd<TThreadPool> end{p};
    w->sleepMs = 400;
    for (int i = 0; i < 10; ++i) p->QueueUserWorkItem(work<&TWork::Run>(w.get(), i));
    ASSERT_TRUE(wait_until([&] { return w->done.load() == 10; }, 30000)) << "the items did not all run";
    const auto starts = w->starts();
    // Taken from the queue in order, whichever thread took them.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(starts[static_cast<std::size_t>(i)].item, i);
    // When each thread took its first item.
    std::vector<std::pair<platform::thread_id_t, double>> firsts;
    for (const auto& s : starts) {
        bool seen = false;
        for (const auto& f : firsts) seen |= f.first == s.thread;
        if (!seen) firsts.push_back({s.thread, s.at});
    }
    ASSERT_GE(firsts.size(), 2u) << "no thread was added while all were busy";
    for (const auto& s : starts) {
        if (s.at < firsts[1].second) {
            EXPECT_EQ(s.thread, firsts[0].first) << "item " << s.item;
        }
    }
    for (std::size_t i = 1; i < firsts.size(); ++i) {
        const double gap = firsts[i].second - firsts[i - 1].second;
        EXPECT_GT(gap, 0.9) << "thread " << i << " came too early";
        EXPECT_LT(gap, 3.0) << "thread " << i << " came too late";
    }
    EXPECT_EQ(static_cast<std::size_t>(p->GetThreadCount()), firsts.size());
}

TEST_F(ThreadPoolGrowthTest, APendingAddIsCancelledWhenTheThreadsGoIdle) {
    const int P = static_cast<int>(platform::processor_count());
    gc_disposable<TThreadPool> p = pool(P, P + 5);
    DisposeAtEnd<TThreadPool> end{p};
    w->hold = true;
    for (int i = 0; i < P; ++i) p->QueueUserWorkItem(work<&TWork::Run>(w.get(), i));
    ASSERT_TRUE(wait_until([&] { return p->GetAddPending(); })) << "busy threads asked for no thread";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    w->hold = false;
    ASSERT_TRUE(wait_until([&] { return w->done.load() == P; }));
    ASSERT_TRUE(wait_until([&] { return !p->GetAddPending(); })) << "the add was not cancelled";
    EXPECT_EQ(Async->GetDelayedAddCount(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(p->GetThreadCount(), P);
}

TEST_F(ThreadPoolGrowthTest, APoolAtItsMaximumNeverAsksForAThread) {
    gc_disposable<TThreadPool> p = pool(1, 1);
    DisposeAtEnd<TThreadPool> end{p};
    w->sleepMs = 1300;
    p->QueueUserWorkItem(work<&TWork::Run>(w.get(), 0));
    p->QueueUserWorkItem(work<&TWork::Run>(w.get(), 1));
    ASSERT_TRUE(wait_until([&] { return w->starts().size() == 1; }));
    const auto t0 = Clock::now();
    while (seconds_since(t0) < 1.5) {
        ASSERT_FALSE(p->GetAddPending());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(p->GetThreadCount(), 1);
    EXPECT_EQ(Async->GetDelayedAddCount(), 0);
}

TEST_F(ThreadPoolGrowthTest, TimersFireAsWorkItemsOfTheirPool) {
    gc_disposable<TThreadPool> p = pool(1, 1);
    DisposeAtEnd<TThreadPool> end{p};
    gc_disposable<TAsyncHelperThread::TTimer> t = p->RegisterTimer(work<&TWork::Run>(w.get(), 7), 20, -1);
    ASSERT_TRUE(wait_until([&] { return w->done.load() == 1; })) << "the timer never fired";
    EXPECT_EQ(w->starts()[0].thread, rec->created()[0]->GetThreadID());
    t.Dispose();
}

} // namespace
