// Pages carved into blocks of one size come back for any size once their
// blocks are all free, and their memory goes back to the system.
#include <gtest/gtest.h>

#include <malloc.h>
#ifdef __SANITIZE_ADDRESS__
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "GC/arena.h"
#include "GC/collector_thread.h"
#include "GC/gc_policy.h"
#include "GC/gcarray.h"
#include "gc_fixture.h"

namespace A = gc_detail::arena;

namespace {

std::size_t process_resident_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    unsigned long size = 0, resident = 0;
    const int n = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return n == 2 ? resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// The C heap in use, mapped chunks included (large lists are mapped). The
// address sanitizer's allocator replaces glibc's and counts for itself.
std::size_t native_in_use() {
#ifdef __SANITIZE_ADDRESS__
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

constexpr std::size_t kMiB = std::size_t{1} << 20;

TEST(SpanReclaim, EmptySpansServeLargeBlocksAndOtherSizes) {
    // 48 MiB of one size class, all freed: before anything else is made,
    // the pages hold only free blocks of that class.
    std::vector<void*> blocks;
    const std::size_t block = (48 + gc_detail::layout::header_size + 15) & ~std::size_t{15};
    for (std::size_t made = 0; made < 48 * kMiB; made += block) blocks.push_back(A::allocate(48));
    for (void* p : blocks) A::release(p);
    const std::size_t given = A::reclaim_empty_spans();
    EXPECT_GE(given, 40 * kMiB) << "spans stayed with their size class";

    // A large block and blocks of other classes now fit without new pages.
    const std::size_t committed = A::committed_bytes();
    void* big = A::allocate(16 * kMiB);
    std::vector<void*> other;
    for (std::size_t made = 0; made < 16 * kMiB; made += 1024) other.push_back(A::allocate(1000));
    EXPECT_EQ(A::committed_bytes(), committed);
    std::memset(big, 0x5A, 16 * kMiB);
    A::release(big);
    for (void* p : other) A::release(p);
}

TEST(SpanReclaim, SpanWithALiveBlockStays) {
    // One live block in every span: nothing may be given back, and the
    // live blocks keep their contents and stay recognised.
    std::vector<void*> blocks;
    for (int i = 0; i < 40000; ++i) blocks.push_back(A::allocate(200));
    std::vector<void*> kept;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i % 97 == 0) {
            std::memset(blocks[i], 0x3C, 200);
            kept.push_back(blocks[i]);
        } else {
            A::release(blocks[i]);
        }
    }
    A::reclaim_empty_spans();
    // Whatever was reclaimed, new blocks never land on a live one.
    std::vector<void*> fresh;
    for (int i = 0; i < 20000; ++i) fresh.push_back(A::allocate(200));
    for (void* p : kept) {
        ASSERT_TRUE(A::is_object_start(p));
        EXPECT_EQ(A::block_containing(static_cast<char*>(p) + 100), p);
        const auto* bytes = static_cast<const unsigned char*>(p);
        for (int b = 0; b < 200; ++b) ASSERT_EQ(bytes[b], 0x3C) << "a live block was handed out again";
    }
    for (void* p : fresh)
        for (void* k : kept) ASSERT_NE(p, k);
    for (void* p : fresh) A::release(p);
    for (void* p : kept) A::release(p);
}

// A 128-byte block with its header, whatever the header's size.
struct Node {
    gc_ptr<Node> next;
    std::int64_t payload[(128 - gc_detail::layout::header_size - sizeof(gc_ptr<Node>)) / 8] = {};
};
static_assert(sizeof(Node) + gc_detail::layout::header_size == 128);

// Builds a chain of nodes in a frame of its own and calls at_peak while it
// lives; the chain is garbage on return.
template <class F>
void drop_chain(int nodes, F&& at_peak) {
    gc_test::in_own_frame([&] {
        gc_ptr<Node> head;
        for (int i = 0; i < nodes; ++i) {
            gc_ptr<Node> n = gcnew<Node>();
            n->next = head;
            head = n;
        }
        at_peak();
    });
}

// A large heap of small objects, dropped and collected by the collector
// alone: a large array and other sizes fit in its pages, and resident
// memory falls.
TEST(SpanReclaim, DroppedHeapComesBackAfterCollections) {
    gc_test::settle();
    std::size_t before_drop = 0, native_before = 0;
    // About 300 MiB with headers, well past the backed reserve.
    drop_chain(2'400'000, [&] {
        before_drop = process_resident_bytes();
        native_before = native_in_use();
    });
    const std::size_t committed = A::committed_bytes();
    // Within a few collections.
    for (int i = 0; i < 3; ++i) gc_test::settle();
    const std::size_t after = process_resident_bytes();
    EXPECT_LT(after + 64 * kMiB, before_drop)
        << "resident " << before_drop / kMiB << " MiB before the drop, " << after / kMiB << " MiB after";
    // The collector's own lists of those objects (8 bytes each at least)
    // shrink with them.
    const std::size_t native_after = native_in_use();
    EXPECT_LT(native_after + 16 * kMiB, native_before)
        << "C heap in use " << native_before / kMiB << " MiB before the drop, " << native_after / kMiB << " MiB after";

    gc_test::in_own_frame([&] {
        gc_array<std::int64_t> big = gcnew_array<std::int64_t>(static_cast<int>(8 * kMiB / sizeof(std::int64_t)));
        big[0] = 1;
        std::vector<gc_array<char>> others;
        for (int i = 0; i < 16000; ++i) others.push_back(gcnew_array<char>(3000));
        EXPECT_EQ(A::committed_bytes(), committed) << "the dropped heap's pages were not reused";
    });
    gc_test::settle();
}

// A heap smaller than the backed reserve, dropped while the program goes
// idle: nothing allocates afterwards, so no collection's walk comes, yet the
// collector's thread gives the pages back to the system.
TEST(SpanReclaim, IdleHeapGivesItsMemoryBack) {
    // The library's own collector thread starts one layer up; here the same
    // procedure runs on a thread of the test's.
    gc_detail::collector_thread_control control;
    std::thread collector([&] { gc_detail::GcThreadProc(control); });
    struct stop_at_exit {
        gc_detail::collector_thread_control& c;
        std::thread& t;
        ~stop_at_exit() {
            c.stop();
            t.join();
        }
    } stop{control, collector};
    gc_test::settle();
    std::size_t before_drop = 0;
    // The arena's own pages: the process's figure also holds what a
    // sanitizer's allocator keeps in quarantine.
    drop_chain(400'000, [&] { before_drop = A::resident_bytes(); }); // about 50 MiB with headers
    gc_test::settle();
    std::size_t now = 0;
    const bool fell = gc_test::wait_until(
        [&] {
            now = A::resident_bytes();
            return now + 40 * kMiB < before_drop;
        },
        20000);
    EXPECT_TRUE(fell) << "arena resident " << before_drop / kMiB << " MiB before the drop, still " << now / kMiB
                      << " MiB after 20 s idle";
}

} // namespace
