#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "RozavUde/ThreadPoolGlobals.h"
#include "platform/completion_port.h"
#include "tests/RozavUde/pool_fixture.h"

namespace {

using namespace pool_test;
using IO::TAsyncIoResult;
using IO::TIocp;
using IO::TIocpCallback;
using testing_support::message_of;
using testing_support::wait_until;

// The owner of operations: its completion method records what it saw.
class TOwner : public TLockableObject {
public:
    std::atomic<int> calls{0};
    std::atomic<std::uint32_t> bytes{0}, error{0};
    std::atomic<bool> completed{false}, stillPending{false};
    std::atomic<platform::thread_id_t> thread{0};
    std::atomic<bool> fail{false};
    gc_disposable<TIocp> iocp;

    void OnCompletion(const gc_ptr<TIocpCallback> cb, gc_ptr<TAsyncResult> r) {
        gc_ptr<TAsyncIoResult> io(r);
        bytes = io->GetBytesTransferred();
        error = io->GetErrorCode();
        completed = io->GetIsCompleted();
        stillPending = cb->GetThreadId() != 0;
        thread = platform::current_thread_id();
        calls.fetch_add(1);
        if (fail) throw Sysutils::EInvalidOperation("owner failed");
    }
    gc_ptr<TIocpCallback> Issue() {
        return gcnew<TIocpCallback>(iocp, MulticastDelegate<IO::TInternalIocpCompletionEvent>::Create<&TOwner::OnCompletion>(this),
                                    gcnew<TAsyncIoResult>(self(), gc_ptr<TObject>()));
    }
    gc_ptr<TObject> self() { return gc_ptr<TObject>(gc_ptr<TOwner>(this)); }
};

class IocpTest : public ::testing::Test {
protected:
    gc_ptr<TRecorder> rec = gcnew<TRecorder>();
    gc_disposable<TIocp> iocp = gcnew<TIocp>(rec->ExceptionEvent(), rec->CreateEvent(), PooledThreadEvent(), 1, 500);
    DisposeAtEnd<TIocp> end{iocp};
    gc_ptr<TOwner> owner = [this] {
        gc_ptr<TOwner> o = gcnew<TOwner>();
        o->iocp = iocp;
        return o;
    }();
};

TEST_F(IocpTest, NeedsAnExceptionEvent) {
    EXPECT_EQ(message_of<Sysutils::Exception>([] { gcnew<TIocp>(ThreadExceptionEvent()); }),
              "threadExceptionEvent cannot be NULL");
}

TEST_F(IocpTest, ThreadsStartWithTheFirstUseAtTheMinimum) {
    EXPECT_TRUE(rec->created().empty());
    ASSERT_TRUE(iocp->GetThreadPool());
    EXPECT_EQ(iocp->GetThreadPool()->GetThreadCount(), 1);
    EXPECT_TRUE(iocp->GetThreadPool() == iocp->GetThreadPool());

    gc_disposable<TIocp> three = gcnew<TIocp>(rec->ExceptionEvent(), 3, 10);
    DisposeAtEnd<TIocp> end3{three};
    EXPECT_FALSE(three->Subscribe(reinterpret_cast<void*>(std::intptr_t{123456})))
        << "an unknown handle was taken";
    EXPECT_EQ(three->GetThreadPool()->GetThreadCount(), 3);
}

TEST_F(IocpTest, PendingTableErrors) {
    const unsigned long me = platform::current_thread_id();
    gc_ptr<TIocpCallback> op = owner->Issue();
    EXPECT_EQ(op->GetThreadId(), me);
    EXPECT_TRUE(iocp->HasIoPending(me));
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { iocp->CleanupThread(me); }),
              "Thread " + std::to_string(me) + " has pending IO - unable to cleanup");
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { iocp->RemovePendingIo(4000000001ul, op); }),
              "Thread 4000000001 has no pending IO - unable to remove");
    op->SetIoFailed();
    EXPECT_EQ(op->GetThreadId(), 0u);
    EXPECT_FALSE(iocp->HasIoPending(me));
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { op->SetIoFailed(); }),
              "This IocpCallback is has already been removed from PendingIoList");
    iocp->CleanupThread(me);
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { iocp->RemovePendingIo(me, op); }),
              "Thread " + std::to_string(me) + " has no pending IO - unable to remove");
}

TEST_F(IocpTest, ManyOperationsOfOneThreadLeaveInAnyOrder) {
    const unsigned long me = platform::current_thread_id();
    std::vector<gc_ptr<TIocpCallback>> ops;
    for (int i = 0; i < 20; ++i) ops.push_back(owner->Issue());
    for (int i : {0, 19, 7, 8, 3})
        ops[static_cast<std::size_t>(i)]->SetIoFailed();
    EXPECT_TRUE(iocp->HasIoPending(me));
    for (int i = 0; i < 20; ++i)
        if (ops[static_cast<std::size_t>(i)]->GetThreadId() != 0) ops[static_cast<std::size_t>(i)]->SetIoFailed();
    EXPECT_FALSE(iocp->HasIoPending(me));
}

// A packet for an operation reaches its owner on a port thread with the
// byte count and the error, and the operation is no longer pending after.
TEST_F(IocpTest, CompletionsReachTheOwnerOnAPortThread) {
    struct Case {
        std::uint32_t bytes, error;
    };
    const Case cases[] = {{65536, 0}, {17, platform::ERROR_OPERATION_ABORTED}};
    platform::completion_port* port = iocp->GetCompletionPortHandle();
    ASSERT_TRUE(iocp->GetThreadPool());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        owner->calls = 0;
        gc_ptr<TIocpCallback> op = owner->Issue();
        ASSERT_TRUE(platform::post_io_completion(port, c.bytes, 0, op->GetOverlapped(), c.error));
        ASSERT_TRUE(wait_until([&] { return owner->calls.load() == 1; })) << "the owner was not called";
        EXPECT_EQ(owner->bytes.load(), c.bytes);
        EXPECT_EQ(owner->error.load(), c.error);
        EXPECT_TRUE(owner->completed.load());
        EXPECT_TRUE(owner->stillPending.load()) << "left the table before the owner ran";
        EXPECT_NE(owner->thread.load(), platform::current_thread_id());
        ASSERT_TRUE(wait_until([&] { return op->GetThreadId() == 0; }));
        EXPECT_FALSE(iocp->HasIoPending(platform::current_thread_id()));
    }
}

TEST_F(IocpTest, AFailingOwnerIsReportedAndThePortThreadGoesOn) {
    platform::completion_port* port = iocp->GetCompletionPortHandle();
    ASSERT_TRUE(iocp->GetThreadPool());
    owner->fail = true;
    gc_ptr<TIocpCallback> first = owner->Issue();
    gc_ptr<TIocpCallback> second = owner->Issue();
    ASSERT_TRUE(platform::PostQueuedCompletionStatus(port, 1, 0, first->GetOverlapped()));
    ASSERT_TRUE(platform::PostQueuedCompletionStatus(port, 2, 0, second->GetOverlapped()));
    ASSERT_TRUE(wait_until([&] { return rec->reports().size() == 2; })) << "the failures were not reported";
    EXPECT_EQ(rec->reports()[0].message, "owner failed");
    EXPECT_EQ(rec->reports()[0].thread, owner->thread.load());
    EXPECT_EQ(first->GetThreadId(), 0u);
    EXPECT_EQ(second->GetThreadId(), 0u);
    EXPECT_EQ(iocp->GetThreadPool()->GetThreadCount(), 1);
}

TEST_F(IocpTest, TerminationPostsTenPacketsPerThreadAndEndsEveryThread) {
    gc_disposable<TIocp> three = gcnew<TIocp>(rec->ExceptionEvent(), rec->CreateEvent(), PooledThreadEvent(), 3, 10);
    DisposeAtEnd<TIocp> end3{three};
    gc_ptr<TIocpThreadPool> pool = three->GetThreadPool();
    ASSERT_EQ(rec->created().size(), 3u);
    ASSERT_TRUE(wait_until([&] { return platform::waiting_thread_count(three->GetCompletionPortHandle()) == 3; }))
        << "the port threads never waited";
    pool->TerminateThreads();
    for (TPooledThread* t : rec->created())
        ASSERT_TRUE(wait_until([&] { return t->GetFinished(); })) << "a port thread did not end";
    // Each thread took one packet and left the rest.
    EXPECT_EQ(platform::queued_packet_count(three->GetCompletionPortHandle()), 27u);
    three.Dispose();
    EXPECT_EQ(three.get()->GetCompletionPortHandle(), nullptr);
    EXPECT_FALSE(three.get()->GetThreadPool()) << "a closed port made new threads";
}

TEST_F(IocpTest, IdlePortThreadsRetireAboveTheMinimum) {
    gc_disposable<TIocp> port = gcnew<TIocp>(rec->ExceptionEvent(), 1, 4);
    DisposeAtEnd<TIocp> endp{port};
    port->SetThreadIdleTimeout(200);
    gc_ptr<TIocpThreadPool> pool = port->GetThreadPool();
    pool->AddNewThread();
    pool->AddNewThread();
    ASSERT_EQ(pool->GetThreadCount(), 3);
    ASSERT_TRUE(wait_until([&] { return pool->GetThreadCount() == 1; })) << "idle port threads did not retire";
}

} // namespace
