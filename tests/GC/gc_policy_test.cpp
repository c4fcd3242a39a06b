// The collection policies driven step by step with a fake heap and clock.
#include "GC/gc_policy.h"

#include <gtest/gtest.h>

#include <vector>

#include "GC/collector.h"

namespace {

using gc_detail::TAsyncGcManagerEmbedded;
using gc_detail::TAsyncGcManagerFull;

constexpr std::uint64_t MiB = 1 << 20;

// The fake heap: what is allocated now, what a collection leaves, and the
// collections asked for.
struct FakeHeap {
    std::uint64_t allocated = 0;
    std::uint64_t liveAfter = 0;
    bool busy = false;
    std::uint32_t tick = 1000;
    std::vector<int> collections;
};
FakeHeap heap;

gc_detail::gc_policy_services fake_services() {
    return {[](int g) -> std::uint64_t {
                if (heap.busy) return gc_detail::collect_busy;
                heap.collections.push_back(g);
                heap.allocated = heap.liveAfter;
                return heap.liveAfter;
            },
            [] { return heap.allocated; }, [] { return heap.tick; }};
}

class Policy : public ::testing::Test {
protected:
    void SetUp() override { heap = FakeHeap{}; }
    // The generations collected by one check after the heap grew to `now`,
    // a collection leaving `live`.
    std::vector<int> Step(gc_detail::TAsyncGcManager& p, std::uint64_t now, std::uint64_t live) {
        heap.collections.clear();
        heap.allocated = now;
        heap.liveAfter = live;
        heap.tick += 1;
        p.Check();
        return heap.collections;
    }
    std::atomic<bool> terminating{false};
};

using Gens = std::vector<int>;

TEST_F(Policy, DesktopCollectsYoungAfterTwoMegabytesOfGrowth) {
    heap.allocated = 100000;
    TAsyncGcManagerFull p(terminating, fake_services());
    EXPECT_EQ(Step(p, 100000 + 2 * MiB - 100, 100000), Gens{});
    EXPECT_EQ(Step(p, 100000 + 2 * MiB + 24000, 100000), Gens{});
    EXPECT_EQ(Step(p, 100000 + 2 * MiB + 25001, 100000), Gens{1}); // 2 MiB + a quarter of the live bytes
}

TEST_F(Policy, DesktopAllowanceIsAQuarterOfTheLiveBytesUpTo25MiB) {
    struct Case {
        std::uint64_t live;
        std::uint64_t belowTrigger; // growth that does not yet collect
    } cases[] = {{40 * MiB, 2 * MiB + 10 * MiB - 4096}, {400 * MiB, 2 * MiB + 25 * MiB - 4096}};
    for (const Case& c : cases) {
        heap.allocated = c.live;
        TAsyncGcManagerFull p(terminating, fake_services());
        EXPECT_EQ(Step(p, c.live + c.belowTrigger, c.live), Gens{}) << c.live;
        EXPECT_EQ(Step(p, c.live + c.belowTrigger + 8192, c.live), Gens{1}) << c.live;
    }
}

// Older generations are collected once what the younger collections left
// outgrows them: by 2 MiB plus a quarter of what they held. A young
// collection whose survivors leave the old generations about as they were
// is followed by another young one, however often it happens.
TEST_F(Policy, DesktopEscalatesOnlyWhenTheOldGenerationsGrow) {
    const std::uint64_t old = 4 * MiB;           // after the last older collections
    const std::uint64_t allowance = 3 * MiB;     // 2 MiB + old / 4
    const std::uint64_t burst = 64 * MiB;        // growth that always collects
    heap.allocated = old;
    TAsyncGcManagerFull p(terminating, fake_services());
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(Step(p, old + burst, old + MiB), Gens{1}) << i;
        EXPECT_EQ(p.NextGeneration(), 1) << i;
    }
    EXPECT_EQ(Step(p, old + burst, old + allowance), Gens{1});
    EXPECT_EQ(p.NextGeneration(), 1); // exactly the allowance: not yet
    EXPECT_EQ(Step(p, old + burst, old + allowance + 1), Gens{1});
    EXPECT_EQ(p.NextGeneration(), 2);
    // A generation-2 collection that leaves the allowance over the last full one: young next.
    EXPECT_EQ(Step(p, old + burst, old + allowance), Gens{2});
    EXPECT_EQ(p.NextGeneration(), 1);
    // The generation-2 figure is now 7 MiB: its allowance is 3.75 MiB.
    const std::uint64_t after2 = old + allowance;
    EXPECT_EQ(Step(p, after2 + burst, after2 + 3 * MiB), Gens{1});
    EXPECT_EQ(p.NextGeneration(), 1);
    EXPECT_EQ(Step(p, after2 + burst, after2 + 3 * MiB + MiB), Gens{1});
    EXPECT_EQ(p.NextGeneration(), 2);
    EXPECT_EQ(Step(p, after2 + burst, old + allowance + 1), Gens{2});
    EXPECT_EQ(p.NextGeneration(), 3);
    EXPECT_EQ(Step(p, after2 + burst, old), Gens{3});
    EXPECT_EQ(p.NextGeneration(), 1);
}

TEST_F(Policy, DesktopRequestTakesTheHigherGeneration) {
    TAsyncGcManagerFull p(terminating, fake_services());
    p.Request(2);
    EXPECT_EQ(Step(p, 0, 0), Gens{2});
    p.Request(1);
    EXPECT_EQ(Step(p, 0, 0), Gens{1});
    EXPECT_EQ(Step(p, 0, 0), Gens{}); // the request was taken
}

TEST_F(Policy, DesktopFullCollectionAfterTheInterval) {
    TAsyncGcManagerFull p(terminating, fake_services());
    heap.tick += 29990;
    EXPECT_EQ(Step(p, 0, 0), Gens{});
    heap.tick += 20;
    EXPECT_EQ(Step(p, 0, 0), Gens{3});
    terminating = true;
    heap.tick += 2990;
    EXPECT_EQ(Step(p, 0, 0), Gens{});
    heap.tick += 20;
    EXPECT_EQ(Step(p, 0, 0), Gens{3});
}

TEST_F(Policy, BusyCollectorChangesNothing) {
    heap.allocated = 1 * MiB;
    TAsyncGcManagerFull p(terminating, fake_services());
    heap.busy = true;
    p.Request(3);
    EXPECT_EQ(Step(p, 0, 0), Gens{});
    heap.busy = false;
    EXPECT_EQ(Step(p, 1 * MiB + 3 * MiB, 1 * MiB), Gens{3}); // the failed attempt left the generation
    heap.busy = true;
    heap.tick += 40000;
    Step(p, 0, 0);
    heap.busy = false;
    EXPECT_EQ(Step(p, 0, 0), Gens{3}); // and the clock
}

TEST_F(Policy, EmbeddedCollectsEverythingOnGrowth) {
    struct Case {
        std::uint64_t last, now;
        bool collects;
    } cases[] = {
        {0, 65535, false},                  // below 64 KiB of growth
        {0, 65537, true},                   // 64 KiB and far more than 5 %
        {10 * MiB, 10 * MiB + 262000, false}, // 256 KiB not exceeded, 2.5 %
        {10 * MiB, 10 * MiB + 262146, true},
        {1 * MiB, 1 * MiB + 60000, false},  // 5.7 % but under 64 KiB
        {2 * MiB, 2 * MiB + 110000, true},  // 5.2 %, above 64 KiB
    };
    for (const Case& c : cases) {
        heap.allocated = c.last;
        TAsyncGcManagerEmbedded p(terminating, fake_services());
        EXPECT_EQ(Step(p, c.now, c.last), c.collects ? Gens{3} : Gens{}) << c.last << " -> " << c.now;
    }
}

TEST_F(Policy, EmbeddedRequestsAndIntervalCollectEverything) {
    TAsyncGcManagerEmbedded p(terminating, fake_services());
    p.Request(1);
    EXPECT_EQ(Step(p, 0, 0), Gens{3});
    terminating = true;
    heap.tick += 490;
    EXPECT_EQ(Step(p, 0, 0), Gens{});
    heap.tick += 20;
    EXPECT_EQ(Step(p, 0, 0), Gens{3});
}

} // namespace
