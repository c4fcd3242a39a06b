// A thread that allocates a lot while a collection's destructors run waits
// for them once, briefly: the blocks being freed are what it would take
// fresh memory for, and cleanup code that needs a lock it holds must not be
// kept waiting long.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "gc_fixture.h"

using namespace gc_test;

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_started{0};
std::atomic<int> g_destroyed{0};
std::mutex g_lock; // what the locking destructors take

struct SlowToDestroy {
    int payload = 0;
    ~SlowToDestroy() {
        g_started.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        g_destroyed.fetch_add(1);
    }
};
struct LockingDestructor {
    int payload = 0;
    ~LockingDestructor() {
        g_started.fetch_add(1);
        std::lock_guard<std::mutex> g(g_lock);
        g_destroyed.fetch_add(1);
    }
};
struct Kilobyte {
    char bytes[1000];
};

template <class T>
__attribute__((noinline)) void make_garbage(int n) {
    for (int i = 0; i < n; ++i) gcnew<T>();
}

// Allocates up to `limit` bytes while `running` holds; returns the longest
// time one allocation took.
template <class Running>
double longest_allocation_ms(std::size_t limit, Running running) {
    double longest = 0;
    for (std::size_t bytes = 0; bytes < limit && running(); bytes += sizeof(Kilobyte)) {
        const auto t0 = Clock::now();
        gcnew<Kilobyte>();
        longest = std::max(longest, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return longest;
}

TEST(CleanupPacing, HeavyAllocatorWaitsOnceAndBriefly) {
    constexpr int kObjects = 600; // about 600 ms of destructors on the collecting thread
    settle();
    g_started = 0;
    g_destroyed = 0;
    in_own_frame([] { make_garbage<SlowToDestroy>(kObjects); });
    run_with_deadline(60, "allocating while slow destructors run", [&] {
        std::thread collector([] { gc_detail::collect(3); });
        ASSERT_TRUE(wait_until([] { return g_started.load() > 0; }, 20000)) << "cleanup never started";
        double longest = 0;
        in_own_frame([&] {
            longest = longest_allocation_ms(std::size_t{64} << 20, [] { return g_destroyed.load() < kObjects - 100; });
        });
        const int destroyed_meanwhile = g_destroyed.load();
        collector.join();
        ASSERT_LT(destroyed_meanwhile, kObjects) << "the cleanup ended before the allocations: nothing measured";
        // It waited for the cleanup (20 ms at most), then went on while the
        // destructors were still running.
        EXPECT_GE(longest, 15.0);
        EXPECT_LT(longest, 300.0);
    });
    EXPECT_EQ(g_destroyed.load(), kObjects);
    settle();
}

// The heavy allocator holds the lock every destructor needs: it waits its
// bounded time, goes on, and the destructors finish once it lets go.
TEST(CleanupPacing, HeavyAllocatorHoldingTheLockCleanupNeedsGetsThrough) {
    constexpr int kObjects = 3000; // on the workers when there are any
    settle();
    g_started = 0;
    g_destroyed = 0;
    in_own_frame([] { make_garbage<LockingDestructor>(kObjects); });
    run_with_deadline(60, "a heavy allocator holding the destructors' lock", [&] {
        std::atomic<bool> holding{false};
        std::thread holder([&] {
            std::lock_guard<std::mutex> g(g_lock);
            holding.store(true);
            ASSERT_TRUE(wait_until([] { return g_started.load() > 0; }, 20000)) << "cleanup never started";
            in_own_frame([] { longest_allocation_ms(std::size_t{16} << 20, [] { return true; }); });
            EXPECT_EQ(g_destroyed.load(), 0);
        });
        ASSERT_TRUE(wait_until([&] { return holding.load(); }, 20000));
        gc_detail::collect(3);
        holder.join();
    });
    EXPECT_EQ(g_destroyed.load(), kObjects);
    settle();
}

} // namespace
