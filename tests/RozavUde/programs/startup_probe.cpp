// A program on the library, as the real program is: linked at load time
// with the program module start-up. The start-up tests run it.
//
//   startup_probe churn <MiB>   4 threads allocate <MiB> in total over a
//                               10 MB live set, never asking to collect
//   startup_probe young         3 MiB over a small live set: the policy's
//                               first young collection
//   startup_probe quiet         a second without allocating (the policy's
//                               checks meanwhile), then 3 MiB at once
//   startup_probe ending        the application is ending: full collections
//                               come at the shortened interval
//   startup_probe idle          starts and ends
//
// It prints key=value lines; after its work it runs the exit procedures
// (as the headless command line does) and reports the threads left.
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "GC/gc_policy.h"
#include "GC/gcarray.h"
#include "RozavUde/AsyncHelperThread.h"
#include "rtl/ExitProc.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Node {
    gc_ptr<Node> next;
    char payload[1000];
};

int thread_count() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

std::uint64_t managed() { return gc_detail::TGarbageCollector::GetAllocatedBytes(false); }

int churn(std::uint64_t total_mib) {
    constexpr int kThreads = 4;
    constexpr int kLivePerThread = 2500; // 4 x 2500 x ~1 KB = 10 MB live
    const std::uint64_t per_thread = (total_mib << 20) / kThreads;
    std::atomic<std::uint64_t> peak{0};
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        while (!done.load()) {
            const std::uint64_t m = managed();
            if (m > peak.load()) peak.store(m);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            std::mt19937 rng(t);
            gc_array<gc_ptr<Node>> live = gcnew_array<gc_ptr<Node>>(kLivePerThread);
            std::uint64_t allocated = 0;
            while (allocated < per_thread) {
                gc_ptr<Node> n = gcnew<Node>();
                n->payload[0] = static_cast<char>(t);
                allocated += sizeof(Node);
                // A quarter replaces a live node (a store into an old array),
                // the rest dies at once.
                if (rng() % 4 == 0) live[static_cast<int>(rng() % kLivePerThread)] = n;
            }
        });
    for (auto& th : threads) th.join();
    done = true;
    watcher.join();
    std::printf("peak_managed_mb=%.1f\n", static_cast<double>(peak.load()) / (1 << 20));
    std::printf("policy_collections=%llu\n", static_cast<unsigned long long>(gc_detail::gc_pause_log::total_count()));
    for (int g = 1; g <= 3; ++g)
        std::printf("generation_%d=%llu\n", g, static_cast<unsigned long long>(gc_detail::gc_pause_log::count(g)));
    std::vector<std::uint64_t> p(65536);
    p.resize(gc_detail::gc_pause_log::snapshot(p.data(), p.size()));
    std::sort(p.begin(), p.end());
    if (!p.empty()) std::printf("pause_max_ms=%.2f\npause_median_ms=%.2f\n", p.back() / 1e6, p[p.size() / 2] / 1e6);
    return 0;
}

int young() {
    gc_ptr<Node> keep = gcnew<Node>();
    const std::uint64_t before = gc_detail::gc_pause_log::count(1);
    // Give the policy its starting point, then allocate 3 MiB at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 3 * 1024; ++i) gcnew<Node>();
    const auto t0 = Clock::now();
    while (gc_detail::gc_pause_log::count(1) == before) {
        if (Clock::now() - t0 > std::chrono::seconds(5)) {
            std::printf("young_collection_ms=none\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    std::printf("young_collection_ms=%lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));
    return 0;
}

int quiet() {
    gc_ptr<Node> keep = gcnew<Node>();
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the policy settles
    const std::uint64_t checks = System::Threading::Async->GcControl().checks.load();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("idle_policy_checks=%llu\n",
                static_cast<unsigned long long>(System::Threading::Async->GcControl().checks.load() - checks));
    return young();
}

int ending() {
    System::Threading::Async->GcAppTerminate();
    const std::uint64_t start = gc_detail::gc_pause_log::count(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    std::printf("full_collections_in_1600ms=%llu\n",
                static_cast<unsigned long long>(gc_detail::gc_pause_log::count(3) - start));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "idle";
    std::printf("marking_workers=%u\n", gc_detail::marking_worker_count());
    int rc = 0;
    if (mode == "churn") rc = churn(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2048);
    else if (mode == "young") rc = young();
    else if (mode == "ending") rc = ending();
    else if (mode == "quiet") rc = quiet();
    const auto t0 = Clock::now();
    System::RunExitProcs();
    std::printf("exit_procs_ms=%lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count()));
    std::printf("threads_after_exit_procs=%d\n", thread_count());
    std::printf("managed_after_exit_procs=%llu\n", static_cast<unsigned long long>(managed()));
    std::fflush(stdout);
    return rc;
}
