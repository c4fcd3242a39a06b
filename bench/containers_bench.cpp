// The managed list and dictionary against their standard counterparts:
// TGcList<gc_ptr<T>> against std::vector<std::shared_ptr<T>>, TGcDictionary
// against std::unordered_map. The element objects are made once; the
// figures are the containers' own costs (stores with card marks against
// reference-count updates, chained cells against the standard nodes).
#include <benchmark/benchmark.h>

#include <memory>
#include <unordered_map>
#include <vector>

#include "collections/GcDictionary.h"
#include "collections/GcList.h"
#include "GC/collector.h"

using namespace System::Collections;

namespace {

struct Item {
    int value = 1;
};

constexpr int kSizes[] = {1000, 100000};

// Garbage of earlier iterations is collected outside the timed part, about
// every million elements, so that neither the pause nor the collection
// dominates the small sizes.
void collect_untimed(benchmark::State& s, int n, long& pending) {
    pending += n;
    if (pending < 1000000) return;
    pending = 0;
    s.PauseTiming();
    gc_detail::collect(3);
    s.ResumeTiming();
}

void BM_GcListAdd(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    gc_ptr<Item> item = gcnew<Item>();
    long pending = 0;
    for (auto _ : s) {
        auto list = gcnew<TGcList<gc_ptr<Item>>>();
        for (int i = 0; i < n; ++i) list->Add(item);
        benchmark::DoNotOptimize(list->GetCount());
        collect_untimed(s, n, pending);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_GcListAdd)->Arg(kSizes[0])->Arg(kSizes[1]);

void BM_VectorSharedPtrPushBack(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    auto item = std::make_shared<Item>();
    for (auto _ : s) {
        std::vector<std::shared_ptr<Item>> v;
        for (int i = 0; i < n; ++i) v.push_back(item);
        benchmark::DoNotOptimize(v.size());
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_VectorSharedPtrPushBack)->Arg(kSizes[0])->Arg(kSizes[1]);

void BM_GcListIndexedRead(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    auto list = gcnew<TGcList<gc_ptr<Item>>>();
    for (int i = 0; i < n; ++i) list->Add(gcnew<Item>());
    for (auto _ : s) {
        long sum = 0;
        for (int i = 0; i < n; ++i) sum += list->ItemRef(i)->value;
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_GcListIndexedRead)->Arg(kSizes[0])->Arg(kSizes[1]);

// GetItem hands out a copy of the pointer: a stack gc_ptr per element.
void BM_GcListGetItem(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    auto list = gcnew<TGcList<gc_ptr<Item>>>();
    for (int i = 0; i < n; ++i) list->Add(gcnew<Item>());
    for (auto _ : s) {
        long sum = 0;
        for (int i = 0; i < n; ++i) sum += list->GetItem(i)->value;
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_GcListGetItem)->Arg(kSizes[0])->Arg(kSizes[1]);

void BM_VectorSharedPtrIndexedRead(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    std::vector<std::shared_ptr<Item>> v;
    for (int i = 0; i < n; ++i) v.push_back(std::make_shared<Item>());
    for (auto _ : s) {
        long sum = 0;
        for (int i = 0; i < n; ++i) sum += v[static_cast<std::size_t>(i)]->value;
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_VectorSharedPtrIndexedRead)->Arg(kSizes[0])->Arg(kSizes[1]);

// Keys spread over the 32-bit range, as handles or ids are.
unsigned long key_of(int i) { return static_cast<unsigned long>(i) * 2654435761ul % 4294967291ul; }

void BM_GcDictionaryInsert(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    gc_ptr<Item> item = gcnew<Item>();
    long pending = 0;
    for (auto _ : s) {
        auto d = gcnew<TGcDictionary<unsigned long, gc_ptr<Item>>>();
        for (int i = 0; i < n; ++i) d->Add(key_of(i), item);
        benchmark::DoNotOptimize(d->GetCount());
        collect_untimed(s, n, pending);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_GcDictionaryInsert)->Arg(kSizes[0])->Arg(kSizes[1]);

void BM_UnorderedMapInsert(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    auto item = std::make_shared<Item>();
    for (auto _ : s) {
        std::unordered_map<unsigned long, std::shared_ptr<Item>> m;
        for (int i = 0; i < n; ++i) m.emplace(key_of(i), item);
        benchmark::DoNotOptimize(m.size());
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_UnorderedMapInsert)->Arg(kSizes[0])->Arg(kSizes[1]);

void BM_GcDictionaryLookup(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    auto d = gcnew<TGcDictionary<unsigned long, gc_ptr<Item>>>();
    for (int i = 0; i < n; ++i) d->Add(key_of(i), gcnew<Item>());
    for (auto _ : s) {
        long sum = 0;
        for (int i = 0; i < n; ++i) sum += d->ItemRef(key_of(i))->value;
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_GcDictionaryLookup)->Arg(kSizes[0])->Arg(kSizes[1]);

void BM_UnorderedMapLookup(benchmark::State& s) {
    const int n = static_cast<int>(s.range(0));
    std::unordered_map<unsigned long, std::shared_ptr<Item>> m;
    for (int i = 0; i < n; ++i) m.emplace(key_of(i), std::make_shared<Item>());
    for (auto _ : s) {
        long sum = 0;
        for (int i = 0; i < n; ++i) sum += m.find(key_of(i))->second->value;
        benchmark::DoNotOptimize(sum);
    }
    s.SetItemsProcessed(s.iterations() * n);
}
BENCHMARK(BM_UnorderedMapLookup)->Arg(kSizes[0])->Arg(kSizes[1]);

} // namespace

BENCHMARK_MAIN();
