// Managed pointers, roots and object registration.
#include "GC/gcptr.h"

#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "GC/corruption.h"
#include "GC/object_lock.h"
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
    // Read without the lock by a thread removing the root.
    __atomic_store_n(&p->slot, layout::root_slot(r->slot, ra.count), __ATOMIC_RELEASE);
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
    const member_view m = members_of(h);
    if (m.count < 0) { // scanned array: every element is traced anyway
        p->slot = layout::slot_unregistered;
        return;
    }
    for (std::int32_t i = 0; i < m.count; ++i)
        if (m[i] == p) {
            p->slot = layout::slot_member;
            return;
        }
    // Somewhere its type has no member: the object gets a list of its own.
    object_extension* e = ensure_extension(h);
    const auto n = static_cast<std::uint32_t>(m.count);
    if (!e->members || n == e->member_capacity) {
        const std::uint32_t cap = n * 2 + 4;
        auto* items = static_cast<pointer_base**>(std::malloc(sizeof(pointer_base*) * cap));
        if (!items) throw Sysutils::EOutOfMemory("Out of memory");
        for (std::uint32_t i = 0; i < n; ++i) items[i] = m[static_cast<std::int32_t>(i)];
        std::free(e->members);
        e->member_capacity = cap;
        e->members = items;
    }
    e->members[n] = p;
    p->slot = layout::slot_member;
    e->member_count = static_cast<std::int32_t>(n + 1);
}
} // namespace

void pointer_base::register_gcroot() noexcept {
    thread_record* r = current_record();
    if (on_current_stack(this)) { // bounds were only just learnt
        slot = layout::stack_marker;
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
                slot = layout::slot_scope_base - c->list.push_back(this);
                return;
            }
        }
    }
    stop_barrier(r);
    spin_guard g(r->lock);
    add_root_locked(r, this);
}

void pointer_base::release_slot() noexcept {
    if (slot >= 0) {
        unregister_gcroot();
    } else if (layout::is_scope_slot(slot)) {
        // Only the constructing thread builds and drops pointers inside its
        // object while the scope is open: the scope is one of its own.
        const auto i = static_cast<int>(layout::slot_scope_base - slot);
        for (current_list_t* c = t_gc_thread.scope; c; c = c->previous)
            if (i < c->list.size() && c->list[i] == this) {
                c->list.clear_entry(i);
                break;
            }
    }
}

void remove_root_locked(thread_record* r, pointer_base* p) noexcept {
    root_array& ra = r->roots;
    const std::size_t n = ra.count;
    const std::size_t idx = layout::root_index_of(p->slot);
    if (idx >= n || ra.items[idx] != p) return; // not ours: leave the array intact
    if (idx != n - 1) {
        pointer_base* last = ra.items[n - 1];
        ra.items[idx] = last;
        __atomic_store_n(&last->slot, layout::root_slot(r->slot, idx), __ATOMIC_RELEASE);
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
        // The record changes (under its lock) when its thread ends; records
        // are never freed, so a stale one is only locked in vain.
        const std::int64_t s = __atomic_load_n(&slot, __ATOMIC_ACQUIRE);
        if (s < 0 || layout::root_record_of(s) >= layout::thread_slots) return;
        thread_record* r = g_threads.slots[layout::root_record_of(s)];
        if (!r) return; // names no record: in no root array
        spin_guard g(r->lock);
        if (layout::root_record_of(__atomic_load_n(&slot, __ATOMIC_RELAXED)) != r->slot) continue;
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

// Called for every child the collector traces: the type word is read once.
bool is_registered(const object_header* h) noexcept {
    const std::uint32_t w = h->check_word();
    if ((w | 0x00FF0000u) == 0xFFFFFFFFu || ((w >> 16) & 0xFF) != layout::header_size) return false;
    const std::uintptr_t tw = h->load_type_word();
    const type_descriptor* t;
    object_thunk destroy;
    if (tw & layout::type_extended_bit) {
        const auto* e = reinterpret_cast<const object_extension*>(tw & ~layout::type_extended_bit);
        t = e->type.load(std::memory_order_acquire);
        if (!t) return false;
        destroy = e->destroy ? e->destroy : t->destroy;
    } else {
        t = reinterpret_cast<const type_descriptor*>(tw);
        if (!t) return false;
        // An object (not an array) with its type's own destructor.
        if (t->check_bits) return (w & 0xFFFF0000u) == t->check_bits;
        destroy = t->destroy;
    }
    const std::uint32_t size =
        t->element_size ? t->size + t->element_size * static_cast<std::uint32_t>(h->word_before) : t->size;
    return (w >> 24) == check_byte_for(destroy, size);
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

// ---- types and extensions ---------------------------------------------------------

namespace {
// Descriptors are interned: objects of one type share one, however they
// registered, and arrays of one element type share one.
struct type_key {
    object_thunk destroy;
    object_thunk finalize;
    std::uint32_t size;
    std::uint32_t element_size;
    std::int32_t member_count;
    const std::uint32_t* offsets;
};

bool same_type(const type_descriptor* d, const type_key& k) noexcept {
    if (!d || d->destroy != k.destroy || d->finalize != k.finalize || d->size != k.size ||
        d->element_size != k.element_size || d->member_count != k.member_count)
        return false;
    for (std::int32_t i = 0; i < k.member_count; ++i)
        if (d->offsets[i] != k.offsets[i]) return false;
    return true;
}

type_descriptor* make_type(const type_key& k) {
    const std::size_t n = k.member_count > 0 ? static_cast<std::size_t>(k.member_count) : 0;
    void* mem = std::malloc(sizeof(type_descriptor) + n * sizeof(std::uint32_t));
    if (!mem) throw Sysutils::EOutOfMemory("Out of memory");
    auto* offsets = reinterpret_cast<std::uint32_t*>(static_cast<char*>(mem) + sizeof(type_descriptor));
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        offsets[i] = k.offsets[i];
        if (offsets[i] < 512 && (offsets[i] & 7) == 0) bits |= std::uint64_t{1} << (offsets[i] >> 3);
    }
    const std::uint32_t check_bits =
        k.element_size ? 0
                       : (std::uint32_t{layout::header_size} << 16) | (std::uint32_t{check_byte_for(k.destroy, k.size)} << 24);
    return ::new (mem) type_descriptor{k.destroy, k.finalize, k.size, k.element_size, k.member_count, check_bits, bits,
                                       offsets};
}

spin_lock g_type_lock{100};
const type_descriptor** g_types = nullptr;
std::size_t g_type_count = 0, g_type_capacity = 0;
__attribute__((tls_model("initial-exec"))) thread_local const type_descriptor* t_type_cache[64];

const type_descriptor* intern_type(const type_key& k) {
    const type_descriptor*& c =
        t_type_cache[((reinterpret_cast<std::uintptr_t>(k.destroy) >> 4) ^ k.size ^ k.member_count) & 63];
    if (same_type(c, k)) return c;
    spin_guard g(g_type_lock);
    for (std::size_t i = 0; i < g_type_count; ++i)
        if (same_type(g_types[i], k)) return c = g_types[i];
    const type_descriptor* d = make_type(k);
    if (g_type_count == g_type_capacity) {
        g_type_capacity = g_type_capacity * 2 + 64;
        g_types = static_cast<const type_descriptor**>(grow_array(g_types, g_type_count, g_type_capacity, sizeof(void*)));
    }
    g_types[g_type_count++] = d;
    return c = d;
}

object_extension* extension_of_word(std::uintptr_t w) noexcept {
    return reinterpret_cast<object_extension*>(w & ~layout::type_extended_bit);
}

// The type word becomes the type (gcnew of a known type put it there
// before construction); an extension made meanwhile (a monitor taken in the
// constructor, maybe by another thread the constructor handed `this`) gets
// the type instead.
void install_type(object_header* h, const type_descriptor* t) noexcept {
    std::uintptr_t w = h->load_type_word();
    for (;;) {
        if (w & layout::type_extended_bit) {
            extension_of_word(w)->type.store(t, std::memory_order_release);
            return;
        }
        if (w == reinterpret_cast<std::uintptr_t>(t)) return;
        if (__atomic_compare_exchange_n(&h->type_word, &w, reinterpret_cast<std::uintptr_t>(t), false,
                                        __ATOMIC_RELEASE, __ATOMIC_ACQUIRE))
            return;
    }
}
} // namespace

object_extension* ensure_extension(object_header* h) {
    std::uintptr_t w = h->load_type_word();
    if (w & layout::type_extended_bit) return extension_of_word(w);
    auto* e = new (std::nothrow) object_extension();
    if (!e) throw Sysutils::EOutOfMemory("Out of memory");
    for (;;) {
        e->type.store(reinterpret_cast<const type_descriptor*>(w), std::memory_order_relaxed);
        if (__atomic_compare_exchange_n(&h->type_word, &w,
                                        reinterpret_cast<std::uintptr_t>(e) | layout::type_extended_bit, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return e;
        if (w & layout::type_extended_bit) {
            delete e;
            return extension_of_word(w);
        }
    }
}

void free_extension(object_extension* e) noexcept {
    delete e->lock.load(std::memory_order_relaxed);
    std::free(e->members);
    delete e;
}

void release_unregistered(void* object) noexcept {
    if (object_extension* e = object_header::of(object)->extension()) free_extension(e);
    arena::release(object);
}

// ---- object registration -------------------------------------------------------

namespace {
object_header* header_at_registration(void* object) {
    auto* h = object_header::of(object);
    if (!arena::contains(object) || h->check_word() != layout::unregistered_marker) corrupt(corruption_site::registration_header);
    return h;
}

enum class reg_kind { object, scanned_array, private_members, plain_array };

// Offsets of the listed pointers inside [lo, lo + size), ascending, with
// those of `known` merged in.
struct offset_list {
    static constexpr std::uint32_t kInline = 64;
    std::uint32_t inline_[kInline];
    std::unique_ptr<std::uint32_t[]> spill;
    std::uint32_t* items = inline_;
    std::uint32_t n = 0;
    std::uint32_t outside = 0;

    void collect(member_list* members, std::uintptr_t lo, std::uintptr_t hi, const type_descriptor* known) {
        const int listed = members ? members->size() : 0;
        const std::size_t most = static_cast<std::size_t>(listed) + (known ? static_cast<std::size_t>(known->member_count) : 0);
        if (most > kInline) {
            spill.reset(new std::uint32_t[most]);
            items = spill.get();
        }
        if (known)
            for (std::int32_t i = 0; i < known->member_count; ++i) items[n++] = known->offsets[i];
        for (int i = 0; i < listed; ++i) {
            pointer_base* m = (*members)[i];
            if (!m) continue;
            const auto a = reinterpret_cast<std::uintptr_t>(m);
            if (a >= lo && a < hi) items[n++] = static_cast<std::uint32_t>(a - lo);
            else ++outside;
        }
        std::sort(items, items + n);
        n = static_cast<std::uint32_t>(std::unique(items, items + n) - items);
    }
};

// The object joins its thread's generation 0 and becomes the pointer's
// target; listed members (inside [lo, lo + size)) become its members.
__attribute__((always_inline)) inline void join_generation0(pointer_base* self, object_header* h, thread_record* r,
                                                            std::size_t size, std::uint32_t check_bits,
                                                            member_list* members, std::uintptr_t lo) {
    void* object = h->object();
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
    if (members) {
        for (int i = 0, listed = members->size(); i < listed; ++i) {
            pointer_base* m = (*members)[i];
            const auto a = reinterpret_cast<std::uintptr_t>(m);
            if (m && a >= lo && a < lo + size) m->slot = layout::slot_member;
        }
        members->clear();
    }
    list->items[list->count++] = h;
    r->block_bits[block >> 6] |= std::uint64_t{1} << (block & 63);
    mark_young_pages(object, size);
    slot_allocated_bytes[r->slot] += static_cast<std::int64_t>(size + layout::accounted_overhead);
    struct leave_at_end {
        thread_record* r;
        ~leave_at_end() {
            // busy first: a stop that comes after it is not deferred.
            asm volatile("" ::: "memory");
            r->suspend.busy = 0;
            asm volatile("" ::: "memory");
            if (r->suspend.deferred) platform::leave_busy(&r->suspend);
        }
    } leave{r};

    h->set_check_word(std::uint32_t{new_mark()} | check_bits);
    self->store_target(object);
}

inline bool passes_cleanup_at_once(const thread_record* r) noexcept {
    const std::uint32_t epoch = cleanup_epoch.load(std::memory_order_acquire);
    if (r->waited_cleanup == epoch) return true;
    return r->seen_cleanup == epoch &&
           slot_allocated_bytes[r->slot] - r->cleanup_from < cleanup_allowance.load(std::memory_order_relaxed);
}

// The common case of the one below, straight through: a stack result, the
// type in place, room in the block's generation-0 list, no collection or
// fork under way. False, having changed nothing, for anything else.
inline bool register_known_fast(pointer_base* self, void* object, const type_descriptor* type) noexcept {
    thread_record* r = t_gc_thread.record;
    object_header* h = object_header::of(object);
    const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(object) - g_heap.base;
    const std::uint32_t size = type->size;
    if (!r || off >= g_heap.size || h->check_word() != layout::unregistered_marker ||
        h->load_type_word() != reinterpret_cast<std::uintptr_t>(type) || !on_current_stack(self))
        return false;
    const unsigned shift = g_block_shift;
    const std::size_t block = off >> shift;
    gen_list* const buckets = r->gens[0].buckets;
    std::uint64_t* const bits = r->block_bits;
    if (!buckets || !bits || ((off + size) >> shift) != block) return false;
    gen_list& list = buckets[block];
    if (list.count == list.capacity) return false;
    r->suspend.busy = 1;
    asm volatile("" ::: "memory");
    // During cleanup, only where the barrier would let the thread pass at
    // once without noting anything: it has waited for this cleanup, or it
    // is still within its allowance.
    if (const int f = stop_flag.load(std::memory_order_acquire);
        f != 0 && ((f & stop_world) != 0 || !passes_cleanup_at_once(r))) {
        asm volatile("" ::: "memory");
        r->suspend.busy = 0;
        asm volatile("" ::: "memory");
        if (r->suspend.deferred) platform::leave_busy(&r->suspend);
        return false;
    }
    list.items[list.count++] = h;
    bits[block >> 6] |= std::uint64_t{1} << (block & 63);
    mark_young_pages(object, size);
    slot_allocated_bytes[r->slot] += static_cast<std::int64_t>(size + layout::accounted_overhead);
    h->set_check_word(std::uint32_t{new_mark()} | type->check_bits);
    __atomic_store_n(&self->target, object, __ATOMIC_RELAXED); // a stack pointer: no card
    asm volatile("" ::: "memory");
    r->suspend.busy = 0;
    asm volatile("" ::: "memory");
    if (r->suspend.deferred) platform::leave_busy(&r->suspend);
    return true;
}

// An object of a known type whose constructor built nothing beyond it.
__attribute__((noinline)) void register_known(pointer_base* self, void* object, const type_descriptor* type) {
    object_header* h = header_at_registration(object);
    thread_record* r = current_record();
    if (__builtin_expect(h->load_type_word() != reinterpret_cast<std::uintptr_t>(type), 0)) install_type(h, type);
    join_generation0(self, h, r, type->size, type->check_bits, nullptr, 0);
}

const type_descriptor* register_object(pointer_base* self, void* object, member_list* members, std::size_t size,
                                       object_thunk destroy, object_thunk finalize, reg_kind kind,
                                       const type_descriptor* known) {
    object_header* h = header_at_registration(object);
    const auto lo = reinterpret_cast<std::uintptr_t>(object);
    const int listed = members ? members->size() : 0;
    const type_descriptor* type = known;
    offset_list offs;
    if (listed > 0 || !known) offs.collect(members, lo, lo + size, known);
    const auto count = static_cast<std::uint32_t>(h->word_before);
    switch (kind) {
    case reg_kind::object:
        // The type's own members are already live; only listed ones widen it.
        if (!known || (listed > 0 && offs.n != static_cast<std::uint32_t>(known->member_count)))
            type = intern_type({destroy, finalize, static_cast<std::uint32_t>(size), 0,
                                static_cast<std::int32_t>(offs.n), offs.items});
        break;
    case reg_kind::scanned_array:
        type = intern_type({destroy, nullptr, static_cast<std::uint32_t>(size - count * layout::pointer_base_size),
                            static_cast<std::uint32_t>(layout::pointer_base_size), -1, nullptr});
        break;
    case reg_kind::plain_array:
    case reg_kind::private_members:
        type = intern_type({destroy, nullptr, 0, count ? static_cast<std::uint32_t>(size / count) : 0, 0, nullptr});
        break;
    }
    if (kind == reg_kind::private_members && offs.n > 0) {
        auto* own = static_cast<pointer_base**>(std::malloc(sizeof(pointer_base*) * offs.n));
        if (!own) throw Sysutils::EOutOfMemory("Out of memory");
        for (std::uint32_t i = 0; i < offs.n; ++i) own[i] = reinterpret_cast<pointer_base*>(lo + offs.items[i]);
        object_extension* e;
        try {
            e = ensure_extension(h);
        } catch (...) {
            std::free(own);
            throw;
        }
        e->members = own;
        e->member_count = static_cast<std::int32_t>(offs.n);
        e->member_capacity = offs.n;
    }

    thread_record* r = current_record();
    if (offs.outside > 0) {
        // Built by the constructor elsewhere: these stay roots.
        stop_barrier(r);
        spin_guard g(r->lock);
        for (int i = 0; i < listed; ++i) {
            pointer_base* m = (*members)[i];
            if (!m) continue;
            const auto a = reinterpret_cast<std::uintptr_t>(m);
            if (a < lo || a >= lo + size) {
                add_root_locked(r, m);
            }
        }
    }
    install_type(h, type);
    join_generation0(self, h, r, size,
                     (std::uint32_t{layout::header_size} << 16) |
                         (std::uint32_t{check_byte_for(destroy, static_cast<std::uint32_t>(size))} << 24),
                     members, lo);
    return type;
}
} // namespace

void pointer_base::init_pointer_base(void* object, member_list* members, std::size_t size, object_thunk destroy,
                                     object_thunk finalize) {
    register_object(this, object, members, size, destroy, finalize, reg_kind::object, nullptr);
}

const type_descriptor* pointer_base::init_pointer_base(void* object, member_list* members,
                                                       const type_descriptor* type) {
    if (members->size() > 0)
        return register_object(this, object, members, type->size, type->destroy, type->finalize, reg_kind::object,
                               type);
    if (!register_known_fast(this, object, type)) register_known(this, object, type);
    return type;
}

const type_descriptor* pointer_base::init_first_of_type(void* object, member_list* members, std::size_t size,
                                                        object_thunk destroy, object_thunk finalize) {
    return register_object(this, object, members, size, destroy, finalize, reg_kind::object, nullptr);
}

void pointer_base::init_pointer_base(void* array, std::size_t size, object_thunk destroy) {
    register_object(this, array, nullptr, size, destroy, nullptr, reg_kind::scanned_array, nullptr);
}

void pointer_base::init_pointer_base_elements(void* array, member_list* members, std::size_t size,
                                              object_thunk destroy) {
    register_object(this, array, members, size, destroy, nullptr, reg_kind::private_members, nullptr);
}

void pointer_base::add_to_gc(void* object, std::size_t size, object_thunk destroy, object_thunk finalize) {
    register_object(this, object, nullptr, size, destroy, finalize, reg_kind::object, nullptr);
}

void pointer_base::add_plain_array_to_gc(void* array, std::size_t element_size, object_thunk destroy) {
    const std::size_t size = element_size * static_cast<std::uint32_t>(object_header::of(array)->word_before);
    register_object(this, array, nullptr, size, destroy, nullptr, reg_kind::plain_array, nullptr);
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
        add_root_locked(record, p);
    }
    list.clear();
}

// ---- interrupted stores ---------------------------------------------------------

namespace {
constexpr unsigned char kStore[4] = {0x48, 0x89, 0x51, 0x08}; // movq %rdx, 8(%rcx)
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
