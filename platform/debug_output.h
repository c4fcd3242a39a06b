// The debugger-output channel (OutputDebugString). One line per call goes to
// a replaceable sink; by default standard error, written with one write(2)
// so that it takes no lock and is usable while other threads are stopped.
#pragma once
#include <string>
#include <string_view>

namespace platform {

using debug_sink_fn = void (*)(std::string_view line, void* context);

void output_debug_string(std::string_view line) noexcept;
// Installs a sink and returns the previous one (null restores the default).
struct debug_sink { debug_sink_fn fn; void* context; };
debug_sink set_debug_sink(debug_sink sink) noexcept;

// TracerPid in /proc/self/status is non-zero.
bool is_debugger_present() noexcept;
// raise(SIGTRAP) when a debugger is present, otherwise nothing.
void debug_break_if_attached() noexcept;

} // namespace platform
