// Managed arrays. The element count is the 32-bit word in front of the
// first element. Three layouts, chosen by the element type:
//  - plain data: never scanned;
//  - managed pointers: scanned element by element as an array;
//  - structures holding managed pointers (delegates): constructed inside a
//    scope, their pointers become the array's member list.
#pragma once
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "GC/gcptr.h"

namespace gc_detail {

template <class T>
inline constexpr bool is_managed_pointer_v = std::is_base_of_v<pointer_base, T>;
template <class T>
inline constexpr bool is_plain_element_v = !is_managed_pointer_v<T> && std::is_trivially_copyable_v<T>;

[[noreturn]] void throw_array_bounds();
[[noreturn]] void throw_bad_array_size(long long n);
[[noreturn]] void throw_array_out_of_memory();
void* allocate_array_block(std::size_t bytes); // EOutOfMemory "Failed to allocate memory"

template <class T>
void destroy_element_array(void* p) {
    auto* elems = static_cast<T*>(p);
    const std::int32_t n = object_header::of(p)->word_before;
    for (std::int32_t i = 0; i < n; ++i) elems[i].~T();
    arena::release(p);
}
inline void destroy_plain_block(void* p) { arena::release(p); }

} // namespace gc_detail

template <class T>
class gc_array : public gc_detail::pointer_base {
public:
    using element_type = T;
    gc_array() noexcept = default;
    gc_array(std::nullptr_t) noexcept {}
    gc_array(const gc_array&) noexcept = default;
    gc_array& operator=(const gc_array& o) noexcept {
        store_target(o.target);
        return *this;
    }
    gc_array& operator=(std::nullptr_t) noexcept {
        store_target(nullptr);
        return *this;
    }

    int Length() const {
        if (!target) throw ENullReference(typeid(gc_array<T>));
        return gc_detail::object_header::of(target)->word_before;
    }
    T& operator[](int i) const {
        if (!target) throw ENullReference(typeid(gc_array<T>));
        if (static_cast<unsigned>(i) >= static_cast<unsigned>(gc_detail::object_header::of(target)->word_before))
            gc_detail::throw_array_bounds();
        return static_cast<T*>(target)[i];
    }
    T* data() const noexcept { return static_cast<T*>(target); }
    T* begin() const noexcept { return data(); }
    T* end() const noexcept { return target ? data() + gc_detail::object_header::of(target)->word_before : nullptr; }
    explicit operator bool() const noexcept { return target != nullptr; }
    bool operator==(const gc_array& o) const noexcept { return target == o.target; }
    bool operator==(std::nullptr_t) const noexcept { return target == nullptr; }

    template <class U> friend gc_array<U> gcnew_array(int n);
};

// An array of n elements, all null or zero.
template <class T>
gc_array<T> gcnew_array(int n) {
    using namespace gc_detail;
    if (n < 0) throw_bad_array_size(n);
    gc_array<T> result;
    const std::size_t bytes = static_cast<std::size_t>(n) * sizeof(T);
    if constexpr (is_plain_element_v<T>) {
        void* mem = allocate_array_block(bytes);
        std::memset(mem, 0, bytes);
        object_header::of(mem)->word_before = n;
        result.add_plain_array_to_gc(mem, sizeof(T), &destroy_plain_block);
    } else if constexpr (is_managed_pointer_v<T>) {
        static_assert(sizeof(T) == layout::pointer_base_size, "managed pointer elements are one pointer_base");
        void* mem = allocate_array_block(bytes + 1);
        auto* elems = static_cast<pointer_base*>(mem);
        for (int i = 0; i < n; ++i) {
            elems[i].slot = layout::slot_unregistered; // scanned by the array, never a root
            elems[i].target = nullptr;
        }
        object_header::of(mem)->word_before = n;
        result.init_pointer_base(mem, bytes + 1, &destroy_plain_block);
    } else {
        current_list_t scope;
        void* mem = allocate_array_block(bytes);
        std::memset(mem, 0, bytes);
        auto* elems = static_cast<T*>(mem);
        int built = 0;
        try {
            for (; built < n; ++built) ::new (&elems[built]) T();
        } catch (...) {
            while (built > 0) elems[--built].~T();
            release_unregistered(mem);
            throw;
        }
        object_header::of(mem)->word_before = n;
        result.init_pointer_base_elements(mem, &scope.list, bytes, &destroy_element_array<T>);
    }
    return result;
}
