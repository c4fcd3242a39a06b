// The baseline every event benchmark is measured against: a set/wait round
// trip between two threads over a pair of condition-variable events.
#pragma once
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace bench_support {

class cv_event {
public:
    void set() {
        {
            std::lock_guard<std::mutex> lk(m_);
            signalled_ = true;
        }
        cv_.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [&] { return signalled_; });
        signalled_ = false;
    }
private:
    std::mutex m_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

inline void BM_CondVarPingPong(benchmark::State& state) {
    cv_event ping, pong;
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            ping.wait();
            if (stop.load(std::memory_order_relaxed)) break;
            pong.set();
        }
    });
    for (auto _ : state) {
        ping.set();
        pong.wait();
    }
    stop = true;
    ping.set();
    partner.join();
    state.SetItemsProcessed(state.iterations());
}

} // namespace bench_support
