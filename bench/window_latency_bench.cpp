// How responsive the window stays during a test: the window thread's
// event-loop latency (how late a 10 ms timer fires) while the main window
// runs a test with 20 connections against its own listener on loopback,
// with and without the graph window open, against the same window idle;
// and what one sample costs the window thread when the graph is open.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <QTimer>

#include <benchmark/benchmark.h>

#include "benchmark/GlobalSettings.h"
#include "benchmark/frmGraph.h"
#include "benchmark/frmMain.h"
#include "GC/gc_policy.h"
#include "RozavUde/AsyncHelperThread.h"
#include "vcl/Application.h"
#include "tests/loopback_port.h"
#include "vcl/Dialogs.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Nanoseconds the calling thread has waited runnable for a processor
// (the second figure of its schedstat); 0 where the kernel does not keep it.
std::uint64_t RunQueueWaitNs() {
    std::ifstream f("/proc/thread-self/schedstat");
    std::uint64_t run = 0, wait = 0;
    f >> run >> wait;
    return wait;
}

// Lateness beyond this is split into time spent runnable but without a
// processor (the scheduler's share) and time not runnable at all: stopped
// by a collection or blocked on a lock.
constexpr double kSplitAboveMs = 20.0;

// Message boxes (a worker's error shown on the window) would wait for a
// person; they are counted and printed instead.
int g_boxes = 0;

void CaptureBoxes() {
    Vcl::SetMessagePresenter([](const Vcl::TMessageBox& b) {
        ++g_boxes;
        std::fprintf(stderr, "message box: %s\n", b.text.ToUtf8().c_str());
        return Vcl::mrOk;
    });
}

// state.range(0): connections (0 = no test, the idle window);
// state.range(1): 1 with the graph window open.
void BM_WindowEventLoopLatency(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    const bool withGraph = state.range(1) != 0;
    g_boxes = 0;
    constexpr int kSeconds = 5;
    const fs::path config = fs::temp_directory_path() / ("pelorin-latency-" + std::to_string(::getpid()) + ".config");
    {
        std::ofstream f(config);
        f << "[Config.Application]\nPort=" << testing_support::FreeLoopbackPort() << "\nTestDurationSec=" << kSeconds
          << "\nNumberOfConnections=" << std::max(connections, 1) << "\n";
    }
    TAppSettings settings{UnicodeString(config.string())};
    Benchmark::SetAppSettings(&settings);
    std::vector<double> lateMs;
    double lateRunnableMs = 0, lateStoppedMs = 0;
    for (auto _ : state) {
        TfrmMain w(nullptr);
        w.Show();
        if (withGraph) w.menuGraph->Click();
        if (connections > 0) {
            w.buttonListen->Click();
            w.buttonTest->Click();
        }
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        auto last = Clock::now();
        std::uint64_t lastWait = RunQueueWaitNs();
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            const double late = std::chrono::duration<double, std::milli>(now - last).count() - 10.0;
            const std::uint64_t wait = RunQueueWaitNs();
            lateMs.push_back(late);
            if (late > kSplitAboveMs) {
                const double queued = std::min(late, double(wait - lastWait) / 1e6);
                lateRunnableMs += queued;
                lateStoppedMs += late - queued;
            }
            lastWait = wait;
            last = now;
        });
        gc_detail::gc_pause_log::reset();
        probe.start(10);
        const auto end = Clock::now() + std::chrono::seconds(kSeconds);
        while (Clock::now() < end) Vcl::Application()->HandleMessage();
        probe.stop();
        // Collections stop the window thread too: their longest pause is
        // the floor under the worst lateness.
        std::vector<std::uint64_t> pauses(65536);
        pauses.resize(gc_detail::gc_pause_log::snapshot(pauses.data(), pauses.size()));
        std::uint64_t longest = 0;
        for (auto p : pauses) longest = std::max(longest, p);
        state.counters["gc_count"] = double(pauses.size());
        state.counters["gc_pause_max_ms"] = double(longest) / 1e6;
        while (w.buttonTest->GetCaption() != "&Test" && Clock::now() < end + std::chrono::seconds(30)) {
            Vcl::Application()->ProcessMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (withGraph) state.counters["graph_samples"] = double(w.GetResults().Samples().size());
        if (connections > 0) w.buttonListen->Click();
    }
    Benchmark::SetAppSettings(nullptr);
    fs::remove(config);
    std::sort(lateMs.begin(), lateMs.end());
    if (lateMs.empty()) {
        state.SkipWithError("the probe timer never fired");
        return;
    }
    auto at = [&](double q) { return std::max(0.0, lateMs[std::size_t(q * double(lateMs.size() - 1))]); };
    state.counters["late_p50_ms"] = at(0.5);
    state.counters["late_p99_ms"] = at(0.99);
    state.counters["late_max_ms"] = std::max(0.0, lateMs.back());
    state.counters["ticks"] = double(lateMs.size());
    state.counters["late_over20_runnable_ms"] = lateRunnableMs;
    state.counters["late_over20_stopped_ms"] = lateStoppedMs;
    state.counters["message_boxes"] = g_boxes;
}
BENCHMARK(BM_WindowEventLoopLatency)
    ->Args({0, 0})
    ->Args({20, 0})
    ->Args({20, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// One poll's work for the graph: the sample added, then the graph drawn
// again as the event loop does it, with state.range(0) samples already
// there (a 10-second test, an hour's).
void BM_GraphSample(benchmark::State& state) {
    Benchmark::TThroughputRecord record;
    Benchmark::TTestDescription d;
    d.Server = "127.0.0.1";
    d.DurationSec = int(state.range(0));
    record.Start(d);
    for (int i = 0; i < state.range(0); ++i) record.Add(1000 + i % 7, 900 + i % 5, 1000, 900);
    auto* graph = new TfrmGraph(nullptr);
    graph->SetRecord(&record);
    graph->Show();
    Vcl::Application()->ProcessMessages();
    QWidget* plot = graph->paintGraph->Widget();
    int i = 0;
    for (auto _ : state) {
        record.Add(1000 + i % 7, 900 + i % 5, 1000, 900);
        ++i;
        graph->RecordChanged();
        plot->repaint();
    }
    delete graph;
}
BENCHMARK(BM_GraphSample)->Arg(10)->Arg(3600)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    System::Threading::Async->Initialize();
    Vcl::Application()->Initialize();
    CaptureBoxes();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
