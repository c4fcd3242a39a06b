// Threads, time and system information: the small kernel services the
// library's lower layers use directly.
#pragma once
#include <cstddef>
#include <cstdint>

namespace platform {

using thread_id_t = std::uint32_t;

// Kernel thread id of the caller (cached per thread; never 0).
thread_id_t current_thread_id() noexcept;

struct stack_bounds {
    std::uintptr_t low = 0;   // lowest usable address (inclusive)
    std::uintptr_t high = 0;  // stack base, one past the highest address
};
// Bounds of the calling thread's stack.
stack_bounds current_stack_bounds() noexcept;

inline void cpu_pause() noexcept { __builtin_ia32_pause(); }
void yield_processor() noexcept;          // SwitchToThread
void sleep_ms(std::uint32_t ms) noexcept; // Sleep

extern unsigned g_processor_count;         // set at load
unsigned query_processor_count() noexcept;
inline unsigned processor_count() noexcept {
    const unsigned n = g_processor_count;
    return n ? n : query_processor_count();
}
std::size_t page_size() noexcept;         // cached

// Milliseconds of the monotonic clock as a wrapping 32-bit value.
std::uint32_t tick_count() noexcept;      // GetTickCount / timeGetTime
std::uint64_t tick_count64() noexcept;

enum class thread_priority : int {
    idle = -15, lowest = -2, below_normal = -1, normal = 0,
    above_normal = 1, highest = 2, time_critical = 15
};
// Best effort: a refusal by the kernel is not an error. Returns whether the
// kernel took it.
bool set_thread_priority(thread_id_t tid, thread_priority p) noexcept;
thread_priority get_thread_priority(thread_id_t tid) noexcept;

} // namespace platform
