#include "GC/arena.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

} // namespace
