// The TCP client against real loopback peers: connect checks, the receive
// loop, graceful and hard disconnections and their races.
#include "tests/Tcp/tcp_fixture.h"

#include "tests/support.h"

namespace {

using namespace tcp_testing;
using testing_support::RawListener;
using testing_support::RawPeer;
using testing_support::SecondsSince;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

class ClientFixture : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        clog = std::make_shared<ClientLog>();
        client = gcnew<TTcpClient>(gcnew<TRecordingRequester>(clog));
    }
    void TearDown() override {
        if (client && !gc_disposable<TTcpClient>::is_disposed(client.get())) client.Dispose();
        ServerFixture::TearDown();
    }
    std::shared_ptr<ClientLog> clog;
    gc_disposable<TTcpClient> client;
};

TEST(TcpClientChecks, NullRequesterIsRefused) {
    EXPECT_EQ(testing_support::message_of<EInvalidOperation>([] { gcnew<TTcpClient>(gc_ptr<TTcpServiceRequester>()); }),
              "TTcpClient requester must not be null");
}

TEST_F(ClientFixture, ConnectChecksLeaveTheClientIdle) {
    for (int bad : {0, 65536}) {
        EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { client->Connect(Loopback(), bad); }),
                  "TTcpClient port must be between 1 and 65535");
        EXPECT_EQ(client->GetState(), TTcpClient::Idle);
    }
    EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { client->GetRemoteEp(); }),
              "Client has not connected - unable to get RemoteEndPoint");
    // Nothing listens: the socket's error reaches the caller, and the
    // client may connect again.
    EXPECT_THROW(client->Connect(Loopback(), port), EAsyncException);
    EXPECT_EQ(client->GetState(), TTcpClient::Idle);
    StartServer();
    client->Connect(Loopback(), port);
    EXPECT_EQ(client->GetState(), TTcpClient::Connected);
    EXPECT_EQ(clog->connected, 1);
    EXPECT_EQ(client->GetRemoteEp()->GetPort(), port);
    EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { client->Connect(Loopback(), port); }),
              "TcpClient unable to connect (already connecting / connected)");
    client.Dispose();
    EXPECT_EQ(testing_support::message_of<EInvalidOperation>([&] { client.get()->GetRemoteEp(); }),
              "Client has not connected - unable to get RemoteEndPoint");
}

TEST_F(ClientFixture, ReceivesWhatTheServerSendsAndReconnects) {
    StartServer();
    client->Connect(Loopback(), port);
    ASSERT_TRUE(WaitForConnections(1));
    gc_array<unsigned char> data = gcnew_array<unsigned char>(100000);
    ASSERT_TRUE(server->GetConnections()[0]->Send(data, data.Length()));
    ASSERT_TRUE(WaitUntil([&] { return clog->bytes == 100000; }, 5000)) << clog->bytes;
    client->Disconnect(true);
    EXPECT_EQ(client->GetState(), TTcpClient::Idle);
    client->Connect(Loopback(), port); // a new socket and connection
    EXPECT_EQ(clog->connected, 2);
    ASSERT_TRUE(WaitForConnections(1));
}

TEST_F(ClientFixture, GracefulDisconnectAgainstAPromptServerIsFast) {
    StartServer();
    client->Connect(Loopback(), port);
    ASSERT_TRUE(WaitForConnections(1));
    const auto t0 = Clock::now();
    client->Disconnect(true);
    EXPECT_LT(SecondsSince(t0), 0.5) << "waited although the server closed at once";
    EXPECT_EQ(clog->disconnected, 1);
    ASSERT_TRUE(WaitForConnections(0));
}

TEST_F(ClientFixture, GracefulDisconnectIsFastWhileTheServerStillStreams) {
    StartServer();
    client->Connect(Loopback(), port);
    ASSERT_TRUE(WaitForConnections(1));
    gc_disposable<TClientConnection> c = server->GetConnections()[0];
    std::atomic<bool> stop{false};
    std::thread streamer([&] {
        gc_array<unsigned char> packet = gcnew_array<unsigned char>(65536);
        while (!stop && c.get()->Send(packet, packet.Length())) {
        }
    });
    ASSERT_TRUE(WaitUntil([&] { return clog->bytes > 1000000; }, 5000));
    const auto t0 = Clock::now();
    client->Disconnect(true);
    const double took = SecondsSince(t0);
    stop = true;
    streamer.join();
    EXPECT_LT(took, 0.6) << "the data in flight hid the server's close";
    EXPECT_EQ(clog->disconnected, 1);
}

TEST_F(ClientFixture, GracefulDisconnectAgainstASilentServerWaitsAboutASecond) {
    RawListener silent;
    client->Connect(Loopback(), silent.port());
    RawPeer accepted = silent.Accept(2000);
    ASSERT_GE(accepted.fd(), 0);
    const auto t0 = Clock::now();
    client->Disconnect(true);
    const double took = SecondsSince(t0);
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 2.0);
    EXPECT_EQ(clog->disconnected, 1);
    EXPECT_TRUE(accepted.WaitForClose(1000)) << "the client's half-close did not arrive";
}

TEST_F(ClientFixture, ServerCloseDuringTheGracefulWaitEndsItWithOneDisconnected) {
    RawListener silent;
    client->Connect(Loopback(), silent.port());
    RawPeer accepted = silent.Accept(2000);
    ASSERT_GE(accepted.fd(), 0);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        accepted.Close(); // the receive loop's Disconnect(false) races the wait
    });
    const auto t0 = Clock::now();
    client->Disconnect(true);
    const double took = SecondsSince(t0);
    closer.join();
    EXPECT_GT(took, 0.25);
    EXPECT_LT(took, 0.85) << "the server's close did not end the wait";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(clog->disconnected, 1);
    EXPECT_EQ(client->GetState(), TTcpClient::Idle);
}

TEST_F(ClientFixture, ServerCloseDisconnectsAndSendIsThenFalse) {
    StartServer();
    client->Connect(Loopback(), port);
    ASSERT_TRUE(WaitForConnections(1));
    gc_ptr<TServerConnection> c = client->GetConnection();
    gc_array<unsigned char> data = gcnew_array<unsigned char>(10);
    EXPECT_TRUE(c->Send(data, 10));
    ASSERT_TRUE(WaitUntil([&] { return log->bytes == 10; }, 5000));
    server->Stop();
    ASSERT_TRUE(WaitUntil([&] { return client->GetState() == TTcpClient::Idle; }, 5000))
        << "the server's close was not seen";
    EXPECT_EQ(clog->disconnected, 1);
    EXPECT_FALSE(c->Send(data, 10));
}

TEST_F(ClientFixture, FailingOnConnectedIsReportedAndDisconnects) {
    StartServer();
    clog->throwOnConnected = true;
    EXPECT_NO_THROW(client->Connect(Loopback(), port));
    EXPECT_EQ(clog->errors, 1);
    EXPECT_EQ(client->GetState(), TTcpClient::Idle);
    EXPECT_EQ(clog->disconnected, 1);
}

} // namespace
