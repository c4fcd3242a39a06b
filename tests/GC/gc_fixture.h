// Helpers for the managed-memory tests.
#pragma once
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "GC/gcptr.h"
#include "GC/thread_table.h"
#include "tests/support.h"

namespace gc_test {

// Counts constructions and destructions of its instances.
struct Tracked {
    static inline std::atomic<int> alive{0};
    static inline std::atomic<int> destroyed{0};
    int value;
    gc_ptr<Tracked> next;
    explicit Tracked(int v = 0) : value(v) { alive.fetch_add(1); }
    ~Tracked() {
        alive.fetch_sub(1);
        destroyed.fetch_add(1);
    }
};

inline std::size_t root_count() { return gc_detail::current_record()->roots.count; }

// How long the stress tests run: NORVANE_STRESS_SECONDS, 3 by default.
inline double stress_seconds() {
    if (const char* e = std::getenv("NORVANE_STRESS_SECONDS")) return std::atof(e);
    return 3.0;
}

using testing_support::in_own_frame;
using testing_support::settle;
using testing_support::wait_until;

// Runs f on a thread of its own and waits at most `seconds` for it. A hang
// (a deadlock with the collector) cannot be unwound from, so it ends the
// test program with a message instead of leaving it to the CTest time-out.
template <class F>
void run_with_deadline(int seconds, const std::string& what, F&& f) {
    struct shared {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    auto s = std::make_shared<shared>();
    std::thread t([s, &f] {
        f();
        std::lock_guard<std::mutex> g(s->m);
        s->done = true;
        s->cv.notify_all();
    });
    std::unique_lock<std::mutex> lk(s->m);
    if (!s->cv.wait_for(lk, std::chrono::seconds(seconds), [&] { return s->done; })) {
        std::fprintf(stderr, "FAILED: %s did not finish within %d s (deadlock)\n", what.c_str(), seconds);
        std::fflush(stderr);
        _exit(1);
    }
    lk.unlock();
    t.join();
}

} // namespace gc_test
