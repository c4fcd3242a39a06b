#include "platform/completion_port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

#include "platform/futex_event.h"
#include "platform/system.h"
#include "tests/support.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

using steady = std::chrono::steady_clock;
constexpr std::uint32_t kLongMs = 10000; // only a lost wake-up reaches it

struct Port {
    completion_port* p;
    explicit Port(std::uint32_t conc = 0) : p(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, conc)) {}
    ~Port() {
        if (p) CloseCompletionPort(p);
    }
};

using testing_support::sleepers_on;

struct Got {
    bool ok = false;
    std::uint32_t bytes = 0, error = 0;
    std::uintptr_t key = 0;
    OVERLAPPED* ov = nullptr;
};

Got Get(completion_port* p, std::uint32_t timeout = kLongMs) {
    Got g;
    g.ok = GetQueuedCompletionStatus(p, &g.bytes, &g.key, &g.ov, timeout);
    g.error = g.ok ? 0 : GetLastError();
    return g;
}

TEST(CompletionPort, PacketsComeOutInOrderWithTheirFields) {
    Port port;
    ASSERT_NE(port.p, nullptr);
    OVERLAPPED a{}, b{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 11, 7, &a));
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 22, 8, &b));
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 9, nullptr));

    Got g = Get(port.p);
    EXPECT_TRUE(g.ok);
    EXPECT_EQ(g.bytes, 11u);
    EXPECT_EQ(g.key, 7u);
    EXPECT_EQ(g.ov, &a);
    g = Get(port.p);
    EXPECT_EQ(g.ov, &b);
    EXPECT_EQ(g.bytes, 22u);
    g = Get(port.p);
    EXPECT_TRUE(g.ok) << "a posted packet without OVERLAPPED is a success";
    EXPECT_EQ(g.ov, nullptr);
    EXPECT_EQ(g.key, 9u);
}

TEST(CompletionPort, TimeOutReportsWaitTimeoutWithoutPacket) {
    Port port;
    const auto t0 = steady::now();
    Got g = Get(port.p, 0);
    EXPECT_FALSE(g.ok);
    EXPECT_EQ(g.error, WAIT_TIMEOUT);
    EXPECT_EQ(g.ov, nullptr);
    EXPECT_LT(steady::now() - t0, 1s);

    const auto t1 = steady::now();
    g = Get(port.p, 60);
    EXPECT_EQ(g.error, WAIT_TIMEOUT);
    EXPECT_GE(steady::now() - t1, 50ms);
    EXPECT_EQ(waiting_thread_count(port.p), 0u) << "a timed-out waiter must leave the port";
}

TEST(CompletionPort, FailedOperationCarriesItsErrorAndStatus) {
    Port port;
    OVERLAPPED ov{};
    ASSERT_TRUE(post_io_completion(port.p, 5, 1, &ov, 10054));
    Got g = Get(port.p);
    EXPECT_FALSE(g.ok);
    EXPECT_EQ(g.ov, &ov) << "a failed operation still hands its OVERLAPPED back";
    EXPECT_EQ(g.error, 10054u);
    EXPECT_EQ(g.bytes, 5u);
    EXPECT_EQ(ov.Internal, 10054u);
    EXPECT_EQ(ov.InternalHigh, 5u);
}

TEST(CompletionPort, LastThreadToWaitIsWokenFirst) {
    Port port;
    std::atomic<int> first_done{-1};
    std::vector<std::thread> ts;
    Got got[2];
    for (int i = 0; i < 2; ++i) {
        ts.emplace_back([&, i] {
            got[i] = Get(port.p);
            int expected = -1;
            first_done.compare_exchange_strong(expected, i);
        });
        ASSERT_TRUE(sleepers_on(port.p, static_cast<std::uint32_t>(i + 1)));
    }
    OVERLAPPED a{}, b{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 1, 0, &a));
    for (auto deadline = steady::now() + 10s; first_done.load() < 0 && steady::now() < deadline;)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(first_done.load(), 1) << "the thread that waited last gets the packet";
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 2, 0, &b));
    for (auto& t : ts) t.join();
    EXPECT_EQ(got[1].ov, &a);
    EXPECT_EQ(got[0].ov, &b);
}

TEST(CompletionPort, ConcurrencyValueHoldsPacketsUntilARunningThreadReturns) {
    Port port(1);
    OVERLAPPED a{}, b{}, c{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &a));
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &b));
    // This thread now runs `a`: the port's one running slot is taken.
    ASSERT_EQ(Get(port.p).ov, &a);

    Got other;
    std::thread t([&] { other = Get(port.p, 200); });
    t.join();
    EXPECT_EQ(other.error, WAIT_TIMEOUT) << "a second thread must not run while the slot is taken";
    EXPECT_EQ(queued_packet_count(port.p), 1u);

    // Returning to the port frees the slot, and this thread takes `b`.
    EXPECT_EQ(Get(port.p, 0).ov, &b);

    // Waiting again with nothing queued gives the slot back.
    EXPECT_EQ(Get(port.p, 0).error, WAIT_TIMEOUT);

    // A thread that ends while running a packet gives its slot back too.
    std::atomic<bool> holding{false}, leave{false};
    std::thread holder([&] {
        ASSERT_EQ(Get(port.p).ov, &c);
        holding = true;
        for (auto deadline = steady::now() + 10s; !leave && steady::now() < deadline;)
            std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &c));
    for (auto deadline = steady::now() + 10s; !holding && steady::now() < deadline;)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(holding.load());
    std::thread sleeper([&] { other = Get(port.p); });
    ASSERT_TRUE(sleepers_on(port.p, 1));
    OVERLAPPED d{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &d));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(queued_packet_count(port.p), 1u) << "the sleeper must not run beside the holder";
    leave = true;
    holder.join();
    sleeper.join();
    EXPECT_EQ(other.ov, &d);
}

// An operation that finished at once on a thread running a packet of the
// port stays with that thread: the sleeper is not woken for it.
TEST(CompletionPort, OwnCompletionStaysWithTheRunningThread) {
    Port port;
    OVERLAPPED run{}, own{}, later{};
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &run));
    ASSERT_EQ(Get(port.p).ov, &run); // this thread now runs a packet
    Got other;
    std::thread sleeper([&] { other = Get(port.p); });
    ASSERT_TRUE(sleepers_on(port.p, 1));

    ASSERT_TRUE(post_own_completion(port.p, 7, 3, &own, 0));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(waiting_thread_count(port.p), 1u) << "the sleeper must not be woken for a kept packet";
    Got g = Get(port.p, 0);
    EXPECT_TRUE(g.ok);
    EXPECT_EQ(g.ov, &own);
    EXPECT_EQ(g.bytes, 7u);
    EXPECT_EQ(g.key, 3u);

    // The sleeper still gets what others post.
    ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &later));
    sleeper.join();
    EXPECT_EQ(other.ov, &later);
}

TEST(CompletionPort, OwnCompletionFromAThreadNotRunningThePortWakesASleeper) {
    Port port;
    OVERLAPPED own{};
    Got other;
    std::thread sleeper([&] { other = Get(port.p); });
    ASSERT_TRUE(sleepers_on(port.p, 1));
    ASSERT_TRUE(post_own_completion(port.p, 1, 0, &own, 10054));
    sleeper.join();
    EXPECT_EQ(other.ov, &own);
    EXPECT_EQ(other.error, 10054u);
}

// A thread that kept a packet and then blocks, for instance waiting for
// what that very packet's handler will do, must hand it over first, or it
// would wait for ever.
TEST(CompletionPort, KeptCompletionGoesToASleeperWhenTheThreadBlocks) {
    struct Case {
        const char* how;
        std::function<void(std::atomic<bool>& taken)> block;
    };
    const Case cases[] = {
        {"kernel-object wait",
         [](std::atomic<bool>& taken) {
             HANDLE e = CreateEventW(true, false, nullptr);
             for (auto deadline = steady::now() + 10s; !taken && steady::now() < deadline;)
                 WaitForSingleObject(e, 5);
             CloseHandle(e);
         }},
        {"sleep",
         [](std::atomic<bool>& taken) {
             for (auto deadline = steady::now() + 10s; !taken && steady::now() < deadline;) sleep_ms(5);
         }},
        {"futex event",
         [](std::atomic<bool>& taken) {
             futex_event done(true);
             std::thread setter([&] {
                 for (auto deadline = steady::now() + 10s; !taken && steady::now() < deadline;)
                     std::this_thread::sleep_for(1ms);
                 done.set();
             });
             done.wait();
             setter.join();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        Port port;
        OVERLAPPED run{}, own{};
        std::atomic<bool> taken{false};
        Got other;
        std::thread sleeper([&] {
            other = Get(port.p);
            taken = true;
        });
        ASSERT_TRUE(sleepers_on(port.p, 1));
        // The runner waits last, so it is handed `run` (last in, first out).
        Got ran;
        bool seen_while_blocked = false;
        std::thread runner([&] {
            ran = Get(port.p);
            post_own_completion(port.p, 0, 0, &own, 0);
            c.block(taken);
            // Checked before this thread ends: ending hands packets over too.
            seen_while_blocked = taken.load();
        });
        ASSERT_TRUE(sleepers_on(port.p, 2));
        ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, &run));
        runner.join();
        sleeper.join();
        EXPECT_EQ(ran.ov, &run);
        EXPECT_TRUE(seen_while_blocked) << "the kept packet did not reach the sleeper while its keeper blocked";
        EXPECT_EQ(other.ov, &own);
    }
}

TEST(CompletionPort, ClosingWakesEveryWaiter) {
    completion_port* p = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ASSERT_NE(p, nullptr);
    std::vector<std::thread> ts;
    std::vector<Got> got(3);
    for (int i = 0; i < 3; ++i) ts.emplace_back([&, i] { got[i] = Get(p); });
    ASSERT_TRUE(sleepers_on(p, 3));
    ASSERT_TRUE(CloseCompletionPort(p));
    for (auto& t : ts) t.join();
    for (const Got& g : got) {
        EXPECT_FALSE(g.ok);
        EXPECT_EQ(g.ov, nullptr);
        EXPECT_EQ(g.error, ERROR_ABANDONED_WAIT_0);
    }
}

TEST(CompletionPort, ArgumentErrors) {
    EXPECT_EQ(CreateIoCompletionPort(INVALID_HANDLE_VALUE, reinterpret_cast<completion_port*>(8), 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    Port port;
    // An unknown handle cannot be associated.
    EXPECT_EQ(CreateIoCompletionPort(reinterpret_cast<void*>(std::uintptr_t{123456}), port.p, 0, 0), nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_FALSE(GetQueuedCompletionStatus(nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(PostQueuedCompletionStatus(nullptr, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(CompletionPort, ManyProducersAndConsumersLoseAndDuplicateNothing) {
    Port port;
    constexpr int kProducers = 3, kConsumers = 3, kPerProducer = 50000;
    std::vector<std::atomic<std::uint8_t>> seen(kProducers * kPerProducer);
    std::atomic<int> duplicates{0};
    std::vector<std::thread> ts;
    for (int c = 0; c < kConsumers; ++c)
        ts.emplace_back([&] {
            for (;;) {
                Got g = Get(port.p);
                if (!g.ok) {
                    ADD_FAILURE() << "wait failed with " << g.error;
                    return;
                }
                if (g.key == 0) return;
                if (seen[g.bytes].fetch_add(1) != 0) duplicates.fetch_add(1);
            }
        });
    std::vector<std::thread> ps;
    for (int p = 0; p < kProducers; ++p)
        ps.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                ASSERT_TRUE(PostQueuedCompletionStatus(port.p, static_cast<std::uint32_t>(p * kPerProducer + i), 1,
                                                       nullptr));
        });
    for (auto& t : ps) t.join();
    for (int c = 0; c < kConsumers; ++c) ASSERT_TRUE(PostQueuedCompletionStatus(port.p, 0, 0, nullptr));
    for (auto& t : ts) t.join();
    EXPECT_EQ(duplicates.load(), 0);
    int missing = 0;
    for (auto& s : seen) missing += s.load() == 0;
    EXPECT_EQ(missing, 0);
}

} // namespace
