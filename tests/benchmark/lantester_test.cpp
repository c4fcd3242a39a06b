// The test engine in each mode against the echo server on loopback.
#include "tests/benchmark/echo_fixture.h"

#include <thread>

namespace {

using namespace echo_testing;
using testing_support::SecondsSince;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

TEST_F(LanTesterFixture, RunTestWithoutInitializeFails) {
    gc_ptr<TLanTester> t = MakeTester(1, 1024, 1);
    EXPECT_THROW(t->RunTest(), EInvalidOperation);
    EXPECT_FALSE(t->GetComplete());
}

TEST_F(LanTesterFixture, SendOnlySendsNoHeaderAndReceivesNothing) {
    gc_ptr<TLanTester> t = MakeTester(2, 1 << 20, 2);
    t->Initialize(TransferMode::SendOnly);
    std::thread run = RunInBackground(t);
    WaitForEnd(t, 8000);
    run.join();
    EXPECT_EQ(t->GetOutcome(), TLanTester::TOutcome::Completed);
    EXPECT_GT(t->GetTotalSentBytes(), 0);
    EXPECT_EQ(t->GetTotalSentBytes() % (2 << 20), 0) << "whole packets on both connections";
    EXPECT_EQ(t->GetTotalReceivedBytes(), 0);
    EXPECT_EQ(t->GetAverageReceiveRate(), 0);
    // The average is the bytes over the milliseconds of the run.
    EXPECT_NEAR(t->GetAverageSendRate(), double(t->GetTotalSentBytes()) / t->GetElapsedMs(),
                0.1 * t->GetAverageSendRate());
    EXPECT_EQ(t->GetRemainingSeconds(), 0);
    ASSERT_TRUE(WaitUntil([&] { return log->bytes == t->GetTotalSentBytes(); }, 5000))
        << "the server saw " << log->bytes << " of " << t->GetTotalSentBytes();
    for (int i = 0; i < 2; ++i) EXPECT_EQ(clients[i]->GetState(), TTcpClient::Idle);
}

TEST_F(LanTesterFixture, ReceiveOnlySendsOneHeaderPerConnectionAndNoPayload) {
    gc_ptr<TLanTester> t = MakeTester(3, 65536, 1);
    t->Initialize(TransferMode::ReceiveOnly);
    std::thread run = RunInBackground(t);
    WaitForEnd(t, 8000);
    run.join();
    EXPECT_EQ(log->bytes, 3 * 4);
    EXPECT_EQ(t->GetTotalSentBytes(), 0);
    EXPECT_GT(t->GetTotalReceivedBytes(), 0);
    EXPECT_GT(t->GetAverageReceiveRate(), 0);
    for (int i = 0; i < 3; ++i) EXPECT_GT(requesters[i]->GetReceivedBytesTotal(), 0) << "connection " << i;
}

TEST_F(LanTesterFixture, SendAndReceiveMeasuresBothWaysAndDeltasAddUp) {
    gc_ptr<TLanTester> t = MakeTester(2, 256 << 10, 2);
    t->Initialize(TransferMode::SendAndReceive);
    std::thread run = RunInBackground(t);
    long long sentDeltas = 0, receivedDeltas = 0;
    while (!t->GetComplete()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        sentDeltas += t->GetSentBytesDelta();
        receivedDeltas += t->GetReceivedBytesDelta();
    }
    run.join();
    sentDeltas += t->GetSentBytesDelta();
    receivedDeltas += t->GetReceivedBytesDelta();
    EXPECT_EQ(sentDeltas, t->GetTotalSentBytes());
    EXPECT_EQ(receivedDeltas, t->GetTotalReceivedBytes());
    EXPECT_GT(t->GetTotalSentBytes(), 0);
    EXPECT_GT(t->GetTotalReceivedBytes(), 0);
}

TEST_F(LanTesterFixture, AbortEndsTheRunWithinOneIterationAndStillDisconnects) {
    for (TransferMode::Enum mode : {TransferMode::SendAndReceive, TransferMode::ReceiveOnly}) {
        gc_ptr<TLanTester> t = MakeTester(2, 64 << 10, 60);
        t->Initialize(mode);
        std::thread run = RunInBackground(t);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const auto t0 = Clock::now();
        t->Abort();
        WaitForEnd(t, 5000);
        run.join();
        EXPECT_LT(SecondsSince(t0), 2.0) << "mode " << mode; // one iteration plus the graceful ends
        EXPECT_EQ(t->GetOutcome(), TLanTester::TOutcome::Aborted);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(clients[i]->GetState(), TTcpClient::Idle);
        EXPECT_TRUE(WaitForConnections(0));
    }
}

TEST_F(LanTesterFixture, LosingTheServerEndsTheRunWithTheTotalsSoFar) {
    gc_ptr<TLanTester> t = MakeTester(2, 64 << 10, 60);
    t->Initialize(TransferMode::SendAndReceive);
    std::thread run = RunInBackground(t);
    ASSERT_TRUE(WaitUntil([&] { return t->GetTotalReceivedBytes() > 0 && t->GetTotalSentBytes() > 0; }, 5000));
    const auto t0 = Clock::now();
    server->Stop();
    WaitForEnd(t, 10000);
    run.join();
    EXPECT_LT(SecondsSince(t0), 8.0);
    const auto how = t->GetOutcome();
    EXPECT_TRUE(how == TLanTester::TOutcome::ConnectionLost || how == TLanTester::TOutcome::Failed)
        << t->GetOutcomeText();
    EXPECT_FALSE(t->GetOutcomeText().empty());
    EXPECT_GT(t->GetTotalSentBytes(), 0);
    EXPECT_GT(t->GetTotalReceivedBytes(), 0);
}

} // namespace
