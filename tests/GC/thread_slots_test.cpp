// Threads that come and go for as long as a server runs, each leaving
// objects and roots behind, must never use up the thread table.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "GC/gcarray.h"
#include "gc_fixture.h"

using namespace gc_test;

namespace {

TEST(ThreadSlots, ShortLivedThreadsLeavingObjectsAndRootsNeverRunOut) {
    settle();
    const int alive = Tracked::alive.load();
    const std::uint32_t used = gc_detail::g_threads.used;
    constexpr int kThreads = 1200; // more than twice the table
    gc_array<gc_ptr<Tracked>> left = gcnew_array<gc_ptr<Tracked>>(kThreads);
    std::mutex m;
    std::vector<gc_ptr<Tracked>> roots; // its elements are roots of whichever thread copied them last
    for (int i = 0; i < kThreads; i += 2) {
        auto body = [&](int k) {
            left[k] = gcnew<Tracked>(k);
            std::lock_guard<std::mutex> g(m);
            roots.push_back(gcnew<Tracked>(k));
        };
        std::thread a;
        std::thread b;
        try {
            a = std::thread(body, i);
            b = std::thread(body, i + 1);
        } catch (const std::system_error& e) {
            if (a.joinable()) a.join();
            FAIL() << "thread " << i << " could not start: " << e.what();
        }
        a.join();
        b.join();
        if (i % 200 == 0) gc_detail::collect(1);
    }
    EXPECT_LE(gc_detail::g_threads.used, used + 2) << "ended threads kept their slots";
    settle();
    // What the ended threads left is intact.
    ASSERT_EQ(static_cast<int>(roots.size()), kThreads);
    long long sum = 0;
    for (const auto& r : roots) sum += r->value;
    for (int k = 0; k < kThreads; ++k) sum -= left[k]->value;
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(Tracked::alive.load() - alive, 2 * kThreads);
    roots.clear();
    roots.shrink_to_fit();
    left = nullptr;
    settle();
    EXPECT_EQ(Tracked::alive.load(), alive);
    EXPECT_EQ(gc_detail::g_threads.slots[0]->roots.count, 0u);
}

} // namespace
