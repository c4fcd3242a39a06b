// Work items on the library's work pool against a minimal pool of
// std::threads over one mutex, condition variable and queue of
// std::function: throughput of bursts and the delay from queueing an item
// to its start on an idle pool. Both pools run the same number of threads
// at the same (below normal) priority; the queueing thread blocks while it
// waits, so that it does not take the processor from the pools.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Delegates.h"
#include "platform/system.h"

using namespace System;
using namespace System::Threading;
using Clock = std::chrono::steady_clock;

namespace {

class plain_pool {
public:
    explicit plain_pool(int threads) {
        for (int i = 0; i < threads; ++i)
            workers_.emplace_back([this] {
                platform::set_thread_priority(platform::current_thread_id(), platform::thread_priority::below_normal);
                run();
            });
    }
    ~plain_pool() {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : workers_) t.join();
    }
    void queue(std::function<void()> f) {
        {
            std::lock_guard<std::mutex> g(m_);
            q_.push_back(std::move(f));
        }
        cv_.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::function<void()> f;
            {
                std::unique_lock<std::mutex> l(m_);
                cv_.wait(l, [&] { return stop_ || !q_.empty(); });
                if (q_.empty()) return;
                f = std::move(q_.front());
                q_.pop_front();
            }
            f();
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> q_;
    bool stop_ = false;
    std::vector<std::thread> workers_;
};

// The library pool with exactly `threads` threads.
void size_global_pool(int threads) {
    TThreadPool* p = Global::g_ThreadPool.get();
    p->SetThreadCountMax(threads);
    p->SetThreadCountMin(threads);
    while (p->GetThreadCount() < threads) p->AddNewThread();
}

class TCounter : public TLockableObject {
public:
    std::atomic<long> done{0};
    std::atomic<Clock::rep> startedAt{0};
    long target = 0;
    void Tick() {
        if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == target) done.notify_one();
    }
    void Stamp() {
        startedAt.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
        startedAt.notify_one();
    }
};

constexpr int kBurst = 1000;

void BM_GlobalPoolThroughput(benchmark::State& state) {
    size_global_pool(static_cast<int>(state.range(0)));
    gc_ptr<TCounter> c = gcnew<TCounter>();
    long expected = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i)
            Global::g_ThreadPool->QueueUserWorkItem(
                gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<&TCounter::Tick>(c.get())));
        expected += kBurst;
        c->target = expected;
        for (long d; (d = c->done.load(std::memory_order_acquire)) < expected;) c->done.wait(d);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_GlobalPoolThroughput)->Arg(1)->Arg(2)->UseRealTime();

void BM_PlainPoolThroughput(benchmark::State& state) {
    plain_pool pool(static_cast<int>(state.range(0)));
    std::atomic<long> done{0};
    long expected = 0;
    for (auto _ : state) {
        const long target = expected + kBurst;
        for (int i = 0; i < kBurst; ++i)
            pool.queue([&done, target] {
                if (done.fetch_add(1, std::memory_order_acq_rel) + 1 == target) done.notify_one();
            });
        expected = target;
        for (long d; (d = done.load(std::memory_order_acquire)) < expected;) done.wait(d);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_PlainPoolThroughput)->Arg(1)->Arg(2)->UseRealTime();

// One item at a time into an idle pool: the time until it starts.
void BM_GlobalPoolQueueToStart(benchmark::State& state) {
    size_global_pool(1);
    gc_ptr<TCounter> c = gcnew<TCounter>();
    for (auto _ : state) {
        c->startedAt.store(0);
        const auto t0 = Clock::now();
        Global::g_ThreadPool->QueueUserWorkItem(
            gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<&TCounter::Stamp>(c.get())));
        c->startedAt.wait(0);
        const Clock::rep at = c->startedAt.load(std::memory_order_acquire);
        state.SetIterationTime(std::chrono::duration<double>(Clock::time_point(Clock::duration(at)) - t0).count());
        std::this_thread::sleep_for(std::chrono::microseconds(200)); // let the thread go back to sleep
    }
}
BENCHMARK(BM_GlobalPoolQueueToStart)->UseManualTime();

void BM_PlainPoolQueueToStart(benchmark::State& state) {
    plain_pool pool(1);
    std::atomic<Clock::rep> startedAt{0};
    for (auto _ : state) {
        startedAt.store(0);
        const auto t0 = Clock::now();
        pool.queue([&] {
            startedAt.store(Clock::now().time_since_epoch().count(), std::memory_order_release);
            startedAt.notify_one();
        });
        startedAt.wait(0);
        const Clock::rep at = startedAt.load(std::memory_order_acquire);
        state.SetIterationTime(std::chrono::duration<double>(Clock::time_point(Clock::duration(at)) - t0).count());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}
BENCHMARK(BM_PlainPoolQueueToStart)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
