// fork while other threads allocate, collect, root pointers and use events
// and monitors: the child carries on with the library and exits cleanly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "core/Monitor.h"
#include "gc_fixture.h"
#include "platform/kernel_objects.h"

using namespace gc_test;

namespace {

// The child's exit status, or -1 (and the child killed) when it does not
// end in time.
int wait_child(pid_t pid, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

struct Counted {
    static std::atomic<int> alive;
    gc_ptr<Counted> next;
    Counted() { alive.fetch_add(1); }
    ~Counted() { alive.fetch_sub(1); }
};
std::atomic<int> Counted::alive{0};

// What a child does with the library; its exit code says what failed.
int child_work() {
    const int before = Counted::alive.load();
    in_own_frame([] {
        for (int i = 0; i < 1000; ++i) {
            gc_ptr<Counted> c = gcnew<Counted>();
            c->next = gcnew<Counted>();
        }
    });
    gc_ptr<Counted> keep = gcnew<Counted>();
    for (int i = 0; i < 3; ++i) gc_detail::collect(3);
    if (Counted::alive.load() > before + 1) return 2;
    platform::HANDLE e = platform::CreateEventW(false, false, nullptr);
    if (!e || !platform::SetEvent(e) || platform::WaitForSingleObject(e, 1000) != platform::WAIT_OBJECT_0) return 3;
    platform::CloseHandle(e);
    System::Threading::TMonitor::Enter(keep);
    System::Threading::TMonitor::Exit(keep);
    return 0;
}

TEST(Fork, ChildOfABusyProcessAllocatesCollectsAndExits) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    gc_ptr<Counted> shared = gcnew<Counted>();
    platform::HANDLE ping = platform::CreateEventW(false, false, nullptr);
    busy.emplace_back([&] { // allocates and roots
        while (!stop.load()) {
            gc_ptr<Counted> c = gcnew<Counted>();
            auto* root = new gc_ptr<Counted>(c);
            delete root;
        }
    });
    busy.emplace_back([&] { // collects
        for (int i = 0; !stop.load(); ++i) gc_detail::collect(i % 4 ? 1 : 3);
    });
    busy.emplace_back([&] { // uses events and a monitor
        while (!stop.load()) {
            platform::SetEvent(ping);
            platform::WaitForSingleObject(ping, 10);
            System::Threading::TMonitor::Enter(shared);
            System::Threading::TMonitor::Exit(shared);
        }
    });
    int failed = 0;
    int first_status = 0;
    for (int i = 0; i < 40; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) _exit(child_work());
        const int status = wait_child(pid, 30);
        if (status != 0) {
            ++failed;
            if (!first_status) first_status = status;
        }
    }
    stop.store(true);
    for (auto& t : busy) t.join();
    platform::CloseHandle(ping);
    EXPECT_EQ(failed, 0) << "first failure: exit status " << first_status << " (-1: hung)";
}

// Objects whose destruction the parent was in the middle of must not be
// destroyed again by the child.
struct Slow {
    static std::atomic<bool> started;
    static std::atomic<int> in_child; // destructions seen in a child
    static pid_t parent;
    int payload = 0;
    ~Slow() {
        if (getpid() != parent) in_child.fetch_add(1);
        if (!started.exchange(true)) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
};
std::atomic<bool> Slow::started{false};
std::atomic<int> Slow::in_child{0};
pid_t Slow::parent = 0;

TEST(Fork, ChildForkedDuringCleanupDoesNotDestroyAgain) {
    settle();
    Slow::parent = getpid();
    Slow::started.store(false);
    in_own_frame([] {
        for (int i = 0; i < 3000; ++i) gcnew<Slow>();
    });
    std::thread collector([] { gc_detail::collect(3); });
    ASSERT_TRUE(wait_until([] { return Slow::started.load(); }, 20000));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < 3; ++i) gc_detail::collect(3);
        _exit(Slow::in_child.load() == 0 ? 0 : 4);
    }
    EXPECT_EQ(wait_child(pid, 30), 0) << "4: the child destroyed the parent's objects again; -1: it hung";
    collector.join();
}

} // namespace
