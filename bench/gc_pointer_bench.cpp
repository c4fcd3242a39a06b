// Costs of the managed-pointer operations: stack pointers, heap (root)
// pointers, stores with their card mark, monitors and gcnew.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>

#include "GC/collector.h"
#include "GC/gcptr.h"
#include "core/Monitor.h"

namespace {

struct Small {
    gc_ptr<Small> a, b;
    int v = 0;
};

void BM_StackPointerConstructDestroy(benchmark::State& s) {
    gc_ptr<Small> src = gcnew<Small>();
    for (auto _ : s) {
        gc_ptr<Small> p = src;
        benchmark::DoNotOptimize(p.target);
    }
}
BENCHMARK(BM_StackPointerConstructDestroy);

void BM_HeapPointerRegisterUnregister(benchmark::State& s) {
    alignas(gc_ptr<Small>) unsigned char storage[sizeof(gc_ptr<Small>)];
    auto* heap = new unsigned char[sizeof(gc_ptr<Small>)]; // off the stack
    (void)storage;
    for (auto _ : s) {
        auto* p = new (heap) gc_ptr<Small>();
        benchmark::DoNotOptimize(p);
        p->~gc_ptr<Small>();
    }
    delete[] heap;
}
BENCHMARK(BM_HeapPointerRegisterUnregister);

void BM_StoreIntoManagedObject(benchmark::State& s) {
    gc_ptr<Small> obj = gcnew<Small>();
    gc_ptr<Small> x = gcnew<Small>(), y = gcnew<Small>();
    bool flip = false;
    for (auto _ : s) {
        obj->a = flip ? x : y; // store and card mark
        flip = !flip;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_StoreIntoManagedObject);

void BM_StoreIntoStackPointer(benchmark::State& s) {
    gc_ptr<Small> p;
    gc_ptr<Small> x = gcnew<Small>(), y = gcnew<Small>();
    bool flip = false;
    for (auto _ : s) {
        p = flip ? x : y;
        flip = !flip;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_StoreIntoStackPointer);

void BM_RawPointerStoreBaseline(benchmark::State& s) {
    auto obj = std::make_unique<Small*[]>(2);
    Small a, b;
    bool flip = false;
    for (auto _ : s) {
        obj[0] = flip ? &a : &b;
        flip = !flip;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_RawPointerStoreBaseline);

void BM_MonitorEnterExitUncontended(benchmark::State& s) {
    gc_ptr<Small> obj = gcnew<Small>();
    for (auto _ : s) {
        System::Threading::TMonitor::Enter(obj);
        System::Threading::TMonitor::Exit(obj);
    }
}
BENCHMARK(BM_MonitorEnterExitUncontended);

// Two threads share one monitor; each iteration is one enter/exit pair.
gc_ptr<Small>* g_shared = nullptr;
void BM_MonitorEnterExitContended(benchmark::State& s) {
    if (s.thread_index() == 0) g_shared = new gc_ptr<Small>(gcnew<Small>());
    while (!g_shared) std::this_thread::yield();
    for (auto _ : s) {
        System::Threading::TMonitor::Enter(*g_shared);
        ++(*g_shared)->v;
        System::Threading::TMonitor::Exit(*g_shared);
    }
}
BENCHMARK(BM_MonitorEnterExitContended)->Threads(2)->UseRealTime();

void BM_GcnewSmallObjectTwoMembers(benchmark::State& s) {
    long n = 0;
    for (auto _ : s) {
        gc_ptr<Small> p = gcnew<Small>();
        benchmark::DoNotOptimize(p.target);
        if (++n % 100000 == 0) {
            s.PauseTiming();
            gc_detail::collect(1);
            s.ResumeTiming();
        }
    }
}
BENCHMARK(BM_GcnewSmallObjectTwoMembers);

void BM_NewDeleteSmallObjectBaseline(benchmark::State& s) {
    struct Plain { void* a; void* b; int v; };
    for (auto _ : s) {
        auto* p = new Plain{};
        benchmark::DoNotOptimize(p);
        delete p;
    }
}
BENCHMARK(BM_NewDeleteSmallObjectBaseline);

} // namespace

BENCHMARK_MAIN();
