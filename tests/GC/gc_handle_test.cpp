// Weak handle tables: clearing by the collector, reuse of freed entries,
// invalid handles, and handles used on several threads while collections run.
#include "GC/gc_handle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "tests/GC/gc_fixture.h"
#include "tests/support.h"

namespace {

using gc_detail::TGCHandle;
using gc_test::in_own_frame;
using gc_test::settle;

struct Item : System::TObject {
    int value;
    explicit Item(int v) : value(v) {}
    ~Item() override { value = -1; }
};

gc_ptr<System::TObject> as_object(const gc_ptr<Item>& p) { return gc_ptr<System::TObject>(p); }
int value_of(const gc_ptr<System::TObject>& o) { return static_cast<Item*>(o.get())->value; }

TEST(GCHandle, ShortHandleClearsWhenUnreachable) {
    gc_ptr<Item> kept = gcnew<Item>(1);
    std::uint32_t hKept = TGCHandle::InternalAlloc(as_object(kept), false), hGone = 0;
    in_own_frame([&] { hGone = TGCHandle::InternalAlloc(as_object(gcnew<Item>(2)), false); });
    settle();
    EXPECT_EQ(value_of(TGCHandle::InternalGet(hKept)), 1);
    EXPECT_FALSE(TGCHandle::InternalGet(hGone));
    TGCHandle::InternalFree(hKept);
    TGCHandle::InternalFree(hGone);
}

TEST(GCHandle, YoungCollectionClearsYoungGarbageOnly) {
    gc_ptr<Item> old = gcnew<Item>(1);
    settle(); // old is in the oldest generation now
    std::uint32_t hOld = TGCHandle::InternalAlloc(as_object(old), false), hYoung = 0;
    in_own_frame([&] { hYoung = TGCHandle::InternalAlloc(as_object(gcnew<Item>(2)), false); });
    gc_detail::collect(1);
    EXPECT_FALSE(TGCHandle::InternalGet(hYoung));
    EXPECT_EQ(value_of(TGCHandle::InternalGet(hOld)), 1);
    TGCHandle::InternalFree(hOld);
    TGCHandle::InternalFree(hYoung);
}

TEST(GCHandle, FreedEntriesAreReusedWithoutDisturbingOthers) {
    std::vector<gc_ptr<Item>> items;
    std::vector<std::uint32_t> handles;
    for (int i = 0; i < 10; ++i) {
        items.push_back(gcnew<Item>(i));
        handles.push_back(TGCHandle::InternalAlloc(as_object(items.back()), i % 2 == 1));
    }
    const std::uint32_t freedShort = handles[4], freedTrack = handles[5];
    TGCHandle::InternalFree(freedShort);
    TGCHandle::InternalFree(freedTrack);
    gc_ptr<Item> a = gcnew<Item>(100), b = gcnew<Item>(101);
    const std::uint32_t ha = TGCHandle::InternalAlloc(as_object(a), false);
    const std::uint32_t hb = TGCHandle::InternalAlloc(as_object(b), true);
    EXPECT_EQ(ha, freedShort);
    EXPECT_EQ(hb, freedTrack);
    EXPECT_NE(hb & TGCHandle::track_bit, 0u);
    EXPECT_EQ(ha & TGCHandle::track_bit, 0u);
    for (int i = 0; i < 10; ++i) {
        if (i != 4 && i != 5) {
            EXPECT_EQ(value_of(TGCHandle::InternalGet(handles[i])), i);
        }
    }
    EXPECT_EQ(value_of(TGCHandle::InternalGet(ha)), 100);
    EXPECT_EQ(value_of(TGCHandle::InternalGet(hb)), 101);
    for (int i = 0; i < 10; ++i)
        if (i != 4 && i != 5) TGCHandle::InternalFree(handles[i]);
    TGCHandle::InternalFree(ha);
    TGCHandle::InternalFree(hb);
}

TEST(GCHandle, UpdateReturnsThePreviousTarget) {
    gc_ptr<Item> a = gcnew<Item>(1), b = gcnew<Item>(2);
    const std::uint32_t h = TGCHandle::InternalAlloc(as_object(a), false);
    EXPECT_EQ(value_of(TGCHandle::InternalUpdate(h, as_object(b))), 1);
    EXPECT_EQ(value_of(TGCHandle::InternalGet(h)), 2);
    EXPECT_EQ(value_of(TGCHandle::InternalUpdate(h, gc_ptr<System::TObject>())), 2);
    EXPECT_FALSE(TGCHandle::InternalGet(h));
    TGCHandle::InternalFree(h);
}

TEST(GCHandle, InvalidHandlesAreRefused) {
    const std::uint32_t h = TGCHandle::InternalAlloc(gc_ptr<System::TObject>(), false);
    TGCHandle::InternalFree(h);
    const std::uint32_t bad[] = {h, 0x7FFFFFF0u, TGCHandle::track_bit | 0x7FFFFFF0u};
    for (std::uint32_t b : bad) {
        EXPECT_EQ(testing_support::message_of<Sysutils::EInvalidOperation>([&] { TGCHandle::InternalGet(b); }),
                  "Invalid weak handle");
        EXPECT_THROW(TGCHandle::InternalFree(b), Sysutils::EInvalidOperation);
        EXPECT_THROW(TGCHandle::InternalUpdate(b, gc_ptr<System::TObject>()), Sysutils::EInvalidOperation);
    }
}

// Threads allocate, read and free handles to objects that only the handles
// refer to, while another thread collects all the time: a handle yields its
// own object or null, never another handle's object or a destroyed one.
TEST(GCHandle, ChurnOnSeveralThreadsNeverYieldsAForeignObject) {
    constexpr int kThreads = 4;
    std::atomic<bool> stop{false};
    std::atomic<long> wrong{0}, reads{0}, collections{0};
    std::thread collector([&] {
        while (!stop.load()) {
            if (gc_detail::collect(1 + static_cast<int>(reads.load() % 3)) != gc_detail::collect_busy)
                collections.fetch_add(1);
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            struct Held {
                std::uint32_t handle;
                int value;
            };
            std::vector<Held> held;
            std::vector<gc_ptr<Item>> strong(16);
            // Long enough for a good number of collections to overlap, also
            // on a loaded machine where each takes long.
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int i = 0; i < 20000 || (collections.load() < 50 && std::chrono::steady_clock::now() < until); ++i) {
                const int value = t * 1000000 + i;
                gc_ptr<Item> item = gcnew<Item>(value);
                if (rng() % 4 == 0) strong[rng() % strong.size()] = item; // some stay reachable
                held.push_back({TGCHandle::InternalAlloc(as_object(item), rng() % 2 == 0), value});
                item = nullptr;
                const Held& h = held[rng() % held.size()];
                gc_ptr<System::TObject> o = TGCHandle::InternalGet(h.handle);
                reads.fetch_add(1);
                if (o && value_of(o) != h.value) wrong.fetch_add(1);
                if (held.size() > 64) {
                    const std::size_t k = rng() % held.size();
                    TGCHandle::InternalFree(held[k].handle);
                    held[k] = held.back();
                    held.pop_back();
                }
            }
            for (const Held& h : held) TGCHandle::InternalFree(h.handle);
        });
    for (auto& th : threads) th.join();
    stop = true;
    collector.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(collections.load(), 10);
}

} // namespace
