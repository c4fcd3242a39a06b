#include "collections/GcList.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/GC/gc_fixture.h"
#include "tests/support.h"

using namespace gc_test;
using namespace System::Collections;
using gc_detail::collect;

namespace {

using TrackedList = TGcList<gc_ptr<Tracked>>;

class GcList : public ::testing::Test {
protected:
    void SetUp() override { settle(); }
};

// Adds Tracked(first) .. Tracked(first + n - 1) from a frame of its own, so
// the list holds the only references.
__attribute__((noinline)) void add_tracked(const gc_ptr<TrackedList>& list, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        gc_ptr<Tracked> t = gcnew<Tracked>(i);
        t->next = gcnew<Tracked>(-i);
        list->Add(t);
    }
}

// The list's values in order, checking each element's own member too.
std::vector<int> values_of(const gc_ptr<TrackedList>& list) {
    std::vector<int> out;
    for (int i = 0; i < list->GetCount(); ++i) {
        Tracked* t = list->ItemRef(i).get();
        if (!t) {
            out.push_back(0x7fffffff);
            continue;
        }
        EXPECT_TRUE(t->next && t->next->value == -t->value) << "element " << i << " lost its member";
        out.push_back(t->value);
    }
    return out;
}

std::vector<int> range(int first, int last) { // [first, last)
    std::vector<int> v;
    for (int i = first; i < last; ++i) v.push_back(i);
    return v;
}

using testing_support::message_of;

// ---------------------------------------------------------------- hashing

TEST(GcListHash, KnownValues) {
    struct Case {
        std::string bytes;
        std::uint32_t hash;
    } cases[] = {
        {"abc", 0x02062503u},
        {"", 0x5902879Eu},
        {"\xff", 0x7E54F6CAu},      // sign-extended: mixed in as 0xFFFFFFFF
        {"\x80" "abc", 0x5CE96CB4u},
    };
    for (const auto& c : cases)
        EXPECT_EQ(gc_detail::compute_hash(c.bytes.data(), static_cast<unsigned>(c.bytes.size())), c.hash)
            << "bytes of length " << c.bytes.size();
}

// ---------------------------------------------------------------- capacity

TEST(GcListCapacity, SizeRule) {
    struct Case {
        int count, length, expected;
    } cases[] = {
        {31, 32, 32},       {32, 32, 256},     {256, 256, 2048},   {2048, 2048, 16384},
        {15, 256, 256},     {33, 256, 256},    {40, 4096, 256},    {33, 4096, 256},
        {32, 4096, 4096},   // below 33 elements nothing shrinks
        {255, 4096, 256},   {256, 4096, 4096}, {127, 2048, 128},   {128, 2048, 2048},
        {0, 0, 32},
    };
    for (const auto& c : cases)
        EXPECT_EQ(gc_detail::list_capacity_after(c.count, c.length), c.expected)
            << "count " << c.count << " in " << c.length;
}

TEST(GcListCapacity, GrowthPastTheIntRangeThrows) {
    EXPECT_EQ(gc_detail::list_capacity_after(1 << 27, 1 << 27), 1 << 30);
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([] { gc_detail::list_capacity_after(1 << 28, 1 << 28); }),
              "gcnew_array cannot allocate array of 2147483648 elements");
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([] { gc_detail::list_capacity_after(1 << 29, 1 << 29); }),
              "gcnew_array cannot allocate array of 4294967296 elements");
}

TEST_F(GcList, The33rdAddGrowsTo256AndRemovalTo15DoesNotShrink) {
    auto list = gcnew<TrackedList>();
    EXPECT_EQ(list->GetCapacity(), 32);
    add_tracked(list, 0, 32);
    EXPECT_EQ(list->GetCapacity(), 32);
    add_tracked(list, 32, 1);
    EXPECT_EQ(list->GetCapacity(), 256);
    EXPECT_EQ(values_of(list), range(0, 33));
    while (list->GetCount() > 15) list->RemoveAt(0);
    EXPECT_EQ(list->GetCapacity(), 256);
    EXPECT_EQ(values_of(list), range(18, 33));
}

TEST_F(GcList, RemovalBelowASixteenthShrinksAndKeepsTheElements) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 257);
    ASSERT_EQ(list->GetCapacity(), 2048);
    while (list->GetCount() > 128) list->RemoveAt(list->GetCount() - 1);
    EXPECT_EQ(list->GetCapacity(), 2048);
    list->RemoveAt(0); // 127 < 2048 / 16
    EXPECT_EQ(list->GetCapacity(), 128);
    EXPECT_EQ(values_of(list), range(1, 128));
}

// A list whose array was sized elsewhere: 40 elements in 4096 slots.
class SparseList : public TrackedList {
public:
    SparseList(int slots, int n) {
        items_ = gcnew_array<gc_ptr<Tracked>>(slots);
        for (int i = 0; i < n; ++i) {
            gc_ptr<Tracked> t = gcnew<Tracked>(i);
            t->next = gcnew<Tracked>(-i);
            items_[i] = t;
        }
        count_ = n;
    }
};

TEST_F(GcList, SparseArrayShrinksOnTheNextChange) {
    struct Case {
        const char* change;
        std::function<void(TrackedList&)> apply;
        std::vector<int> expected;
    };
    std::vector<int> appended = range(0, 40);
    appended.push_back(100);
    std::vector<int> removed = range(1, 40);
    std::vector<int> inserted = range(0, 40);
    inserted.insert(inserted.begin(), 100);
    const Case cases[] = {
        {"Add", [](TrackedList& l) { add_tracked(gc_ptr<TrackedList>(&l), 100, 1); }, appended},
        {"RemoveAt", [](TrackedList& l) { l.RemoveAt(0); }, removed},
        {"Insert",
         [](TrackedList& l) {
             in_own_frame([&] {
                 gc_ptr<Tracked> t = gcnew<Tracked>(100);
                 t->next = gcnew<Tracked>(-100);
                 l.Insert(0, t);
             });
         },
         inserted},
    };
    for (const auto& c : cases) {
        gc_ptr<TrackedList> list = gcnew<SparseList>(4096, 40);
        ASSERT_EQ(list->GetCapacity(), 4096);
        c.apply(*list);
        EXPECT_EQ(list->GetCapacity(), 256) << c.change;
        collect(3); // the copied elements are held by the new array alone
        EXPECT_EQ(values_of(list), c.expected) << c.change;
    }
}

TEST_F(GcList, EnumeratorFollowsAnArrayReplacedWithoutAChange) {
    gc_ptr<TrackedList> list = gcnew<SparseList>(4096, 40);
    auto e = list->GetEnumerator();
    ASSERT_TRUE(e->MoveNext());
    list->AdjustCapacity(); // shrinks to 256; the elements are the same
    ASSERT_EQ(list->GetCapacity(), 256);
    list->SetItem(1, gcnew<Tracked>(77));
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ((*e->GetCurrent())->value, 77);
    EXPECT_EQ(e->GetCurrent(), &list->ItemRef(1));
}

// ---------------------------------------------------------------- operations

TEST_F(GcList, InsertAtEveryPosition) {
    auto list = gcnew<TGcList<int>>();
    list->Insert(0, 2);              // empty: index 0 is the count
    list->Insert(1, 4);              // at the count: appends
    list->Insert(0, 1);              // front
    list->Insert(2, 3);              // middle
    std::vector<int> got;
    for (int i = 0; i < list->GetCount(); ++i) got.push_back(list->GetItem(i));
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(message_of<Sysutils::ERangeError>([&] { list->Insert(5, 9); }), "GcList Insert index out of bounds");
    EXPECT_EQ(message_of<Sysutils::ERangeError>([&] { list->Insert(-1, 9); }),
              "GcList Insert index cannot be less than 0");
    EXPECT_EQ(list->GetCount(), 4);
}

TEST_F(GcList, InsertIntoAFullListGrowsAndShifts) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 1, 32);
    in_own_frame([&] {
        gc_ptr<Tracked> t = gcnew<Tracked>(0);
        t->next = gcnew<Tracked>(0);
        list->Insert(0, t);
    });
    EXPECT_EQ(list->GetCapacity(), 256);
    collect(3);
    EXPECT_EQ(values_of(list), range(0, 33));
}

TEST_F(GcList, IndexErrors) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 3);
    struct Case {
        const char* call;
        std::function<void()> f;
        const char* message;
    } cases[] = {
        {"ItemRef(-1)", [&] { list->ItemRef(-1); }, "GcList index cannot be less than 0"},
        {"ItemRef(count)", [&] { list->ItemRef(3); }, "GcList index out of bounds"},
        {"RemoveAt(-1)", [&] { list->RemoveAt(-1); }, "GcList RemoveAt index cannot be less than 0"},
        {"RemoveAt(count)", [&] { list->RemoveAt(3); }, "GcList RemoveAt index out of bounds"},
        {"GetItem(-1)", [&] { list->GetItem(-1); }, "gc_array access: Index out of bounds"},
        {"GetItem(length)", [&] { list->GetItem(32); }, "gc_array access: Index out of bounds"},
        {"SetItem(length)", [&] { list->SetItem(32, nullptr); }, "gc_array access: Index out of bounds"},
        {"indexer(count)", [&] { gc_ptr<Tracked> t = (*list)[3]; }, "GcList index out of bounds"},
        {"indexer(-1) =", [&] { (*list)[-1] = nullptr; }, "GcList index cannot be less than 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(message_of<Sysutils::ERangeError>(c.f), c.message) << c.call;
    EXPECT_EQ(list->GetCount(), 3);
    // Past the count but inside the array: the vacant slots read as null.
    EXPECT_FALSE(list->GetItem(3));
    EXPECT_FALSE(list->GetItem(31));
}

TEST_F(GcList, IndexerReadsAndWritesThroughTheSlot) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 2);
    EXPECT_EQ((*list)[1]->value, 1);
    gc_ptr<Tracked> replacement = gcnew<Tracked>(7);
    (*list)[0] = replacement;
    EXPECT_EQ(list->GetItem(0).get(), replacement.get());
    (*list)[1] = (*list)[0];
    EXPECT_EQ(list->GetItem(1).get(), replacement.get());
}

TEST_F(GcList, SearchIsByIdentity) {
    auto list = gcnew<TrackedList>();
    gc_ptr<Tracked> a = gcnew<Tracked>(1), b = gcnew<Tracked>(2), twin = gcnew<Tracked>(1);
    list->Add(a);
    list->Add(b);
    list->Add(a);
    EXPECT_EQ(list->IndexOf(a), 0);
    EXPECT_EQ(list->IndexOf(b), 1);
    EXPECT_EQ(list->IndexOf(twin), -1);
    EXPECT_FALSE(list->Contains(twin));
    EXPECT_FALSE(list->Remove(twin));
    EXPECT_TRUE(list->Remove(a)); // the first occurrence
    EXPECT_EQ(list->GetCount(), 2);
    EXPECT_EQ(list->GetItem(0).get(), b.get());
    EXPECT_EQ(list->GetItem(1).get(), a.get());
    EXPECT_FALSE(list->GetItem(2)) << "the vacated slot must be cleared";
    EXPECT_EQ(list->IndexOf(nullptr), -1);
}

TEST_F(GcList, PlainElements) {
    auto list = gcnew<TGcList<int>>();
    for (int i = 0; i < 40; ++i) list->Add(i * 10);
    EXPECT_EQ(list->IndexOf(390), 39);
    EXPECT_TRUE(list->Remove(0));
    EXPECT_EQ(list->GetItem(0), 10);
    list->ItemRef(0) = 5;
    EXPECT_EQ((*list)[0], 5);
}

TEST_F(GcList, AddOfItsOwnElementAcrossGrowth) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 32);
    list->Add(list->ItemRef(5)); // the slot's array is replaced by the growth
    EXPECT_EQ(list->GetCapacity(), 256);
    EXPECT_EQ(list->GetItem(32).get(), list->GetItem(5).get());
}

// ---------------------------------------------------------------- CopyTo

TEST_F(GcList, CopyToArgumentErrors) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 4);
    auto dst = gcnew_array<gc_ptr<Tracked>>(4);
    struct Case {
        const char* call;
        std::function<void()> f;
        const char* message;
        const char* param;
    } cases[] = {
        {"null array", [&] { list->CopyTo(0, nullptr, 0, 1); },
         "Invalid value for argument 'array' - argument must not be null.", "array"},
        {"count too large", [&] { list->CopyTo(1, dst, 0, 4); },
         "Invalid value for argument 'count' - invalid count - out of bounds", "count"},
        {"arrayIndex -1", [&] { list->CopyTo(0, dst, -1, 1); },
         "Invalid value for argument 'arrayIndex' - arrayIndex out of bounds", "arrayIndex"},
        {"arrayIndex = length", [&] { list->CopyTo(0, dst, 4, 1); },
         "Invalid value for argument 'arrayIndex' - arrayIndex out of bounds", "arrayIndex"},
        {"index -1", [&] { list->CopyTo(-1, dst, 0, 1); },
         "Invalid value for argument 'index' - index out of bounds", "index"},
        {"whole list, array null", [&] { list->CopyTo(gc_array<gc_ptr<Tracked>>()); },
         "Invalid value for argument 'array' - argument must not be null.", "array"},
        {"whole list at 1", [&] { list->CopyTo(dst, 4); },
         "Invalid value for argument 'arrayIndex' - arrayIndex out of bounds", "arrayIndex"},
    };
    for (const auto& c : cases) {
        try {
            c.f();
            ADD_FAILURE() << c.call << ": no exception";
        } catch (const System::EArgument& e) {
            EXPECT_EQ(e.Message().ToUtf8(), c.message) << c.call;
            EXPECT_EQ(e.ParamName().ToUtf8(), c.param) << c.call;
        }
    }
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(dst[i]) << "nothing copied by a failed call";
    // A huge negative index must not overflow the count test.
    EXPECT_THROW(list->CopyTo(-2147483647 - 1, dst, 0, 1), System::EArgument);
}

TEST_F(GcList, CopyToCopiesTheRange) {
    auto list = gcnew<TGcList<int>>();
    for (int i = 1; i <= 4; ++i) list->Add(i);
    auto dst = gcnew_array<int>(6);
    list->CopyTo(1, dst, 2, 3);
    EXPECT_EQ((std::vector<int>(dst.begin(), dst.end())), (std::vector<int>{0, 0, 2, 3, 4, 0}));
    list->CopyTo(dst);
    EXPECT_EQ((std::vector<int>(dst.begin(), dst.end())), (std::vector<int>{1, 2, 3, 4, 4, 0}));
    list->CopyTo(dst, 2);
    EXPECT_EQ((std::vector<int>(dst.begin(), dst.end())), (std::vector<int>{1, 2, 1, 2, 3, 4}));
    // Nothing to copy: no position test at all.
    list->CopyTo(4, dst, 99, 0);
    auto empty = gcnew<TGcList<int>>();
    empty->CopyTo(gcnew_array<int>(0));
    // Too short a destination fails at the first store past its end.
    EXPECT_EQ(message_of<Sysutils::ERangeError>([&] { list->CopyTo(dst, 3); }),
              "gc_array access: Index out of bounds");
}

// ---------------------------------------------------------------- enumeration

std::vector<int> enumerate(const gc_ptr<TIEnumerator<gc_ptr<Tracked>>>& e) {
    std::vector<int> out;
    while (e->MoveNext()) out.push_back((*e->GetCurrent())->value);
    return out;
}

TEST_F(GcList, EnumeratorVisitsInOrderAndStopsAtTheEnd) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 40);
    auto e = list->GetEnumerator();
    EXPECT_EQ(e->GetCurrent(), nullptr);
    EXPECT_EQ(enumerate(e), range(0, 40));
    EXPECT_EQ(e->GetCurrent(), nullptr);
    EXPECT_FALSE(e->MoveNext());
    e->Reset();
    EXPECT_EQ(enumerate(e), range(0, 40));
    auto empty = gcnew<TrackedList>();
    EXPECT_FALSE(empty->GetEnumerator()->MoveNext());
}

TEST_F(GcList, ChangeDuringEnumerationFailsTheNextStep) {
    struct Case {
        const char* change;
        std::function<void(TrackedList&)> apply;
    } cases[] = {
        {"Add", [](TrackedList& l) { l.Add(gcnew<Tracked>(9)); }},
        {"Insert", [](TrackedList& l) { l.Insert(0, gcnew<Tracked>(9)); }},
        {"RemoveAt", [](TrackedList& l) { l.RemoveAt(1); }},
        {"Remove", [](TrackedList& l) { l.Remove(l.GetItem(0)); }},
        {"Clear", [](TrackedList& l) { l.Clear(); }},
    };
    for (const auto& c : cases) {
        auto list = gcnew<TrackedList>();
        add_tracked(list, 0, 3);
        auto e = list->GetEnumerator();
        ASSERT_TRUE(e->MoveNext());
        c.apply(*list);
        EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { e->MoveNext(); }),
                  "Enumeration failed - collection was changed while enumerating")
            << c.change;
        EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { e->Reset(); }),
                  "Enumeration failed - collection was changed while enumerating")
            << c.change;
        // A new enumerator sees the changed list.
        EXPECT_NO_THROW(enumerate(list->GetEnumerator())) << c.change;
    }
}

TEST_F(GcList, ReplacingAnElementDoesNotInvalidate) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 3);
    auto e = list->GetEnumerator();
    ASSERT_TRUE(e->MoveNext());
    list->SetItem(2, gcnew<Tracked>(20));
    *e->GetCurrent() = gcnew<Tracked>(10); // the current slot is the list's slot
    EXPECT_EQ(list->GetItem(0)->value, 10);
    ASSERT_TRUE(e->MoveNext());
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ((*e->GetCurrent())->value, 20);
}

TEST_F(GcList, EnumeratorKeepsTheListAlive) {
    gc_ptr<TIEnumerator<gc_ptr<Tracked>>> e;
    in_own_frame([&] {
        auto list = gcnew<TrackedList>();
        add_tracked(list, 0, 5);
        e = list->GetEnumerator();
    });
    const int destroyed = Tracked::destroyed.load();
    settle();
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    EXPECT_EQ(enumerate(e), range(0, 5));
    e = nullptr;
    settle();
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 10);
}

TEST_F(GcList, SlotHandedOutStaysValidAfterTheListGrows) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 32);
    auto e = list->GetEnumerator();
    ASSERT_TRUE(e->MoveNext());
    gc_ptr<Tracked>* slot = e->GetCurrent();
    add_tracked(list, 32, 1); // new array; the enumerator holds the old one
    settle();
    ASSERT_TRUE(*slot);
    EXPECT_EQ((*slot)->value, 0);
    EXPECT_THROW(e->MoveNext(), Sysutils::EInvalidOperation);
}

class NullEnumerable : public TIEnumerable<int> {
public:
    gc_ptr<TIEnumerator<int>> GetEnumerator() override { return nullptr; }
};

TEST_F(GcList, ForEachPattern) {
    auto list = gcnew<TGcList<int>>();
    for (int i = 0; i < 5; ++i) list->Add(i);
    std::vector<int> seen;
    gc_for_each(list, [&](int& v) {
        seen.push_back(v);
        v *= 2;
    });
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(list->GetItem(4), 8);
    gc_ptr<TIEnumerable<int>> bad = gcnew<NullEnumerable>();
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { gc_for_each(bad, [](int&) {}); }),
              "Enumerable object returned an invalid enumerator (null)");
    EXPECT_THROW(gc_for_each(list, [&](int&) { list->Add(1); }), Sysutils::EInvalidOperation);
}

TEST_F(GcList, StaticArrayEnumeration) {
    auto array = gcnew_array<gc_ptr<Tracked>>(3);
    for (int i = 0; i < 3; ++i) array[i] = gcnew<Tracked>(i + 1);
    gc_ptr<TIEnumerable<gc_ptr<Tracked>>> view = gcnew<gc_detail::TStaticArray<gc_ptr<Tracked>>>(array);
    auto e = view->GetEnumerator();
    EXPECT_EQ(e->GetCurrent(), nullptr);
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ(e->GetCurrent(), &array[0]);
    array[1] = gcnew<Tracked>(20); // no version check on arrays
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ((*e->GetCurrent())->value, 20);
    ASSERT_TRUE(e->MoveNext());
    EXPECT_FALSE(e->MoveNext());
    e->Reset();
    EXPECT_EQ(e->GetCurrent(), nullptr);
    int sum = 0;
    gc_for_each(view, [&](gc_ptr<Tracked>& t) { sum += t->value; });
    EXPECT_EQ(sum, 1 + 20 + 3);
    gc_ptr<TIEnumerable<int>> empty = gcnew<gc_detail::TStaticArray<int>>(gcnew_array<int>(0));
    EXPECT_FALSE(empty->GetEnumerator()->MoveNext());
}

TEST_F(GcList, StaticArrayEnumeratorKeepsTheArrayAlive) {
    gc_ptr<TIEnumerator<gc_ptr<Tracked>>> e;
    in_own_frame([&] {
        auto array = gcnew_array<gc_ptr<Tracked>>(2);
        array[0] = gcnew<Tracked>(1);
        array[1] = gcnew<Tracked>(2);
        e = gcnew<gc_detail::TStaticArray<gc_ptr<Tracked>>>(array)->GetEnumerator();
    });
    settle();
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ((*e->GetCurrent())->value, 1);
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ((*e->GetCurrent())->value, 2);
}

// ---------------------------------------------------------------- collector

TEST_F(GcList, ElementsSurviveCollectionsOfEveryGeneration) {
    auto list = gcnew<TrackedList>();
    add_tracked(list, 0, 300); // two growths: 32 -> 256 -> 2048
    const int destroyed = Tracked::destroyed.load();
    for (int g : {1, 2, 3, 1, 2, 3}) {
        collect(g);
        EXPECT_EQ(Tracked::destroyed.load(), destroyed) << "generation " << g;
    }
    EXPECT_EQ(values_of(list), range(0, 300));
}

TEST_F(GcList, ElementsSurviveWhileTheListGrows) {
    auto list = gcnew<TrackedList>();
    const int destroyed = Tracked::destroyed.load();
    int g = 0;
    for (int i = 0; i < 2100; ++i) { // crosses 32, 256 and 2048 slots
        add_tracked(list, i, 1);
        if (i % 50 == 0 || i == 32 || i == 256 || i == 2048) collect(1 + g++ % 3);
    }
    EXPECT_EQ(list->GetCapacity(), 16384);
    collect(1);
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    EXPECT_EQ(values_of(list), range(0, 2100));
}

TEST_F(GcList, OldListGainsYoungElements) {
    // 300 elements: the 2048-slot array is a large block whose cards only
    // its own stores dirty, so a store that skipped its card would lose
    // the young element.
    struct Case {
        const char* store;
        std::function<void(TrackedList&, const gc_ptr<Tracked>&)> put;
        int index;
        bool replaces;
    } cases[] = {
        {"Add", [](TrackedList& l, const gc_ptr<Tracked>& t) { l.Add(t); }, 300, false},
        {"Insert", [](TrackedList& l, const gc_ptr<Tracked>& t) { l.Insert(150, t); }, 150, false},
        {"SetItem", [](TrackedList& l, const gc_ptr<Tracked>& t) { l.SetItem(299, t); }, 299, true},
        {"ItemRef", [](TrackedList& l, const gc_ptr<Tracked>& t) { l.ItemRef(299) = t; }, 299, true},
        {"indexer", [](TrackedList& l, const gc_ptr<Tracked>& t) { l[299] = t; }, 299, true},
    };
    for (const auto& c : cases) {
        settle(); // the previous case's list
        auto list = gcnew<TrackedList>();
        add_tracked(list, 0, 300);
        collect(1);
        collect(2); // the list and its array are old now
        in_own_frame([&] {
            gc_ptr<Tracked> young = gcnew<Tracked>(1000);
            young->next = gcnew<Tracked>(-1000);
            c.put(*list, young);
        });
        const int destroyed = Tracked::destroyed.load();
        collect(1);
        collect(1);
        collect(2);
        // At most the replaced (old) element may have gone yet.
        ASSERT_LE(Tracked::destroyed.load() - destroyed, c.replaces ? 2 : 0) << c.store;
        ASSERT_TRUE(list->GetItem(c.index)) << c.store;
        EXPECT_EQ(list->GetItem(c.index)->value, 1000) << c.store;
        EXPECT_EQ(list->GetItem(c.index)->next->value, -1000) << c.store;
        settle();
        EXPECT_EQ(list->GetItem(c.index)->next->value, -1000) << c.store;
        EXPECT_EQ(Tracked::destroyed.load() - destroyed, c.replaces ? 2 : 0)
            << c.store << ": only a replaced element goes";
    }
}

TEST_F(GcList, DroppedElementsAreCollected) {
    struct Case {
        const char* change;
        std::function<void(TrackedList&)> apply;
        int gone; // Tracked objects (two per element)
    } cases[] = {
        {"RemoveAt", [](TrackedList& l) { l.RemoveAt(10); }, 2},
        {"RemoveAt last", [](TrackedList& l) { l.RemoveAt(l.GetCount() - 1); }, 2},
        {"Remove", [](TrackedList& l) { in_own_frame([&] { l.Remove(l.GetItem(0)); }); }, 2},
        {"SetItem", [](TrackedList& l) { l.SetItem(3, nullptr); }, 2},
        {"Clear", [](TrackedList& l) { l.Clear(); }, 80},
        {"RemoveAt down to one",
         [](TrackedList& l) {
             while (l.GetCount() > 1) l.RemoveAt(0);
         },
         78},
    };
    for (const auto& c : cases) {
        settle(); // the previous case's list
        auto list = gcnew<TrackedList>();
        add_tracked(list, 0, 40);
        collect(2); // old: removal must not depend on a young list
        const int destroyed = Tracked::destroyed.load();
        c.apply(*list);
        settle();
        EXPECT_EQ(Tracked::destroyed.load() - destroyed, c.gone) << c.change;
        EXPECT_EQ(static_cast<int>(values_of(list).size()), list->GetCount()) << c.change;
    }
    settle();
    const int alive = Tracked::alive.load();
    in_own_frame([] {
        auto list = gcnew<TrackedList>();
        add_tracked(list, 0, 100);
    });
    settle();
    EXPECT_EQ(Tracked::alive.load(), alive) << "a dropped list takes its elements";
}

} // namespace
