// The header in front of every managed object and array, and the per-type
// descriptor it points to.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "GC/gc_layout.h"

namespace gc_detail {

struct pointer_base;
struct monitor_lock_record;
using object_thunk = void (*)(void* object);

// What all objects of one type (or all arrays of one element type) share.
// Made once per type and never freed: headers of objects still to be
// destroyed point to it.
struct type_descriptor {
    object_thunk destroy;
    object_thunk finalize;        // null: no finalizer (always for arrays)
    std::uint32_t size;           // an object's bytes; an array's bytes besides its elements
    std::uint32_t element_size;   // arrays: bytes per element (the count is the word before); 0 otherwise
    std::int32_t member_count;    // entries of offsets; -1: every element is a managed pointer
    // An object's check word at registration but for its mark byte (header
    // size and check byte); 0 for arrays, whose size follows their count.
    std::uint32_t check_bits;
    std::uint64_t member_bits;    // bit i: a member at offset 8 i (the first 512 bytes)
    const std::uint32_t* offsets; // members, from the object's first byte, ascending

    bool has_member_at(std::uintptr_t offset) const noexcept {
        if (offset & 7) return false;
        if (offset < 512) return (member_bits >> (offset >> 3)) & 1;
        for (std::int32_t i = 0; i < member_count; ++i)
            if (offsets[i] == offset) return true;
        return false;
    }
};

// What only a few objects need, made on first need and freed with the
// object: the monitor's lock record, a destructor set by
// SetCustomDestructor, and a member list of the object's own (members built
// after construction at offsets its type does not have, or the elements'
// pointers of an array of structures).
struct object_extension {
    std::atomic<const type_descriptor*> type{nullptr};
    std::atomic<monitor_lock_record*> lock{nullptr};
    object_thunk destroy = nullptr;
    pointer_base** members = nullptr;
    std::int32_t member_count = 0;
    std::uint32_t member_capacity = 0;
};

struct object_header {
    std::uintptr_t type_word; // type_descriptor*, or object_extension* | type_extended_bit; 0 until registered
    std::uint8_t mark;
    std::uint8_t finalized;
    std::uint8_t header_size;
    std::uint8_t check;
    std::int32_t word_before;

    void* object() noexcept { return reinterpret_cast<char*>(this) + layout::header_size; }
    const void* object() const noexcept { return reinterpret_cast<const char*>(this) + layout::header_size; }
    static object_header* of(const void* object) noexcept {
        return reinterpret_cast<object_header*>(const_cast<char*>(static_cast<const char*>(object)) -
                                                layout::header_size);
    }
    std::uint32_t check_word() const noexcept {
        return __atomic_load_n(reinterpret_cast<const std::uint32_t*>(&mark), __ATOMIC_RELAXED);
    }
    void set_check_word(std::uint32_t w) noexcept {
        __atomic_store_n(reinterpret_cast<std::uint32_t*>(&mark), w, __ATOMIC_RELEASE);
    }
    std::uint8_t load_mark() const noexcept { return __atomic_load_n(&mark, __ATOMIC_RELAXED); }
    std::uint8_t exchange_mark(std::uint8_t v) noexcept { return __atomic_exchange_n(&mark, v, __ATOMIC_ACQ_REL); }

    std::uintptr_t load_type_word() const noexcept { return __atomic_load_n(&type_word, __ATOMIC_ACQUIRE); }
    object_extension* extension() const noexcept {
        const std::uintptr_t w = load_type_word();
        return w & layout::type_extended_bit
                   ? reinterpret_cast<object_extension*>(w & ~layout::type_extended_bit)
                   : nullptr;
    }
    // Null until the object is registered.
    const type_descriptor* type() const noexcept {
        const std::uintptr_t w = load_type_word();
        if (w & layout::type_extended_bit)
            return reinterpret_cast<object_extension*>(w & ~layout::type_extended_bit)
                ->type.load(std::memory_order_acquire);
        return reinterpret_cast<const type_descriptor*>(w);
    }
};

// Registered objects only (the type is known).
inline std::uint32_t object_size(const object_header* h) noexcept {
    const type_descriptor* t = h->type();
    return t->element_size ? t->size + t->element_size * static_cast<std::uint32_t>(h->word_before) : t->size;
}
inline object_thunk destroy_of(const object_header* h) noexcept {
    if (object_extension* e = h->extension(); e && e->destroy) return e->destroy;
    return h->type()->destroy;
}
inline object_thunk finalize_of(const object_header* h) noexcept { return h->type()->finalize; }

// The members of an object: at its type's offsets, or its own list.
// count -1: a scanned pointer array (its elements are traced instead).
struct member_view {
    char* base;
    const std::uint32_t* offsets;
    pointer_base* const* items;
    std::int32_t count;
    pointer_base* operator[](std::int32_t i) const noexcept {
        return items ? items[i] : reinterpret_cast<pointer_base*>(base + offsets[i]);
    }
};
inline member_view members_of(const object_header* h) noexcept {
    char* base = const_cast<char*>(static_cast<const char*>(h->object()));
    if (object_extension* e = h->extension(); e && e->members) return {base, nullptr, e->members, e->member_count};
    const type_descriptor* t = h->type();
    return {base, t->offsets, nullptr, t->member_count};
}
inline std::int32_t member_count(const object_header* h) noexcept { return members_of(h).count; }
inline pointer_base* member_at(const object_header* h, std::int32_t i) noexcept { return members_of(h)[i]; }

inline std::uint8_t check_byte_for(object_thunk destroy, std::uint32_t size) noexcept {
    return static_cast<std::uint8_t>(((reinterpret_cast<std::uintptr_t>(destroy) >> 3) + (size & 0xFF)) | 0x80);
}

// The object's extension, made now if it has none (also before
// registration: a constructor may lock `this`).
object_extension* ensure_extension(object_header* h);
// Frees what an extension holds; the object is gone or going.
void free_extension(object_extension* e) noexcept;

static_assert(sizeof(object_header) == layout::header_size);
static_assert(offsetof(object_header, type_word) == layout::off_type);
static_assert(offsetof(object_header, mark) == layout::off_mark);
static_assert(offsetof(object_header, finalized) == layout::off_finalized);
static_assert(offsetof(object_header, header_size) == layout::off_header_size);
static_assert(offsetof(object_header, check) == layout::off_check);
static_assert(offsetof(object_header, word_before) == layout::off_word_before);
static_assert(layout::header_size % layout::object_alignment == 0);
static_assert(alignof(type_descriptor) > layout::type_extended_bit && alignof(object_extension) > layout::type_extended_bit);

} // namespace gc_detail
