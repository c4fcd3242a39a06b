// Managed pointers, roots and object registration.
#include "GC/gcptr.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "GC/corruption.h"
#include "GC/thread_table.h"
#include "platform/debug_output.h"
#include "platform/kernel_objects.h"
#include "platform/thread_hooks.h"

namespace gc_detail {

__thread thread_fast_info t_gc_thread __attribute__((tls_model("initial-exec"))) = {0, 0, nullptr, nullptr};

const pointer_base gc_null_pointer{pointer_base::null_tag{}};

namespace {
std::atomic<long> g_managed_threads{0};

void* grow_array(void* items, std::size_t count, std::size_t new_capacity, std::size_t elem) {
    void* n = std::realloc(items, new_capacity * elem);
    if (!n) throw Sysutils::EOutOfMemory("Out of memory");
    (void)count;
    return n;
}
} // namespace

void add_root_locked(thread_record* r, pointer_base* p) {
    root_array& ra = r->roots;
    if (ra.count == ra.capacity) {
        const std::size_t cap = ra.capacity == 0 ? layout::root_initial_capacity
                                                 : ra.count * 2 + layout::root_initial_capacity;
        ra.items = static_cast<pointer_base**>(grow_array(ra.items, ra.count, cap, sizeof(pointer_base*)));
        ra.capacity = cap;
    }
    p->slot = static_cast<std::int64_t>(ra.count);
    ra.items[ra.count++] = p;
}

void gc_managed_thread::RegisterThread() noexcept { g_managed_threads.fetch_add(1); }
void gc_managed_thread::UnregisterThread() noexcept { g_managed_threads.fetch_sub(1); }
long gc_managed_thread::Count() noexcept { return g_managed_threads.load(); }

// ---- roots ---------------------------------------------------------------------

namespace {
spin_lock g_member_lock{100}; // late member lists; taken under a record lock

// A pointer built inside a registered object after its construction (an
// optional engaged later, a variant alternative) belongs to that object.
void add_late_member(thread_record* r, object_header* h, pointer_base* p) {
    stop_barrier(r);
    spin_guard g(r->lock); // excludes a collection: it takes every record lock first
    spin_guard gm(g_member_lock);
    if (h->member_count < 0) { // scanned array: every element is traced anyway
        p->slot = layout::slot_unregistered;
        return;
    }
    const std::int32_t n = h->member_count;
    for (std::int32_t i = 0; i < n; ++i)
        if (member_at(h, i) == p) {
            p->slot = layout::slot_member;
            return;
        }
    if (h->member_capacity == 0 || static_cast<std::uint32_t>(n) == h->member_capacity) {
        // A shared layout becomes private to this object.
        const std::uint32_t cap = static_cast<std::uint32_t>(n) * 2 + 4;
        auto* items = static_cast<pointer_base**>(std::malloc(sizeof(pointer_base*) * cap));
        if (!items) throw Sysutils::EOutOfMemory("Out of memory");
        for (std::int32_t i = 0; i < n; ++i) items[i] = member_at(h, i);
        if (h->member_capacity != 0) std::free(h->members);
        h->members = items;
        h->member_capacity = cap;
    }
    h->members[n] = p;
    p->owner = nullptr;
    p->slot = layout::slot_member;
    h->member_count = n + 1;
}
} // namespace

void pointer_base::register_gcroot() noexcept {
    thread_record* r = current_record();
    if (on_current_stack(this)) { // bounds were only just learnt
        slot = layout::stack_marker;
        owner = nullptr;
        pin(this);
        return;
    }
    if (arena::contains(this)) {
        if (void* obj = arena::block_containing(this)) {
            object_header* h = object_header::of(obj);
            if (is_registered(h)) {
                add_late_member(r, h, this);
                return;
            }
            // Inside an object under construction: the scope building it.
            for (current_list_t* c = t_gc_thread.scope; c; c = c->previous) {
                const bool inside = c->span ? c->covers(this) : is_temporary_hold(h);
                if (!inside) continue;
                owner = reinterpret_cast<thread_record*>(c);
                slot = layout::slot_scope_base - c->list.push_back(this);
                return;
            }
        }
    }
    owner = r;
    stop_barrier(r);
    spin_guard g(r->lock);
    add_root_locked(r, this);
}

void pointer_base::release_slot() noexcept {
    if (slot >= 0) {
        unregister_gcroot();
    } else if (layout::is_scope_slot(slot)) {
        reinterpret_cast<current_list_t*>(owner)->list.clear_entry(static_cast<int>(layout::slot_scope_base - slot));
    }
}

void remove_root_locked(thread_record* r, pointer_base* p) noexcept {
    root_array& ra = r->roots;
    const std::size_t n = ra.count;
    const auto idx = static_cast<std::size_t>(p->slot);
    if (idx >= n || ra.items[idx] != p) return; // not ours: leave the array intact
    if (idx != n - 1) {
        pointer_base* last = ra.items[n - 1];
        ra.items[idx] = last;
        last->slot = static_cast<std::int64_t>(idx);
    }
    if (n * 65536 + layout::root_initial_capacity < ra.capacity) {
        const std::size_t cap = n * 2 + layout::root_initial_capacity;
        if (void* shrunk = std::realloc(ra.items, cap * sizeof(pointer_base*))) {
            ra.items = static_cast<pointer_base**>(shrunk);
            ra.capacity = cap;
        }
    }
    ra.count = n - 1;
    p->slot = layout::slot_unregistered;
}

void pointer_base::unregister_gcroot() noexcept {
    stop_barrier(t_gc_thread.record);
    for (;;) {
        // The owner changes (under its lock) when its thread ends.
        thread_record* r = __atomic_load_n(&owner, __ATOMIC_ACQUIRE);
        spin_guard g(r->lock);
        if (__atomic_load_n(&owner, __ATOMIC_RELAXED) != r) continue;
        remove_root_locked(r, this);
        return;
    }
}

// ---- recognition -------------------------------------------------------------

object_header* find_header(const void* p) noexcept {
    void* obj = arena::block_containing(p);
    return obj ? object_header::of(obj) : nullptr;
}

bool is_temporary_hold(const object_header* h) noexcept {
    return (h->check_word() | 0x00FF0000u) == 0xFFFFFFFFu;
}

bool is_registered(const object_header* h) noexcept {
    if (is_temporary_hold(h)) return false;
    return h->header_size == layout::header_size && h->check == check_byte_for(h->destroy, h->size);
}

object_header* pointer_base::ensure_pointer_valid(const void* raw) {
    if (!raw) return nullptr;
    if (object_header* h = find_header(raw)) {
        if (is_registered(h)) return h;
        if (is_temporary_hold(h)) return nullptr;
    }
    throw EGarbageCollector("Illegal use of GC ptr - Object is neither managed nor valid for a temporary hold");
}

object_header* pointer_base::unsafe_get_pointer_node(const void* raw) noexcept {
    if (!raw) return nullptr;
    object_header* h = find_header(raw);
    return h && is_registered(h) ? h : nullptr;
}

[[noreturn]] void throw_invalid_cast(const std::type_info& from, const std::type_info& to) {
    throw Sysutils::EInvalidCast("InvalidCastException: Unable to cast from " +
                                 UnicodeString(System::QualifiedTypeName(from)) + " to " +
                                 UnicodeString(System::QualifiedTypeName(to)));
}

// ---- object registration -------------------------------------------------------

namespace {
object_header* header_at_registration(void* object) {
    auto* h = object_header::of(object);
    if (!arena::contains(object) || h->check_word() != layout::unregistered_marker) corrupt(corruption_site::registration_header);
    return h;
}

// Shared member layouts: every object of a type has its members at the same
// offsets, so one table serves them all and registration allocates nothing.
struct shared_layout {
    object_thunk destroy;
    std::uint32_t size;
    std::uint32_t count;
    std::uint32_t offsets[1];
};
spin_lock g_layout_lock{100};
shared_layout** g_layouts = nullptr;
std::size_t g_layout_count = 0, g_layout_capacity = 0;

struct layout_cache_entry { const shared_layout* l; };
__attribute__((tls_model("initial-exec"))) thread_local layout_cache_entry t_layout_cache[64];

bool same_layout(const shared_layout* l, object_thunk destroy, std::uint32_t size, const std::uint32_t* offs,
                 std::uint32_t n) noexcept {
    if (!l || l->destroy != destroy || l->size != size || l->count != n) return false;
    for (std::uint32_t i = 0; i < n; ++i)
        if (l->offsets[i] != offs[i]) return false;
    return true;
}

const shared_layout* intern_layout(object_thunk destroy, std::uint32_t size, const std::uint32_t* offs,
                                   std::uint32_t n) {
    layout_cache_entry& c = t_layout_cache[(reinterpret_cast<std::uintptr_t>(destroy) >> 4) & 63];
    if (same_layout(c.l, destroy, size, offs, n)) return c.l;
    spin_guard g(g_layout_lock);
    for (std::size_t i = 0; i < g_layout_count; ++i)
        if (same_layout(g_layouts[i], destroy, size, offs, n)) return c.l = g_layouts[i];
    auto* l = static_cast<shared_layout*>(std::malloc(sizeof(shared_layout) + n * sizeof(std::uint32_t)));
    if (!l) throw Sysutils::EOutOfMemory("Out of memory");
    l->destroy = destroy;
    l->size = size;
    l->count = n;
    std::memcpy(l->offsets, offs, n * sizeof(std::uint32_t));
    if (g_layout_count == g_layout_capacity) {
        g_layout_capacity = g_layout_capacity * 2 + 64;
        g_layouts = static_cast<shared_layout**>(grow_array(g_layouts, g_layout_count, g_layout_capacity, sizeof(void*)));
    }
    g_layouts[g_layout_count++] = l;
    return c.l = l;
}

enum class reg_kind { object, scanned_array, private_members };


void register_object(pointer_base* self, void* object, member_list* members, std::size_t size,
                     object_thunk destroy, object_thunk finalize, reg_kind kind) {
    const bool array = kind == reg_kind::scanned_array;
    object_header* h = header_at_registration(object);
    h->size = static_cast<std::uint32_t>(size);

    // Members: the scope's pointers that lie inside the object, in order.
    const auto lo = reinterpret_cast<std::uintptr_t>(object);
    const std::uintptr_t hi = lo + size;
    constexpr std::uint32_t kInline = 64;
    std::uint32_t inline_offsets[kInline];
    std::uint32_t* offsets = inline_offsets;
    std::unique_ptr<std::uint32_t[]> spill;
    std::uint32_t n = 0, outside = 0;
    const int listed = members ? members->size() : 0;
    if (listed > static_cast<int>(kInline)) {
        spill.reset(new std::uint32_t[static_cast<std::size_t>(listed)]);
        offsets = spill.get();
    }
    for (int i = 0; i < listed; ++i) {
        pointer_base* m = (*members)[i];
        if (!m) continue;
        const auto a = reinterpret_cast<std::uintptr_t>(m);
        if (a >= lo && a < hi) offsets[n++] = static_cast<std::uint32_t>(a - lo);
        else ++outside;
    }
    const shared_layout* shared =
        n > 0 && kind == reg_kind::object ? intern_layout(destroy, h->size, offsets, n) : nullptr;
    pointer_base** own = nullptr;
    if (n > 0 && kind == reg_kind::private_members) {
        own = static_cast<pointer_base**>(std::malloc(sizeof(pointer_base*) * (n + 1)));
        if (!own) throw Sysutils::EOutOfMemory("Out of memory");
        for (std::uint32_t i = 0; i < n; ++i)
            own[i] = reinterpret_cast<pointer_base*>(lo + offsets[i]);
    }

    thread_record* r = current_record();
    if (outside > 0) {
        // Built by the constructor elsewhere: these stay roots.
        stop_barrier(r);
        spin_guard g(r->lock);
        for (int i = 0; i < listed; ++i) {
            pointer_base* m = (*members)[i];
            if (!m) continue;
            const auto a = reinterpret_cast<std::uintptr_t>(m);
            if (a < lo || a >= hi) {
                m->owner = r;
                add_root_locked(r, m);
            }
        }
    }
    h->members = shared ? reinterpret_cast<pointer_base**>(const_cast<std::uint32_t*>(shared->offsets)) : own;
    h->member_count = array ? -1 : static_cast<std::int32_t>(n);
    h->member_capacity = own ? n + 1 : 0;
    h->destroy = destroy;
    h->finalize = array ? nullptr : finalize;

    // The thread's own lists change without a lock: a collection either
    // waits at the barrier or, stopping this thread inside the region, is
    // answered once the region ends. Nothing in the region may allocate: a
    // stopped thread may hold the allocator's lock.
    const std::size_t block = block_of(object);
    const bool straddles = block != block_of(reinterpret_cast<char*>(object) + size);
    gen_list* list;
    for (;;) {
        stop_barrier(r);
        list = nullptr;
        if (r->gens[0].buckets && r->block_bits)
            list = straddles ? &r->gens[0].overflow : &r->gens[0].buckets[block];
        if (!list || list->count == list->capacity) {
            spin_guard g(r->lock); // excludes the collector, which takes it before stopping anyone
            gen_list& b = r->bucket(0, block);
            list = straddles ? &r->gens[0].overflow : &b;
            if (list->count == list->capacity) list->grow();
        }
        r->suspend.busy = 1;
        asm volatile("" ::: "memory");
        if ((stop_flag.load(std::memory_order_acquire) & stop_world) == 0 || r->exempt.load(std::memory_order_relaxed))
            break;
        platform::leave_busy(&r->suspend); // a collection began: wait for it
    }
    // Until here the scope kept the members' targets alive; from here the
    // object does, and no collection can fall in between.
    for (int i = 0; i < listed; ++i) {
        pointer_base* m = (*members)[i];
        const auto a = reinterpret_cast<std::uintptr_t>(m);
        if (m && a >= lo && a < hi) m->slot = layout::slot_member;
    }
    if (members) members->clear();
    list->items[list->count++] = h;
    r->block_bits[block >> 6] |= std::uint64_t{1} << (block & 63);
    mark_young_pages(object, size);
    slot_allocated_bytes[r->slot] += static_cast<std::int64_t>(size + layout::accounted_overhead);
    struct leave_at_end {
        thread_record* r;
        ~leave_at_end() { platform::leave_busy(&r->suspend); }
    } leave{r};

    const std::uint32_t word = std::uint32_t{new_mark()} | (std::uint32_t{layout::header_size} << 16) |
                               (std::uint32_t{check_byte_for(destroy, static_cast<std::uint32_t>(size))} << 24);
    h->set_check_word(word);
    self->store_target(object);
}
} // namespace

void pointer_base::init_pointer_base(void* object, member_list* members, std::size_t size, object_thunk destroy,
                                     object_thunk finalize) {
    register_object(this, object, members, size, destroy, finalize, reg_kind::object);
}

void pointer_base::init_pointer_base(void* array, std::size_t size, object_thunk destroy) {
    register_object(this, array, nullptr, size, destroy, nullptr, reg_kind::scanned_array);
}

void pointer_base::init_pointer_base_elements(void* array, member_list* members, std::size_t size,
                                              object_thunk destroy) {
    register_object(this, array, members, size, destroy, nullptr, reg_kind::private_members);
}

void pointer_base::add_to_gc(void* object, std::size_t size, object_thunk destroy, object_thunk finalize) {
    register_object(this, object, nullptr, size, destroy, finalize, reg_kind::object);
}

// ---- construction scopes ----------------------------------------------------------

thread_record* current_list_t::register_current_thread() { return current_record(); }

void current_list_t::keep_leftovers() noexcept {
    const int n = list.size();
    stop_barrier(t_gc_thread.record);
    spin_guard g(record->lock);
    for (int i = 0; i < n; ++i) {
        pointer_base* p = list[i];
        if (!p) continue;
        p->owner = record;
        add_root_locked(record, p);
    }
    list.clear();
}

// ---- interrupted stores ---------------------------------------------------------

namespace {
constexpr unsigned char kStore[4] = {0x48, 0x89, 0x51, 0x10}; // movq %rdx, 16(%rcx)
constexpr unsigned char kMark[4] = {0xC6, 0x00, 0xFF, 0x90};  // movb $0xff, (%rax); nop

bool read_code(const unsigned char* at, unsigned char* out, std::size_t n) noexcept {
    const auto a = reinterpret_cast<std::uintptr_t>(at);
    if ((a >> 12) == ((a + n - 1) >> 12)) {
        std::memcpy(out, at, n);
        return true;
    }
    // Spans a page boundary: the other page may be unmapped.
    iovec local{out, n}, remote{const_cast<unsigned char*>(at), n};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(n);
}

} // namespace

// A thread stopped between the target store and its card mark: mark the
// card for it and step past the mark, so the collector sees both or neither.
void finish_interrupted_store(long long* gregs) noexcept {
    const auto* ip = reinterpret_cast<const unsigned char*>(gregs[REG_RIP]);
    unsigned char code[8];
    // ip itself is mapped; only the bytes before it need care.
    if (!read_code(ip - 4, code, 8)) return;
    if (std::memcmp(code, kStore, 4) != 0 || std::memcmp(code + 4, kMark, 4) != 0) return;
    auto* card = reinterpret_cast<unsigned char*>(gregs[REG_RAX]);
    if (static_cast<std::uintptr_t>(card - g_heap.cards) >= g_heap.card_count) return;
    *card = 0xFF;
    gregs[REG_RIP] += 4;
}

} // namespace gc_detail
