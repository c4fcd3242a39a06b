#include "platform/debug_output.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace platform {

namespace {
void default_sink(std::string_view line, void*) {
    std::string buf;
    buf.reserve(line.size() + 1);
    buf.append(line);
    if (buf.empty() || buf.back() != '\n') buf += '\n';
    ssize_t r = ::write(STDERR_FILENO, buf.data(), buf.size());
    (void)r;
}

std::atomic<debug_sink_fn> g_fn{&default_sink};
std::atomic<void*> g_ctx{nullptr};
} // namespace

void output_debug_string(std::string_view line) noexcept {
    try {
        auto fn = g_fn.load(std::memory_order_acquire);
        fn(line, g_ctx.load(std::memory_order_acquire));
    } catch (...) {
    }
}

debug_sink set_debug_sink(debug_sink sink) noexcept {
    debug_sink old{g_fn.load(), g_ctx.load()};
    if (!sink.fn) sink = {&default_sink, nullptr};
    g_ctx.store(sink.context, std::memory_order_release);
    g_fn.store(sink.fn, std::memory_order_release);
    return old;
}

bool is_debugger_present() noexcept {
    int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    ::close(fd);
    if (n <= 0) return false;
    buf[n] = 0;
    const char* p = std::strstr(buf, "TracerPid:");
    if (!p) return false;
    p += 10;
    while (*p == ' ' || *p == '\t') ++p;
    return *p != '0';
}

void debug_break_if_attached() noexcept {
    if (is_debugger_present()) ::raise(SIGTRAP);
}

} // namespace platform
