// A long run of the collector under a program's usual load, run by hand:
//
//   build/soak_collector [SECONDS=600] [--stall SECONDS=60] [--rss-slack MB=64] [--seed N]
//
// Work items on the library's thread pool allocate while its threads retire
// and are added; short-lived plain threads leave objects and roots behind;
// finalizers take a monitor and destructors a mutex that allocating threads
// also hold; roots live in std::vector, std::map and the managed list and
// dictionary. Nothing collects explicitly: the collector's own policy does.
// Every structure carries what it must contain and is checked at intervals.
// At the end the thread-table slots in use and resident memory must be back
// near their start. Exit status: 0 sound, 1 a check failed, 3 no progress
// (a deadlock) for the stall time.
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "GC/GarbageCollector.h"
#include "GC/arena.h"
#include "GC/gc_policy.h"
#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "GC/thread_table.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "collections/GcDictionary.h"
#include "collections/GcList.h"
#include "core/Delegates.h"
#include "core/Monitor.h"
#include "core/Objects.h"

namespace {

using Clock = std::chrono::steady_clock;
using System::Threading::TMonitor;

// ---- figures -------------------------------------------------------------------------------

long status_kb(const char* key) {
    long kb = -1;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const std::size_t n = std::strlen(key);
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, key, n) == 0) kb = std::strtol(line + n, nullptr, 10);
        std::fclose(f);
    }
    return kb;
}
long rss_mb() { return status_kb("VmRSS:") / 1024; }
long peak_rss_mb() { return status_kb("VmHWM:") / 1024; }
long process_threads() { return status_kb("Threads:"); }

// What the arena holds of RSS tells an arena hold from a native-heap one.
long arena_rss_mb() { return static_cast<long>(gc_detail::arena::resident_bytes() >> 20); }

// Thread-table slots held by a thread or by what a thread left behind.
std::uint32_t slots_in_use() { return gc_detail::g_threads.used - gc_detail::g_threads.free_count; }

std::uint64_t managed_bytes() { return gc_detail::TGarbageCollector::GetAllocatedBytes(); }

std::atomic<bool> g_failed{false};
std::atomic<bool> g_stop{false};

void fail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* fmt, ...) {
    static std::mutex m;
    std::lock_guard<std::mutex> g(m);
    std::fprintf(stderr, "FAILED: ");
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    g_failed.store(true);
}

// What each part of the load has done; the watchdog wants every one to move.
struct Progress {
    const char* name;
    std::atomic<std::uint64_t> n{0};
};
Progress g_mutated{"container mutations"};
Progress g_items{"pool work items"};
Progress g_churned{"plain threads"};
Progress g_checked{"structure checks"};
Progress* const g_parts[] = {&g_mutated, &g_items, &g_churned, &g_checked};

std::atomic<std::uint64_t> g_finalized{0};
std::atomic<std::uint64_t> g_destroyed{0};

// ---- what cleanup code contends for ----------------------------------------------------------

// The registry whose monitor finalizers take and allocating threads hold.
struct TRegistry : System::TLockableObject {
    std::uint64_t finalized = 0;
};
gc_ptr<TRegistry>* g_registry; // made in main, after the library started
std::mutex g_native;           // the lock destructors take

struct TFinalizable {
    std::uint32_t check = 0xF1A7u;
    void Finalize() {
        if (check != 0xF1A7u) fail("a finalizable object was corrupt: %#x", check);
        TMonitor::Enter(*g_registry);
        (*g_registry)->finalized++;
        TMonitor::Exit(*g_registry);
        g_finalized.fetch_add(1, std::memory_order_relaxed);
    }
};

struct TDestructible {
    std::uint32_t check = 0xD7u;
    ~TDestructible() {
        if (check != 0xD7u) fail("a destructible object was corrupt: %#x", check);
        std::lock_guard<std::mutex> g(g_native);
        g_destroyed.fetch_add(1, std::memory_order_relaxed);
    }
};

// ---- structures that know their contents -----------------------------------------------------

struct TNode {
    std::int64_t value = 0;
    gc_ptr<TNode> next;
    gc_ptr<TFinalizable> fin;
    gc_ptr<TDestructible> dtor;
};

// A chain of nodes seed, seed+1, ... and a payload array filled from the
// seed; different lengths and payload sizes reach different size classes.
struct TChain {
    std::uint64_t seed = 0;
    int length = 0;
    gc_ptr<TNode> head;
    gc_array<std::uint32_t> payload;
};

std::uint32_t pattern(std::uint64_t seed, int i) {
    return static_cast<std::uint32_t>(seed * 2654435761u) ^ static_cast<std::uint32_t>(i * 40503u);
}

gc_ptr<TChain> make_chain(std::uint64_t seed, std::mt19937_64& rng) {
    gc_ptr<TChain> c = gcnew<TChain>();
    c->seed = seed;
    c->length = 1 + static_cast<int>(rng() % 24);
    for (int i = c->length - 1; i >= 0; --i) {
        gc_ptr<TNode> n = gcnew<TNode>();
        n->value = static_cast<std::int64_t>(seed) + i;
        n->next = c->head;
        if (rng() % 8 == 0) n->fin = gcnew<TFinalizable>();
        if (rng() % 8 == 0) n->dtor = gcnew<TDestructible>();
        c->head = n;
    }
    // Now and then a large block, mostly small ones.
    const int words = rng() % 200 == 0 ? 256 * 1024 + static_cast<int>(rng() % 65536) : static_cast<int>(rng() % 600);
    c->payload = gcnew_array<std::uint32_t>(words);
    for (int i = 0; i < words; ++i) c->payload[i] = pattern(seed, i);
    return c;
}

bool chain_sound(const gc_ptr<TChain>& c, const char* where) {
    if (!c) return true;
    int i = 0;
    for (gc_ptr<TNode> n = c->head; n; n = n->next, ++i) {
        if (i >= c->length || n->value != static_cast<std::int64_t>(c->seed) + i ||
            (n->fin && n->fin->check != 0xF1A7u) || (n->dtor && n->dtor->check != 0xD7u)) {
            fail("%s: chain %" PRIu64 " is corrupt at node %d", where, c->seed, i);
            return false;
        }
    }
    if (i != c->length) {
        fail("%s: chain %" PRIu64 " has %d nodes, %d made", where, c->seed, i, c->length);
        return false;
    }
    const int words = c->payload.Length();
    for (int k = 0; k < words; ++k)
        if (c->payload[k] != pattern(c->seed, k)) {
            fail("%s: chain %" PRIu64 " payload word %d of %d is corrupt", where, c->seed, k, words);
            return false;
        }
    return true;
}

// Seeds 1000 apart: no two chains share a node value.
std::atomic<std::uint64_t> g_next_seed{1};
std::uint64_t next_seed() { return g_next_seed.fetch_add(1000, std::memory_order_relaxed); }
int key_of(const TChain& c) { return static_cast<int>((c.seed / 1000) % 100000); }

// ---- roots held by native containers, shared with the pool ---------------------------------------

// Chains the pool's work items made (their roots belong to pool threads
// that may have retired since); guarded by the registry's monitor.
std::vector<gc_ptr<TChain>>* g_handed;

// ---- mutators: roots in std::vector, std::map and the managed collections ------------------------

using ChainList = System::Collections::TGcList<gc_ptr<TChain>>;
using ChainDictionary = System::Collections::TGcDictionary<int, gc_ptr<TChain>>;

void mutator(int id, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<gc_ptr<TChain>> slots(1500);
    std::map<int, gc_ptr<TChain>> keyed;
    gc_ptr<ChainList> list = gcnew<ChainList>();
    gc_ptr<ChainDictionary> dict = gcnew<ChainDictionary>();
    char where[64];
    std::snprintf(where, sizeof where, "mutator %d", id);
    auto check_all = [&] {
        for (const auto& c : slots) chain_sound(c, where);
        for (const auto& [k, c] : keyed)
            if (key_of(*c) != k) fail("%s: map key %d holds chain %" PRIu64, where, k, c->seed);
            else chain_sound(c, where);
        for (int i = 0; i < list->GetCount(); ++i) chain_sound(list->GetItem(i), where);
        for (const auto& [k, c] : keyed) {
            gc_ptr<TChain> d;
            if (!dict->TryGetValue(k, d) || d != c) fail("%s: dictionary lost key %d", where, k);
        }
        if (dict->GetCount() != static_cast<int>(keyed.size()))
            fail("%s: dictionary holds %d, the map %zu", where, dict->GetCount(), keyed.size());
        g_checked.n.fetch_add(1, std::memory_order_relaxed);
    };
    std::uint64_t ops = 0;
    while (!g_stop.load(std::memory_order_relaxed)) {
        const unsigned op = static_cast<unsigned>(rng() % 100);
        if (op < 45) {
            slots[rng() % slots.size()] = make_chain(next_seed(), rng);
        } else if (op < 65) {
            gc_ptr<TChain> c = make_chain(next_seed(), rng);
            const int k = key_of(*c);
            if (keyed.size() > 800) {
                auto it = keyed.begin();
                std::advance(it, static_cast<long>(rng() % keyed.size()));
                dict->Remove(it->first);
                keyed.erase(it);
            }
            keyed[k] = c;
            dict->Remove(k);
            dict->Add(k, c);
        } else if (op < 80) {
            if (list->GetCount() > 600) list->RemoveAt(static_cast<int>(rng() % list->GetCount()));
            list->Add(make_chain(next_seed(), rng));
        } else if (op < 90) {
            // Allocate while holding the lock destructors need.
            std::lock_guard<std::mutex> g(g_native);
            slots[rng() % slots.size()] = make_chain(next_seed(), rng);
        } else {
            // Take over and check what the pool handed in, holding the
            // monitor finalizers need, and allocate meanwhile.
            TMonitor::Enter(*g_registry);
            if (!g_handed->empty()) {
                gc_ptr<TChain> c = g_handed->back();
                g_handed->pop_back();
                chain_sound(c, "handed chain");
                slots[rng() % slots.size()] = c;
            }
            gc_ptr<TChain> extra = make_chain(next_seed(), rng);
            TMonitor::Exit(*g_registry);
            chain_sound(extra, where);
        }
        g_mutated.n.fetch_add(1, std::memory_order_relaxed);
        if (++ops % 20000 == 0) check_all();
    }
    check_all();
}

// ---- thread-pool churn ---------------------------------------------------------------------

struct TPoolWork : System::TLockableObject {
    void Run(int sleepMs) {
        try {
            std::mt19937_64 rng(next_seed());
            gc_ptr<TChain> c = make_chain(next_seed(), rng);
            if (sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
            chain_sound(c, "pool item");
            TMonitor::Enter(*g_registry);
            if (g_handed->size() < 4000) g_handed->push_back(c);
            gc_ptr<TChain> extra = make_chain(next_seed(), rng); // allocating inside the monitor
            TMonitor::Exit(*g_registry);
            chain_sound(extra, "pool item");
        } catch (const Sysutils::Exception& e) {
            fail("pool item: %s", e.Message().ToUtf8().c_str());
        }
        g_items.n.fetch_add(1, std::memory_order_relaxed);
    }
};

// Bursts of slow items make the pool add threads; the idle gaps between
// them let those threads retire.
void pool_driver(std::uint64_t seed) {
    using namespace System;
    using namespace System::Threading;
    std::mt19937_64 rng(seed);
    gc_ptr<TPoolWork> w = gcnew<TPoolWork>();
    Global::g_ThreadPool->SetThreadIdleTimeout(250);
    while (!g_stop.load()) {
        const int burst = 20 + static_cast<int>(rng() % 200);
        const int sleepMs = static_cast<int>(rng() % 30);
        for (int i = 0; i < burst && !g_stop.load(); ++i)
            Global::g_ThreadPool->QueueUserWorkItem(
                gcnew<InvokePtrImpl1<void(int), int>>(TClosure<void(int)>::Of<&TPoolWork::Run>(w.get()), sleepMs));
        // Until the burst is done, then an idle gap.
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (Global::g_ThreadPool->PeekTaskCount() > 0 && !g_stop.load() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 2 ? 400 : 50));
    }
}

// ---- plain-thread churn: short-lived threads leave objects and roots -----------------------------

void thread_churn(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::mutex m;
    std::vector<gc_ptr<TChain>> left; // roots last copied by threads that ended
    gc_array<gc_ptr<TChain>> shared = gcnew_array<gc_ptr<TChain>>(64);
    while (!g_stop.load()) {
        const std::uint64_t s1 = rng(), s2 = rng();
        auto body = [&](std::uint64_t s, int k) {
            std::mt19937_64 r(s);
            gc_ptr<TChain> c = make_chain(next_seed(), r);
            shared[k] = make_chain(next_seed(), r);
            std::lock_guard<std::mutex> g(m);
            left.push_back(c);
        };
        const int k = static_cast<int>(rng() % 32) * 2; // a slot each
        std::thread a(body, s1, k);
        std::thread b(body, s2, k + 1);
        a.join();
        b.join();
        g_churned.n.fetch_add(2, std::memory_order_relaxed);
        if (left.size() > 400) {
            for (const auto& c : left) chain_sound(c, "thread leftovers");
            for (const auto& c : shared) chain_sound(c, "thread leftovers");
            left.erase(left.begin(), left.begin() + 300);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (const auto& c : left) chain_sound(c, "thread leftovers");
}

// ---- the watchdog ------------------------------------------------------------------------

struct Watch {
    std::atomic<bool> done{false};
    std::atomic<int> phase_deadline_s{0}; // 0: the stall rule only
};

void watchdog(Watch& w, int stallSeconds, Clock::time_point t0) {
    std::uint64_t last[std::size(g_parts)] = {};
    Clock::time_point moved[std::size(g_parts)];
    std::fill(std::begin(moved), std::end(moved), Clock::now());
    auto lastReport = Clock::now();
    while (!w.done.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const auto now = Clock::now();
        if (!g_stop.load()) {
            for (std::size_t i = 0; i < std::size(g_parts); ++i) {
                const std::uint64_t n = g_parts[i]->n.load();
                if (n != last[i]) {
                    last[i] = n;
                    moved[i] = now;
                } else if (now - moved[i] > std::chrono::seconds(stallSeconds)) {
                    std::fprintf(stderr, "FAILED: deadlock: no %s for %d s (at %" PRIu64 ")\n", g_parts[i]->name,
                                 stallSeconds, n);
                    std::fflush(stderr);
                    _exit(3);
                }
            }
        }
        const int limit = w.phase_deadline_s.load();
        if (limit > 0 && now - t0 > std::chrono::seconds(limit)) {
            std::fprintf(stderr, "FAILED: deadlock: the run did not end within %d s\n", limit);
            std::fflush(stderr);
            _exit(3);
        }
        if (now - lastReport >= std::chrono::seconds(30)) {
            lastReport = now;
            std::printf("[%4lds] rss %ld MiB, managed %" PRIu64 " KiB, slots %u, threads %ld, pool %d, "
                        "collections %" PRIu64 "/%" PRIu64 "/%" PRIu64 ", items %" PRIu64 ", mutations %" PRIu64
                        ", finalized %" PRIu64 ", destroyed %" PRIu64 "\n",
                        static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(now - t0).count()),
                        rss_mb(), managed_bytes() / 1024, slots_in_use(), process_threads(),
                        System::Threading::Global::g_ThreadPool->GetThreadCount(), gc_detail::gc_pause_log::count(1),
                        gc_detail::gc_pause_log::count(2), gc_detail::gc_pause_log::count(3), g_items.n.load(),
                        g_mutated.n.load(), g_finalized.load(), g_destroyed.load());
            std::fflush(stdout);
        }
    }
}

double ms(std::uint64_t ns) { return static_cast<double>(ns) / 1e6; }

int usage() {
    std::fprintf(stderr, "usage: soak_collector [SECONDS] [--stall SECONDS] [--rss-slack MB] [--seed N]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    int seconds = 600, stall = 60;
    long slackMb = 64;
    std::uint64_t seed = static_cast<std::uint64_t>(getpid());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](long lo, long hi) -> long {
            if (i + 1 >= argc) return lo - 1;
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            return (*end || v < lo || v > hi) ? lo - 1 : v;
        };
        if (a == "--stall") {
            if ((stall = static_cast<int>(number(5, 3600))) < 5) return usage();
        } else if (a == "--rss-slack") {
            if ((slackMb = number(0, 1 << 20)) < 0) return usage();
        } else if (a == "--seed") {
            const long v = number(0, 0x7FFFFFFF);
            if (v < 0) return usage();
            seed = static_cast<std::uint64_t>(v);
        } else {
            char* end = nullptr;
            const long v = std::strtol(a.c_str(), &end, 10);
            if (a.empty() || *end || v < 1 || v > 7 * 24 * 3600) return usage();
            seconds = static_cast<int>(v);
        }
    }
    const auto t0 = Clock::now();
    g_registry = new gc_ptr<TRegistry>(gcnew<TRegistry>());
    g_handed = new std::vector<gc_ptr<TChain>>();
    // Let the pool reach its resting size before the start figures.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rss0 = rss_mb();
    const std::uint32_t slots0 = slots_in_use();
    const std::uint64_t managed0 = managed_bytes();
    const std::uint64_t pauses0 = gc_detail::gc_pause_log::total_count();
    std::printf("soak: %d s, seed %" PRIu64 ", stall limit %d s; start: rss %ld MiB, slots %u, managed %" PRIu64
                " KiB, threads %ld\n",
                seconds, seed, stall, rss0, slots0, managed0 / 1024, process_threads());
    std::fflush(stdout);

    Watch watch;
    std::thread dog(watchdog, std::ref(watch), stall, t0);
    std::vector<std::thread> load;
    for (int i = 0; i < 2; ++i) load.emplace_back(mutator, i, seed * 31 + i);
    load.emplace_back(pool_driver, seed * 31 + 7);
    load.emplace_back(thread_churn, seed * 31 + 8);

    std::uint32_t slotsPeak = slots0;
    for (const auto end = t0 + std::chrono::seconds(seconds); Clock::now() < end && !g_failed.load();) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        slotsPeak = std::max(slotsPeak, slots_in_use());
    }
    const long rssPeak = peak_rss_mb();
    // Winding down may take the pool's drain and a few full collections; a
    // hang there is a deadlock too.
    watch.phase_deadline_s.store(seconds + 240);
    g_stop.store(true);
    for (auto& t : load) t.join();
    TMonitor::Enter(*g_registry);
    for (const auto& c : *g_handed) chain_sound(c, "handed chain");
    g_handed->clear();
    g_handed->shrink_to_fit();
    TMonitor::Exit(*g_registry);

    // The policy alone must bring memory and slots back: a full collection
    // comes at least every 30 s, and pool threads idle past their time-out
    // retire.
    const auto settleEnd = Clock::now() + std::chrono::seconds(150);
    auto back = [&] {
        return slots_in_use() <= slots0 + 2 && rss_mb() <= rss0 + slackMb &&
               managed_bytes() <= managed0 + (std::uint64_t(slackMb) << 20);
    };
    while (!back() && Clock::now() < settleEnd) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    const long rssEnd = rss_mb();
    const std::uint32_t slotsEnd = slots_in_use();
    const std::uint64_t managedEnd = managed_bytes();
    watch.done.store(true);
    dog.join();

    std::vector<std::uint64_t> p(gc_detail::gc_pause_log::total_count() - pauses0 + 16);
    p.resize(gc_detail::gc_pause_log::snapshot(p.data(), p.size()));
    std::sort(p.begin(), p.end());
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const struct mallinfo2 native = mallinfo2();
    std::printf("soak: %.0f s; rss start %ld / peak %ld / end %ld MiB (%ld in the arena; C heap %zu MiB in use, %zu "
                "free); slots start %u / peak %u / end %u; managed start %" PRIu64 " / end %" PRIu64 " KiB\n",
                elapsed, rss0, rssPeak, rssEnd, arena_rss_mb(), native.uordblks >> 20, native.fordblks >> 20, slots0,
                slotsPeak, slotsEnd, managed0 / 1024, managedEnd / 1024);
    std::printf("soak: collections young %" PRIu64 ", generation 2 %" PRIu64 ", full %" PRIu64
                "; pauses (last %zu) median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                gc_detail::gc_pause_log::count(1), gc_detail::gc_pause_log::count(2),
                gc_detail::gc_pause_log::count(3), p.size(), p.empty() ? 0.0 : ms(p[p.size() / 2]),
                p.empty() ? 0.0 : ms(p[std::min(p.size() - 1, p.size() * 99 / 100)]), p.empty() ? 0.0 : ms(p.back()));
    std::printf("soak: work items %" PRIu64 ", mutations %" PRIu64 ", plain threads %" PRIu64 ", checks %" PRIu64
                ", finalized %" PRIu64 " (registry %" PRIu64 "), destroyed %" PRIu64 "\n",
                g_items.n.load(), g_mutated.n.load(), g_churned.n.load(), g_checked.n.load(), g_finalized.load(),
                (*g_registry)->finalized, g_destroyed.load());
    if (slotsEnd > slots0 + 2) fail("thread-table slots did not come back: %u at the start, %u at the end", slots0, slotsEnd);
    if (rssEnd > rss0 + slackMb)
        fail("resident memory did not come back: %ld MiB at the start, %ld MiB at the end (slack %ld)", rss0, rssEnd,
             slackMb);
    if (g_finalized.load() == 0 || g_destroyed.load() == 0) fail("no finalizer or no destructor ran: the load is wrong");
    if (g_failed.load()) {
        std::printf("soak: FAILED\n");
        return 1;
    }
    std::printf("soak: passed\n");
    return 0;
}
