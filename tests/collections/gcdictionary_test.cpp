#include "collections/GcDictionary.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/GC/gc_fixture.h"
#include "tests/support.h"

using namespace gc_test;
using namespace System::Collections;
using gc_detail::collect;

namespace {

using IntDict = TGcDictionary<int, int>;
using TrackedDict = TGcDictionary<unsigned long, gc_ptr<Tracked>>;

class GcDictionary : public ::testing::Test {
protected:
    void SetUp() override { settle(); }
};

using testing_support::message_of;

// Keys in enumeration order.
template <class D>
auto keys_of(const gc_ptr<D>& d) {
    std::vector<std::decay_t<decltype(d->GetEnumerator()->GetCurrent()->get()->Key)>> out;
    gc_for_each(d, [&](auto& pair) { out.push_back(pair->Key); });
    return out;
}

// Adds keys first .. first + n - 1, each with a Tracked(key) whose member
// holds Tracked(-key), from a frame of its own.
__attribute__((noinline)) void add_tracked(const gc_ptr<TrackedDict>& d, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        gc_ptr<Tracked> t = gcnew<Tracked>(i);
        t->next = gcnew<Tracked>(-i);
        d->Add(static_cast<unsigned long>(i), t);
    }
}

// Every key of first .. first + n - 1 is found with its own value.
::testing::AssertionResult holds_tracked(const gc_ptr<TrackedDict>& d, int first, int n) {
    for (int i = first; i < first + n; ++i) {
        gc_ptr<Tracked> t;
        if (!d->TryGetValue(static_cast<unsigned long>(i), t)) return ::testing::AssertionFailure() << "key " << i << " lost";
        if (!t || t->value != i || !t->next || t->next->value != -i)
            return ::testing::AssertionFailure() << "key " << i << " has a wrong value";
    }
    return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------- sizes

TEST(GcDictionarySizes, PrimeListAndThreshold) {
    struct Case {
        int n, next;
    } sizes[] = {{0, 257}, {101, 257}, {256, 257}, {257, 1031}, {1031, 4099}, {268435459, 1073741827},
                 {1073741826, 1073741827}, {1073741827, 0}, {INT_MAX, 0}};
    for (const auto& c : sizes) EXPECT_EQ(gc_detail::next_dictionary_size(c.n), c.next) << "after " << c.n;
    struct Threshold {
        int buckets, threshold;
    } thresholds[] = {{257, 192}, {1031, 773}, {4099, 3074}, {1073741827, 805306370}};
    for (const auto& c : thresholds) EXPECT_EQ(gc_detail::dictionary_threshold(c.buckets), c.threshold);
}

TEST_F(GcDictionary, The192ndElementGrowsTheTableTo1031) {
    auto d = gcnew<IntDict>();
    EXPECT_EQ(d->GetBucketCount(), 257);
    for (int i = 0; i < 191; ++i) d->Add(i * 7919, i);
    EXPECT_EQ(d->GetBucketCount(), 257);
    d->Add(191 * 7919, 191);
    EXPECT_EQ(d->GetBucketCount(), 1031);
    EXPECT_EQ(d->GetCount(), 192);
    for (int i = 0; i < 192; ++i) {
        ASSERT_TRUE(d->ContainsKey(i * 7919)) << i;
        EXPECT_EQ(d->ItemRef(i * 7919), i);
    }
    for (int i = 192; i < 773; ++i) d->Add(i * 7919, i);
    EXPECT_EQ(d->GetBucketCount(), 4099);
    for (int i = 0; i < 773; ++i) ASSERT_EQ((*d)[i * 7919], i) << i;
}

// ---------------------------------------------------------------- operations

TEST_F(GcDictionary, DuplicateKey) {
    auto d = gcnew<IntDict>();
    d->Add(5, 50);
    EXPECT_EQ(message_of<EKeyAlreadyExists>([&] { d->Add(5, 51); }),
              "KeyAlreadyExistsException: Key already exists in Dictionary.");
    EXPECT_THROW(d->Add(gcnew<TKeyValuePair<int, int>>(5, 52)), EKeyAlreadyExists);
    EXPECT_EQ(d->GetCount(), 1);
    EXPECT_EQ(d->ItemRef(5), 50);
}

TEST_F(GcDictionary, MissingKey) {
    auto d = gcnew<IntDict>();
    d->Add(1, 10);
    const char* message = "KeyNotFoundException: Key could not be found in Dictionary.";
    EXPECT_EQ(message_of<EKeyNotFound>([&] { d->ItemRef(2); }), message);
    EXPECT_EQ(message_of<EKeyNotFound>([&] { int v = (*d)[2]; (void)v; }), message);
    EXPECT_EQ(message_of<EKeyNotFound>([&] { (*d)[2] = 20; }), message);
    int v = 77;
    EXPECT_FALSE(d->TryGetValue(2, v));
    EXPECT_EQ(v, 77) << "a failed lookup leaves the out value alone";
    EXPECT_FALSE(d->ContainsKey(2));
    EXPECT_FALSE(d->Remove(2));
    EXPECT_EQ(d->GetCount(), 1);
}

TEST_F(GcDictionary, ValueSlotAndIndexer) {
    auto d = gcnew<IntDict>();
    d->Add(1, 10);
    d->ItemRef(1) = 11;
    EXPECT_EQ((*d)[1], 11);
    (*d)[1] = 12;
    int v = 0;
    EXPECT_TRUE(d->TryGetValue(1, v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(d->ContainsValue(12));
    EXPECT_FALSE(d->ContainsValue(10));
}

TEST_F(GcDictionary, PairOperations) {
    using Pair = TKeyValuePair<unsigned long, gc_ptr<Tracked>>;
    auto d = gcnew<TrackedDict>();
    gc_ptr<Tracked> a = gcnew<Tracked>(1), twin = gcnew<Tracked>(1);
    d->Add(gcnew<Pair>(1ul, a));
    EXPECT_TRUE(d->Contains(gcnew<Pair>(1ul, a)));
    EXPECT_FALSE(d->Contains(gcnew<Pair>(1ul, twin))) << "values match by identity";
    EXPECT_FALSE(d->Contains(gcnew<Pair>(2ul, a)));
    EXPECT_TRUE(d->ContainsValue(a));
    EXPECT_FALSE(d->ContainsValue(twin));
    EXPECT_FALSE(d->Remove(gcnew<Pair>(2ul, a)));
    EXPECT_TRUE(d->Remove(gcnew<Pair>(1ul, twin))) << "removal of a pair goes by its key";
    EXPECT_EQ(d->GetCount(), 0);
}

TEST_F(GcDictionary, ClearStartsOver) {
    auto d = gcnew<IntDict>();
    for (int i = 0; i < 300; ++i) d->Add(i, i);
    ASSERT_EQ(d->GetBucketCount(), 1031);
    d->Clear();
    EXPECT_EQ(d->GetCount(), 0);
    EXPECT_EQ(d->GetBucketCount(), 257);
    EXPECT_FALSE(d->ContainsKey(5));
    d->Add(5, 6);
    EXPECT_EQ(d->ItemRef(5), 6);
}

TEST_F(GcDictionary, NullComparerIsRejected) {
    try {
        gcnew<IntDict>(gc_ptr<TIEqualityComparer<int>>());
        ADD_FAILURE() << "no exception";
    } catch (const System::EArgumentNull& e) {
        EXPECT_EQ(e.ParamName().ToUtf8(), "comparer");
    }
}

TEST_F(GcDictionary, StringKeys) {
    auto d = gcnew<TGcDictionary<UnicodeString, int>>();
    d->Add("alpha", 1);
    d->Add("beta", 2);
    d->Add("", 3);
    EXPECT_EQ(d->ItemRef(UnicodeString("alpha")), 1);
    EXPECT_EQ(d->ItemRef(UnicodeString("")), 3);
    EXPECT_FALSE(d->ContainsKey(UnicodeString("Alpha")));
    EXPECT_THROW(d->Add("beta", 4), EKeyAlreadyExists);
}

TEST_F(GcDictionary, ManagedPointerKeysGoByIdentity) {
    auto d = gcnew<TGcDictionary<gc_ptr<Tracked>, int>>();
    gc_ptr<Tracked> a = gcnew<Tracked>(1), twin = gcnew<Tracked>(1);
    d->Add(a, 1);
    d->Add(twin, 2);
    d->Add(nullptr, 3);
    EXPECT_EQ(d->ItemRef(a), 1);
    EXPECT_EQ(d->ItemRef(twin), 2);
    EXPECT_EQ(d->ItemRef(gc_ptr<Tracked>()), 3);
}

// ---------------------------------------------------------------- chains

// Hashes with a small modulus so that chains form; the hash is negative
// for negative keys.
class FewBuckets : public TIEqualityComparer<int> {
public:
    bool Equals(const int& a, const int& b) override { return a == b; }
    int GetHashCode(const int& key) override { return key % 3; }
};

TEST_F(GcDictionary, ChainsKeepOrderAndUnlinkAnywhere) {
    auto d = gcnew<IntDict>(gc_ptr<TIEqualityComparer<int>>(gcnew<FewBuckets>()));
    // Hashes 0, 1, 2: buckets 0, 1, 2 in enumeration order, each chain in
    // insertion order.
    for (int k : {3, 1, 6, 4, 2, 9, 5}) d->Add(k, k * 10);
    EXPECT_EQ(keys_of(d), (std::vector<int>{3, 6, 9, 1, 4, 2, 5}));
    EXPECT_TRUE(d->Remove(6)); // middle
    EXPECT_TRUE(d->Remove(3)); // head
    EXPECT_TRUE(d->Remove(5)); // tail
    EXPECT_FALSE(d->Remove(3));
    EXPECT_EQ(keys_of(d), (std::vector<int>{9, 1, 4, 2}));
    for (int k : {9, 1, 4, 2}) EXPECT_EQ(d->ItemRef(k), k * 10);
    EXPECT_EQ(d->GetCount(), 4);
}

TEST_F(GcDictionary, RehashKeepsChainOrder) {
    auto d = gcnew<IntDict>(gc_ptr<TIEqualityComparer<int>>(gcnew<FewBuckets>()));
    std::vector<int> keys;
    for (int i = 0; i < 200; ++i) keys.push_back((i * 37) % 1000);
    for (int k : keys) d->Add(k, k);
    ASSERT_EQ(d->GetBucketCount(), 1031);
    std::vector<int> expected;
    for (int h = 0; h < 3; ++h)
        for (int k : keys)
            if (k % 3 == h) expected.push_back(k);
    EXPECT_EQ(keys_of(d), expected);
}

TEST_F(GcDictionary, NegativeHashesStayInsideTheTable) {
    // Default comparer: an int key is its own hash, an unsigned long one
    // its value; both are negative as signed 32-bit values here.
    auto d = gcnew<IntDict>();
    const int negatives[] = {-1, -257, -258, INT_MIN, INT_MIN + 1, -2062};
    for (int k : negatives) d->Add(k, -(k / 2));
    for (int i = 1; i <= 300; ++i) d->Add(-1000 - i, i); // across a rehash
    EXPECT_EQ(d->GetBucketCount(), 1031);
    for (int k : negatives) EXPECT_EQ(d->ItemRef(k), -(k / 2)) << k;
    for (int i = 1; i <= 300; ++i) ASSERT_EQ(d->ItemRef(-1000 - i), i);
    EXPECT_FALSE(d->ContainsKey(1)) << "-1 and 1 are different keys";
    EXPECT_TRUE(d->Remove(INT_MIN));
    EXPECT_FALSE(d->ContainsKey(INT_MIN));
    EXPECT_EQ(static_cast<int>(keys_of(d).size()), d->GetCount());

    auto u = gcnew<TGcDictionary<unsigned long, int>>();
    const unsigned long big[] = {0xFFFFFFFFul, 0x80000000ul, 0xFFFFFF00ul, 0x1FFFFFFFFul};
    for (unsigned long k : big) u->Add(k, 1);
    for (unsigned long k : big) EXPECT_TRUE(u->ContainsKey(k)) << std::hex << k;

    auto few = gcnew<IntDict>(gc_ptr<TIEqualityComparer<int>>(gcnew<FewBuckets>()));
    for (int k = -9; k <= 9; ++k) few->Add(k, k);
    for (int k = -9; k <= 9; ++k) EXPECT_EQ(few->ItemRef(k), k);
}

// ---------------------------------------------------------------- enumeration

TEST_F(GcDictionary, EnumerationVisitsBucketsInOrder) {
    auto d = gcnew<IntDict>();
    for (int k : {200, 3, 100, 0, 256}) d->Add(k, k + 1);
    auto e = d->GetEnumerator();
    EXPECT_EQ(e->GetCurrent(), nullptr);
    std::vector<int> seen;
    while (e->MoveNext()) {
        const auto& pair = *e->GetCurrent();
        EXPECT_EQ(pair->Value, pair->Key + 1);
        seen.push_back(pair->Key);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 3, 100, 200, 256}));
    EXPECT_EQ(e->GetCurrent(), nullptr);
    EXPECT_FALSE(e->MoveNext());
    e->Reset();
    ASSERT_TRUE(e->MoveNext());
    EXPECT_EQ((*e->GetCurrent())->Key, 0);
    EXPECT_FALSE(gcnew<IntDict>()->GetEnumerator()->MoveNext());
}

TEST_F(GcDictionary, ChangeDuringEnumerationFailsTheNextStep) {
    struct Case {
        const char* change;
        std::function<void(IntDict&)> apply;
    } cases[] = {
        {"Remove(key)", [](IntDict& d) { d.Remove(2); }},
        {"Remove(pair)", [](IntDict& d) { d.Remove(gcnew<TKeyValuePair<int, int>>(1, 0)); }},
        {"Add", [](IntDict& d) { d.Add(10, 10); }},
        {"Clear", [](IntDict& d) { d.Clear(); }},
    };
    for (const auto& c : cases) {
        auto d = gcnew<IntDict>();
        for (int i = 0; i < 4; ++i) d->Add(i, i);
        auto e = d->GetEnumerator();
        ASSERT_TRUE(e->MoveNext());
        c.apply(*d);
        EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { e->MoveNext(); }),
                  "Enumeration failed - collection was changed while enumerating")
            << c.change;
        EXPECT_THROW(e->Reset(), Sysutils::EInvalidOperation) << c.change;
    }
    // A failed removal changes nothing.
    auto d = gcnew<IntDict>();
    d->Add(1, 1);
    auto e = d->GetEnumerator();
    EXPECT_FALSE(d->Remove(7));
    EXPECT_TRUE(e->MoveNext());
}

// ---------------------------------------------------------------- collector

TEST_F(GcDictionary, ValuesSurviveCollectionsOfEveryGeneration) {
    auto d = gcnew<TrackedDict>();
    add_tracked(d, 0, 250); // one rehash
    const int destroyed = Tracked::destroyed.load();
    for (int g : {1, 2, 3, 1, 2, 3}) {
        collect(g);
        EXPECT_EQ(Tracked::destroyed.load(), destroyed) << "generation " << g;
    }
    EXPECT_TRUE(holds_tracked(d, 0, 250));
}

TEST_F(GcDictionary, ValuesSurviveWhileTheTableGrows) {
    auto d = gcnew<TrackedDict>();
    const int destroyed = Tracked::destroyed.load();
    int g = 0;
    for (int i = 0; i < 800; ++i) { // rehashes at 192 and 773
        add_tracked(d, i, 1);
        if (i % 40 == 0 || i == 191 || i == 192 || i == 772 || i == 773) collect(1 + g++ % 3);
    }
    EXPECT_EQ(d->GetBucketCount(), 4099);
    collect(1);
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    EXPECT_TRUE(holds_tracked(d, 0, 800));
}

TEST_F(GcDictionary, OldDictionaryGainsYoungValues) {
    auto d = gcnew<TrackedDict>();
    add_tracked(d, 0, 10);
    collect(1);
    collect(2); // table, cells and values are old
    const int destroyed = Tracked::destroyed.load();
    add_tracked(d, 10, 5); // new cells appended to old chains or heads
    in_own_frame([&] {
        gc_ptr<Tracked> t = gcnew<Tracked>(3);
        t->next = gcnew<Tracked>(-3);
        d->ItemRef(3ul) = t; // a young value in an old cell
    });
    collect(1);
    collect(1);
    collect(2);
    EXPECT_TRUE(holds_tracked(d, 0, 15));
    settle();
    EXPECT_TRUE(holds_tracked(d, 0, 15));
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 2) << "only the replaced value goes";
}

TEST_F(GcDictionary, KeysThatAreManagedSurvive) {
    auto d = gcnew<TGcDictionary<gc_ptr<Tracked>, int>>();
    in_own_frame([&] {
        for (int i = 0; i < 200; ++i) d->Add(gcnew<Tracked>(i), i);
    });
    settle();
    int checked = 0;
    gc_for_each(d, [&](auto& pair) {
        EXPECT_EQ(pair->Key->value, pair->Value);
        ++checked;
    });
    EXPECT_EQ(checked, 200);
}

TEST_F(GcDictionary, DroppedValuesAreCollected) {
    struct Case {
        const char* change;
        std::function<void(TrackedDict&)> apply;
        int gone; // two Tracked objects per value
    } cases[] = {
        {"Remove head", [](TrackedDict& d) { d.Remove(0ul); }, 2},
        {"Remove several", [](TrackedDict& d) { for (unsigned long k = 10; k < 20; ++k) d.Remove(k); }, 20},
        {"replace value", [](TrackedDict& d) { d.ItemRef(5ul) = nullptr; }, 2},
        {"Clear", [](TrackedDict& d) { d.Clear(); }, 600},
    };
    for (const auto& c : cases) {
        settle(); // the previous case's dictionary
        auto d = gcnew<TrackedDict>();
        add_tracked(d, 0, 300);
        collect(2);
        const int destroyed = Tracked::destroyed.load();
        c.apply(*d);
        settle();
        EXPECT_EQ(Tracked::destroyed.load() - destroyed, c.gone) << c.change;
    }
    settle();
    const int alive = Tracked::alive.load();
    in_own_frame([] {
        auto d = gcnew<TrackedDict>();
        add_tracked(d, 0, 300);
        auto e = d->GetEnumerator();
        e->MoveNext();
    });
    settle();
    EXPECT_EQ(Tracked::alive.load(), alive) << "a dropped dictionary and its enumerator take their values";
}

} // namespace
