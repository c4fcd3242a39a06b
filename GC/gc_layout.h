// The 64-bit figures of the managed object model, in one place. Fields keep
// the order of the 32-bit design; every word that holds an address is 8
// bytes, counts, flags and ids keep their widths.
#pragma once
#include <cstddef>
#include <cstdint>

namespace gc_detail::layout {

// object_header: directly in front of the object's first byte. What every
// object of a type shares (thunks, size, member offsets) is in its
// type_descriptor; the header keeps only what is each object's own.
inline constexpr std::size_t header_size = 16;
inline constexpr std::size_t off_type = 0;             // type_descriptor*, bit 0: object_extension*
inline constexpr std::size_t off_check_word = 8;       // the four bytes below, written at once
inline constexpr std::size_t off_mark = 8;             // u8 mark byte
inline constexpr std::size_t off_finalized = 9;        // u8
inline constexpr std::size_t off_header_size = 10;     // u8 = header_size
inline constexpr std::size_t off_check = 11;           // u8 check byte, bit 7 set
inline constexpr std::size_t off_word_before = 12;     // i32 disposed flag or array count

// Recognition offsets, counted back from the object address.
inline constexpr std::size_t check_byte_back = header_size - off_check;      // 5
inline constexpr std::size_t word_before_back = header_size - off_word_before; // 4

// The dword at off_check_word of an allocated block not yet registered.
inline constexpr std::uint32_t unregistered_marker = 0xFFFFFFFFu;

// The type word of an object with an extension record (a monitor, a custom
// destructor or members of its own) has this bit set.
inline constexpr std::uintptr_t type_extended_bit = 1;

// Every object and array starts on this boundary.
inline constexpr std::size_t object_alignment = 16;

// Bytes a registered object adds to its thread's allocation counter.
inline constexpr std::size_t accounted_overhead = header_size;

// pointer_base: slot word and target (two 8-byte words). A root's slot
// word says both where it is registered and which record holds it.
inline constexpr std::size_t pointer_base_size = 16;
inline constexpr std::size_t off_pb_slot = 0;
inline constexpr std::size_t off_pb_target = 8;
// Negative as a signed word, so "slot >= 0" alone tells a root.
inline constexpr std::int64_t stack_marker = static_cast<std::int64_t>(0xDA55AD37DA55AD37ull);
// A root: its index in the root array of the thread record in slot
// (word >> root_record_shift) of the thread table.
inline constexpr unsigned root_record_shift = 40;
inline constexpr std::int64_t root_index_mask = (std::int64_t{1} << root_record_shift) - 1;
inline constexpr std::int64_t root_slot(std::uint32_t record_slot, std::size_t index) noexcept {
    return (static_cast<std::int64_t>(record_slot) << root_record_shift) | static_cast<std::int64_t>(index);
}
inline constexpr std::uint32_t root_record_of(std::int64_t s) noexcept {
    return static_cast<std::uint32_t>(s >> root_record_shift);
}
inline constexpr std::size_t root_index_of(std::int64_t s) noexcept {
    return static_cast<std::size_t>(s & root_index_mask);
}
inline constexpr std::int64_t slot_unregistered = -1;
// -2 - i: entry i of an open construction scope (see current_list_t).
inline constexpr std::int64_t slot_scope_base = -2;
inline constexpr std::int64_t slot_scope_last = slot_scope_base - 0x7FFFFFFF;
// A live member of a registered object. The collector traces a member only
// while its slot holds this word: a member destroyed early (its slot is -1)
// whose bytes are reused is never read as a pointer.
inline constexpr std::int64_t slot_member = static_cast<std::int64_t>(0xDA55AD374D454D42ull);
inline constexpr bool is_scope_slot(std::int64_t s) noexcept { return s <= slot_scope_base && s >= slot_scope_last; }

// TDelegate: closure (code and object pointer) plus a pointer_base.
inline constexpr std::size_t delegate_size = 32;

// Address blocks and cards over the managed arena.
inline constexpr unsigned block_shift_desktop = 20;  // 1 MiB blocks
inline constexpr unsigned block_shift_embedded = 31; // 2 GiB blocks
inline constexpr unsigned card_shift = 15;           // 32 KiB per card
inline constexpr std::uint64_t default_arena_bytes = 4ull << 30;

// Thread table and root arrays.
inline constexpr unsigned thread_slots = 500;
inline constexpr std::size_t root_initial_capacity = 32768;
inline constexpr unsigned generation_count = 3;
static_assert(thread_slots < (1u << (63 - root_record_shift)), "a root's slot word stays non-negative");

} // namespace gc_detail::layout
