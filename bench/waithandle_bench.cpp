// Round trips between two threads through two auto-reset wait handles,
// against a pair of flags under one mutex and condition variable. The cost
// of the wrappers over the raw kernel events is in kernel_objects_bench.
#include "core/WaitHandle.h"

#include <benchmark/benchmark.h>

#include "bench/pingpong.h"
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace System::Threading;

namespace {

void BM_WaitHandlePingPong(benchmark::State& state) {
    gc_disposable<TEventWaitHandle> ping = gcnew<TAutoResetEvent>(false);
    gc_disposable<TEventWaitHandle> pong = gcnew<TAutoResetEvent>(false);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            ping->WaitOne();
            if (stop.load(std::memory_order_relaxed)) break;
            pong->Set();
        }
    });
    for (auto _ : state) {
        ping->Set();
        pong->WaitOne();
    }
    stop = true;
    ping->Set();
    partner.join();
    ping.Dispose();
    pong.Dispose();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WaitHandlePingPong)->UseRealTime();

// The same exchange with the signal and the wait as one call.
void BM_SignalAndWaitPingPong(benchmark::State& state) {
    gc_disposable<TWaitHandle> ping = gcnew<TAutoResetEvent>(false);
    gc_disposable<TWaitHandle> pong = gcnew<TAutoResetEvent>(false);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        ping->WaitOne();
        while (!stop.load(std::memory_order_relaxed)) TWaitHandle::SignalAndWait(pong, ping);
    });
    for (auto _ : state) TWaitHandle::SignalAndWait(ping, pong);
    stop = true;
    platform::SetEvent(ping->GetHandle());
    partner.join();
    ping.Dispose();
    pong.Dispose();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignalAndWaitPingPong)->UseRealTime();

using bench_support::BM_CondVarPingPong;
BENCHMARK(BM_CondVarPingPong)->UseRealTime();

// Prints each round trip's time against the condition-variable pair.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        // The median of repetitions when there are any, else the one run.
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const double ns = r.GetAdjustedRealTime() * unit_to_ns(r.time_unit);
            const std::string& name = r.run_name.function_name;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
                ns_[name] = ns;
                median_.insert(name);
            } else if (r.run_type == Run::RT_Iteration && !median_.count(name)) {
                ns_[name] = ns;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto base = ns_.find("BM_CondVarPingPong");
        if (base == ns_.end() || base->second <= 0) return;
        std::printf("\nround trip, ns (ratio to the condition-variable pair):\n");
        for (const auto& [name, ns] : ns_) std::printf("  %-28s %10.0f  (%.2fx)\n", name.c_str(), ns, ns / base->second);
    }
private:
    static double unit_to_ns(benchmark::TimeUnit u) {
        switch (u) {
        case benchmark::kSecond: return 1e9;
        case benchmark::kMillisecond: return 1e6;
        case benchmark::kMicrosecond: return 1e3;
        default: return 1;
        }
    }
    std::map<std::string, double> ns_;
    std::set<std::string> median_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
