// Collections one right after the other must leave every other thread time
// to run its own code.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gc_fixture.h"

using namespace gc_test;

namespace {

TEST(CollectionFairness, SleepEndsWhileCollectionsRunBackToBack) {
    std::atomic<bool> stop{false};
    std::atomic<long> collections{0};
    std::thread collector([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!stop.load() && std::chrono::steady_clock::now() < end) {
            gc_detail::collect(1);
            collections.fetch_add(1);
        }
    });
    ASSERT_TRUE(wait_until([&] { return collections.load() > 10; }, 20000));
    std::atomic<long long> slept_ms{-1};
    std::thread sleeper([&] {
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        slept_ms.store(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
                           .count());
    });
    // Generous: a loaded machine may delay it, a starved thread never ends.
    const bool ended = wait_until([&] { return slept_ms.load() >= 0; }, 10000);
    stop.store(true);
    collector.join();
    sleeper.join();
    EXPECT_TRUE(ended) << "a 50 ms sleep had not ended after 10 s of back-to-back collections";
    EXPECT_GE(slept_ms.load(), 50);
}

} // namespace
