// The helper thread's life: started by Initialize only, its collector
// thread taking requests, and a shutdown that leaves no thread behind.
// Each case runs in a child process of its own, since starting the helper
// is once per process.
#include "RozavUde/AsyncHelperThread.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

using System::Threading::Async;
using System::Threading::TAsyncHelperThread;

namespace {

int thread_count() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

// Polls cond until it holds or the deadline passes.
template <class F>
bool within_ms(unsigned ms, F&& cond) {
    const std::uint64_t end = platform::tick_count64() + ms;
    while (!cond()) {
        if (platform::tick_count64() > end) return false;
        platform::sleep_ms(1);
    }
    return true;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::_Exit(1);
}

} // namespace

TEST(AsyncHelperLife, InitializeStartsOnceAndShutdownLeavesNoThread) {
    EXPECT_EXIT(
        {
            const int before = thread_count();
            if (Async->GetStarted()) fail("started before Initialize");
            if (!Async->Initialize()) fail("first Initialize did not start");
            if (Async->Initialize()) fail("second Initialize started again");
            if (thread_count() != before + 2) fail("Initialize did not add exactly two threads");
            if (!within_ms(5000, [] { return Async->GcControl().running.load(); }))
                fail("collector thread did not run");
            System::Threading::Internal::ShutdownAsyncHelper();
            if (!Async->GetTerminated() || !TAsyncHelperThread::HelperTerminated()) fail("not terminated");
            if (Async->GcControl().running.load()) fail("collector thread still running");
            if (thread_count() != before) fail("threads left after shutdown");
            System::Threading::Internal::ShutdownAsyncHelper(); // again: nothing to do
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(AsyncHelperLife, CollectorThreadTakesRequests) {
    EXPECT_EXIT(
        {
            Async->Initialize();
            Async->GcCollect(3);
            if (!within_ms(5000, [] { return !Async->GcControl().request_pending.load(); }))
                fail("collection request not taken");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
