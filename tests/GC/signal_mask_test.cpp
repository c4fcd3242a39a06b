// Programs block, wait for and handle signals as they like; collections
// must still stop every thread, and the stop signal never reaches them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "gc_fixture.h"
#include "platform/thread_hooks.h"

using namespace gc_test;

namespace {

void collect_many(int n) {
    for (int i = 0; i < n; ++i) gc_detail::collect(i % 2 ? 1 : 3);
}

sigset_t full_set() {
    sigset_t s;
    sigfillset(&s);
    return s;
}

using mask_fn = int (*)(int, const sigset_t*, sigset_t*);
struct MaskCase {
    const char* name;
    mask_fn fn;
    int how;
};

class BlockingEverySignal : public ::testing::TestWithParam<MaskCase> {};

TEST_P(BlockingEverySignal, AllocatingThreadStillStops) {
    const MaskCase c = GetParam();
    std::atomic<bool> stop{false};
    std::atomic<int> made{0};
    std::thread mutator([&] {
        const sigset_t all = full_set();
        ASSERT_EQ(c.fn(c.how, &all, nullptr), 0);
        while (!stop.load()) {
            gc_ptr<Tracked> t = gcnew<Tracked>(1);
            auto* root = new gc_ptr<Tracked>(t);
            delete root;
            made.fetch_add(1);
        }
    });
    ASSERT_TRUE(wait_until([&] { return made.load() > 0; }, 20000));
    run_with_deadline(60, std::string("collections against a thread blocking all signals (") + c.name + ")",
                      [] { collect_many(20); });
    stop.store(true);
    mutator.join();
}

TEST_P(BlockingEverySignal, MainThreadOfADaemonStillStops) {
    // This thread blocks everything, as a daemon's main thread does before
    // it leaves signals to a thread in sigwait; others collect meanwhile.
    const MaskCase c = GetParam();
    const sigset_t all = full_set();
    sigset_t old;
    ASSERT_EQ(c.fn(c.how, &all, &old), 0);
    sigset_t now;
    c.fn(SIG_BLOCK, nullptr, &now);
    EXPECT_FALSE(sigismember(&now, platform::suspend_signal())) << "the stop signal was blocked";
    EXPECT_TRUE(sigismember(&now, SIGUSR1));
    run_with_deadline(60, std::string("collections while the main thread blocks all signals (") + c.name + ")",
                      [] { collect_many(20); });
    c.fn(SIG_SETMASK, &old, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Masks, BlockingEverySignal,
                         ::testing::Values(MaskCase{"pthread_sigmask_block", &pthread_sigmask, SIG_BLOCK},
                                           MaskCase{"pthread_sigmask_set", &pthread_sigmask, SIG_SETMASK},
                                           MaskCase{"sigprocmask_block", &sigprocmask, SIG_BLOCK}),
                         [](const auto& info) { return std::string(info.param.name); });

// A signal thread waits on a full set; it must see only what the program sends.
enum class wait_kind { sigwait, sigwaitinfo, sigtimedwait, signalfd };
struct WaitCase {
    const char* name;
    wait_kind kind;
};

int wait_for_signal(wait_kind k, const sigset_t& set) {
    switch (k) {
    case wait_kind::sigwait: {
        int sig = 0;
        return sigwait(&set, &sig) == 0 ? sig : -1;
    }
    case wait_kind::sigwaitinfo:
        return sigwaitinfo(&set, nullptr);
    case wait_kind::sigtimedwait: {
        const timespec ts{30, 0};
        return sigtimedwait(&set, nullptr, &ts);
    }
    case wait_kind::signalfd: {
        const int fd = signalfd(-1, &set, SFD_CLOEXEC);
        if (fd < 0) return -1;
        signalfd_siginfo si{};
        const ssize_t n = read(fd, &si, sizeof si);
        close(fd);
        return n == static_cast<ssize_t>(sizeof si) ? static_cast<int>(si.ssi_signo) : -1;
    }
    }
    return -1;
}

class SignalThread : public ::testing::TestWithParam<WaitCase> {};

TEST_P(SignalThread, ReceivesOnlyTheProgramsSignals) {
    const WaitCase c = GetParam();
    const sigset_t all = full_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &all, &old); // inherited by the signal thread
    std::atomic<bool> waiting{false};
    std::atomic<int> first{0};
    std::atomic<int> errors{0};
    std::thread waiter([&] {
        waiting.store(true);
        for (;;) {
            const int sig = wait_for_signal(c.kind, all);
            if (sig < 0) {
                if (errno == EINTR) continue; // the program's own handlers may interrupt
                errors.fetch_add(1);
                return;
            }
            first.store(sig);
            return;
        }
    });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(wait_until([&] { return waiting.load(); }, 20000));
    run_with_deadline(60, std::string("collections against a signal thread (") + c.name + ")",
                      [] { collect_many(30); });
    EXPECT_EQ(first.load(), 0) << "the waiting thread was handed signal " << first.load();
    pthread_kill(waiter.native_handle(), SIGUSR1);
    run_with_deadline(30, "the signal thread's wait", [&] { waiter.join(); });
    EXPECT_EQ(errors.load(), 0);
    EXPECT_EQ(first.load(), SIGUSR1);
}

INSTANTIATE_TEST_SUITE_P(Waits, SignalThread,
                         ::testing::Values(WaitCase{"sigwait", wait_kind::sigwait},
                                           WaitCase{"sigwaitinfo", wait_kind::sigwaitinfo},
                                           WaitCase{"sigtimedwait", wait_kind::sigtimedwait},
                                           WaitCase{"signalfd", wait_kind::signalfd}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StopSignal, HandlerCannotBeReplacedAndStaysOutOfOtherMasks) {
    struct sigaction mine {};
    mine.sa_handler = SIG_IGN;
    errno = 0;
    EXPECT_EQ(sigaction(platform::suspend_signal(), &mine, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    struct sigaction current {};
    ASSERT_EQ(sigaction(platform::suspend_signal(), nullptr, &current), 0);
    EXPECT_NE(current.sa_handler, SIG_IGN);

    struct sigaction other {};
    other.sa_handler = +[](int) {};
    sigfillset(&other.sa_mask);
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR2, &other, &old), 0);
    struct sigaction back {};
    ASSERT_EQ(sigaction(SIGUSR2, &old, &back), 0);
    EXPECT_FALSE(sigismember(&back.sa_mask, platform::suspend_signal()));
    EXPECT_TRUE(sigismember(&back.sa_mask, SIGUSR1));
}

} // namespace
