// The TCP server with real loopback connections: construction and start
// checks, the accept and receive loops, drops, keep-alive, Stop and the
// accept loop's survival of failed connections.
#include "tests/Tcp/tcp_fixture.h"

#include "tests/support.h"

namespace {

using namespace tcp_testing;
using testing_support::RawPeer;
using testing_support::SecondsSince;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

TEST(TcpServerChecks, ConstructorRefusesNullProviderAndPortsOutOfRange) {
    auto log = std::make_shared<ServerLog>();
    struct Case { bool provider; int port; const char* message; };
    const Case cases[] = {
        {false, 8998, "TTcpServer provider must not be NULL"},
        {false, 0, "TTcpServer provider must not be NULL"}, // the provider is checked first
        {true, 0, "TTcpServer port must be between 1 and 65535"},
        {true, -1, "TTcpServer port must be between 1 and 65535"},
        {true, 65536, "TTcpServer port must be between 1 and 65535"},
    };
    for (const Case& c : cases) {
        gc_ptr<TTcpServiceProvider> p;
        if (c.provider) p = gcnew<TRecordingProvider>(log);
        EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { gcnew<TTcpServer>(p, c.port); }), c.message)
            << c.port;
    }
    for (int port : {1, 65535}) EXPECT_NO_THROW(gcnew<TTcpServer>(gcnew<TRecordingProvider>(log), port)) << port;
}

TEST_F(ServerFixture, ListenSocketStartTwiceAndRestartOnTheSamePort) {
    server = gcnew<TTcpServer>(gcnew<TRecordingProvider>(log), port);
    EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { server->GetListenSocket(); }),
              "Server has not started - unable to get ListenSocket");
    server->Start();
    EXPECT_TRUE(server->GetListenSocket());
    EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { server->Start(); }),
              "TcpServer unable to start (already started)");
    server->Stop();
    server->Stop(); // a stopped server ignores Stop
    server->Start();
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port)) << "no listener after the restart";
    ASSERT_TRUE(WaitForConnections(1)) << "the restarted server did not accept";
}

TEST_F(ServerFixture, FailedStartLeavesTheServerStoppedAndRetryable) {
    testing_support::RawListener busy; // holds a port
    server = gcnew<TTcpServer>(gcnew<TRecordingProvider>(log), busy.port());
    EXPECT_ANY_THROW(server->Start());
    EXPECT_TRUE(server->GetStopped());
    EXPECT_ANY_THROW(server->Start()); // still stopped: the same error, not "already started"
}

TEST_F(ServerFixture, PeerCloseGivesOneDisconnectedAndProvidersArePerConnection) {
    StartServer();
    RawPeer a, b;
    ASSERT_TRUE(a.Connect(port));
    ASSERT_TRUE(b.Connect(port));
    ASSERT_TRUE(WaitForConnections(2));
    ASSERT_TRUE(a.SendBytes("hello", 5));
    ASSERT_TRUE(b.SendBytes("worlds", 6));
    ASSERT_TRUE(WaitUntil([&] { return log->bytes == 11; }, 5000)) << "data did not arrive: " << log->bytes;
    {
        std::lock_guard<std::mutex> g(log->m);
        EXPECT_EQ(log->instances.size(), 2u) << "two connections shared a provider";
    }
    gc_array<gc_disposable<TClientConnection>> conns = server->GetConnections();
    long perConnection[2];
    for (int i = 0; i < 2; ++i) perConnection[i] = static_cast<TRecordingProvider*>(conns[i]->GetProvider().get())->Received();
    EXPECT_EQ(perConnection[0] + perConnection[1], 11);
    EXPECT_TRUE((perConnection[0] == 5) != (perConnection[1] == 5));

    a.Close();
    ASSERT_TRUE(WaitForConnections(1)) << "the closed peer stayed listed";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log->disconnected, 1);
    EXPECT_EQ(log->connected, 2);
}

TEST_F(ServerFixture, DropConnectionRacingTheReceiveLoopCallsDisconnectedOnce) {
    StartServer();
    for (int round = 0; round < 20; ++round) {
        RawPeer peer;
        ASSERT_TRUE(peer.Connect(port));
        ASSERT_TRUE(WaitForConnections(1));
        gc_disposable<TClientConnection> c = server->GetConnections()[0];
        const int before = log->disconnected;
        // The peer's close (receive loop), EndConnection and a direct drop
        // all at once.
        std::thread t1([&] { c.get()->EndConnection(); });
        std::thread t2([&] { server->DropConnection(c); });
        peer.Close();
        t1.join();
        t2.join();
        ASSERT_TRUE(WaitForConnections(0));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(log->disconnected - before, 1) << "round " << round;
        EXPECT_TRUE(c.get()->GetTerminated());
    }
}

TEST_F(ServerFixture, StopWithTenIdleConnectionsIsQuickAndDropsThemAll) {
    StartServer();
    std::vector<RawPeer> peers(10);
    for (auto& p : peers) ASSERT_TRUE(p.Connect(port));
    ASSERT_TRUE(WaitForConnections(10));
    const auto t0 = Clock::now();
    server->Stop();
    EXPECT_LT(SecondsSince(t0), 2.0) << "Stop waited although every receive completed";
    EXPECT_EQ(server->GetConnectionCount(), 0);
    EXPECT_EQ(log->disconnected, 10);
    for (auto& p : peers) EXPECT_TRUE(p.WaitForClose(2000)) << "a peer was not closed";
    RawPeer late;
    EXPECT_FALSE(late.Connect(port)) << "the stopped server still listens";
}

TEST_F(ServerFixture, StopDropsAConnectionWhoseReceiveNeverCompletesAfterTheBoundedWait) {
    StartServer();
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitForConnections(1));
    log->blockInDataMs = 7000; // the receive loop stays inside the callback
    ASSERT_TRUE(peer.SendBytes("x", 1));
    ASSERT_TRUE(WaitUntil([&] { return log->data == 1; }, 5000));
    const auto t0 = Clock::now();
    server->Stop();
    const double took = SecondsSince(t0);
    EXPECT_GT(took, 4.5);
    EXPECT_LT(took, 6.5) << "Stop is bounded by about five seconds";
    EXPECT_EQ(server->GetConnectionCount(), 0);
    EXPECT_EQ(log->disconnected, 1);
}

TEST_F(ServerFixture, KeepAliveDropsAnIdleConnectionAboutASecondAfterItsLastData) {
    log->keepAlive = 1000;
    StartServer();
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitForConnections(1));
    // Data re-arms the timer: three blocks 400 ms apart keep it alive.
    Clock::time_point last;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(peer.SendBytes("k", 1));
        last = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        ASSERT_EQ(server->GetConnectionCount(), 1) << "dropped while data kept coming";
    }
    ASSERT_TRUE(peer.WaitForClose(4000)) << "the idle connection was not dropped";
    const double after = SecondsSince(last);
    EXPECT_GT(after, 0.9);
    EXPECT_LT(after, 2.5);
    ASSERT_TRUE(WaitForConnections(0));
    EXPECT_EQ(log->disconnected, 1);
}

TEST_F(ServerFixture, KeepAliveOfMinusOneNeverTimesOut) {
    log->keepAlive = -1;
    StartServer();
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitForConnections(1));
    EXPECT_FALSE(peer.WaitForClose(1500));
    EXPECT_EQ(server->GetConnectionCount(), 1);
}

TEST_F(ServerFixture, ThrowingCallbacksGoToOnError) {
    StartServer();
    // OnDataReceived throws: OnError, and the connection goes on receiving.
    log->throwOnData = true;
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(peer.SendBytes("a", 1));
    ASSERT_TRUE(WaitUntil([&] { return log->errors == 1; }, 5000));
    ASSERT_TRUE(peer.SendBytes("b", 1));
    ASSERT_TRUE(WaitUntil([&] { return log->data == 2; }, 5000)) << "no receive after the failed callback";
    // OnError follows the throwing callback, so it may come a moment later.
    EXPECT_TRUE(WaitUntil([&] { return log->errors == 2; }, 5000)) << "errors: " << log->errors;
    EXPECT_EQ(server->GetConnectionCount(), 1);
    peer.Close();
    ASSERT_TRUE(WaitForConnections(0));

    // OnClientConnected throws: OnError, then the connection is dropped.
    log->throwOnData = false;
    log->throwOnConnected = true;
    const int errors = log->errors, disconnected = log->disconnected;
    RawPeer second;
    ASSERT_TRUE(second.Connect(port));
    EXPECT_TRUE(second.WaitForClose(5000)) << "the refused connection stayed open";
    ASSERT_TRUE(WaitForConnections(0));
    EXPECT_EQ(log->errors - errors, 1);
    EXPECT_EQ(log->disconnected - disconnected, 1);
}

TEST_F(ServerFixture, SendAfterTerminateIsFalseAndTheConnectionStaysListed) {
    StartServer();
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(WaitForConnections(1));
    gc_disposable<TClientConnection> c = server->GetConnections()[0];
    gc_array<unsigned char> data = gcnew_array<unsigned char>(3);
    EXPECT_TRUE(c->Send(data, 3));
    EXPECT_EQ(peer.Receive(2000, 3), 3);
    c->Terminate();
    EXPECT_FALSE(c->Send(data, 3));
    EXPECT_EQ(server->GetConnectionCount(), 1); // terminated, not dropped
    const auto t0 = Clock::now();
    EXPECT_TRUE(peer.WaitForClose(2000));
    server->Stop();
    EXPECT_LT(SecondsSince(t0), 2.0) << "Stop waited for a receive loop that had ended";
    EXPECT_EQ(server->GetConnectionCount(), 0);
    EXPECT_EQ(log->disconnected, 1);
}

TEST_F(ServerFixture, AcceptLoopSurvivesAProviderThatFailsEveryThirdConnection) {
    log->throwOnCreateEvery = 3;
    testing_support::DebugCapture debug;
    StartServer();
    std::vector<RawPeer> peers(9);
    for (auto& p : peers) ASSERT_TRUE(p.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return log->created == 9; }, 5000)) << "the server stopped accepting at "
                                                                     << log->created;
    ASSERT_TRUE(WaitForConnections(6));
    EXPECT_EQ(server->GetFailedAccepts(), 3);
    // The failed connections' sockets are closed, the others stay open.
    int closed = 0;
    for (auto& p : peers) closed += p.WaitForClose(300) ? 1 : 0;
    EXPECT_EQ(closed, 3);
    int reports = 0;
    for (const auto& l : debug.lines()) reports += l.find("no provider for this one") != std::string::npos;
    EXPECT_EQ(reports, 3) << "each failure is reported once";
    RawPeer more;
    ASSERT_TRUE(more.Connect(port));
    ASSERT_TRUE(WaitUntil([&] { return log->created == 10; }, 5000)) << "no accept after the failures";
}

} // namespace
