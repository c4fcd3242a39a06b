#include "GC/gcarray.h"

#include <gtest/gtest.h>

#include "gc_fixture.h"

using namespace gc_test;

namespace {

struct Pair {
    gc_ptr<Tracked> first;
    gc_ptr<Tracked> second;
    int tag = 0;
};

TEST(ManagedArrays, ThreeLayouts) {
    gc_array<int> ints = gcnew_array<int>(10);
    gc_array<gc_ptr<Tracked>> ptrs = gcnew_array<gc_ptr<Tracked>>(10);
    gc_array<Pair> pairs = gcnew_array<Pair>(10);
    const auto* hi = gc_detail::object_header::of(ints.data());
    const auto* hp = gc_detail::object_header::of(ptrs.data());
    const auto* hs = gc_detail::object_header::of(pairs.data());
    EXPECT_EQ(gc_detail::member_count(hi), 0);  // never scanned
    EXPECT_EQ(gc_detail::member_count(hp), -1); // scanned element by element
    EXPECT_EQ(gc_detail::member_count(hs), 20); // the elements' pointers are its members
    EXPECT_EQ(gc_detail::object_size(hp), 10 * gc_detail::layout::pointer_base_size + 1u);
    EXPECT_EQ(gc_detail::object_size(hi), 10 * sizeof(int));
    EXPECT_EQ(gc_detail::object_size(hs), 10 * sizeof(Pair));
    for (const auto* h : {hi, hp, hs}) EXPECT_EQ(h->word_before, 10);
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(ints[i], 0);
        EXPECT_FALSE(ptrs[i]);
        EXPECT_FALSE(pairs[i].first);
        EXPECT_EQ(pairs[i].tag, 0);
    }
}

TEST(ManagedArrays, SizesAndBounds) {
    gc_array<int> empty = gcnew_array<int>(0);
    EXPECT_EQ(empty.Length(), 0);
    try {
        gcnew_array<int>(-1);
        ADD_FAILURE();
    } catch (const Sysutils::EInvalidOperation& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "gcnew_array cannot allocate array of -1 elements");
    }
    gc_array<gc_ptr<Tracked>> a = gcnew_array<gc_ptr<Tracked>>(3);
    for (int i : {-1, 3, 1 << 30}) {
        try {
            (void)a[i];
            ADD_FAILURE() << i;
        } catch (const Sysutils::ERangeError& e) {
            EXPECT_EQ(e.Message().ToUtf8(), "gc_array access: Index out of bounds");
        }
    }
    gc_array<int> none;
    EXPECT_THROW((void)none[0], ENullReference);
    EXPECT_THROW((void)none.Length(), ENullReference);
    try {
        gcnew_array<gc_ptr<Tracked>>(0x7FFFFFFF); // far beyond the arena
        ADD_FAILURE();
    } catch (const Sysutils::EOutOfMemory& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "Failed to allocate memory");
    }
}

TEST(ManagedArrays, ElementStoresDirtyCardsAndKeepTargetsAlive) {
    settle();
    const int destroyed = Tracked::destroyed.load();
    gc_array<gc_ptr<Tracked>> a = gcnew_array<gc_ptr<Tracked>>(1000);
    gc_array<Pair> pairs = gcnew_array<Pair>(100);
    gc_detail::collect(1);
    gc_detail::collect(2); // the arrays are old now
    in_own_frame([&] {
        for (int i = 0; i < 1000; ++i) a[i] = gcnew<Tracked>(i);
        for (int i = 0; i < 100; ++i) pairs[i].second = gcnew<Tracked>(-i);
    });
    const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(&a[999]) - gc_detail::g_heap.base;
    EXPECT_EQ(gc_detail::g_change_bitmap[off >> gc_detail::layout::card_shift], 0xFF);
    for (int g : {1, 2, 3}) {
        gc_detail::collect(g);
        EXPECT_EQ(Tracked::destroyed.load(), destroyed) << g;
    }
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(a[i]->value, i);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(pairs[i].second->value, -i);
    in_own_frame([&] {
        a = nullptr;
        pairs = nullptr;
    });
    settle();
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1100);
}

struct Counted {
    static inline int destroyed = 0;
    gc_ptr<Tracked> p;
    ~Counted() { ++destroyed; }
};

TEST(ManagedArrays, StructElementsAreDestroyedWithTheirArray) {
    settle();
    Counted::destroyed = 0;
    in_own_frame([] { gcnew_array<Counted>(7); });
    settle();
    EXPECT_EQ(Counted::destroyed, 7);
}

} // namespace
