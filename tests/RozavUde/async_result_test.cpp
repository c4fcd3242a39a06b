#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RozavUde/AsyncResult.h"
#include "RozavUde/ContextAwareResult.h"
#include "RozavUde/LazyAsyncResult.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "platform/kernel_objects.h"
#include "platform/system.h"
#include "tests/support.h"

namespace {

using namespace System;
using System::Net::TContextAwareResult;
using System::Net::TLazyAsyncResult;
using System::Threading::TManualResetEvent;
using System::Threading::TWaitHandle;
using testing_support::message_of;
using testing_support::wait_until;

struct TValue : TLockableObject {
    explicit TValue(int v) : value(v) {}
    int value;
};

// Counts callbacks and clean-ups, and where the callbacks ran.
struct TCallbackProbe : TLockableObject {
    std::atomic<int> calls{0};
    std::atomic<platform::thread_id_t> lastThread{0};
    std::atomic<bool> throwInCallback{false};
    void OnComplete(gc_ptr<TAsyncResult>) {
        lastThread.store(platform::current_thread_id());
        calls.fetch_add(1);
        if (throwInCallback) throw ETimeout("callback failed");
    }
    MulticastDelegate<TIocpCompletionEvent> Callback() {
        return MulticastDelegate<TIocpCompletionEvent>::Create<&TCallbackProbe::OnComplete>(this);
    }
};

// Exposes the event bookkeeping and counts clean-ups.
template <class Base>
struct TProbed : Base {
    using Base::Base;
    std::atomic<int> cleanups{0};
    void Cleanup() override { cleanups.fetch_add(1); }
    bool HasEvent() const { return static_cast<bool>(this->event); }
    gc_ptr<TManualResetEvent> PeekEvent() const { return gc_ptr<TManualResetEvent>(this->event); }
};
using TLazy = TProbed<TLazyAsyncResult>;
using TContextAware = TProbed<TContextAwareResult>;

gc_ptr<TObject> value(int v) { return gc_ptr<TObject>(gcnew<TValue>(v)); }
int value_of(const gc_ptr<TObject>& o) { return gc_ptr<TValue>(o)->value; }

bool signalled(const gc_disposable<TWaitHandle>& h) { return h->WaitOne(0); }

TEST(AsyncResult, OwnEventStartsUnsignalledAndCompletedDoesNotSignalIt) {
    gc_ptr<TObject> owner = value(1), state = value(2);
    gc_ptr<TAsyncResult> r = gcnew<TAsyncResult>(owner, state);
    ASSERT_TRUE(r->GetAsyncWaitHandle());
    EXPECT_FALSE(signalled(r->GetAsyncWaitHandle()));
    EXPECT_FALSE(r->GetIsCompleted());
    r->Completed();
    EXPECT_TRUE(r->GetIsCompleted());
    EXPECT_FALSE(signalled(r->GetAsyncWaitHandle()));
    EXPECT_EQ(value_of(r->GetOwner()), 1);
    EXPECT_EQ(value_of(r->GetAsyncState()), 2);
    EXPECT_FALSE(r->GetCompletedSynchronously());
}

TEST(AsyncResult, EndCalledCanBeSetTwiceButNeverUnset) {
    gc_ptr<TAsyncResult> r = gcnew<TAsyncResult>(gc_ptr<TObject>(), gc_ptr<TObject>(), gc_disposable<TWaitHandle>());
    EXPECT_FALSE(r->GetAsyncWaitHandle());
    r->SetEndCalled(true);
    r->SetEndCalled(true);
    EXPECT_TRUE(r->GetEndCalled());
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { r->SetEndCalled(false); }), "EndCalled cannot be unset");
    EXPECT_TRUE(r->GetEndCalled());
}

// An I/O result makes its event only when somebody asks for it; whenever
// that happens, the handle must show the signal exactly when it was given.
TEST(AsyncIoResult, HandleMadeBeforeOrAfterTheSignalShowsIt) {
    for (bool before : {true, false}) {
        SCOPED_TRACE(before ? "handle taken before the signal" : "handle taken after the signal");
        gc_ptr<IO::TAsyncIoResult> r = gcnew<IO::TAsyncIoResult>(value(1), value(2));
        gc_disposable<TWaitHandle> early;
        if (before) {
            early = r->GetAsyncWaitHandle();
            ASSERT_TRUE(early);
            EXPECT_FALSE(signalled(early));
        }
        r->Completed();
        if (before) {
            EXPECT_FALSE(signalled(early)) << "Completed alone does not signal";
        }
        r->SignalWaitHandle();
        gc_disposable<TWaitHandle> h = r->GetAsyncWaitHandle();
        ASSERT_TRUE(h);
        EXPECT_TRUE(signalled(h));
        if (before) {
            EXPECT_EQ(h.get(), early.get()) << "one handle for the result's life";
        }
        r->WaitSignalled(); // returns at once
        EXPECT_EQ(value_of(r->GetAsyncState()), 2);
    }
}

TEST(AsyncIoResult, WaitSignalledSleepsUntilTheSignal) {
    gc_ptr<IO::TAsyncIoResult> r = gcnew<IO::TAsyncIoResult>(gc_ptr<TObject>(), gc_ptr<TObject>());
    std::atomic<bool> woke{false};
    std::thread waiter([&] {
        r->WaitSignalled();
        woke = true;
    });
    ASSERT_TRUE(wait_until([&] { return static_cast<bool>(r->GetAsyncWaitHandle()); }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woke.load());
    r->SignalWaitHandle();
    EXPECT_TRUE(wait_until([&] { return woke.load(); }, 10000)) << "the waiter was not woken";
    waiter.join();
}

// The signal and the first request for the handle racing: the handle that
// wins must end up set, and losers' events are not handed out.
TEST(AsyncIoResult, HandleRacingTheSignalEndsUpSet) {
    for (int round = 0; round < 100; ++round) {
        gc_ptr<IO::TAsyncIoResult> r = gcnew<IO::TAsyncIoResult>(gc_ptr<TObject>(), gc_ptr<TObject>());
        std::atomic<int> go{0};
        TWaitHandle* seen[2] = {};
        std::thread a([&] {
            go.fetch_add(1);
            while (go.load() < 3) {
            }
            seen[0] = r->GetAsyncWaitHandle().get();
        });
        std::thread b([&] {
            go.fetch_add(1);
            while (go.load() < 3) {
            }
            seen[1] = r->GetAsyncWaitHandle().get();
        });
        while (go.load() < 2) {
        }
        go.fetch_add(1);
        r->SignalWaitHandle();
        a.join();
        b.join();
        ASSERT_EQ(seen[0], seen[1]) << "round " << round;
        ASSERT_TRUE(signalled(r->GetAsyncWaitHandle())) << "round " << round;
    }
}

TEST(LazyAsyncResult, BuiltCompletedRunsItsCallbackBeforeTheConstructorReturns) {
    gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
    gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback(), value(7));
    EXPECT_EQ(probe->calls.load(), 1);
    EXPECT_EQ(probe->lastThread.load(), platform::current_thread_id());
    EXPECT_TRUE(r->GetIsCompleted());
    EXPECT_TRUE(r->GetCompletedSynchronously());
    EXPECT_EQ(r->cleanups.load(), 0);
    EXPECT_EQ(value_of(r->WaitForCompletion(false)), 7);
}

TEST(LazyAsyncResult, HandleTakenBeforeCompletionIsSetByIt) {
    gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
    gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback());
    gc_disposable<TWaitHandle> h = r->GetAsyncWaitHandle();
    EXPECT_FALSE(signalled(h));
    EXPECT_EQ(r->GetCompletionState(), TLazyAsyncResult::c_HighBit);
    r->InvokeCallback(value(3));
    EXPECT_TRUE(signalled(h));
    EXPECT_TRUE(r->GetAsyncWaitHandle() == h);
    EXPECT_TRUE(r->GetIsCompleted());
    EXPECT_FALSE(r->GetCompletedSynchronously());
    EXPECT_EQ(probe->calls.load(), 1);
    EXPECT_EQ(r->cleanups.load(), 1);
}

TEST(LazyAsyncResult, HandleTakenAfterCompletionIsAlreadySignalled) {
    gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), MulticastDelegate<TIocpCompletionEvent>());
    r->InvokeCallback(value(3));
    EXPECT_TRUE(r->GetCompletedSynchronously());
    EXPECT_TRUE(signalled(r->GetAsyncWaitHandle()));
    EXPECT_EQ(r->cleanups.load(), 1);
}

TEST(LazyAsyncResult, LaterCompletionsChangeNothing) {
    gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
    gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback());
    r->InvokeCallback(value(1));
    r->InvokeCallback(value(2));
    EXPECT_EQ(value_of(r->WaitForCompletion(true)), 1);
    EXPECT_EQ(probe->calls.load(), 1);
}

TEST(LazyAsyncResult, EmptyResultIsRefusedAndLeavesItRunning) {
    gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), MulticastDelegate<TIocpCompletionEvent>());
    try {
        r->InvokeCallback(gc_ptr<TObject>());
        ADD_FAILURE() << "an empty result was taken";
    } catch (const EArgumentNull& e) {
        EXPECT_EQ(e.ParamName().ToUtf8(), "result");
    }
    EXPECT_FALSE(r->GetInternalPeekCompleted());
}

TEST(LazyAsyncResult, TwoCompletersAtOnceRunTheCallbackOnce) {
    for (int round = 0; round < 200; ++round) {
        gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
        gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback());
        gc_disposable<TWaitHandle> h = round % 2 ? r->GetAsyncWaitHandle() : gc_disposable<TWaitHandle>();
        std::atomic<int> ready{0};
        auto complete = [&](int v) {
            gc_ptr<TObject> mine = value(v);
            ready.fetch_add(1);
            while (ready.load() < 2) {}
            r->InvokeCallback(mine);
        };
        std::thread a(complete, 1), b(complete, 2);
        a.join();
        b.join();
        ASSERT_EQ(probe->calls.load(), 1) << "round " << round;
        ASSERT_EQ(r->cleanups.load(), 1) << "round " << round;
        const int won = value_of(r->WaitForCompletion(true));
        ASSERT_TRUE(won == 1 || won == 2);
        if (h) {
            ASSERT_TRUE(signalled(h));
        }
    }
}

// A waiter that made the event itself closes and forgets it afterwards,
// unless somebody asked for the handle meanwhile.
TEST(LazyAsyncResult, WaitForCompletionClosesAnEventItCreated) {
    for (const bool handleTaken : {false, true}) {
        SCOPED_TRACE(handleTaken ? "handle taken while waiting" : "nobody took the handle");
        gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), MulticastDelegate<TIocpCompletionEvent>());
        std::atomic<int> got{0};
        std::thread waiter([&] { got = value_of(r->WaitForCompletion(true)); });
        ASSERT_TRUE(wait_until([&] { return r->HasEvent(); })) << "the waiter made no event";
        gc_ptr<TManualResetEvent> e = r->PeekEvent();
        platform::HANDLE raw = e->GetHandle();
        ASSERT_TRUE(testing_support::sleepers_on(raw)) << "the waiter never blocked";
        if (handleTaken) r->GetAsyncWaitHandle();
        r->InvokeCallback(value(9));
        waiter.join();
        EXPECT_EQ(got.load(), 9);
        EXPECT_EQ(r->HasEvent(), handleTaken);
        EXPECT_EQ(e->GetIsHandleInvalid(), !handleTaken);
    }
}

TEST(LazyAsyncResult, WaitForCompletionOnACompletedResultDoesNotBlock) {
    gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), MulticastDelegate<TIocpCompletionEvent>());
    r->InvokeCallback(value(4));
    EXPECT_EQ(value_of(r->WaitForCompletion(false)), 4);
    EXPECT_FALSE(r->HasEvent());
}

// Each result's callback completes the next one, so the completions nest.
struct TChain : TLockableObject {
    static constexpr int kLength = TLazyAsyncResult::c_ForceAsyncCount + 2;
    std::vector<gc_ptr<TLazy>*> results;
    std::atomic<platform::thread_id_t> ranOn[kLength] = {};
    std::atomic<int> done{0};
    ~TChain() override {
        for (auto* p : results) delete p;
    }
    void OnComplete(gc_ptr<TAsyncResult> r) {
        int i = 0;
        while (results[static_cast<std::size_t>(i)]->get() != r.get()) ++i;
        ranOn[i] = platform::current_thread_id();
        if (i + 1 < kLength) (*results[static_cast<std::size_t>(i + 1)])->InvokeCallback(r->GetAsyncState());
        done.fetch_add(1);
    }
};

TEST(LazyAsyncResult, TheFiftiethNestedCompletionRunsOnThePool) {
    gc_ptr<TChain> chain = gcnew<TChain>();
    auto cb = MulticastDelegate<TIocpCompletionEvent>::Create<&TChain::OnComplete>(chain);
    for (int i = 0; i < TChain::kLength; ++i)
        chain->results.push_back(new gc_ptr<TLazy>(gcnew<TLazy>(gc_ptr<TObject>(), value(i), cb)));
    const std::int32_t before = TLazyAsyncResult::GetCurrentThreadContext()->nestedIOCount.load();
    (*chain->results[0])->InvokeCallback(value(0));
    ASSERT_TRUE(wait_until([&] { return chain->done.load() == TChain::kLength; })) << "the offloaded tail never ran";
    const platform::thread_id_t me = platform::current_thread_id();
    for (int i = 0; i < TLazyAsyncResult::c_ForceAsyncCount - 1; ++i) EXPECT_EQ(chain->ranOn[i].load(), me) << i;
    EXPECT_NE(chain->ranOn[TLazyAsyncResult::c_ForceAsyncCount - 1].load(), me);
    for (auto* r : chain->results) ASSERT_TRUE(wait_until([&] { return (*r)->cleanups.load() == 1; }));
    ASSERT_TRUE(wait_until([&] { return TLazyAsyncResult::GetCurrentThreadContext()->nestedIOCount.load() == before; }));
}

struct NestingCase {
    const char* name;
    bool poolMissing;
    bool callbackThrows;
    int depthBefore; // nesting count already in place
};

// Failures while completing restore the nesting count and still clean up.
TEST(LazyAsyncResult, FailedCompletionRestoresTheCountAndCleansUp) {
    const NestingCase cases[] = {
        {"inline callback throws", false, true, 0},
        {"offload without a pool", true, false, TLazyAsyncResult::c_ForceAsyncCount - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
        probe->throwInCallback = c.callbackThrows;
        gc_ptr<TLazy> r = gcnew<TLazy>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback());
        auto ctx = TLazyAsyncResult::GetCurrentThreadContext();
        const std::int32_t before = ctx->nestedIOCount.load();
        ctx->nestedIOCount.fetch_add(c.depthBefore);
        auto saved = Threading::Global::g_ThreadPool;
        if (c.poolMissing) Threading::Global::g_ThreadPool = nullptr;
        std::string what;
        try {
            r->InvokeCallback(value(1));
        } catch (const Exception& e) {
            what = e.ClassName();
        }
        Threading::Global::g_ThreadPool = saved;
        ctx->nestedIOCount.fetch_sub(c.depthBefore);
        EXPECT_EQ(what, c.poolMissing ? "ENullReference" : "ETimeout");
        EXPECT_EQ(ctx->nestedIOCount.load(), before);
        EXPECT_EQ(r->cleanups.load(), 1);
        EXPECT_EQ(probe->calls.load(), c.callbackThrows ? 1 : 0);
    }
}

struct BracketCase {
    const char* name;
    bool observeFirst;   // GetAsyncWaitHandle before the completion
    bool otherThread;    // the completion comes from another thread
    bool afterBracket;   // the completion comes after FinishPostingAsyncOp
    bool finishReturns;
};

// Whatever the timing, the callback and Cleanup run once.
TEST(ContextAwareResult, CompletionInsideTheBracketRunsOnce) {
    const BracketCase cases[] = {
        {"synchronous, same thread", false, false, false, true},
        {"synchronous, another thread", false, true, false, true},
        {"observed, then completed inside", true, false, false, false},
        {"completed after the bracket", false, false, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
        gc_ptr<TContextAware> r = gcnew<TContextAware>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback());
        r->StartPostingAsyncOp();
        EXPECT_EQ(r->GetFlags(), TContextAwareResult::PostStarted);
        if (c.observeFirst) r->GetAsyncWaitHandle();
        if (!c.afterBracket) {
            if (c.otherThread) std::thread([&] { r->InvokeCallback(value(1)); }).join();
            else r->InvokeCallback(value(1));
            EXPECT_EQ(probe->calls.load(), 0) << "ran inside the bracket";
            EXPECT_TRUE(r->GetInternalPeekCompleted());
        }
        EXPECT_EQ(r->FinishPostingAsyncOp(), c.finishReturns);
        if (c.afterBracket) r->InvokeCallback(value(1));
        EXPECT_EQ(r->GetFlags(), TContextAwareResult::PostStarted | TContextAwareResult::PostFinished);
        EXPECT_FALSE(r->FinishPostingAsyncOp());
        EXPECT_EQ(probe->calls.load(), 1);
        EXPECT_EQ(r->cleanups.load(), 1);
    }
}

TEST(ContextAwareResult, WithoutABracketFinishDoesNothing) {
    gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
    gc_ptr<TContextAware> r = gcnew<TContextAware>(gc_ptr<TObject>(), gc_ptr<TObject>(), probe->Callback());
    r->InvokeCallback(value(1));
    EXPECT_FALSE(r->FinishPostingAsyncOp());
    EXPECT_EQ(probe->calls.load(), 1);
    EXPECT_EQ(r->cleanups.load(), 1);
}

} // namespace
