#include "platform/system.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/before_blocking.h"

namespace platform {

namespace {
__attribute__((tls_model("initial-exec"))) thread_local thread_id_t t_tid = 0;

int nice_of(thread_priority p) {
    switch (p) {
    case thread_priority::idle: return 19;
    case thread_priority::lowest: return 10;
    case thread_priority::below_normal: return 5;
    case thread_priority::normal: return 0;
    case thread_priority::above_normal: return -5;
    case thread_priority::highest: return -10;
    case thread_priority::time_critical: return -20;
    }
    return 0;
}
} // namespace

thread_id_t current_thread_id() noexcept {
    if (t_tid == 0) t_tid = static_cast<thread_id_t>(::syscall(SYS_gettid));
    return t_tid;
}

stack_bounds current_stack_bounds() noexcept {
    stack_bounds b;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
            b.low = reinterpret_cast<std::uintptr_t>(addr);
            b.high = b.low + size;
        }
        pthread_attr_destroy(&attr);
    }
    return b;
}

void yield_processor() noexcept { sched_yield(); }

void sleep_ms(std::uint32_t ms) noexcept {
    before_blocking();
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

unsigned g_processor_count = 0;

unsigned query_processor_count() noexcept {
    long v = sysconf(_SC_NPROCESSORS_ONLN);
    g_processor_count = v > 0 ? static_cast<unsigned>(v) : 1u;
    return g_processor_count;
}

std::size_t page_size() noexcept {
    static const std::size_t n = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return n;
}

std::uint64_t tick_count64() noexcept {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint32_t tick_count() noexcept { return static_cast<std::uint32_t>(tick_count64()); }

bool set_thread_priority(thread_id_t tid, thread_priority p) noexcept {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice_of(p)) == 0;
}

thread_priority get_thread_priority(thread_id_t tid) noexcept {
    errno = 0;
    int n = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (n <= -20) return thread_priority::time_critical;
    if (n <= -10) return thread_priority::highest;
    if (n <= -5) return thread_priority::above_normal;
    if (n < 5) return thread_priority::normal;
    if (n < 10) return thread_priority::below_normal;
    if (n < 19) return thread_priority::lowest;
    return thread_priority::idle;
}

} // namespace platform
