#include "platform/thread_hooks.h"

#include "platform/suspend.h"

#include <dlfcn.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/signalfd.h>
#include <time.h>

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

// The C library's versions of the wrapped functions, found once.
template <class F>
F next_symbol(const char* name) {
    auto f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    if (!f) {
        std::fprintf(stderr, "Norvane: the C library's %s was not found\n", name);
        std::abort();
    }
    return f;
}
#define NEXT(name) \
    static const auto real = next_symbol<decltype(&::name)>(#name)

// A copy of a caller's set without the stop signal.
struct clean_set {
    sigset_t set;
    const sigset_t* ptr = nullptr;
    explicit clean_set(const sigset_t* s) noexcept {
        if (!s) return;
        set = *s;
        sigdelset(&set, suspend_signal());
        ptr = &set;
    }
};

timespec now_monotonic() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}
// What is left of a time-out that began at `start`; false when none.
bool remaining(const timespec& total, const timespec& start, timespec& left) noexcept {
    const timespec n = now_monotonic();
    long long ns = (total.tv_sec - (n.tv_sec - start.tv_sec)) * 1000000000LL + total.tv_nsec - (n.tv_nsec - start.tv_nsec);
    if (ns <= 0) return false;
    left.tv_sec = static_cast<time_t>(ns / 1000000000LL);
    left.tv_nsec = static_cast<long>(ns % 1000000000LL);
    return true;
}

void resolve_all() {
    // Found before any of them can be needed inside a signal handler.
    { NEXT(pthread_sigmask); (void)real; }
    { NEXT(sigprocmask); (void)real; }
    { NEXT(sigaction); (void)real; }
}
} // namespace

int real_sigaction(int sig, const struct sigaction* act, struct sigaction* old) noexcept {
    NEXT(sigaction);
    return real(sig, act, old);
}

void install_thread_hooks(const thread_hooks& hooks) noexcept {
    resolve_all();
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

// ---- the stop signal stays the library's ----------------------------------------

extern "C" __attribute__((visibility("default"))) int pthread_sigmask(int how, const sigset_t* set, sigset_t* old) {
    using namespace platform;
    NEXT(pthread_sigmask);
    const clean_set c(how == SIG_UNBLOCK ? nullptr : set);
    return real(how, how == SIG_UNBLOCK ? set : c.ptr, old);
}

extern "C" __attribute__((visibility("default"))) int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
    using namespace platform;
    NEXT(sigprocmask);
    const clean_set c(how == SIG_UNBLOCK ? nullptr : set);
    return real(how, how == SIG_UNBLOCK ? set : c.ptr, old);
}

extern "C" __attribute__((visibility("default"))) int sigsuspend(const sigset_t* mask) {
    using namespace platform;
    NEXT(sigsuspend);
    const clean_set c(mask);
    return real(c.ptr);
}

extern "C" __attribute__((visibility("default"))) int sigaction(int sig, const struct sigaction* act,
                                                               struct sigaction* old) {
    using namespace platform;
    NEXT(sigaction);
    if (sig == suspend_signal() && act) {
        errno = EINVAL; // the library stops threads with it
        return -1;
    }
    if (!act) return real(sig, act, old);
    struct sigaction copy = *act;
    sigdelset(&copy.sa_mask, suspend_signal());
    return real(sig, &copy, old);
}

// The waits: the stop signal is left out of the set, and a stop that
// interrupts the wait is not reported as an interruption.
extern "C" __attribute__((visibility("default"))) int sigtimedwait(const sigset_t* set, siginfo_t* info,
                                                                  const struct timespec* timeout) {
    using namespace platform;
    NEXT(sigtimedwait);
    const clean_set c(set);
    const timespec start = now_monotonic();
    timespec left{};
    if (timeout) left = *timeout;
    for (;;) {
        const std::uint32_t stops = stops_seen();
        const int r = real(c.ptr, info, timeout ? &left : nullptr);
        if (r >= 0 || errno != EINTR || stops_seen() == stops) return r;
        if (timeout && !remaining(*timeout, start, left)) {
            errno = EAGAIN;
            return -1;
        }
    }
}

extern "C" __attribute__((visibility("default"))) int sigwaitinfo(const sigset_t* set, siginfo_t* info) {
    using namespace platform;
    return sigtimedwait(set, info, nullptr);
}

extern "C" __attribute__((visibility("default"))) int sigwait(const sigset_t* set, int* sig) {
    using namespace platform;
    for (;;) {
        const int r = sigtimedwait(set, nullptr, nullptr);
        if (r > 0) {
            *sig = r;
            return 0;
        }
        if (errno != EINTR) return errno;
    }
}

extern "C" __attribute__((visibility("default"))) int signalfd(int fd, const sigset_t* mask, int flags) {
    using namespace platform;
    NEXT(signalfd);
    const clean_set c(mask);
    return real(fd, c.ptr, flags);
}

extern "C" __attribute__((visibility("default"))) int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* t,
                                                           const sigset_t* mask) {
    using namespace platform;
    NEXT(ppoll);
    const clean_set c(mask);
    return real(fds, n, t, c.ptr);
}

extern "C" __attribute__((visibility("default"))) int pselect(int n, fd_set* r, fd_set* w, fd_set* e,
                                                             const struct timespec* t, const sigset_t* mask) {
    using namespace platform;
    NEXT(pselect);
    const clean_set c(mask);
    return real(n, r, w, e, t, c.ptr);
}

extern "C" __attribute__((visibility("default"))) int epoll_pwait(int epfd, struct epoll_event* events, int max,
                                                                 int timeout, const sigset_t* mask) {
    using namespace platform;
    NEXT(epoll_pwait);
    const clean_set c(mask);
    return real(epfd, events, max, timeout, c.ptr);
}
