// Round trip between two threads: the kernel-object events against the
// plain condition-variable pair they are built from.
#include "platform/kernel_objects.h"

#include <benchmark/benchmark.h>

#include "bench/pingpong.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace platform;

namespace {

void BM_EventPingPong(benchmark::State& state) {
    HANDLE ping = CreateEventW(false, false, nullptr);
    HANDLE pong = CreateEventW(false, false, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            WaitForSingleObject(ping, INFINITE);
            if (stop.load(std::memory_order_relaxed)) break;
            SetEvent(pong);
        }
    });
    for (auto _ : state) {
        SetEvent(ping);
        WaitForSingleObject(pong, INFINITE);
    }
    stop = true;
    SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventPingPong)->UseRealTime();

void BM_SignalObjectAndWaitPingPong(benchmark::State& state) {
    HANDLE ping = CreateEventW(false, false, nullptr);
    HANDLE pong = CreateEventW(false, false, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        WaitForSingleObject(ping, INFINITE);
        while (!stop.load(std::memory_order_relaxed)) SignalObjectAndWait(pong, ping, INFINITE, false);
    });
    for (auto _ : state) SignalObjectAndWait(ping, pong, INFINITE, false);
    stop = true;
    SetEvent(ping);
    partner.join();
    CloseHandle(ping);
    CloseHandle(pong);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignalObjectAndWaitPingPong)->UseRealTime();

using bench_support::BM_CondVarPingPong;
BENCHMARK(BM_CondVarPingPong)->UseRealTime();

// Uncontended set followed by a wait that finds it set: the hot-path cost
// without any thread switch.
void BM_EventSetWaitUncontended(benchmark::State& state) {
    HANDLE e = CreateEventW(false, false, nullptr);
    for (auto _ : state) {
        SetEvent(e);
        benchmark::DoNotOptimize(WaitForSingleObject(e, 0));
    }
    CloseHandle(e);
}
BENCHMARK(BM_EventSetWaitUncontended);

} // namespace

BENCHMARK_MAIN();
