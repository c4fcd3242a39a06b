// The order in which the library's start-up routines run when it is loaded.
// Each is an ELF constructor with one of these priorities (lower runs
// first); the unload routines are the matching destructors, which run in
// the reverse order, so the collector's unload comes last.
//
// Priorities up to 100 are reserved by the toolchain; a priority is the
// library's designed number plus 101.
#pragma once

namespace platform::startup {

// The collector: TLS slot, settings, collector state, the loading thread,
// the marking workers.
inline constexpr int collector = 101;
// The helper thread that owns the collector's thread. Static managed
// pointers that units fill at load are built at this priority too
// (init_priority(102)): after the collector, before the units.
inline constexpr int helper_thread = 102;
// The library's units, in their designed order.
inline constexpr int thread_pool_globals = 131;
inline constexpr int async_result_statics = 132;
inline constexpr int collector_exception_texts = 133;
inline constexpr int time_zone_statics = 134;
inline constexpr int process_globals = 135;
inline constexpr int socket_startup = 136;

} // namespace platform::startup

#define NORVANE_STARTUP(priority) __attribute__((constructor(priority)))
#define NORVANE_UNLOAD(priority) __attribute__((destructor(priority)))
