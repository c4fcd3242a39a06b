// The stream protocol on real loopback connections.
#include "tests/benchmark/echo_fixture.h"

#include <thread>
#include <vector>

#include "GC/GarbageCollector.h"
#include "RozavUde/Tcp/TcpClient.h"
#include "tests/support.h"

namespace {

using namespace echo_testing;
using testing_support::RawPeer;
using testing_support::SecondsSince;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

TEST_F(EchoFixture, HeaderStartsAStreamOfThatPacketSize) {
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(port));
    ASSERT_TRUE(peer.SendInt32(1024));
    EXPECT_GE(peer.Receive(5000, 1 << 20), 1 << 20) << "no stream after the header";
    EXPECT_EQ(PacketSize(), 1024);
}

TEST_F(EchoFixture, HeaderOfZeroAndSendOnlyPayloadStreamNothing) {
    RawPeer zero, sendOnly, silent;
    ASSERT_TRUE(zero.Connect(port));
    ASSERT_TRUE(sendOnly.Connect(port));
    ASSERT_TRUE(silent.Connect(port));
    ASSERT_TRUE(zero.SendInt32(0));
    std::vector<char> payload(100000, 0);
    ASSERT_TRUE(sendOnly.SendBytes(payload.data(), payload.size()));
    ASSERT_TRUE(WaitUntil([&] { return log->bytes == 100004; }, 5000));
    EXPECT_EQ(zero.Receive(300), 0);
    EXPECT_EQ(sendOnly.Receive(300), 0);
    EXPECT_EQ(silent.Receive(300), 0);
    ASSERT_TRUE(WaitForConnections(3)); // no keep-alive: idle connections stay
    int minusOne = 0, none = 0;
    for (int i = 0; i < 3; ++i) {
        minusOne += PacketSize(i) == -1;
        none += PacketSize(i) == 0;
    }
    EXPECT_EQ(minusOne, 2);
    EXPECT_EQ(none, 1);
}

TEST_F(EchoFixture, HeaderIsRecognisedHoweverTheReceivesCutIt) {
    // Split over two receives, and joined with payload in one.
    RawPeer split, joined;
    ASSERT_TRUE(split.Connect(port));
    ASSERT_TRUE(joined.Connect(port));
    const unsigned char header[] = {0x00, 0x08, 0x00, 0x00}; // 2048
    ASSERT_TRUE(split.SendBytes(header, 2));
    ASSERT_TRUE(WaitUntil([&] { return log->bytes == 2; }, 5000));
    ASSERT_TRUE(split.SendBytes(header + 2, 2));
    std::vector<unsigned char> withPayload(header, header + 4);
    withPayload.resize(70000, 0);
    ASSERT_TRUE(joined.SendBytes(withPayload.data(), withPayload.size()));
    EXPECT_GE(split.Receive(5000, 100000), 100000) << "split header not recognised";
    EXPECT_GE(joined.Receive(5000, 100000), 100000) << "header joined with payload not recognised";
    EXPECT_EQ(PacketSize(0), 2048);
    EXPECT_EQ(PacketSize(1), 2048);
}

TEST_F(EchoFixture, TwoConnectionsWithDifferentHeadersAndStreamStartsPromptly) {
    // Twenty receiving connections at once: every stream starts at once,
    // not as the thread pool grows.
    std::vector<RawPeer> peers(20);
    for (auto& p : peers) ASSERT_TRUE(p.Connect(port));
    ASSERT_TRUE(WaitForConnections(20));
    const auto t0 = Clock::now();
    for (std::size_t i = 0; i < peers.size(); ++i) ASSERT_TRUE(peers[i].SendInt32(i % 2 ? 1000 : 3000));
    for (std::size_t i = 0; i < peers.size(); ++i)
        EXPECT_GT(peers[i].Receive(3000, 1), 0) << "connection " << i << " got no stream";
    EXPECT_LT(SecondsSince(t0), 1.5) << "streams started late";
    int small = 0, large = 0;
    for (int i = 0; i < 20; ++i) {
        small += PacketSize(i) == 1000;
        large += PacketSize(i) == 3000;
    }
    EXPECT_EQ(small, 10);
    EXPECT_EQ(large, 10);
}

TEST_F(EchoFixture, HalfCloseStopsTheStreamWithinTheClientsWait) {
    auto requester = gcnew<TEchoServiceRequester>(nullptr);
    gc_disposable<TTcpClient> client = gcnew<TTcpClient>(requester);
    client->Connect(TIPAddress::Parse("127.0.0.1"), port);
    gc_array<unsigned char> header = gcnew_array<unsigned char>(4);
    header[1] = 0x10; // 4096
    client->GetSocket()->Send(header, 4, SocketFlags::None);
    ASSERT_TRUE(WaitUntil([&] { return requester->GetReceivedBytesTotal() > 1e6; }, 5000));
    const auto t0 = Clock::now();
    client->Disconnect(true);
    EXPECT_LT(SecondsSince(t0), 0.9) << "the server's close did not end the graceful wait";
    ASSERT_TRUE(WaitForConnections(0));
    EXPECT_EQ(log->disconnected, 1);
    EXPECT_TRUE(WaitUntil([] { return TEchoServiceProvider::GetStreamThreads() == 0; }, 2000));
}

TEST_F(EchoFixture, NegativeAndHugeHeadersAreHandledSoundly) {
    testing_support::DebugCapture debug;
    RawPeer negative, huge;
    ASSERT_TRUE(negative.Connect(port));
    ASSERT_TRUE(negative.SendInt32(-5));
    ASSERT_TRUE(WaitUntil([&] { return debug.contains("packet size -5 refused"); }, 5000));
    EXPECT_EQ(negative.Receive(300), 0);
    EXPECT_FALSE(debug.contains("THREAD EXCEPTION"));
    ASSERT_TRUE(WaitForConnections(1)) << "the connection stays, without a stream";

    // 2 GiB packets come from a bounded buffer: the stream flows at once
    // and managed memory does not grow by the packet size.
    const auto before = TGarbageCollector::GetAllocatedBytes();
    ASSERT_TRUE(huge.Connect(port));
    ASSERT_TRUE(huge.SendInt32(2147483647));
    EXPECT_GE(huge.Receive(5000, 8 << 20), 8 << 20);
    EXPECT_LT(TGarbageCollector::GetAllocatedBytes(), before + (64u << 20));
    EXPECT_EQ(PacketSize(1), 2147483647);
}

} // namespace
