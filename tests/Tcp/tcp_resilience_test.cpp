// The server under abuse, bounded in count and time, on loopback only:
// idle crowds, resets before accept, connect storms and a descriptor limit.
// Afterwards it still serves, and what it used goes back to the idle level.
#include "tests/Tcp/tcp_fixture.h"

#include <sys/resource.h>

#include "GC/GarbageCollector.h"

namespace {

using namespace tcp_testing;
using testing_support::open_descriptors;
using testing_support::CountThreads;
using testing_support::RawPeer;
using testing_support::WaitUntil;

class ResilienceFixture : public ServerFixture {
protected:
    void SetUp() override {
        ServerFixture::SetUp();
        StartServer();
        Settle();
        idleFds = open_descriptors();
        idleThreads = CountThreads();
        idleBytes = TGarbageCollector::GetAllocatedBytes(true);
    }
    // Collections until the dropped connections' memory is back.
    std::uint64_t Settle() {
        for (int i = 0; i < 3; ++i) {
            TGarbageCollector::Collect(3);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return TGarbageCollector::GetAllocatedBytes(true);
    }
    // One normal connection is still accepted and served.
    void ExpectServes() {
        RawPeer peer;
        ASSERT_TRUE(peer.Connect(port));
        const long before = log->bytes;
        ASSERT_TRUE(peer.SendBytes("ping", 4));
        EXPECT_TRUE(WaitUntil([&] { return log->bytes == before + 4; }, 5000)) << "the server no longer serves";
    }
    void ExpectIdleLevel() {
        EXPECT_TRUE(WaitForConnections(0, 10000)) << server->GetConnectionCount() << " connections left";
        EXPECT_TRUE(WaitUntil([&] { return open_descriptors() <= idleFds; }, 10000))
            << open_descriptors() << " descriptors against " << idleFds << " when idle";
        EXPECT_TRUE(WaitUntil([&] { return CountThreads() <= idleThreads + 4; }, 30000, 100))
            << CountThreads() << " threads against " << idleThreads << " when idle";
        std::uint64_t bytes = 0;
        EXPECT_TRUE(WaitUntil([&] { return (bytes = Settle()) < idleBytes + (4u << 20); }, 15000, 100))
            << bytes << " managed bytes against " << idleBytes << " when idle";
    }

    int idleFds = 0, idleThreads = 0;
    std::uint64_t idleBytes = 0;
};

TEST_F(ResilienceFixture, TwoHundredIdleThenTwoHundredResettingConnections) {
    {
        std::vector<RawPeer> idle(200);
        for (auto& p : idle) ASSERT_TRUE(p.Connect(port));
        ASSERT_TRUE(WaitForConnections(200, 10000)) << server->GetConnectionCount();
        ExpectServes();
    }
    ASSERT_TRUE(WaitForConnections(0, 10000));
    {
        std::vector<RawPeer> resetting(200);
        for (auto& p : resetting) ASSERT_TRUE(p.Connect(port));
        for (auto& p : resetting) p.Reset(); // many before the server took them
    }
    ExpectServes();
    ExpectIdleLevel();
}

TEST_F(ResilienceFixture, BurstOfTwoThousandConnects) {
    int connected = 0;
    for (int round = 0; round < 10; ++round) {
        std::vector<RawPeer> burst(200);
        for (auto& p : burst) connected += p.Connect(port) ? 1 : 0;
    } // each round closes its peers while the next connects
    EXPECT_GE(connected, 1900) << "the listener refused the storm";
    ExpectServes();
    ExpectIdleLevel();
    EXPECT_EQ(log->connected, log->disconnected) << "every accepted connection was dropped once";
}

TEST_F(ResilienceFixture, DescriptorLimitReachedThenFreed) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' own checks need descriptors (a pipe to probe memory)
    // and report false errors once the process has none left.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = rlim_t(open_descriptors() + 120);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<RawPeer> peers;
    for (int i = 0; i < 300; ++i) {
        RawPeer p;
        if (!p.Connect(port)) break; // this side ran out too
        peers.push_back(std::move(p));
    }
    // The server meets the limit too: accepts fail while the peers hold
    // the descriptors.
    EXPECT_TRUE(WaitUntil([&] { return server->GetLostAccepts() + server->GetFailedAccepts() > 0; }, 5000))
        << peers.size() << " peers connected and the server never ran short";
    peers.clear();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    ASSERT_TRUE(WaitForConnections(0, 10000));
    ExpectServes();
    ExpectIdleLevel();
}

TEST_F(ResilienceFixture, ThousandConnectionsOpenedAndDroppedLeaveNothingBehind) {
    for (int round = 0; round < 10; ++round) {
        // The last round's connections are gone first: otherwise a count of
        // 100 may still include them, and the drop below miss new ones.
        ASSERT_TRUE(WaitForConnections(0, 10000)) << server->GetConnectionCount() << " left from the last round";
        std::vector<RawPeer> peers(100);
        for (auto& p : peers) ASSERT_TRUE(p.Connect(port));
        ASSERT_TRUE(WaitForConnections(100, 10000));
        if (round % 2) {
            server->DropConnections(); // dropped by the server
            for (auto& p : peers) EXPECT_TRUE(p.WaitForClose(2000));
        }
    } // the other rounds are dropped by their peers
    EXPECT_EQ(log->disconnected, 1000);
    ExpectIdleLevel();
}

} // namespace
