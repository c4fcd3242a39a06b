// The header in front of every managed object and array.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "GC/gc_layout.h"

namespace gc_detail {

struct pointer_base;
struct monitor_lock_record;
using object_thunk = void (*)(void* object);

struct object_header {
    std::uint32_t size;
    std::uint32_t reserved0;
    object_thunk destroy;
    object_thunk finalize;
    std::int32_t member_count;
    std::uint32_t member_capacity;
    pointer_base** members;
    std::uint8_t mark;
    std::uint8_t finalized;
    std::uint8_t header_size;
    std::uint8_t check;
    std::uint32_t reserved1;
    std::atomic<monitor_lock_record*> lock;
    std::uint32_t reserved2;
    std::int32_t word_before;

    void* object() noexcept { return reinterpret_cast<char*>(this) + layout::header_size; }
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
};

// The i-th member of an object. Members are kept either as a private array
// of addresses, or (member_capacity 0) as a layout shared by every object of
// the type: offsets from the object's first byte.
inline pointer_base* member_at(const object_header* h, std::int32_t i) noexcept {
    if (h->member_capacity == 0) {
        const auto* offsets = reinterpret_cast<const std::uint32_t*>(h->members);
        return reinterpret_cast<pointer_base*>(reinterpret_cast<char*>(const_cast<object_header*>(h)) +
                                               layout::header_size + offsets[i]);
    }
    return h->members[i];
}

inline std::uint8_t check_byte_for(object_thunk destroy, std::uint32_t size) noexcept {
    return static_cast<std::uint8_t>(((reinterpret_cast<std::uintptr_t>(destroy) >> 3) + (size & 0xFF)) | 0x80);
}

static_assert(sizeof(object_header) == layout::header_size);
static_assert(offsetof(object_header, size) == layout::off_size);
static_assert(offsetof(object_header, destroy) == layout::off_destroy);
static_assert(offsetof(object_header, finalize) == layout::off_finalize);
static_assert(offsetof(object_header, member_count) == layout::off_member_count);
static_assert(offsetof(object_header, member_capacity) == layout::off_member_capacity);
static_assert(offsetof(object_header, members) == layout::off_member_items);
static_assert(offsetof(object_header, mark) == layout::off_mark);
static_assert(offsetof(object_header, finalized) == layout::off_finalized);
static_assert(offsetof(object_header, header_size) == layout::off_header_size);
static_assert(offsetof(object_header, check) == layout::off_check);
static_assert(offsetof(object_header, lock) == layout::off_lock);
static_assert(offsetof(object_header, word_before) == layout::off_word_before);

} // namespace gc_detail
