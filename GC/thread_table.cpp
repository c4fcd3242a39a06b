// The thread table: records of registered threads, registration through
// the pthread_create hook, adoption of what ended threads leave, the stop
// barrier, fork handling and the start-up of the managed heap.
#include "GC/thread_table.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>

#include "platform/debug_output.h"
#include "platform/kernel_objects.h"
#include "platform/thread_hooks.h"

namespace gc_detail {

thread_table g_threads;
padded_counter slot_allocated_bytes[layout::thread_slots] = {};
std::atomic<int> stop_flag{0};
std::uint8_t mark_epochs[6] = {0, 0, 0, 0, 16, 32};
unsigned g_block_shift = layout::block_shift_desktop;
unsigned char* young_pages = nullptr;
unsigned char* gen1_pages = nullptr;
std::size_t g_block_count = 0;

platform::HANDLE collector_idle_event = nullptr;

namespace {
pthread_key_t g_lazy_key;
bool g_embedded = false;

void reset_record(thread_record* r) {
    r->fast = nullptr;
    r->active.store(0);
    r->released.store(0);
    r->exempt.store(0);
    r->reserved.store(1);
    r->thread_id = 0;
    r->stack_base = r->stack_limit = r->scan_low = 0;
}

void lazy_thread_exit(void*) { unregister_current_thread(); }
} // namespace

bool embedded_mode() noexcept { return g_embedded; }

void gen_list::grow() {
    const std::uint32_t cap = count * 4 + 8;
    auto* n = static_cast<object_header**>(std::realloc(items, cap * sizeof(object_header*)));
    if (!n) throw Sysutils::EOutOfMemory("Out of memory");
    items = n;
    capacity = cap;
}

void gen_list::free_storage() noexcept {
    std::free(items);
    items = nullptr;
    count = capacity = 0;
}

gen_list& thread_record::bucket(unsigned g, std::size_t block) {
    generation_lists& gl = gens[g];
    if (!gl.buckets) {
        gl.buckets = static_cast<gen_list*>(std::calloc(g_block_count, sizeof(gen_list)));
        if (!gl.buckets) throw Sysutils::EOutOfMemory("Out of memory");
    }
    if (!block_bits) {
        block_bits = static_cast<std::uint64_t*>(std::calloc(2 * block_words(), sizeof(std::uint64_t)));
        if (!block_bits) throw Sysutils::EOutOfMemory("Out of memory");
    }
    block_bits[block >> 6] |= std::uint64_t{1} << (block & 63);
    return gl.buckets[block];
}

// ---- stop barrier ---------------------------------------------------------

std::atomic<std::uint32_t> cleanup_epoch{0};

namespace {
long flag_futex(int op, int val, const timespec* ts) noexcept {
    return syscall(SYS_futex, reinterpret_cast<int*>(&stop_flag), op, val, ts, nullptr, 0);
}
} // namespace

void set_stop_bits(int bits) noexcept {
    stop_flag.fetch_or(bits, std::memory_order_acq_rel);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

void clear_stop_bits(int bits) noexcept {
    stop_flag.fetch_and(~bits, std::memory_order_acq_rel);
    flag_futex(FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

std::atomic<std::int64_t> cleanup_allowance{std::int64_t{1} << 20};

namespace {
// The barrier while cleanup runs: a thread's first visit notes its
// allocation counter.
void note_cleanup(thread_record* r) noexcept {
    if (!r) return;
    const std::uint32_t epoch = cleanup_epoch.load(std::memory_order_acquire);
    if (r->seen_cleanup == epoch) return;
    r->seen_cleanup = epoch;
    r->cleanup_from = slot_allocated_bytes[r->slot];
}

// Before a thread takes fresh pages (see cleanup_allowance).
bool pace_before_growth() noexcept {
    thread_record* r = t_gc_thread.record;
    if ((stop_flag.load(std::memory_order_acquire) & stop_cleaning) == 0 || !r ||
        r->exempt.load(std::memory_order_relaxed))
        return false;
    const std::uint32_t epoch = cleanup_epoch.load(std::memory_order_acquire);
    if (r->seen_cleanup != epoch) {
        note_cleanup(r);
        return false;
    }
    if (r->waited_cleanup == epoch ||
        slot_allocated_bytes[r->slot] - r->cleanup_from < cleanup_allowance.load(std::memory_order_relaxed))
        return false;
    r->waited_cleanup = epoch;
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(cleanup_wait_ms);
    for (;;) {
        const int f = stop_flag.load(std::memory_order_acquire);
        if ((f & stop_cleaning) == 0 || cleanup_epoch.load(std::memory_order_acquire) != epoch) return true;
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - clock::now()).count();
        if (left <= 0) return true;
        const timespec ts{0, static_cast<long>(left)};
        flag_futex(FUTEX_WAIT_PRIVATE, f, &ts);
    }
}
} // namespace

void stop_barrier_wait(thread_record* r) noexcept {
    const int flag = stop_flag.load(std::memory_order_acquire);
    if (flag == 0 || (r && r->exempt.load(std::memory_order_relaxed))) return;
    if ((flag & stop_world) == 0) {
        note_cleanup(r);
        return;
    }
    const int spins = platform::processor_count() < 2 ? 0 : 10;
    for (int i = 0; i < spins; ++i) {
        if ((stop_flag.load(std::memory_order_acquire) & stop_world) == 0) break;
        platform::cpu_pause();
    }
    for (;;) {
        const int f = stop_flag.load(std::memory_order_acquire);
        if ((f & stop_world) == 0) break;
        // Woken as soon as the world is released, also into cleanup.
        flag_futex(FUTEX_WAIT_PRIVATE, f, nullptr);
    }
    if (stop_flag.load(std::memory_order_acquire) & stop_cleaning) note_cleanup(r);
}

// ---- thread table -----------------------------------------------------------

thread_record* reserve_thread_record() {
    spin_guard g(g_threads.lock);
    thread_record* r = nullptr;
    if (g_threads.free_count > 0) {
        const std::uint32_t slot = g_threads.free_stack[--g_threads.free_count];
        r = g_threads.slots[slot];
    } else {
        if (g_threads.used + 1 >= layout::thread_slots && g_threads.dead_records.load()) {
            recycle_dead_records_locked(false);
            if (g_threads.free_count > 0) r = g_threads.slots[g_threads.free_stack[--g_threads.free_count]];
        }
        if (!r) {
            if (g_threads.used + 1 >= layout::thread_slots)
                throw Sysutils::EInvalidOperation("Too many threads in process: Over supported limit!");
            r = new thread_record();
            r->slot = ++g_threads.used;
            g_threads.slots[r->slot] = r;
        }
    }
    reset_record(r);
    return r;
}

void release_reserved_record(thread_record* r) noexcept {
    spin_guard g(g_threads.lock);
    r->reserved.store(0);
    r->released.store(1);
    g_threads.free_stack[g_threads.free_count++] = r->slot;
}

void activate_thread_record(thread_record* r) {
    const platform::stack_bounds b = platform::current_stack_bounds();
    spin_guard g(g_threads.lock);
    r->thread_id = platform::current_thread_id();
    r->stack_base = b.high;
    r->stack_limit = b.low;
    platform::bind_suspend_record(&r->suspend);
    t_gc_thread.stack_low = b.low;
    t_gc_thread.stack_span = b.high - b.low;
    t_gc_thread.record = r;
    r->fast = &t_gc_thread;
    r->reserved.store(0);
    r->active.store(1, std::memory_order_release);
}

namespace {
thread_record* adopter() noexcept { return g_threads.slots[0]; }

// Moves everything a dead thread's record holds to the adopting record and
// frees the dead one. Both records' locks are held and no collection is
// between stopping and releasing the world.
void adopt_locked(thread_record* dead) {
    thread_record* a = adopter();
    root_array& ra = dead->roots;
    for (std::size_t i = 0; i < ra.count; ++i) {
        add_root_locked(a, ra.items[i]);
    }
    ra.count = 0;
    if (dead->block_bits) {
        const std::size_t words = block_words();
        for (unsigned g = 0; g < layout::generation_count; ++g) {
            generation_lists& gl = dead->gens[g];
            if (gl.buckets) {
                for (std::size_t w = 0; w < words; ++w)
                    for (std::uint64_t b = dead->block_bits[w]; b; b &= b - 1) {
                        const std::size_t block = w * 64 + static_cast<std::size_t>(__builtin_ctzll(b));
                        gen_list& from = gl.buckets[block];
                        if (from.count == 0) continue;
                        gen_list& to = a->bucket(g, block);
                        for (std::uint32_t i = 0; i < from.count; ++i) to.push(from.items[i]);
                    }
            }
            for (std::uint32_t i = 0; i < gl.overflow.count; ++i) {
                object_header* h = gl.overflow.items[i];
                a->bucket(g, block_of(h->object())); // overflow objects keep their block bit
                a->gens[g].overflow.push(h);
            }
        }
    }
    slot_allocated_bytes[a->slot] += slot_allocated_bytes[dead->slot];
    slot_allocated_bytes[dead->slot].v = 0;
}

void free_record_storage(thread_record* r) noexcept {
    for (auto& gl : r->gens) {
        if (gl.buckets) {
            for (std::size_t b = 0; b < g_block_count; ++b) gl.buckets[b].free_storage();
            std::free(gl.buckets);
            gl.buckets = nullptr;
        }
        gl.overflow.free_storage();
    }
    std::free(r->block_bits);
    r->block_bits = nullptr;
    std::free(r->roots.items);
    r->roots = {};
}

bool is_dead(const thread_record* r) noexcept {
    return r != adopter() && !r->active.load() && !r->released.load() && !r->reserved.load();
}

// Table lock held; the records' own locks as the caller says.
void retire_locked(thread_record* r, bool records_locked) noexcept {
    try {
        if (records_locked) {
            adopt_locked(r);
        } else {
            spin_guard ga(adopter()->lock); // slot order: the adopter is slot 0
            spin_guard gr(r->lock);
            adopt_locked(r);
        }
    } catch (...) {
        g_threads.dead_records.store(true); // out of memory: try again later
        return;
    }
    free_record_storage(r);
    r->released.store(1);
    g_threads.free_stack[g_threads.free_count++] = r->slot;
}
} // namespace

void unregister_current_thread() noexcept {
    thread_record* r = t_gc_thread.record;
    if (!r) return;
    stop_barrier(r);
    {
        spin_guard g(g_threads.lock);
        r->active.store(0, std::memory_order_release);
        r->fast = nullptr;
        platform::bind_suspend_record(nullptr);
        // What the thread made lives on in the adopting record; its slot
        // serves the next thread at once.
        retire_locked(r, false);
    }
    t_gc_thread = {0, 0, nullptr, nullptr};
}

void recycle_dead_records_locked(bool records_locked) noexcept {
    g_threads.dead_records.store(false);
    for (std::uint32_t s = 1; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (r && is_dead(r)) retire_locked(r, records_locked);
    }
}

thread_record* register_calling_thread() {
    if (thread_record* r = t_gc_thread.record) return r;
    // A thread the hook did not see (created before start-up or by raw
    // means that still run pthread's exit path): register it now.
    thread_record* r = reserve_thread_record();
    activate_thread_record(r);
    pthread_setspecific(g_lazy_key, r);
    return r;
}

// ---- start-up ----------------------------------------------------------------------

namespace {
void* hook_reserve() {
    try {
        return reserve_thread_record();
    } catch (const Exception& e) {
        platform::output_debug_string(e.Message().ToUtf8());
        return nullptr;
    }
}
void hook_cancel(void* t) { release_reserved_record(static_cast<thread_record*>(t)); }
void hook_start(void* t) { activate_thread_record(static_cast<thread_record*>(t)); }
void hook_exit(void*) { unregister_current_thread(); }
} // namespace

// A forked child has one thread: the records of the others are dead, and
// the collector runs without workers there.
void collector_after_fork_child() noexcept;
// fork: the child gets a consistent snapshot. The prepare handler waits
// until no world is stopped (the table lock), takes every record lock so no
// root or list update is half done, holds new registrations at the barrier
// and lets those in flight (which take no lock) end, then takes the
// arena's and the kernel objects' locks. In the child only the forking
// thread lives: the others' records are dead and adopted at the next
// collection.
namespace {
void fork_prepare() {
    g_threads.lock.acquire();
    for (std::uint32_t s = 0; s <= g_threads.used; ++s)
        if (g_threads.slots[s]) g_threads.slots[s]->lock.acquire();
    set_stop_bits(stop_forking);
    thread_record* me = t_gc_thread.record;
    for (std::uint32_t s = 1; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (!r || r == me || !r->active.load()) continue;
        while (__atomic_load_n(&r->suspend.busy, __ATOMIC_ACQUIRE)) platform::yield_processor();
    }
    arena::fork_prepare();
    platform::kernel_objects_fork_prepare();
}

void unlock_records() noexcept {
    for (std::uint32_t s = g_threads.used + 1; s-- > 0;)
        if (g_threads.slots[s]) g_threads.slots[s]->lock.release();
    g_threads.lock.release();
}

void fork_parent() {
    platform::kernel_objects_fork_parent();
    arena::fork_parent();
    unlock_records();
    clear_stop_bits(stop_forking);
    platform::SetEvent(collector_idle_event);
}

void fork_child() {
    platform::kernel_objects_fork_child();
    arena::fork_child();
    thread_record* me = t_gc_thread.record;
    for (std::uint32_t s = 1; s <= g_threads.used; ++s) {
        thread_record* r = g_threads.slots[s];
        if (!r || r == me) continue;
        if (r->active.load() || r->reserved.load()) {
            r->active.store(0);
            r->reserved.store(0);
            r->fast = nullptr;
            g_threads.dead_records.store(true);
        }
    }
    if (me) platform::bind_suspend_record(&me->suspend);
    collector_after_fork_child();
    stop_flag.store(0);
    cleanup_epoch.fetch_add(1);
    unlock_records();
    platform::SetEvent(collector_idle_event);
}
} // namespace

void gc_init(bool embedded) {
    static bool done = false;
    if (done) return;
    done = true;
    g_embedded = embedded;
    arena::init();
    arena::set_growth_gate(&pace_before_growth);
    g_block_shift = g_embedded ? layout::block_shift_embedded : layout::block_shift_desktop;
    g_block_count = static_cast<std::size_t>(((g_heap.size - 1) >> g_block_shift) + 1);
    collector_idle_event = platform::CreateEventW(true, true, nullptr);
    const std::size_t pages = (g_heap.size >> young_page_shift) + 1;
    young_pages = static_cast<unsigned char*>(std::calloc(pages, 1));
    gen1_pages = static_cast<unsigned char*>(std::calloc(pages, 1));
    pthread_key_create(&g_lazy_key, &lazy_thread_exit);
    platform::suspend_init(&finish_interrupted_store);
    platform::install_thread_hooks({&hook_reserve, &hook_cancel, &hook_start, &hook_exit});
    pthread_atfork(&fork_prepare, &fork_parent, &fork_child);
    auto* a = new thread_record(); // slot 0: adopts what ended threads leave
    a->slot = 0;
    g_threads.slots[0] = a;
    current_record(); // the loading thread
    pthread_setspecific(g_lazy_key, nullptr);
}

} // namespace gc_detail
