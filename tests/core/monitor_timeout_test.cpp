// A monitor's timed TryEnter never gives up before its time-out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "GC/gcptr.h"
#include "core/Monitor.h"

namespace {

struct Guarded {
    int value = 0;
};

TEST(MonitorTimeout, TimedTryEnterIsNeverEarly) {
    gc_ptr<Guarded> g = gcnew<Guarded>();
    std::atomic<bool> held{false}, release{false};
    // The owner lets go now and then and takes the monitor back at once,
    // so the waiter wakes and counts its time more than once.
    std::thread owner([&] {
        System::Threading::TMonitor::Enter(g);
        held.store(true);
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            System::Threading::TMonitor::Exit(g);
            System::Threading::TMonitor::Enter(g);
        }
        System::Threading::TMonitor::Exit(g);
    });
    while (!held.load()) std::this_thread::yield();
    // Whole-millisecond ticks made some of these end up to 1 ms early.
    for (int ms : {1, 2, 3, 5}) {
        for (int i = 0; i < 50; ++i) {
            const auto t0 = std::chrono::steady_clock::now();
            const bool got = System::Threading::TMonitor::TryEnter(g, ms);
            const auto us =
                std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
            if (got) {
                System::Threading::TMonitor::Exit(g);
                continue;
            }
            ASSERT_GE(us, ms * 1000LL) << "TryEnter(" << ms << ") gave up after " << us << " us";
        }
    }
    release.store(true);
    owner.join();
}

} // namespace
