// Allocation throughput (binary trees, collected by the library's own
// policy) against the Boehm-Demers-Weiser collector, std::shared_ptr and
// new/delete, on one and two threads (each running the whole workload), with
// the case's peak resident memory and the pauses the policy produced; pause
// times of young and full collections over a live heap of 10 MB and 100 MB
// with 4 mutator threads.
//
// Peak memory: each case resets the kernel's high-water mark (clear_refs 5)
// and reads VmHWM at its end; what earlier cases keep mapped counts too, so
// bench/collector_compare runs every case in a process of its own.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <sys/resource.h>
#include <vector>

#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "GC/gc_policy.h"
#include "GC/gcptr.h"

// Boehm sees only the threads that register themselves; pthread calls stay
// the library's own.
#define GC_THREADS
#define GC_NO_THREAD_REDIRECTS
#include <gc/gc.h>

namespace {

constexpr int kMinDepth = 4;

int depth_of(const benchmark::State& s) { return static_cast<int>(s.range(0)); }
int threads_of(const benchmark::State& s) { return static_cast<int>(s.range(1)); }

// Resident memory figures of this process from /proc/self/status, in MiB.
double status_mib(const char* key) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    double v = -1;
    const std::size_t n = std::strlen(key);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
            v = static_cast<double>(std::strtoll(line + n + 1, nullptr, 10)) / 1024.0;
            break;
        }
    std::fclose(f);
    return v;
}

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The case's own peak: the high-water mark starts again at the current size.
// The process's processor time (every thread, the collectors' own included)
// says more than wall time on a machine shared with other work.
struct peak_memory {
    double base;
    double cpu0;
    peak_memory() {
        if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);
            std::fclose(f);
        }
        base = status_mib("VmRSS");
        cpu0 = process_cpu_seconds();
    }
    void report(benchmark::State& s) const {
        s.counters["peak_MB"] = status_mib("VmHWM");
        s.counters["start_MB"] = base;
        s.counters["process_cpu_s"] = (process_cpu_seconds() - cpu0) / static_cast<double>(s.iterations());
    }
};

// Runs the workload on n threads at once, each the whole of it; `enter` and
// `leave` run on each thread around it (Boehm's thread registration).
template <class Work, class Enter, class Leave>
void on_threads(int n, Work work, Enter enter, Leave leave) {
    if (n == 1) {
        work();
        return;
    }
    std::vector<std::thread> ts;
    for (int t = 0; t < n; ++t)
        ts.emplace_back([&] {
            enter();
            work();
            leave();
        });
    for (auto& t : ts) t.join();
}
template <class Work>
void on_threads(int n, Work work) {
    on_threads(n, work, [] {}, [] {});
}

// ---- managed ----------------------------------------------------------------------
struct MNode {
    gc_ptr<MNode> left, right;
};

gc_ptr<MNode> make_managed(int d) {
    if (d == 0) return gcnew<MNode>();
    gc_ptr<MNode> n = gcnew<MNode>();
    n->left = make_managed(d - 1);
    n->right = make_managed(d - 1);
    return n;
}
long check_managed(const gc_ptr<MNode>& n) {
    return n->left ? 1 + check_managed(n->left) + check_managed(n->right) : 1;
}

// The pauses the collector's own policy produced since `from`: median, 99th
// percentile and maximum in milliseconds, and how many.
void report_pauses(benchmark::State& s, std::uint64_t from) {
    std::vector<std::uint64_t> all(65536);
    all.resize(gc_detail::gc_pause_log::snapshot(all.data(), all.size()));
    const std::uint64_t total = gc_detail::gc_pause_log::total_count();
    const std::size_t fresh = static_cast<std::size_t>(std::min<std::uint64_t>(total - from, all.size()));
    std::vector<std::uint64_t> p(all.end() - static_cast<std::ptrdiff_t>(fresh), all.end());
    s.counters["collections"] = static_cast<double>(p.size()) / static_cast<double>(s.iterations());
    if (p.empty()) return;
    std::sort(p.begin(), p.end());
    auto ms = [](std::uint64_t ns) { return static_cast<double>(ns) / 1e6; };
    s.counters["pause_med_ms"] = ms(p[p.size() / 2]);
    s.counters["pause_p99_ms"] = ms(p[std::min(p.size() - 1, p.size() * 99 / 100)]);
    s.counters["pause_max_ms"] = ms(p.back());
}

void tree_cases(benchmark::internal::Benchmark* b) {
    b->ArgsProduct({{12, 16, 18}, {1, 2}})->ArgNames({"depth", "threads"})->Unit(benchmark::kMillisecond)->UseRealTime();
}

template <class Make, class Check, class Tick>
long binary_trees(int max_depth, Make make, Check check, Tick tick) {
    long total = 0;
    auto long_lived = make(max_depth);
    for (int d = kMinDepth; d <= max_depth; d += 2) {
        const int iterations = 1 << (max_depth - d + kMinDepth);
        for (int i = 0; i < iterations; ++i) {
            auto t = make(d);
            total += check(t);
            tick();
        }
    }
    return total + check(long_lived);
}

// No explicit collection: the policy on the collector's thread decides, as
// it does for every program.
void BM_BinaryTrees_Managed(benchmark::State& s) {
    const peak_memory peak;
    const std::uint64_t from = gc_detail::gc_pause_log::total_count();
    for (auto _ : s)
        on_threads(threads_of(s), [&] {
            benchmark::DoNotOptimize(binary_trees(depth_of(s), make_managed, check_managed, [] {}));
        });
    report_pauses(s, from);
    peak.report(s);
}
BENCHMARK(BM_BinaryTrees_Managed)->Apply(tree_cases);

// ---- shared_ptr ------------------------------------------------------------------------
struct SNode {
    std::shared_ptr<SNode> left, right;
};
std::shared_ptr<SNode> make_shared_tree(int d) {
    auto n = std::make_shared<SNode>();
    if (d > 0) {
        n->left = make_shared_tree(d - 1);
        n->right = make_shared_tree(d - 1);
    }
    return n;
}
long check_shared(const std::shared_ptr<SNode>& n) {
    return n->left ? 1 + check_shared(n->left) + check_shared(n->right) : 1;
}
void BM_BinaryTrees_SharedPtr(benchmark::State& s) {
    const peak_memory peak;
    for (auto _ : s)
        on_threads(threads_of(s), [&] {
            benchmark::DoNotOptimize(binary_trees(depth_of(s), make_shared_tree, check_shared, [] {}));
        });
    peak.report(s);
}
BENCHMARK(BM_BinaryTrees_SharedPtr)->Apply(tree_cases);

// ---- new/delete ----------------------------------------------------------------------------
struct RNode {
    RNode* left = nullptr;
    RNode* right = nullptr;
};
RNode* make_raw(int d) {
    auto* n = new RNode;
    if (d > 0) {
        n->left = make_raw(d - 1);
        n->right = make_raw(d - 1);
    }
    return n;
}
long check_raw(RNode* n) { return n->left ? 1 + check_raw(n->left) + check_raw(n->right) : 1; }
void free_raw(RNode* n) {
    if (!n) return;
    free_raw(n->left);
    free_raw(n->right);
    delete n;
}
struct raw_tree {
    RNode* n;
    explicit raw_tree(RNode* p) : n(p) {}
    raw_tree(raw_tree&& o) noexcept : n(o.n) { o.n = nullptr; }
    ~raw_tree() { free_raw(n); }
};
void BM_BinaryTrees_NewDelete(benchmark::State& s) {
    const peak_memory peak;
    for (auto _ : s)
        on_threads(threads_of(s), [&] {
            benchmark::DoNotOptimize(binary_trees(
                depth_of(s), [](int d) { return raw_tree(make_raw(d)); },
                [](const raw_tree& t) { return check_raw(t.n); }, [] {}));
        });
    peak.report(s);
}
BENCHMARK(BM_BinaryTrees_NewDelete)->Apply(tree_cases);

// ---- Boehm-Demers-Weiser ------------------------------------------------------------------
struct BNode {
    BNode* left;
    BNode* right;
};
BNode* make_boehm(int d) {
    auto* n = static_cast<BNode*>(GC_MALLOC(sizeof(BNode)));
    if (d > 0) {
        n->left = make_boehm(d - 1);
        n->right = make_boehm(d - 1);
    }
    return n;
}
long check_boehm(BNode* n) { return n->left ? 1 + check_boehm(n->left) + check_boehm(n->right) : 1; }
void BM_BinaryTrees_Boehm(benchmark::State& s) {
    static bool init = [] {
        GC_INIT();
        GC_allow_register_threads();
        return true;
    }();
    (void)init;
    const peak_memory peak;
    const GC_word from = GC_get_gc_no();
    for (auto _ : s)
        on_threads(
            threads_of(s),
            [&] { benchmark::DoNotOptimize(binary_trees(depth_of(s), make_boehm, check_boehm, [] {})); },
            [] {
                GC_stack_base sb;
                GC_get_stack_base(&sb);
                GC_register_my_thread(&sb);
            },
            [] { GC_unregister_my_thread(); });
    s.counters["collections"] =
        static_cast<double>(GC_get_gc_no() - from) / static_cast<double>(s.iterations());
    peak.report(s);
}
BENCHMARK(BM_BinaryTrees_Boehm)->Apply(tree_cases);

// ---- pauses --------------------------------------------------------------------------------
// A live heap of the given size spread over 4 mutator threads that keep
// allocating short-lived objects and, now and then, store into old ones.
struct Blob {
    gc_ptr<Blob> next;
    gc_ptr<Blob> young;
    char pad[80];
};

void BM_CollectionPause(benchmark::State& s) {
    const int generation = static_cast<int>(s.range(0));
    const std::size_t live_bytes = static_cast<std::size_t>(s.range(1)) << 20;
    const std::size_t per_thread = live_bytes / 4 / (sizeof(Blob) + 64);
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([&] {
            gc_ptr<Blob> head = gcnew<Blob>();
            gc_ptr<Blob> cur = head;
            std::vector<Blob*> all;
            all.reserve(per_thread);
            for (std::size_t i = 0; i < per_thread; ++i) {
                cur->next = gcnew<Blob>();
                cur = cur->next;
                all.push_back(cur.get());
            }
            ready.fetch_add(1);
            std::size_t i = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                gc_ptr<Blob> tmp = gcnew<Blob>();
                if (++i % 64 == 0) all[i % all.size()]->young = tmp; // a few dirty cards
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
    while (ready.load() < 4) std::this_thread::yield();
    gc_detail::collect(3);
    gc_detail::collect(3); // the live heap is old now
    std::vector<double> pauses;
    for (auto _ : s) {
        const auto t0 = std::chrono::steady_clock::now();
        gc_detail::collect(generation);
        const auto t1 = std::chrono::steady_clock::now();
        const double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
        pauses.push_back(us);
        s.SetIterationTime(us / 1e6);
        s.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        s.ResumeTiming();
    }
    stop = true;
    for (auto& t : ts) t.join();
    std::sort(pauses.begin(), pauses.end());
    if (!pauses.empty()) {
        s.counters["p50_us"] = pauses[pauses.size() / 2];
        s.counters["p99_us"] = pauses[std::min(pauses.size() - 1, pauses.size() * 99 / 100)];
        s.counters["max_us"] = pauses.back();
    }
    s.counters["live_MB"] = static_cast<double>(gc_detail::TGarbageCollector::GetAllocatedBytes()) / (1 << 20);
    gc_detail::collect(3);
}
BENCHMARK(BM_CollectionPause)
    ->ArgsProduct({{1, 3}, {10, 100}})
    ->ArgNames({"gen", "MB"})
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
