// How responsive the window stays during a test: the window thread's
// event-loop latency (how late a 10 ms timer fires) while the main window
// runs a test with 20 connections against its own listener on loopback,
// against the same window idle.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <QTimer>

#include <benchmark/benchmark.h>

#include "benchmark/GlobalSettings.h"
#include "benchmark/frmMain.h"
#include "GC/gc_policy.h"
#include "RozavUde/AsyncHelperThread.h"
#include "vcl/Application.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

int FreeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// state.range(0): connections (0 = no test, the idle window).
void BM_WindowEventLoopLatency(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    constexpr int kSeconds = 5;
    const fs::path config = fs::temp_directory_path() / ("pelorin-latency-" + std::to_string(::getpid()) + ".config");
    {
        std::ofstream f(config);
        f << "[Config.Application]\nPort=" << FreeLoopbackPort() << "\nTestDurationSec=" << kSeconds
          << "\nNumberOfConnections=" << std::max(connections, 1) << "\n";
    }
    TAppSettings settings{UnicodeString(config.string())};
    Benchmark::SetAppSettings(&settings);
    std::vector<double> lateMs;
    for (auto _ : state) {
        TfrmMain w(nullptr);
        w.Show();
        if (connections > 0) {
            w.buttonListen->Click();
            w.buttonTest->Click();
        }
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        auto last = Clock::now();
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const auto now = Clock::now();
            lateMs.push_back(std::chrono::duration<double, std::milli>(now - last).count() - 10.0);
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
        while (w.buttonTest->GetCaption() != "&Test" && Clock::now() < end + std::chrono::seconds(30))
            Vcl::Application()->ProcessMessages();
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
}
BENCHMARK(BM_WindowEventLoopLatency)->Arg(0)->Arg(20)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    System::Threading::Async->Initialize();
    Vcl::Application()->Initialize();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
