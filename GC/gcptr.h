// Managed pointers. A gc_ptr is found by the collector in one of three ways:
// on a thread's stack by the marker in its first word (construction and
// destruction cost one store, no lock, no call); as a member recorded in the
// header of the managed object that contains it; or, anywhere else, as a root
// in the root array of the thread that created it.
//
// Stores into a pointer inside the managed arena dirty the card of the
// pointer's own address. The store and the card mark are one fixed
// instruction sequence (movq %rdx,8(%rcx); movb $0xff,(%rax); nop) that the
// stop handler recognises, so a thread is never seen by the collector with
// the target written and the card still clean.
#pragma once
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "GC/arena.h"
#include "GC/gc_layout.h"
#include "GC/object_header.h"
#include "core/Exceptions.h"
#include "rtl/TypeName.h"

namespace gc_detail {

struct thread_record;
template <class T, int A, int B, int C, int D> class fastvec2;
using member_list = fastvec2<struct pointer_base*, 13, 8, 2, 5>;

// Per-thread facts the inline code reads without a call.
struct current_list_t;
struct thread_fast_info {
    std::uintptr_t stack_low;  // lowest address of the stack
    std::uintptr_t stack_span; // bytes from stack_low to the stack base; 0 = not registered
    thread_record* record;
    current_list_t* scope;     // innermost open construction scope
};
extern __thread thread_fast_info t_gc_thread __attribute__((tls_model("initial-exec")));

inline bool on_current_stack(const void* p) noexcept {
    return reinterpret_cast<std::uintptr_t>(p) - t_gc_thread.stack_low < t_gc_thread.stack_span;
}

// Keeps a stack pointer in memory: once its address has escaped, the
// compiler may not hold it only in registers across a store or a call.
inline void pin(const void* p) noexcept { asm volatile("" : : "r"(p) : "memory"); }

struct pointer_base {
    std::int64_t slot;
    void* target;

    pointer_base() noexcept { init_pointer_base(); }
    // The null source: unregistered, no target, never a root.
    struct null_tag {};
    constexpr explicit pointer_base(null_tag) noexcept : slot(layout::slot_unregistered), target(nullptr) {}
    pointer_base(const pointer_base& o) noexcept {
        if (__builtin_expect(on_current_stack(this), 1)) {
            // The source keeps the target alive: it may be in place first.
            target = o.target;
            slot = layout::stack_marker;
            pin(this);
        } else {
            target = nullptr;
            init_off_stack();
            store_target(o.target);
        }
    }
    pointer_base& operator=(const pointer_base& o) noexcept {
        store_target(o.target);
        return *this;
    }
    ~pointer_base() {
        if (slot >= 0 || layout::is_scope_slot(slot)) release_slot();
        // Not a dead store to the optimiser: a marker left on the stack
        // would keep its target alive while the frame's bytes stay scanned.
        __atomic_store_n(&slot, layout::slot_unregistered, __ATOMIC_RELAXED);
    }

    inline void init_pointer_base() noexcept;
    // Everything but a stack pointer: out of line, so the stack case inlines.
    void init_off_stack() noexcept;

    // Registration of a freshly constructed object (see gcnew).
    void init_pointer_base(void* object, member_list* members, std::size_t size, object_thunk destroy,
                           object_thunk finalize = nullptr);
    // The same for an object whose type is known: its members are at the
    // type's offsets (any others built by the constructor are in the list).
    // Returns the descriptor the object got (wider than type when the
    // constructor built members elsewhere).
    const type_descriptor* init_pointer_base(void* object, member_list* members, const type_descriptor* type);
    // The first object of a type: registers it and returns the descriptor
    // for the next ones.
    const type_descriptor* init_first_of_type(void* object, member_list* members, std::size_t size,
                                              object_thunk destroy, object_thunk finalize);
    void init_pointer_base(void* array, std::size_t size, object_thunk destroy); // scanned array
    // An array of structures holding managed pointers: its elements'
    // pointers, collected in the scope, become its own member list.
    void init_pointer_base_elements(void* array, member_list* members, std::size_t size, object_thunk destroy);
    void add_to_gc(void* object, std::size_t size, object_thunk destroy, object_thunk finalize = nullptr);
    // An array of plain data (never scanned); the count is in the word before.
    void add_plain_array_to_gc(void* array, std::size_t element_size, object_thunk destroy);

    // Everything but a stack pointer or a member of the object under
    // construction: joins the scope of an object under construction, becomes
    // a member of the registered object it lies in, or else a root.
    void register_gcroot() noexcept;
    void unregister_gcroot() noexcept;
    // Leaves the root array or the construction scope the pointer is in.
    void release_slot() noexcept;

    // The store with its card mark.
    void store_target(void* v) noexcept {
        const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(this) - g_heap.base;
        if (off < g_heap.size) {
            unsigned char* card = g_heap.cards + (off >> layout::card_shift);
            asm volatile("movq %%rdx, 8(%%rcx)\n\t"
                         "movb $0xff, (%%rax)\n\t"
                         "nop"
                         :
                         : "c"(this), "d"(v), "a"(card)
                         : "memory");
        } else {
            asm volatile("" ::: "memory");
            __atomic_store_n(&target, v, __ATOMIC_RELAXED);
            asm volatile("" ::: "memory");
        }
    }

    // Header of a managed object at the address; null for null and for an
    // allocated block not yet registered (a temporary hold). Throws
    // EGarbageCollector for anything else.
    static object_header* ensure_pointer_valid(const void* raw);
    // The header, or null when the address is not a managed object.
    static object_header* unsafe_get_pointer_node(const void* raw) noexcept;
};
static_assert(sizeof(pointer_base) == layout::pointer_base_size);

extern "C++" const pointer_base gc_null_pointer;

// A small vector with N-1 entries inline that moves to the heap when full.
template <class T, int A, int B, int C, int D>
class fastvec2 {
public:
    static constexpr int inline_capacity = A - 1;
    fastvec2() noexcept = default;
    ~fastvec2() { if (items_ != inline_) ::operator delete(items_); }
    fastvec2(const fastvec2&) = delete;
    fastvec2& operator=(const fastvec2&) = delete;
    // The collector reads the list of a stopped thread: an entry is
    // written before the count that makes it visible, and a grown array
    // is complete before it replaces the old one.
    int push_back(T v) {
        if (count_ == capacity_) grow();
        items_[count_] = v;
        asm volatile("" ::: "memory");
        __atomic_store_n(&count_, count_ + 1, __ATOMIC_RELAXED);
        return count_ - 1;
    }
    void clear_entry(int i) noexcept { __atomic_store_n(&items_[i], T{}, __ATOMIC_RELAXED); }
    void clear() noexcept { __atomic_store_n(&count_, 0, __ATOMIC_RELAXED); }
    int size() const noexcept { return __atomic_load_n(&count_, __ATOMIC_RELAXED); }
    T operator[](int i) const noexcept { return __atomic_load_n(&items_[i], __ATOMIC_RELAXED); }
    T* data() noexcept { return items_; }
    bool on_heap() const noexcept { return items_ != inline_; }
private:
    void grow() {
        const int cap = count_ * 4;
        T* n = static_cast<T*>(::operator new(sizeof(T) * static_cast<std::size_t>(cap)));
        for (int i = 0; i < count_; ++i) n[i] = items_[i];
        T* old = items_;
        asm volatile("" ::: "memory");
        __atomic_store_n(&items_, n, __ATOMIC_RELAXED);
        capacity_ = cap;
        asm volatile("" ::: "memory");
        if (old != inline_) ::operator delete(old);
    }
    T inline_[inline_capacity];
    T* items_ = inline_;
    int count_ = 0;
    int capacity_ = inline_capacity;
};

// Scope of one managed construction: pointers built inside the object while
// it is under construction are collected as its members. Until the object
// registers, the collector treats the scope's entries as roots, so members
// never pass through the root array; a pointer in a scope has slot = -2 -
// its index. Pointers built elsewhere
// (in a work item, a container's storage) are registered at once as they
// would be outside a constructor: only the constructing thread ever touches
// the scope, whichever thread later destroys such a pointer.
struct current_list_t {
    current_list_t* previous;
    thread_record* record;
    std::uintptr_t lo = 0;   // the object under construction, once known
    std::uintptr_t span = 0; // 0: not known (the block is found from the arena)
    // The object's type when an earlier object of it registered: members
    // at its offsets take the member marker at once and the collector finds
    // them through the type; only pointers elsewhere in the object are listed.
    const type_descriptor* type = nullptr;
    member_list list;

    current_list_t() { init_current_list_t(); }
    ~current_list_t() { teardown_current_list_t(); }
    current_list_t(const current_list_t&) = delete;
    current_list_t& operator=(const current_list_t&) = delete;
    void init_current_list_t() {
        record = t_gc_thread.record;
        if (!record) record = register_current_thread();
        previous = t_gc_thread.scope;
        t_gc_thread.scope = this;
    }
    void teardown_current_list_t() noexcept {
        if (list.size() > 0) keep_leftovers();
        t_gc_thread.scope = previous;
    }
    void set_object(const void* object, std::size_t size) noexcept {
        lo = reinterpret_cast<std::uintptr_t>(object);
        span = size;
    }
    // The block may hold a former object's bytes: a member slot must not
    // read as live before its pointer is built. The block is this thread's
    // alone until registration, so its type goes in with a plain store.
    void set_object(void* object, std::size_t size, const type_descriptor* t) noexcept {
        if (t) {
            const std::uint32_t* offsets = t->offsets;
            for (std::int32_t i = 0, n = t->member_count; i < n; ++i)
                __atomic_store_n(reinterpret_cast<std::int64_t*>(static_cast<char*>(object) + offsets[i]),
                                 layout::slot_unregistered, __ATOMIC_RELAXED);
            __atomic_store_n(&object_header::of(object)->type_word, reinterpret_cast<std::uintptr_t>(t),
                             __ATOMIC_RELAXED);
        }
        type = t;
        set_object(object, size);
        asm volatile("" ::: "memory"); // in place before any member is built
    }
    // The object never registered: nothing of it may be scanned any more.
    void drop_object() noexcept {
        type = nullptr;
        span = 0;
        lo = 0;
        asm volatile("" ::: "memory");
    }
    bool covers(const void* p) const noexcept { return reinterpret_cast<std::uintptr_t>(p) - lo < span; }
    // A pointer built inside the object under construction.
    inline void enter(pointer_base* p) noexcept;
    __attribute__((noinline)) void enter_listed(pointer_base* p) noexcept {
        p->slot = layout::slot_scope_base - list.push_back(p);
    }
    static thread_record* register_current_thread();
    // Entries of a scope whose object never registered become roots.
    void keep_leftovers() noexcept;
};

inline void pointer_base::init_pointer_base() noexcept {
    target = nullptr;
    if (__builtin_expect(on_current_stack(this), 1)) {
        slot = layout::stack_marker;
        pin(this);
    } else {
        init_off_stack();
    }
}

// A member at one of its known type's offsets (the common case) is settled
// here without a call or a saved register; the rest goes out of line.
__attribute__((noinline)) inline void pointer_base::init_off_stack() noexcept {
    if (current_list_t* scope = t_gc_thread.scope) {
        const std::uintptr_t off = reinterpret_cast<std::uintptr_t>(this) - scope->lo;
        if (off < scope->span) {
            const type_descriptor* t = scope->type;
            if (t && off < 512 && (t->member_bits >> (off >> 3) & 1) && !(off & 7)) {
                // Live from now on: found through the scope until
                // registration and through the type after it.
                asm volatile("" ::: "memory"); // the null target is in place first
                __atomic_store_n(&slot, layout::slot_member, __ATOMIC_RELAXED);
                return;
            }
            scope->enter(this);
            return;
        }
    }
    register_gcroot();
}

inline void current_list_t::enter(pointer_base* p) noexcept {
    if (type && type->has_member_at(reinterpret_cast<std::uintptr_t>(p) - lo)) {
        asm volatile("" ::: "memory"); // the null target is in place first
        __atomic_store_n(&p->slot, layout::slot_member, __ATOMIC_RELAXED);
        return;
    }
    // Elsewhere: listed; the scope keeps it visible until registration.
    enter_listed(p);
}

// Library threads are counted so that shutdown can wait for them.
struct gc_managed_thread {
    static void RegisterThread() noexcept;
    static void UnregisterThread() noexcept;
    static long Count() noexcept;
};

template <class T>
concept has_finalizer = requires(T& t) { t.Finalize(); };

// The descriptor of T once its first object registered.
template <class T>
inline std::atomic<const type_descriptor*> known_type{nullptr};

// Frees a block whose object never registered (a constructor threw).
void release_unregistered(void* object) noexcept;

template <class T>
void destroy_thunk(void* p) {
    static_cast<T*>(p)->~T();
    arena::release(p);
}
template <class T>
void finalize_thunk(void* p) {
    static_cast<T*>(p)->Finalize();
}

// The object start of a pointer to T (a base subobject may sit further in).
template <class T>
inline const void* object_start(const T* p) noexcept {
    if constexpr (std::is_polymorphic_v<T>) return dynamic_cast<const void*>(p);
    else return p;
}

[[noreturn]] void throw_invalid_cast(const std::type_info& from, const std::type_info& to);

} // namespace gc_detail

template <class T>
class gc_ptr : public gc_detail::pointer_base {
    template <class U> friend class gc_ptr;
public:
    using element_type = T;

    gc_ptr() noexcept = default;
    gc_ptr(std::nullptr_t) noexcept {}
    gc_ptr(const gc_ptr& o) noexcept = default;
    // Untyped source, e.g. gc_null_pointer.
    explicit gc_ptr(const gc_detail::pointer_base& o) noexcept : pointer_base(o) {}
    // Upcast: no check needed.
    template <class U>
        requires(!std::same_as<U, T> && std::convertible_to<U*, T*>)
    gc_ptr(const gc_ptr<U>& o) noexcept {
        store_target(static_cast<T*>(static_cast<U*>(o.target)));
    }
    // Any other conversion is checked at run time.
    template <class U>
        requires(!std::convertible_to<U*, T*> && std::is_polymorphic_v<U>)
    explicit gc_ptr(const gc_ptr<U>& o) {
        U* src = static_cast<U*>(o.target);
        if (!src) return;
        T* dst = dynamic_cast<T*>(src);
        if (!dst) gc_detail::throw_invalid_cast(typeid(*src), typeid(T));
        store_target(dst);
    }
    // From a raw pointer: a managed object, or `this` of one under construction.
    explicit gc_ptr(T* raw) {
        if (raw) ensure_pointer_valid(gc_detail::object_start(raw));
        store_target(raw);
    }

    gc_ptr& operator=(const gc_ptr& o) noexcept {
        store_target(o.target);
        return *this;
    }
    gc_ptr& operator=(std::nullptr_t) noexcept {
        store_target(nullptr);
        return *this;
    }
    template <class U>
        requires(!std::same_as<U, T> && std::convertible_to<U*, T*>)
    gc_ptr& operator=(const gc_ptr<U>& o) noexcept {
        store_target(static_cast<T*>(static_cast<U*>(o.target)));
        return *this;
    }

    T* operator->() const {
        if (!target) throw ENullReference(typeid(T));
        return static_cast<T*>(target);
    }
    T& operator*() const { return *operator->(); }
    T* get() const noexcept { return static_cast<T*>(target); }
    explicit operator bool() const noexcept { return target != nullptr; }

    template <class U>
    bool operator==(const gc_ptr<U>& o) const noexcept {
        return gc_detail::object_start(get()) == gc_detail::object_start(o.get());
    }
    bool operator==(std::nullptr_t) const noexcept { return target == nullptr; }
};

namespace System { class TIDisposable; }
namespace gc_detail {
// Disposal through a gc_disposable: false when already disposed.
bool do_object_dispose(System::TIDisposable* object);
} // namespace gc_detail

// A gc_ptr that refuses access once its object has been disposed (the word
// in front of the object is non-zero).
template <class T>
class gc_disposable : public gc_ptr<T> {
public:
    using gc_ptr<T>::gc_ptr;
    gc_disposable() noexcept = default;
    gc_disposable(const gc_disposable&) noexcept = default;
    gc_disposable(const gc_ptr<T>& o) noexcept : gc_ptr<T>(o) {}
    gc_disposable& operator=(const gc_disposable& o) noexcept {
        this->store_target(o.target);
        return *this;
    }
    gc_disposable& operator=(const gc_ptr<T>& o) noexcept {
        this->store_target(o.target);
        return *this;
    }
    gc_disposable& operator=(std::nullptr_t) noexcept {
        this->store_target(nullptr);
        return *this;
    }

    T* operator->() const {
        T* p = gc_ptr<T>::operator->();
        if (is_disposed(p)) throw EObjectDisposed(typeid(T));
        return p;
    }
    T& operator*() const { return *operator->(); }

    // Runs the object's Dispose() once; false when it was disposed already.
    bool Dispose() const {
        T* obj = gc_ptr<T>::operator->();
        if (is_disposed(obj)) return false;
        return gc_detail::do_object_dispose(obj);
    }

    static bool is_disposed(const T* p) noexcept {
        return gc_detail::object_header::of(gc_detail::object_start(p))->word_before != 0;
    }
};

// Creates a managed object: members built during its construction are
// recorded in its header; everything else it builds stays a root.
template <class T, class... Args>
gc_ptr<T> gcnew(Args&&... args) {
    // The result may live in an enclosing object under construction: it
    // must join that object's scope, so it is made before ours opens.
    gc_ptr<T> result;
    gc_detail::current_list_t scope;
    void* mem = gc_detail::arena::allocate(sizeof(T));
    const gc_detail::type_descriptor* type = gc_detail::known_type<T>.load(std::memory_order_acquire);
    scope.set_object(mem, sizeof(T), type);
    T* obj;
    try {
        obj = ::new (mem) T(std::forward<Args>(args)...);
    } catch (...) {
        scope.drop_object();
        gc_detail::release_unregistered(mem);
        throw;
    }
    if (type) {
        if (const gc_detail::type_descriptor* got = result.init_pointer_base(obj, &scope.list, type); got != type)
            gc_detail::known_type<T>.store(got, std::memory_order_release);
    } else {
        gc_detail::object_thunk fin = nullptr;
        if constexpr (gc_detail::has_finalizer<T>) fin = &gc_detail::finalize_thunk<T>;
        gc_detail::known_type<T>.store(
            result.init_first_of_type(obj, &scope.list, sizeof(T), &gc_detail::destroy_thunk<T>, fin),
            std::memory_order_release);
    }
    return result;
}
