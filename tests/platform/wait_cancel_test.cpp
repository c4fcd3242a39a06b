// pthread_cancel of a thread blocked in a library wait: the waits are not
// cancellation points, so the cancellation takes effect at the thread's
// next cancellation point instead of unwinding through a noexcept wait.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel_objects.h"
#include "tests/support.h"

namespace {

struct Blocked {
    platform::HANDLE event;
    std::atomic<int> stage{0}; // 1 waiting, 2 woken
    std::uint32_t result = 0;
};

void* wait_then_reach_a_cancellation_point(void* p) {
    auto* b = static_cast<Blocked*>(p);
    b->stage.store(1);
    b->result = platform::WaitForSingleObject(b->event, platform::INFINITE);
    b->stage.store(2);
    for (;;) pthread_testcancel();
}

bool wait_for(const std::atomic<int>& v, int value) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (v.load() < value)
        if (std::chrono::steady_clock::now() > end) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

TEST(WaitCancellation, CancelledWaiterEndsAtItsNextCancellationPoint) {
    Blocked b;
    b.event = platform::CreateEventW(true, false, nullptr);
    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, &wait_then_reach_a_cancellation_point, &b), 0);
    ASSERT_TRUE(wait_for(b.stage, 1));
    ASSERT_TRUE(testing_support::sleepers_on(b.event));
    ASSERT_EQ(pthread_cancel(t), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(b.stage.load(), 1) << "the wait ended without its event";
    platform::SetEvent(b.event);
    ASSERT_TRUE(wait_for(b.stage, 2)) << "the cancelled waiter did not wake";
    void* ret = nullptr;
    ASSERT_EQ(pthread_join(t, &ret), 0);
    EXPECT_EQ(ret, PTHREAD_CANCELED);
    EXPECT_EQ(b.result, platform::WAIT_OBJECT_0);
    platform::CloseHandle(b.event);
}

} // namespace
