// Hostile clients of the stream protocol, bounded in count and time, on
// loopback only: the server keeps serving a normal test beside them, its
// managed memory stays bounded and it stops cleanly afterwards.
#include "tests/benchmark/echo_fixture.h"

#include "GC/GarbageCollector.h"
#include "tests/support.h"

namespace {

using namespace echo_testing;
using testing_support::RawPeer;
using testing_support::WaitUntil;

TEST_F(LanTesterFixture, ServerServesANormalTestAmongHostileClients) {
    testing_support::DebugCapture debug;
    const auto bytesBefore = TGarbageCollector::GetAllocatedBytes(true);
    std::vector<RawPeer> hostile;
    hostile.reserve(64); // the flooding threads hold references
    auto open = [&]() -> RawPeer& {
        hostile.emplace_back();
        EXPECT_TRUE(hostile.back().Connect(port));
        return hostile.back();
    };
    open().SendInt32(-1);
    open().SendInt32(INT32_MIN);
    open().SendInt32(0);
    open().SendInt32(INT32_MAX);
    for (int partial = 1; partial <= 3; ++partial) open().SendBytes("\x01\x02\x03", std::size_t(partial)); // then silence
    for (int i = 0; i < 20; ++i) open().SendInt32(1 << 20); // receive-only, never reads
    // Payload for ever from four more.
    std::atomic<bool> stop{false};
    std::vector<std::thread> flooders;
    for (int i = 0; i < 4; ++i) {
        RawPeer& p = open();
        flooders.emplace_back([&stop, &p] {
            std::vector<char> chunk(65536, 7);
            while (!stop && p.SendBytes(chunk.data(), chunk.size())) {
            }
        });
    }
    ASSERT_TRUE(WaitForConnections(int(hostile.size()), 10000)) << server->GetConnectionCount();

    gc_ptr<TLanTester> t = MakeTester(2, 256 << 10, 2);
    t->Initialize(TransferMode::SendAndReceive);
    std::thread run = RunInBackground(t);
    WaitForEnd(t, 20000);
    run.join();
    EXPECT_EQ(t->GetOutcome(), TLanTester::TOutcome::Completed) << t->GetOutcomeText();
    EXPECT_GT(t->GetTotalReceivedBytes(), 0) << "the normal test got no stream";
    EXPECT_GT(t->GetTotalSentBytes(), 0);

    int noHeaderYet = 0;
    for (int i = 0; i < int(hostile.size()); ++i) noHeaderYet += PacketSize(i) == 0;
    EXPECT_EQ(noHeaderYet, 3) << "a partial header is no header yet";
    EXPECT_LT(TGarbageCollector::GetAllocatedBytes(true), bytesBefore + (96u << 20))
        << "managed memory grew with the hostile headers";
    EXPECT_FALSE(debug.contains("THREAD EXCEPTION"));

    stop = true;
    for (auto& p : hostile) p.Reset();
    for (auto& f : flooders) f.join();
    EXPECT_TRUE(WaitForConnections(0, 10000)) << server->GetConnectionCount() << " hostile connections left";
    EXPECT_TRUE(WaitUntil([] { return TEchoServiceProvider::GetStreamThreads() == 0; }, 10000))
        << "streams to readers that never read outlived their connections";
}

} // namespace
