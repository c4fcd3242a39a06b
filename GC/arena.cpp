#include "GC/arena.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>

#include "GC/gc_layout.h"
#include "GC/object_header.h"
#include "core/Exceptions.h"
#include "core/spin_lock.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define NORVANE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define NORVANE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define NORVANE_POISON(p, n) ((void)0)
#define NORVANE_UNPOISON(p, n) ((void)0)
#endif

namespace gc_detail {

heap_info g_heap{};
unsigned char* g_change_bitmap = nullptr;

namespace arena {
// Declared where it is used too, the collector's cleanup.
void flush_thread_cache() noexcept;

namespace {

constexpr unsigned kPageShift = 16; // 64 KiB pages
constexpr std::size_t kPageSize = std::size_t{1} << kPageShift;
constexpr std::size_t kCommitStep = std::size_t{4} << 20;
constexpr std::size_t kMaxSmall = 32768; // header + object
constexpr unsigned kMaxClasses = 64;

enum : std::uint8_t { kPageUnused = 0, kPageFree = 0xFD, kPageLarge = 0xFE };

struct page_entry {
    std::uint8_t kind;        // size class + 1, or one of the kinds above
    std::uint8_t pad[3];
    std::uint32_t span_start; // first page of the span or run
};
struct run_entry {            // kept on the first page of a span, large or free run
    std::uint32_t pages;
    std::uint32_t free_blocks; // span: free blocks counted while reclaiming
    std::uint32_t next_empty;  // span: the next wholly free span found while reclaiming
};

struct size_class {
    std::uint32_t slot;       // bytes per block, header included
    std::uint64_t magic;      // ceil(2^40 / slot): offset / slot as a multiply
    std::uint32_t span_pages;
    std::uint32_t batch;      // blocks moved at once between caches and the centre
};

size_class g_classes[kMaxClasses];
unsigned g_class_count = 0;
std::uint8_t g_class_of_16[kMaxSmall / 16 + 1]; // indexed by (bytes + 15) / 16

page_entry* g_pages = nullptr;
run_entry* g_runs = nullptr;
std::size_t g_page_count = 0;

// Page heap: bump pointer plus free runs, under one lock.
spin_lock g_page_lock{100};
std::size_t g_next_page = 0;
std::size_t g_committed = 0; // bytes from base with read/write access
std::multimap<std::uint32_t, std::uint32_t>* g_free_runs = nullptr; // pages -> start
constexpr std::size_t kRetainLimit = std::size_t{64} << 20;
std::size_t g_retained = 0; // bytes of freed runs still backed

// Central free lists: a stack of batches per class; each batch is a chain
// of blocks linked through their first word, its length in the second.
struct central_list {
    spin_lock lock{100};
    void* batches = nullptr;
    std::atomic<std::size_t> blocks{0}; // in the batches; read without the lock
};
central_list g_central[kMaxClasses];

// Reclaiming empty spans: one at a time. What stayed in the central lists
// after the last one, so a heap that keeps some fragmentation is not walked
// again and again for nothing.
spin_lock g_reclaim_lock{100};
std::atomic<std::size_t> g_central_floor{0};
constexpr std::size_t kReclaimMinBytes = std::size_t{16} << 20;
// An idle heap walks once this much more lies in the central lists than the
// last walk left there.
constexpr std::size_t kTrimSlackBytes = std::size_t{1} << 20;
// Walks that give back little make the next one wait for more (at most 4x).
std::atomic<unsigned> g_reclaim_backoff{0};
constexpr unsigned kMaxReclaimBackoff = 2;
// Bytes taken from the central lists since the last collection: free
// blocks that are reused at once are not worth a walk.
std::atomic<std::size_t> g_central_taken{0};
std::size_t g_free_at_last_collection = 0; // collector only
// Batches, spans and runs handed to threads: a heap whose count stands
// still is idle.
std::atomic<std::uint64_t> g_slow_takes{0};

std::atomic<bool (*)() noexcept> g_growth_gate{nullptr};

// The growth alarm: bytes left before fn runs (at most once per arming).
constexpr std::int64_t kAlarmOff = INT64_MAX / 2;
std::atomic<std::int64_t> g_alarm_left{kAlarmOff};
std::atomic<void (*)() noexcept> g_alarm_fn{nullptr};

// Blocks handed to a thread; off the fast path (once per batch or span).
inline void count_handed_out(std::size_t bytes) noexcept {
    g_slow_takes.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t left = g_alarm_left.load(std::memory_order_relaxed);
    if (left <= 0 || left == kAlarmOff) return;
    const auto b = static_cast<std::int64_t>(bytes);
    if (g_alarm_left.fetch_sub(b, std::memory_order_acq_rel) > b) return;
    if (auto fn = g_alarm_fn.exchange(nullptr, std::memory_order_acq_rel)) fn();
}

// A free block keeps its header's check word 0 (so it never reads as an
// object); its links use the rest of the header and, on a batch head, the
// first bytes of the former object.
struct free_block {
    free_block* next;
    std::uint32_t check_word; // 0, never written here
    std::uint32_t count;      // valid on a batch head
    free_block* next_batch;   // valid on a batch head in the central list
};
static_assert(offsetof(free_block, check_word) == layout::off_check_word);
static_assert(offsetof(free_block, next_batch) >= layout::header_size);

struct class_cache {
    free_block* head = nullptr;
    std::uint32_t count = 0;
    // The block pushed when count became batch + 1: below it lies a whole
    // batch of older blocks, handed on at once when the cache doubles.
    free_block* above_batch = nullptr;
    char* bump = nullptr;
    char* bump_end = nullptr;
};

// Trivially constructed and destroyed, so the fast paths reach it with a
// plain thread-pointer offset (no guard or init call); a thread's cache is
// handed back through a key destructor registered on its first refill.
struct thread_cache {
    class_cache c[kMaxClasses];
    // 0 before first use, 1 in use (the key destructor will hand it back),
    // 2 after the thread's teardown handed it back.
    std::uint8_t state;
};
enum : std::uint8_t { kCacheFresh = 0, kCacheInUse = 1, kCacheGone = 2 };

__attribute__((tls_model("initial-exec"))) constinit thread_local thread_cache t_cache{};
pthread_key_t g_cache_key;

void use_thread_cache() noexcept {
    t_cache.state = kCacheInUse;
    pthread_setspecific(g_cache_key, &t_cache);
}

void build_classes() {
    std::uint32_t s = layout::header_size + 16;
    while (s <= kMaxSmall) {
        size_class& c = g_classes[g_class_count++];
        c.slot = s;
        c.magic = ((std::uint64_t{1} << 40) + s - 1) / s;
        std::size_t span = std::max<std::size_t>(kPageSize, (std::size_t{8} * s + kPageSize - 1) & ~(kPageSize - 1));
        c.span_pages = static_cast<std::uint32_t>(span >> kPageShift);
        c.batch = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(65536 / s), 4, 256);
        std::uint32_t step = s < 256 ? 16 : ((s / 8) + 15) & ~15u;
        s += step;
    }
    if (g_classes[g_class_count - 1].slot < kMaxSmall) {
        size_class& c = g_classes[g_class_count++];
        c.slot = kMaxSmall;
        c.magic = ((std::uint64_t{1} << 40) + kMaxSmall - 1) / kMaxSmall;
        c.span_pages = static_cast<std::uint32_t>((8 * kMaxSmall) >> kPageShift);
        c.batch = 4;
    }
    unsigned k = 0;
    for (std::size_t i = 0; i <= kMaxSmall / 16; ++i) {
        while (g_classes[k].slot < i * 16) ++k;
        g_class_of_16[i] = static_cast<std::uint8_t>(k);
    }
}

[[noreturn]] void out_of_memory() { throw Sysutils::EOutOfMemory("Out of memory"); }

// Makes pages [0, end_page) readable and writable. Page lock held.
void commit_to(std::size_t end_page) {
    std::size_t want = end_page << kPageShift;
    if (want <= g_committed) return;
    std::size_t to = std::min(g_heap.size, (want + kCommitStep - 1) & ~(kCommitStep - 1));
    if (mprotect(reinterpret_cast<void*>(g_heap.base + g_committed), to - g_committed, PROT_READ | PROT_WRITE) != 0)
        out_of_memory();
    g_committed = to;
}

void mark_run(std::uint32_t start, std::uint32_t pages, std::uint8_t kind) {
    for (std::uint32_t p = start; p < start + pages; ++p) {
        g_pages[p].kind = kind;
        g_pages[p].span_start = start;
    }
    g_runs[start].pages = pages;
}

constexpr std::uint32_t kNoPages = 0xFFFFFFFFu;

// A run of pages, or kNoPages when the arena has no room; page lock held.
std::uint32_t take_pages(std::uint32_t pages, std::uint8_t kind) {
    auto it = g_free_runs->lower_bound(pages);
    std::uint32_t start;
    if (it != g_free_runs->end()) {
        start = it->second;
        std::uint32_t have = it->first;
        g_free_runs->erase(it);
        const std::size_t reused = std::size_t{pages} << kPageShift;
        g_retained = g_retained > reused ? g_retained - reused : 0;
        if (have > pages) {
            mark_run(start + pages, have - pages, kPageFree);
            g_free_runs->emplace(have - pages, start + pages);
        }
    } else {
        if (g_next_page + pages > g_page_count) return kNoPages;
        commit_to(g_next_page + pages);
        start = static_cast<std::uint32_t>(g_next_page);
        g_next_page += pages;
    }
    mark_run(start, pages, kind);
    return start;
}

void erase_free_run(std::uint32_t start) {
    auto range = g_free_runs->equal_range(g_runs[start].pages);
    for (auto it = range.first; it != range.second; ++it)
        if (it->second == start) { g_free_runs->erase(it); return; }
}

// Returns a large run to the page heap, merged with free neighbours.
void give_pages(std::uint32_t start) {
    std::uint32_t pages = g_runs[start].pages;
    NORVANE_UNPOISON(reinterpret_cast<void*>(g_heap.base + (std::size_t{start} << kPageShift)),
                     std::size_t{pages} << kPageShift);
    // Freed runs stay backed up to a limit, so arrays that come and go do
    // not fault their pages in again every time; past it, memory goes back.
    const std::size_t bytes = std::size_t{pages} << kPageShift;
    if (g_retained + bytes > kRetainLimit) {
        madvise(reinterpret_cast<void*>(g_heap.base + (std::size_t{start} << kPageShift)), bytes, MADV_DONTNEED);
    } else {
        g_retained += bytes;
    }
    if (start > 0 && g_pages[start - 1].kind == kPageFree) {
        std::uint32_t prev = g_pages[start - 1].span_start;
        erase_free_run(prev);
        pages += g_runs[prev].pages;
        start = prev;
    }
    std::uint32_t after = start + pages;
    if (after < g_next_page && g_pages[after].kind == kPageFree) {
        erase_free_run(after);
        pages += g_runs[after].pages;
    }
    mark_run(start, pages, kPageFree);
    g_free_runs->emplace(pages, start);
}

inline void init_header(char* block) {
    auto* h = reinterpret_cast<object_header*>(block);
    h->type_word = 0;
    h->set_check_word(layout::unregistered_marker);
    h->word_before = 0;
}

void push_central(unsigned cls, free_block* head, std::uint32_t count) {
    NORVANE_UNPOISON(&head->next_batch, sizeof head->next_batch);
    head->count = count;
    central_list& cl = g_central[cls];
    spin_guard g(cl.lock);
    head->next_batch = static_cast<free_block*>(cl.batches);
    cl.batches = head;
    cl.blocks.fetch_add(count, std::memory_order_relaxed);
}

std::size_t reclaim_spans() noexcept;

// A run of pages for a span or a large block. An arena with no room left
// first gives the spans that are wholly free back to the page heap.
std::uint32_t take_pages_or_reclaim(std::uint32_t pages, std::uint8_t kind) {
    {
        spin_guard g(g_page_lock);
        const std::uint32_t start = take_pages(pages, kind);
        if (start != kNoPages) return start;
    }
    reclaim_spans();
    spin_guard g(g_page_lock);
    const std::uint32_t start = take_pages(pages, kind);
    if (start == kNoPages) out_of_memory();
    return start;
}

// A batch from the central list into the empty cache; its first block, or
// null when the list is empty.
char* take_central_batch(unsigned cls) {
    class_cache& cc = t_cache.c[cls];
    const size_class& sc = g_classes[cls];
    central_list& cl = g_central[cls];
    if (!cl.batches) return nullptr;
    free_block* batch;
    {
        spin_guard g(cl.lock);
        batch = static_cast<free_block*>(cl.batches);
        if (!batch) return nullptr;
        cl.batches = batch->next_batch;
        cl.blocks.fetch_sub(batch->count, std::memory_order_relaxed);
        g_central_taken.fetch_add(std::size_t{batch->count} * sc.slot, std::memory_order_relaxed);
    }
    count_handed_out(std::size_t{batch->count} * sc.slot);
    cc.head = batch->next;
    cc.count = batch->count - 1;
    cc.above_batch = nullptr;
    return reinterpret_cast<char*>(batch);
}

// Refills an empty cache; returns one block.
char* refill(unsigned cls) {
    // Also after teardown: a key destructor that allocates has its
    // blocks handed back in the next round.
    if (t_cache.state != kCacheInUse) use_thread_cache();
    class_cache& cc = t_cache.c[cls];
    const size_class& sc = g_classes[cls];
    if (cc.bump && cc.bump + sc.slot <= cc.bump_end) {
        char* b = cc.bump;
        cc.bump += sc.slot;
        return b;
    }
    if (char* b = take_central_batch(cls)) return b;
    // A thread that would take fresh pages while a collection's cleanup
    // frees blocks may be asked to wait for them first.
    if (auto gate = g_growth_gate.load(std::memory_order_acquire); gate && gate())
        if (char* b = take_central_batch(cls)) return b;
    const std::uint32_t start = take_pages_or_reclaim(sc.span_pages, static_cast<std::uint8_t>(cls + 1));
    char* span = reinterpret_cast<char*>(g_heap.base + (std::size_t{start} << kPageShift));
    // A span may reuse the pages of a freed large run, which are not zeroed:
    // blocks not handed out yet must read as free, or a stale pointer into
    // them would be taken for an object.
    const std::size_t span_bytes = std::size_t{sc.span_pages} << kPageShift;
    for (std::size_t off = 0; off + sc.slot <= span_bytes; off += sc.slot)
        reinterpret_cast<object_header*>(span + off)->set_check_word(0);
    count_handed_out(span_bytes);
    cc.bump = span + sc.slot;
    cc.bump_end = span + (std::size_t{sc.span_pages} << kPageShift);
    return span;
}

void release_thread_cache(void*) noexcept {
    thread_cache& tc = t_cache;
    flush_thread_cache();
    for (unsigned cls = 0; cls < g_class_count; ++cls) {
        class_cache& cc = tc.c[cls];
        // Blocks not yet carved from the bump region go back as one batch.
        free_block* chain = nullptr;
        std::uint32_t n = 0;
        const std::uint32_t slot = g_classes[cls].slot;
        while (cc.bump && cc.bump + slot <= cc.bump_end) {
            auto* fb = reinterpret_cast<free_block*>(cc.bump);
            reinterpret_cast<object_header*>(cc.bump)->set_check_word(0);
            fb->next = chain;
            chain = fb;
            ++n;
            cc.bump += slot;
        }
        if (chain) push_central(cls, chain, n);
        cc.bump = cc.bump_end = nullptr;
    }
    tc.state = kCacheGone;
}

std::uint32_t span_of(const free_block* b) noexcept {
    return g_pages[(reinterpret_cast<std::uintptr_t>(b) - g_heap.base) >> kPageShift].span_start;
}

// Gives the spans whose blocks are all in the central lists back to the
// page heap (merged with free neighbours), so their pages serve any size
// class or a large block again. Blocks in thread caches or not carved yet
// keep their span. Returns the bytes given back.
std::size_t reclaim_spans() noexcept {
    constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    spin_guard rg(g_reclaim_lock);
    std::size_t given = 0;
    std::size_t walked = 0;
    for (unsigned cls = 0; cls < g_class_count; ++cls) {
        const size_class& sc = g_classes[cls];
        const auto per_span = static_cast<std::uint32_t>((std::size_t{sc.span_pages} << kPageShift) / sc.slot);
        central_list& cl = g_central[cls];
        if (cl.blocks.load(std::memory_order_relaxed) < per_span) continue;
        free_block* batches;
        {
            spin_guard g(cl.lock);
            batches = static_cast<free_block*>(cl.batches);
            cl.batches = nullptr;
            walked += cl.blocks.exchange(0, std::memory_order_relaxed) * sc.slot;
        }
        for (free_block* bt = batches; bt; bt = bt->next_batch)
            for (free_block* b = bt; b; b = b->next) g_runs[span_of(b)].free_blocks = 0;
        for (free_block* bt = batches; bt; bt = bt->next_batch)
            for (free_block* b = bt; b; b = b->next) ++g_runs[span_of(b)].free_blocks;
        // The blocks of spans still in use go back in batches; the wholly
        // free spans are listed and given back only after the walk, since
        // giving pages back may clear them.
        std::uint32_t empty = kNone;
        free_block* chain = nullptr;
        std::uint32_t n = 0;
        for (free_block* bt = batches; bt;) {
            free_block* next_batch = bt->next_batch;
            for (free_block* b = bt; b;) {
                free_block* next = b->next;
                run_entry& run = g_runs[span_of(b)];
                if (run.free_blocks == per_span) {
                    run.free_blocks = kNone; // listed
                    run.next_empty = empty;
                    empty = span_of(b);
                } else if (run.free_blocks != kNone) {
                    b->next = chain;
                    chain = b;
                    if (++n == sc.batch) {
                        push_central(cls, chain, n);
                        chain = nullptr;
                        n = 0;
                    }
                }
                b = next;
            }
            bt = next_batch;
        }
        if (chain) push_central(cls, chain, n);
        spin_guard g(g_page_lock);
        while (empty != kNone) {
            const std::uint32_t next = g_runs[empty].next_empty;
            given += std::size_t{g_runs[empty].pages} << kPageShift;
            give_pages(empty);
            empty = next;
        }
    }
    std::size_t left = 0;
    for (unsigned cls = 0; cls < g_class_count; ++cls)
        left += g_central[cls].blocks.load(std::memory_order_relaxed) * g_classes[cls].slot;
    g_central_floor.store(left, std::memory_order_relaxed);
    const unsigned b = g_reclaim_backoff.load(std::memory_order_relaxed);
    if (given * 8 < walked) g_reclaim_backoff.store(std::min(b + 1, kMaxReclaimBackoff), std::memory_order_relaxed);
    else g_reclaim_backoff.store(0, std::memory_order_relaxed);
    return given;
}

} // namespace

std::size_t reclaim_empty_spans() noexcept { return reclaim_spans(); }

void flush_thread_cache() noexcept {
    if (t_cache.state != kCacheInUse) return;
    for (unsigned cls = 0; cls < g_class_count; ++cls) {
        class_cache& cc = t_cache.c[cls];
        if (!cc.head) continue;
        push_central(cls, cc.head, cc.count);
        cc.head = nullptr;
        cc.count = 0;
        cc.above_batch = nullptr;
    }
}

std::size_t central_free_bytes() noexcept {
    std::size_t bytes = 0;
    for (unsigned cls = 0; cls < g_class_count; ++cls)
        bytes += g_central[cls].blocks.load(std::memory_order_relaxed) * g_classes[cls].slot;
    return bytes;
}

void reclaim_after_collection(std::uint64_t live_bytes) noexcept {
    // Walking the free blocks costs about what freeing them did: only for
    // blocks that lay idle since the last collection (a heap that churns
    // reuses its free blocks at once), and only when much more lies idle
    // than the last walk left behind, measured against the live heap.
    const std::size_t free_bytes = central_free_bytes();
    const std::size_t taken = g_central_taken.exchange(0, std::memory_order_relaxed);
    const std::size_t before = g_free_at_last_collection;
    g_free_at_last_collection = free_bytes;
    const std::size_t idle = before > taken ? std::min(free_bytes, before - taken) : 0;
    const std::size_t floor = g_central_floor.load(std::memory_order_relaxed);
    if (free_bytes < floor) g_central_floor.store(free_bytes, std::memory_order_relaxed);
    const std::size_t least = kReclaimMinBytes << g_reclaim_backoff.load(std::memory_order_relaxed);
    if (idle < std::min(floor, free_bytes) + std::max<std::size_t>(least, live_bytes / 2)) return;
    reclaim_spans();
    g_free_at_last_collection = central_free_bytes();
}

bool trim_when_idle() noexcept {
    // Collector thread only.
    static std::uint64_t seen = 0;
    const std::uint64_t takes = g_slow_takes.load(std::memory_order_relaxed);
    if (takes != seen) {
        seen = takes;
        return false;
    }
    // Idle for a whole period: free spans not walked yet, or freed runs
    // still backed, are memory nobody is about to use.
    const bool walk = central_free_bytes() > g_central_floor.load(std::memory_order_relaxed) + kTrimSlackBytes;
    if (walk) reclaim_spans();
    spin_guard g(g_page_lock);
    if (!walk && g_retained == 0) return false;
    // Taken again meanwhile: the heap is busy after all.
    if (g_slow_takes.load(std::memory_order_relaxed) != seen) return true;
    for (const auto& [pages, start] : *g_free_runs)
        madvise(reinterpret_cast<void*>(g_heap.base + (std::size_t{start} << kPageShift)),
                std::size_t{pages} << kPageShift, MADV_DONTNEED);
    g_retained = 0;
    return true;
}

void init() {
    static std::once_flag once;
    std::call_once(once, [] {
        build_classes();
        pthread_key_create(&g_cache_key, &release_thread_cache);
        std::uint64_t bytes = layout::default_arena_bytes;
        if (const char* env = std::getenv("NORVANE_ARENA_MB")) {
            char* end = nullptr;
            unsigned long long mb = std::strtoull(env, &end, 10);
            if (end != env && mb >= 64 && mb <= (1ull << 26)) bytes = mb << 20;
        }
        bytes = (bytes + kPageSize - 1) & ~(kPageSize - 1);
        // Over-reserve so the base can be aligned to a page of the page table.
        std::size_t reserve = bytes + kPageSize;
        void* p = mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) {
            std::fputs("Norvane: unable to reserve the managed arena\n", stderr);
            std::abort();
        }
        std::uintptr_t base = (reinterpret_cast<std::uintptr_t>(p) + kPageSize - 1) & ~(kPageSize - 1);
        g_heap.base = base;
        g_heap.size = bytes;
        g_page_count = bytes >> kPageShift;
        g_heap.card_count = (bytes + (std::size_t{1} << layout::card_shift) - 1) >> layout::card_shift;
        auto* cards = static_cast<unsigned char*>(
            mmap(nullptr, g_heap.card_count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        g_pages = static_cast<page_entry*>(mmap(nullptr, g_page_count * sizeof(page_entry), PROT_READ | PROT_WRITE,
                                                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        g_runs = static_cast<run_entry*>(mmap(nullptr, g_page_count * sizeof(run_entry), PROT_READ | PROT_WRITE,
                                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
        if (cards == MAP_FAILED || g_pages == MAP_FAILED || g_runs == MAP_FAILED) {
            std::fputs("Norvane: unable to map the arena tables\n", stderr);
            std::abort();
        }
        g_heap.cards = cards;
        g_change_bitmap = cards;
        g_free_runs = new std::multimap<std::uint32_t, std::uint32_t>();
    });
}

void fork_prepare() noexcept {
    g_reclaim_lock.acquire(); // a walk holds a class's free blocks in hand
    g_page_lock.acquire();
    for (unsigned c = 0; c < g_class_count; ++c) g_central[c].lock.acquire();
}

void fork_parent() noexcept {
    for (unsigned c = g_class_count; c-- > 0;) g_central[c].lock.release();
    g_page_lock.release();
    g_reclaim_lock.release();
}

void fork_child() noexcept { fork_parent(); }

void* allocate(std::size_t object_size) {
    if (object_size > 0xFFFFFFF0u - layout::header_size) out_of_memory();
    const std::size_t total = (object_size + layout::header_size + 15) & ~std::size_t{15};
    char* block;
    if (total <= kMaxSmall) {
        const unsigned cls = g_class_of_16[total >> 4];
        class_cache& cc = t_cache.c[cls];
        if (cc.head) {
            free_block* b = cc.head;
            cc.head = b->next;
            --cc.count;
            if (cc.head) __builtin_prefetch(cc.head, 1); // the next block handed out
            block = reinterpret_cast<char*>(b);
        } else {
            block = refill(cls);
        }
    } else {
        const auto pages = static_cast<std::uint32_t>((total + kPageSize - 1) >> kPageShift);
        if (auto gate = g_growth_gate.load(std::memory_order_acquire)) gate();
        count_handed_out(std::size_t{pages} << kPageShift);
        block = reinterpret_cast<char*>(g_heap.base + (std::size_t{take_pages_or_reclaim(pages, kPageLarge)} << kPageShift));
    }
    init_header(block);
    NORVANE_UNPOISON(block + layout::header_size, object_size);
    return block + layout::header_size;
}

void release(void* object) noexcept {
    if (!object) return;
    char* block = static_cast<char*>(object) - layout::header_size;
    auto* h = reinterpret_cast<object_header*>(block);
    h->set_check_word(0); // no longer recognised as an object
    const page_entry e = g_pages[(reinterpret_cast<std::uintptr_t>(block) - g_heap.base) >> kPageShift];
    if (e.kind == kPageLarge) {
        // Under AddressSanitizer a freed object's bytes trap any later use.
        NORVANE_POISON(block + layout::header_size,
                       (std::size_t{g_runs[e.span_start].pages} << kPageShift) - layout::header_size);
        spin_guard g(g_page_lock);
        give_pages(e.span_start);
        return;
    }
    const unsigned cls = e.kind - 1u;
    const size_class& sc = g_classes[cls];
    NORVANE_POISON(block + layout::header_size, sc.slot - layout::header_size);
    auto* fb = reinterpret_cast<free_block*>(block);
    if (t_cache.state != kCacheInUse) [[unlikely]] {
        if (t_cache.state == kCacheGone) { // past the thread's teardown
            fb->next = nullptr;
            push_central(cls, fb, 1);
            return;
        }
        use_thread_cache();
    }
    class_cache& cc = t_cache.c[cls];
    fb->next = cc.head;
    cc.head = fb;
    const std::uint32_t n = ++cc.count;
    if (n == sc.batch + 1) {
        cc.above_batch = fb;
    } else if (n >= 2 * sc.batch) {
        // Hand the older blocks to the centre so other threads can reuse them.
        free_block* cut = cc.above_batch;
        if (!cut) { // the cache began above one batch (a large refill)
            cut = cc.head;
            for (std::uint32_t i = 1; i < sc.batch; ++i) cut = cut->next;
        }
        free_block* older = cut->next;
        cut->next = nullptr;
        cc.above_batch = nullptr;
        push_central(cls, older, n - sc.batch);
        cc.count = sc.batch;
    }
}

bool is_object_start(const void* p) noexcept {
    const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t off = a - g_heap.base;
    if (off >= g_heap.size || (a & (layout::object_alignment - 1)) != 0 || off < layout::header_size) return false;
    const std::uintptr_t block_off = off - layout::header_size;
    const std::size_t page = block_off >> kPageShift;
    if (page >= g_next_page) return false;
    const page_entry e = g_pages[page];
    const std::uintptr_t span_off = block_off - (std::uintptr_t{e.span_start} << kPageShift);
    if (e.kind == kPageLarge) {
        if (span_off != 0) return false;
    } else if (e.kind >= 1 && e.kind <= g_class_count) {
        if (span_off % g_classes[e.kind - 1].slot != 0) return false;
    } else {
        return false;
    }
    const auto* h = reinterpret_cast<const object_header*>(a - layout::header_size);
    const std::uint32_t w = h->check_word();
    return w != 0;
}

void* block_containing(const void* p) noexcept {
    const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(p) - g_heap.base;
    if (off >= g_heap.size) return nullptr;
    const std::size_t page = off >> kPageShift;
    if (page >= g_next_page) return nullptr;
    const page_entry e = g_pages[page];
    const std::uintptr_t span_base = std::uintptr_t{e.span_start} << kPageShift;
    std::uintptr_t block_off;
    if (e.kind == kPageLarge) {
        block_off = span_base;
    } else if (e.kind >= 1 && e.kind <= g_class_count) {
        // Exact for offsets below 2^18 (spans are at most 256 KiB).
        const size_class& sc = g_classes[e.kind - 1];
        const std::uint64_t index = ((off - span_base) * sc.magic) >> 40;
        block_off = span_base + index * sc.slot;
    } else {
        return nullptr;
    }
    const auto* h = reinterpret_cast<const object_header*>(g_heap.base + block_off);
    if (h->check_word() == 0) return nullptr; // free block
    return reinterpret_cast<void*>(g_heap.base + block_off + layout::header_size);
}

std::size_t usable_size(const void* object) noexcept {
    const std::uintptr_t block_off = reinterpret_cast<std::uintptr_t>(object) - g_heap.base - layout::header_size;
    const page_entry e = g_pages[block_off >> kPageShift];
    if (e.kind == kPageLarge) return (std::size_t{g_runs[e.span_start].pages} << kPageShift) - layout::header_size;
    return g_classes[e.kind - 1].slot - layout::header_size;
}

std::size_t committed_bytes() noexcept { return g_committed; }

void set_growth_gate(bool (*gate)() noexcept) noexcept { g_growth_gate.store(gate, std::memory_order_release); }

std::size_t resident_bytes() noexcept {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t committed = g_committed;
    unsigned char vec[4096];
    std::size_t resident = 0;
    for (std::size_t off = 0; off < committed; off += sizeof vec * page) {
        const std::size_t len = std::min(committed - off, sizeof vec * page);
        if (mincore(reinterpret_cast<void*>(g_heap.base + off), len, vec) != 0) break;
        for (std::size_t i = 0; i < (len + page - 1) / page; ++i) resident += (vec[i] & 1) * page;
    }
    return resident;
}

void set_growth_alarm(std::size_t bytes, void (*fn)() noexcept) noexcept {
    g_alarm_left.store(kAlarmOff, std::memory_order_release); // no call while it changes
    if (!bytes || !fn) {
        g_alarm_fn.store(nullptr, std::memory_order_release);
        return;
    }
    g_alarm_fn.store(fn, std::memory_order_release);
    g_alarm_left.store(static_cast<std::int64_t>(std::min<std::size_t>(bytes, kAlarmOff - 1)),
                       std::memory_order_release);
}

} // namespace arena
} // namespace gc_detail
