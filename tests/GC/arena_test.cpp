#include "GC/arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "GC/object_header.h"

namespace A = gc_detail::arena;

namespace {

TEST(Arena, BlocksAreAlignedDistinctAndRecognised) {
    const std::size_t sizes[] = {0, 1, 16, 17, 48, 100, 255, 1000, 4000, 10000, 32704, 32705, 70000, 3u << 20};
    std::vector<void*> blocks;
    for (std::size_t sz : sizes)
        for (int i = 0; i < 50; ++i) {
            void* p = A::allocate(sz);
            ASSERT_TRUE(A::contains(p));
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 16, 0u) << sz;
            EXPECT_GE(A::usable_size(p), sz);
            EXPECT_TRUE(A::is_object_start(p)) << sz;
            const auto* h = gc_detail::object_header::of(p);
            EXPECT_EQ(h->check_word(), gc_detail::layout::unregistered_marker);
            EXPECT_EQ(h->word_before, 0);
            // Every interior address leads back to its block.
            for (std::size_t off : {std::size_t{0}, sz / 2, sz ? sz - 1 : 0})
                EXPECT_EQ(A::block_containing(static_cast<char*>(p) + off), p) << sz << " +" << off;
            if (sz) std::memset(p, 0xAB, sz);
            blocks.push_back(p);
        }
    std::set<void*> distinct(blocks.begin(), blocks.end());
    EXPECT_EQ(distinct.size(), blocks.size());
    for (void* p : blocks) {
        A::release(p);
        EXPECT_FALSE(A::is_object_start(p));
        EXPECT_EQ(A::block_containing(p), nullptr);
    }
    // Also once the caches have handed batches on to the centre, whose
    // links live in the free blocks.
    for (void* p : blocks) {
        EXPECT_FALSE(A::is_object_start(p));
        EXPECT_EQ(A::block_containing(p), nullptr);
    }
}

TEST(Arena, ForeignAddressesAreNotBlocks) {
    int local;
    std::vector<char> heap(64);
    for (const void* p : {static_cast<const void*>(&local), static_cast<const void*>(heap.data()),
                          static_cast<const void*>(nullptr),
                          reinterpret_cast<const void*>(gc_detail::g_heap.base + gc_detail::g_heap.size - 16)}) {
        EXPECT_FALSE(A::is_object_start(p));
        EXPECT_EQ(A::block_containing(p), nullptr);
    }
}

TEST(Arena, FreedBlocksAreReused) {
    std::vector<void*> first;
    for (int i = 0; i < 1000; ++i) first.push_back(A::allocate(40));
    for (void* p : first) A::release(p);
    const std::size_t committed = A::committed_bytes();
    std::vector<void*> second;
    for (int i = 0; i < 1000; ++i) second.push_back(A::allocate(40));
    EXPECT_EQ(A::committed_bytes(), committed);
    for (void* p : second) A::release(p);
}

TEST(Arena, LargeRunsCoalesceAfterRelease) {
    std::vector<void*> big;
    for (int i = 0; i < 8; ++i) big.push_back(A::allocate(200000));
    for (void* p : big) A::release(p);
    const std::size_t committed = A::committed_bytes();
    void* huge = A::allocate(8 * 200000); // fits in the merged runs
    EXPECT_EQ(A::committed_bytes(), committed);
    A::release(huge);
}

TEST(Arena, StaleDataInReusedPagesIsNotAnObject) {
    // A large block full of header-like bytes, freed, its pages then carved
    // into small blocks: addresses in blocks not handed out are not objects.
    void* big = A::allocate(1 << 20);
    std::memset(big, 0xC3, 1 << 20);
    const auto lo = reinterpret_cast<std::uintptr_t>(big);
    A::release(big);
    std::vector<void*> small;
    bool inside = false;
    for (int i = 0; i < 20000 && !inside; ++i) {
        void* p = A::allocate(100);
        small.push_back(p);
        const auto a = reinterpret_cast<std::uintptr_t>(p);
        inside = a >= lo && a < lo + (1 << 20);
    }
    ASSERT_TRUE(inside) << "the freed pages were not reused";
    for (std::uintptr_t a = lo; a < lo + (1 << 20); a += 4096) {
        void* b = A::block_containing(reinterpret_cast<void*>(a));
        if (!b) continue;
        EXPECT_NE(std::find(small.begin(), small.end(), b), small.end()) << std::hex << a;
    }
    for (void* p : small) A::release(p);
}

TEST(Arena, ThreadsAllocateAndFreeAcrossEachOther) {
    // Blocks freed on one thread are reused by another through the centre.
    std::vector<void*> made(20000);
    std::thread producer([&] {
        for (auto& p : made) p = A::allocate(64);
    });
    producer.join();
    std::thread consumer([&] {
        for (void* p : made) A::release(p);
    });
    consumer.join();
    const std::size_t committed = A::committed_bytes();
    std::thread again([&] {
        for (auto& p : made) p = A::allocate(64);
        for (void* p : made) A::release(p);
    });
    again.join();
    EXPECT_EQ(A::committed_bytes(), committed);
}

// A thread's cache hands its older blocks on as it fills; frees and
// allocations interleaved in every proportion must never hand out a block
// that is still in use, nor lose one.
TEST(Arena, CacheHandsOnBlocksWithoutLosingOrRepeatingOne) {
    std::thread t([] {
        std::mt19937 rng(7);
        std::vector<void*> live;
        std::set<void*> in_use;
        for (int round = 0; round < 40000; ++round) {
            // Mostly frees for a while, then mostly allocations.
            const bool frees = (round / 5000) % 2 == 0 ? rng() % 4 != 0 : rng() % 4 == 0;
            if (frees && !live.empty()) {
                const std::size_t i = rng() % live.size();
                in_use.erase(live[i]);
                A::release(live[i]);
                live[i] = live.back();
                live.pop_back();
            } else {
                void* p = A::allocate(48);
                ASSERT_TRUE(in_use.insert(p).second) << "block handed out twice: " << p;
                live.push_back(p);
            }
        }
        for (void* p : live) A::release(p);
    });
    t.join();
    // What that thread freed is reused, not left out of every list.
    const std::size_t committed = A::committed_bytes();
    std::thread again([] {
        std::vector<void*> made(20000);
        for (auto& p : made) p = A::allocate(48);
        for (void* p : made) A::release(p);
    });
    again.join();
    EXPECT_EQ(A::committed_bytes(), committed);
}

// The growth alarm rings once, on the allocating thread, when the blocks
// handed out reach its figure (large blocks count whole pages).
std::atomic<int> g_rings{0};
void ring() noexcept { g_rings.fetch_add(1); }

TEST(Arena, GrowthAlarmRingsOnceAtItsFigure) {
    constexpr std::size_t page = 65536;
    std::vector<void*> blocks;
    g_rings = 0;
    A::set_growth_alarm(16 * page, &ring);
    for (int i = 0; i < 15; ++i) blocks.push_back(A::allocate(40000)); // one page each
    EXPECT_EQ(g_rings.load(), 0);
    blocks.push_back(A::allocate(40000));
    EXPECT_EQ(g_rings.load(), 1);
    for (int i = 0; i < 20; ++i) blocks.push_back(A::allocate(40000));
    EXPECT_EQ(g_rings.load(), 1);
    // Disarmed, it stays silent.
    A::set_growth_alarm(page, &ring);
    A::set_growth_alarm(0, nullptr);
    for (int i = 0; i < 4; ++i) blocks.push_back(A::allocate(40000));
    EXPECT_EQ(g_rings.load(), 1);
    for (void* p : blocks) A::release(p);
}

} // namespace
