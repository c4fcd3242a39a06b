// Finalizers and destructors that take a lock held by a thread which is
// allocating: the allocating thread must get through while they run.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "gc_fixture.h"

using namespace gc_test;

namespace {

std::mutex g_registry;            // the lock cleanup code needs
std::atomic<int> g_cleanups{0};   // cleanups that got the lock
std::atomic<bool> g_waiting{false}; // a cleanup is about to take it

void take_registry() {
    g_waiting.store(true);
    std::lock_guard<std::mutex> g(g_registry);
    g_cleanups.fetch_add(1);
}

struct FinalizerTakesLock {
    int payload = 0;
    void Finalize() { take_registry(); }
};
struct DestructorTakesLock {
    int payload = 0;
    ~DestructorTakesLock() { take_registry(); }
};

template <class T>
__attribute__((noinline)) void make_garbage(int n) {
    for (int i = 0; i < n; ++i) gcnew<T>();
}

struct CleanupCase {
    const char* name;
    bool finalizer;
    int objects; // 1 runs on the collecting thread, 3000 on the workers (when there are any)
};

class CleanupTakesLock : public ::testing::TestWithParam<CleanupCase> {};

TEST_P(CleanupTakesLock, HolderOfTheLockCanAllocateMeanwhile) {
    const CleanupCase c = GetParam();
    settle();
    g_cleanups.store(0);
    g_waiting.store(false);
    in_own_frame([&] {
        if (c.finalizer) make_garbage<FinalizerTakesLock>(c.objects);
        else make_garbage<DestructorTakesLock>(c.objects);
    });
    run_with_deadline(30, std::string("cleanup taking a lock (") + c.name + ")", [&] {
        std::atomic<bool> holding{false};
        std::thread holder([&] {
            std::lock_guard<std::mutex> g(g_registry);
            holding.store(true);
            ASSERT_TRUE(wait_until([] { return g_waiting.load(); }, 20000)) << "cleanup never started";
            // The collection is inside cleanup now: allocating and rooting
            // must not wait for it to end.
            for (int i = 0; i < 100; ++i) {
                gc_ptr<Tracked> t = gcnew<Tracked>(i);
                auto* root = new gc_ptr<Tracked>(t);
                delete root;
            }
        });
        ASSERT_TRUE(wait_until([&] { return holding.load(); }, 20000));
        gc_detail::collect(3);
        holder.join();
        if (c.finalizer) gc_detail::collect(3); // destroys the finalized objects
    });
    EXPECT_EQ(g_cleanups.load(), c.objects);
}

INSTANTIATE_TEST_SUITE_P(Cases, CleanupTakesLock,
                         ::testing::Values(CleanupCase{"FewFinalizers", true, 1},
                                           CleanupCase{"ManyFinalizers", true, 3000},
                                           CleanupCase{"FewDestructors", false, 1},
                                           CleanupCase{"ManyDestructors", false, 3000}),
                         [](const auto& info) { return std::string(info.param.name); });

// Cleanup code that itself allocates and roots must not wait for the
// collection that called it.
struct AllocatingFinalizer {
    static std::atomic<int> done;
    void Finalize() {
        auto* root = new gc_ptr<Tracked>(gcnew<Tracked>(7));
        delete root;
        done.fetch_add(1);
    }
};
std::atomic<int> AllocatingFinalizer::done{0};

TEST(CleanupCode, AllocatesAndRootsWhileItsCollectionRuns) {
    settle();
    AllocatingFinalizer::done.store(0);
    in_own_frame([] { make_garbage<AllocatingFinalizer>(200); });
    run_with_deadline(30, "allocating finalizers", [] { settle(); });
    EXPECT_EQ(AllocatingFinalizer::done.load(), 200);
}

} // namespace
