#include "platform/thread_hooks.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {
std::atomic<bool> g_installed{false};
thread_hooks g_hooks{};

using create_fn = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);

create_fn real_create() {
    static create_fn fn = [] {
        auto f = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
        if (!f || f == &::pthread_create) {
            std::fputs("Norvane: the C library's pthread_create was not found\n", stderr);
            std::abort();
        }
        return f;
    }();
    return fn;
}

struct start_block {
    void* (*routine)(void*);
    void* arg;
    void* token;
};

void run_exit(void* token) { g_hooks.exit(token); }

void* thread_start(void* p) {
    start_block b = *static_cast<start_block*>(p);
    std::free(p);
    // A creator may have blocked every signal; the stop signal must reach us.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, suspend_signal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    g_hooks.start(b.token);
    void* result = nullptr;
    pthread_cleanup_push(run_exit, b.token);
    result = b.routine(b.arg);
    pthread_cleanup_pop(1);
    return result;
}
} // namespace

void install_thread_hooks(const thread_hooks& hooks) noexcept {
    real_create();
    g_hooks = hooks;
    g_installed.store(true, std::memory_order_release);
}

int suspend_signal() noexcept {
    static const int sig = [] {
        int s = SIGRTMIN + 5;
        if (const char* env = std::getenv("NORVANE_SUSPEND_SIGNAL")) {
            int v = std::atoi(env);
            if (v >= SIGRTMIN && v <= SIGRTMAX) s = v;
        }
        return s;
    }();
    return sig;
}

} // namespace platform

extern "C" __attribute__((visibility("default"))) int pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                                                                    void* (*routine)(void*), void* arg) {
    using namespace platform;
    if (!g_installed.load(std::memory_order_acquire)) return real_create()(thread, attr, routine, arg);
    auto* b = static_cast<start_block*>(std::malloc(sizeof(start_block)));
    if (!b) return EAGAIN;
    b->routine = routine;
    b->arg = arg;
    b->token = g_hooks.reserve();
    if (!b->token) {
        std::free(b);
        return EAGAIN;
    }
    void* token = b->token;
    int r = real_create()(thread, attr, &thread_start, b);
    if (r != 0) {
        std::free(b);
        g_hooks.cancel(token);
    }
    return r;
}
