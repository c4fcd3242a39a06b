// One-bit yield lock guarding one-time construction of function-local
// static data.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/system.h"

namespace detail::lock {

inline void x_lock(volatile std::uint16_t& word, unsigned char /*unused*/ = 0) noexcept {
    auto* w = const_cast<std::uint16_t*>(&word);
    while (__atomic_fetch_or(w, std::uint16_t{1}, __ATOMIC_ACQUIRE) & 1u) platform::yield_processor();
}
inline void x_unlock(volatile std::uint16_t& word) noexcept {
    __atomic_store_n(const_cast<std::uint16_t*>(&word), std::uint16_t{0}, __ATOMIC_RELEASE);
}

// The process-wide word.
extern volatile std::uint16_t lock;

} // namespace detail::lock
