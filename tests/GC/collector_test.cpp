#include "GC/collector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "GC/GarbageCollector.h"
#include "gc_fixture.h"
#include "tests/support.h"

using namespace gc_test;
using gc_detail::TGarbageCollector;

namespace {

class Collector : public ::testing::Test {
protected:
    void SetUp() override { settle(); }
};

// Returns a fresh object through a frame that is gone afterwards.
__attribute__((noinline)) void make_garbage(int n) {
    for (int i = 0; i < n; ++i) {
        gc_ptr<Tracked> t = gcnew<Tracked>(i);
        t->next = gcnew<Tracked>(i + 1);
    }
}

TEST_F(Collector, UnreachableObjectsAreDestroyedReachableOnesKept) {
    const int destroyed = Tracked::destroyed.load();
    gc_ptr<Tracked> keep = gcnew<Tracked>(42);
    keep->next = gcnew<Tracked>(43);
    in_own_frame([] { make_garbage(100); });
    gc_detail::collect(1);
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 200);
    EXPECT_EQ(keep->value, 42);
    EXPECT_EQ(keep->next->value, 43);
}

TEST_F(Collector, HeapRootKeepsItsGraph) {
    auto* root = new gc_ptr<Tracked>(gcnew<Tracked>(1));
    (*root)->next = gcnew<Tracked>(2);
    const int destroyed = Tracked::destroyed.load();
    settle();
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    EXPECT_EQ((*root)->next->value, 2);
    delete root;
    settle();
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 2);
}

TEST_F(Collector, YoungObjectReachedOnlyThroughAnOldOneSurvivesAYoungCollection) {
    gc_ptr<Tracked> old = gcnew<Tracked>(1);
    gc_detail::collect(1);
    gc_detail::collect(2); // now in generation 2
    const int destroyed = Tracked::destroyed.load();
    in_own_frame([&] { old->next = gcnew<Tracked>(99); }); // only the old object's member holds it
    gc_detail::collect(1);
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    EXPECT_EQ(old->next->value, 99);
    gc_detail::collect(1); // the card is clean now; the young object is older too
    gc_detail::collect(2); // the accumulated cards carry it through a middle collection
    EXPECT_EQ(old->next->value, 99);
    old->next = nullptr;
    settle();
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1);
}

TEST_F(Collector, YoungCollectionLeavesOldGarbageAlone) {
    const int destroyed = Tracked::destroyed.load();
    in_own_frame([] {
        auto* r = new gc_ptr<Tracked>(gcnew<Tracked>(5));
        gc_detail::collect(1); // generation 1
        delete r;
    });
    gc_detail::collect(1); // young only: the now unreachable older object stays
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    gc_detail::collect(2);
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1);
}

// ---- finalization -----------------------------------------------------------------

struct Finalizable {
    static std::atomic<int> finalized;
    static gc_ptr<Finalizable>* resurrect_into;
    static bool throw_on[16];
    int id = 0;
    gc_ptr<Tracked> child;
    void Finalize() {
        finalized.fetch_add(1);
        if (resurrect_into) *resurrect_into = gc_ptr<Finalizable>(this);
        if (id >= 0 && id < 16 && throw_on[id]) throw std::runtime_error("finalizer failed");
    }
};
std::atomic<int> Finalizable::finalized{0};
gc_ptr<Finalizable>* Finalizable::resurrect_into = nullptr;
bool Finalizable::throw_on[16] = {};

TEST_F(Collector, ResurrectingFinalizerRunsOnceAndKeepsItsMembers) {
    auto* holder = new gc_ptr<Finalizable>();
    Finalizable::resurrect_into = holder;
    Finalizable::finalized = 0;
    in_own_frame([] {
        gc_ptr<Finalizable> f = gcnew<Finalizable>();
        f->child = gcnew<Tracked>(77);
    });
    gc_detail::collect(1);
    EXPECT_EQ(Finalizable::finalized.load(), 1);
    Finalizable::resurrect_into = nullptr;
    ASSERT_TRUE(*holder);
    settle();
    ASSERT_TRUE(*holder);
    EXPECT_EQ((*holder)->child->value, 77); // its member outlived the finalizer
    EXPECT_EQ(Finalizable::finalized.load(), 1);
    const int destroyed = Tracked::destroyed.load();
    *holder = nullptr;
    settle();
    EXPECT_EQ(Finalizable::finalized.load(), 1); // not again without re-registration
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1);
    delete holder;
}

struct Holder {
    gc_ptr<Finalizable> child;
};

TEST_F(Collector, ObjectResurrectedIntoAnOldObjectSurvivesLaterCollections) {
    gc_ptr<Holder> old = gcnew<Holder>();
    gc_detail::collect(1);
    gc_detail::collect(2);
    gc_detail::collect(3); // old is in generation 2
    static Holder* into = nullptr;
    into = old.get();
    struct Phoenix : Finalizable {
        void Finalize() {
            Finalizable::Finalize();
            into->child = gc_ptr<Finalizable>(this); // only the old object holds it now
        }
    };
    Finalizable::finalized = 0;
    in_own_frame([] { gcnew<Phoenix>()->child = gcnew<Tracked>(55); });
    gc_detail::collect(1); // queued, finalized: resurrected into the old object
    ASSERT_TRUE(old->child);
    for (int g : {1, 1, 2, 1, 3}) {
        gc_detail::collect(g);
        ASSERT_TRUE(gc_detail::TGarbageCollector::IsObjectManaged(old->child.get())) << g;
        EXPECT_EQ(old->child->child->value, 55) << g;
    }
    EXPECT_EQ(Finalizable::finalized.load(), 1);
    old->child = nullptr;
    into = nullptr;
}

TEST_F(Collector, ReRegisteredObjectIsFinalizedAgain) {
    auto* holder = new gc_ptr<Finalizable>();
    Finalizable::finalized = 0;
    Finalizable::resurrect_into = holder;
    in_own_frame([] { gcnew<Finalizable>(); });
    gc_detail::collect(1);
    ASSERT_TRUE(*holder);
    TGarbageCollector::ReRegisterForFinalize(*holder);
    *holder = nullptr;
    Finalizable::resurrect_into = nullptr;
    settle();
    EXPECT_EQ(Finalizable::finalized.load(), 2);
    delete holder;
}

TEST_F(Collector, SuppressedFinalizerNeverRuns) {
    Finalizable::finalized = 0;
    const int destroyed = Tracked::destroyed.load();
    in_own_frame([] {
        gc_ptr<Finalizable> f = gcnew<Finalizable>();
        f->child = gcnew<Tracked>();
        TGarbageCollector::SuppressFinalize(f);
    });
    gc_detail::collect(1);
    EXPECT_EQ(Finalizable::finalized.load(), 0);
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1); // destroyed at the first collection
}

TEST_F(Collector, ThrowingFinalizerDoesNotStopTheOthers) {
    testing_support::DebugCapture cap;
    Finalizable::finalized = 0;
    Finalizable::throw_on[3] = true;
    in_own_frame([] {
        for (int i = 0; i < 10; ++i) gcnew<Finalizable>()->id = i;
    });
    gc_detail::collect(1);
    Finalizable::throw_on[3] = false;
    EXPECT_EQ(Finalizable::finalized.load(), 10);
    EXPECT_TRUE(cap.contains("WARNING - Managed object finalizer raised an external exception"));
}

TEST_F(Collector, FinalizerExceptionIsNamed) {
    struct Loud {
        void Finalize() { throw System::ETimeout("late"); }
    };
    testing_support::DebugCapture cap;
    in_own_frame([] { gcnew<Loud>(); });
    gc_detail::collect(1);
    EXPECT_TRUE(cap.contains("WARNING - Managed object finalizer raised ETimeout: late"));
}

// ---- interface --------------------------------------------------------------------

TEST_F(Collector, CollectChecksItsGeneration) {
    for (int g : {0, 4, -1}) {
        try {
            TGarbageCollector::Collect(g);
            ADD_FAILURE() << g;
        } catch (const System::EArgumentOutOfRange& e) {
            EXPECT_EQ(e.Message().ToUtf8(),
                      "Invalid value for argument 'generation' - GC::Collect invalid generation argument");
        }
    }
    for (int g : {1, 2, 3}) EXPECT_NO_THROW(TGarbageCollector::Collect(g));
}

TEST_F(Collector, SecondCollectionWhileOneRunsReportsBusy) {
    std::uint64_t inner = 0;
    gc_detail::set_stopped_world_hook([](void* r) { *static_cast<std::uint64_t*>(r) = gc_detail::collect(1); },
                                      &inner);
    const std::uint64_t outer = gc_detail::collect(1);
    gc_detail::set_stopped_world_hook(nullptr, nullptr);
    EXPECT_EQ(inner, gc_detail::collect_busy);
    EXPECT_NE(outer, gc_detail::collect_busy);
}

TEST_F(Collector, AllocatedBytesReturnToBaseline) {
    const std::uint64_t baseline = TGarbageCollector::GetAllocatedBytes();
    auto* root = new gc_ptr<Tracked>(gcnew<Tracked>());
    gc_ptr<Tracked> cur = *root;
    for (int i = 0; i < 1000; ++i) {
        cur->next = gcnew<Tracked>(i);
        cur = cur->next;
    }
    cur = nullptr;
    EXPECT_EQ(TGarbageCollector::GetAllocatedBytes() - baseline, 1001u * (sizeof(Tracked) + gc_detail::layout::accounted_overhead));
    settle();
    EXPECT_EQ(TGarbageCollector::GetAllocatedBytes() - baseline, 1001u * (sizeof(Tracked) + gc_detail::layout::accounted_overhead));
    delete root;
    settle();
    EXPECT_EQ(TGarbageCollector::GetAllocatedBytes(), baseline);
}

TEST_F(Collector, ObjectQueriesAndTheirChecks) {
    gc_ptr<Tracked> t = gcnew<Tracked>();
    EXPECT_EQ(TGarbageCollector::GetManagedObjectSize(t), sizeof(Tracked));
    EXPECT_EQ(TGarbageCollector::UnsafeGetManagedObjectSize(&t), 0u);
    EXPECT_FALSE(TGarbageCollector::IsObjectManaged(nullptr));
    gc_ptr<Tracked> none;
    try {
        TGarbageCollector::SuppressFinalize(none);
        ADD_FAILURE();
    } catch (const System::EArgumentNull& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "Invalid value for argument 'object' - argument must not be null.");
    }
    static std::atomic<int> custom{0};
    in_own_frame([] {
        gc_ptr<Tracked> c = gcnew<Tracked>();
        TGarbageCollector::SetCustomDestructor(c, [](void* p) {
            custom.fetch_add(1);
            gc_detail::destroy_thunk<Tracked>(p);
        });
        EXPECT_TRUE(TGarbageCollector::IsObjectManaged(c.get()));
    });
    settle();
    EXPECT_EQ(custom.load(), 1);
}

TEST_F(Collector, LongListNeedsNoDeepStack) {
    const int destroyed = Tracked::destroyed.load();
    auto* head = new gc_ptr<Tracked>(gcnew<Tracked>(0));
    in_own_frame([&] {
        gc_ptr<Tracked> cur = *head;
        for (int i = 1; i < 1000000; ++i) {
            cur->next = gcnew<Tracked>(i);
            cur = cur->next;
        }
    });
    settle();
    int n = 0;
    for (gc_ptr<Tracked> c = *head; c; c = c->next) ASSERT_EQ(c->value, n++);
    EXPECT_EQ(n, 1000000);
    delete head;
    settle();
    EXPECT_EQ(Tracked::destroyed.load() - destroyed, 1000000);
}

TEST_F(Collector, ObjectsHeldOnlyByAStoppedThreadsStackSurvive) {
    std::mutex m;
    std::condition_variable cv;
    int stage = 0;
    int seen = -1;
    const int destroyed = Tracked::destroyed.load();
    std::thread t([&] {
        gc_ptr<Tracked> mine = gcnew<Tracked>(123);
        mine->next = gcnew<Tracked>(124);
        {
            std::unique_lock<std::mutex> l(m);
            stage = 1;
            cv.notify_all();
            cv.wait(l, [&] { return stage == 2; });
        }
        seen = mine->value + mine->next->value;
    });
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return stage == 1; });
    }
    for (int g = 1; g <= 3; ++g) gc_detail::collect(g);
    EXPECT_EQ(Tracked::destroyed.load(), destroyed);
    {
        std::lock_guard<std::mutex> l(m);
        stage = 2;
    }
    cv.notify_all();
    t.join();
    EXPECT_EQ(seen, 247);
}

TEST_F(Collector, WorkersMatchTheMode) {
    if (gc_detail::embedded_mode()) EXPECT_EQ(gc_detail::marking_worker_count(), 0u);
    else EXPECT_EQ(gc_detail::marking_worker_count(), platform::processor_count());
}

TEST_F(Collector, ManyThreadsAllocatingWhileCollecting) {
    // A smaller cousin of the stress test: mutators register and drop
    // objects while another thread collects.
    std::atomic<bool> stop{false};
    std::thread collector([&] {
        int g = 0;
        while (!stop.load()) {
            gc_detail::collect(1 + (g++ % 3));
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // as the collection policy polls
        }
    });
    std::vector<std::thread> ts;
    std::atomic<int> errors{0};
    for (int k = 0; k < 3; ++k)
        ts.emplace_back([&, k] {
            gc_ptr<Tracked> keep = gcnew<Tracked>(k);
            for (int i = 0; i < 20000; ++i) {
                gc_ptr<Tracked> t = gcnew<Tracked>(i);
                if (i % 7 == 0) keep->next = t;
                if (t->value != i) errors.fetch_add(1);
            }
            if (keep->value != k) errors.fetch_add(1);
        });
    for (auto& t : ts) t.join();
    stop = true;
    collector.join();
    EXPECT_EQ(errors.load(), 0);
}

} // namespace
