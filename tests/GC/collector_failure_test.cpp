// The collector's corruption reports and fatal paths.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "gc_fixture.h"
#include "tests/support.h"

using namespace gc_test;
using gc_detail::TGarbageCollector;

namespace {

constexpr const char* kCorrupt = "MANAGED-DEBUG-BREAK: Managed Memory is corrupt (detected at gcptr line ";

TEST(CollectorFailures, RegistrationWithoutTheMarkerIsReported) {
    testing_support::DebugCapture cap;
    gc_ptr<Tracked> t = gcnew<Tracked>(); // already registered: its marker is gone
    gc_ptr<Tracked> again;
    EXPECT_THROW(again.add_to_gc(t.get(), sizeof(Tracked), &gc_detail::destroy_thunk<Tracked>), EManagedMemoryCorrupt);
    EXPECT_TRUE(cap.contains(std::string(kCorrupt) + "1281)"));
    int local = 0;
    EXPECT_THROW(again.add_to_gc(&local, sizeof local, &gc_detail::destroy_thunk<int>), EManagedMemoryCorrupt);
}

struct Building {
    gc_ptr<Tracked> self_check;
    std::string suppress_error;
    Building() {
        gc_ptr<Building> me(this); // a temporary hold
        try {
            TGarbageCollector::SuppressFinalize(me);
        } catch (const Sysutils::EInvalidOperation& e) {
            suppress_error = e.Message().ToUtf8();
        }
    }
};

TEST(CollectorFailures, CheckedOperationsRefuseUnfinishedAndForeignTargets) {
    gc_ptr<Building> b = gcnew<Building>();
    EXPECT_EQ(b->suppress_error, "Managed object has not been fully constructed");
    testing_support::DebugCapture cap;
    int local = 0;
    gc_detail::pointer_base foreign;
    foreign.target = &local;
    EXPECT_THROW(TGarbageCollector::ReRegisterForFinalize(foreign), EManagedMemoryCorrupt);
    EXPECT_TRUE(cap.contains(std::string(kCorrupt) + "1308)"));
    foreign.target = nullptr;
}

// A root whose target is not a managed object makes the collection fail.
void collect_with_a_corrupt_root() {
    auto* root = new gc_ptr<Tracked>();
    int local = 0;
    root->target = &local;
    gc_detail::collect(1);
}

TEST(CollectorFailuresDeathTest, CorruptRootEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(collect_with_a_corrupt_root(),
                 "Managed Memory is corrupt \\(detected at gcptr line (1308|2680)\\)(.|\n)*Garbage collection failed");
}

struct ThrowingDestructor {
    ~ThrowingDestructor() noexcept(false) { throw std::runtime_error("no"); }
};

void destroy_a_throwing_object() {
    in_own_frame([] { gcnew<ThrowingDestructor>(); });
    gc_detail::collect(1);
}

TEST(CollectorFailuresDeathTest, ThrowingDestructorIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(destroy_a_throwing_object(),
                 "Managed object destructor raised an external exception(.|\n)*CRITICAL FAILURE");
}

} // namespace

namespace {

TEST(CollectorFork, ChildOfAForkCanStillCollect) {
    gc_ptr<Tracked> keep = gcnew<Tracked>(31);
    const pid_t pid = fork();
    if (pid == 0) {
        // One thread here: no workers, the others' records are dead.
        in_own_frame([] { gcnew<Tracked>(1); });
        const std::uint64_t live = gc_detail::collect(3);
        _exit(live != gc_detail::collect_busy && keep->value == 31 ? 0 : 1);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
