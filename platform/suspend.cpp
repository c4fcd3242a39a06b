#include "platform/suspend.h"

#include <linux/futex.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/thread_hooks.h"

namespace platform {

namespace {
__attribute__((tls_model("initial-exec"))) thread_local suspend_record* t_record = nullptr;
__attribute__((tls_model("initial-exec"))) thread_local std::uint32_t t_stops = 0;

std::atomic<std::uint32_t> g_stop_epoch{0};   // raised for each stop
std::atomic<std::uint32_t> g_resume_epoch{0}; // set to the stop epoch on resume
interrupt_fixup g_fixup = nullptr;
// Fairness between stops (the collector's own thread only).
long long g_stopped_at_ns = 0; // when the last stop began
long long g_stopped_ns = 0;    // how long the world was stopped last time
long long g_resumed_ns = 0;    // when it was resumed

long long now_ns() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}
sem_t g_ack;

long futex(std::atomic<std::uint32_t>* addr, int op, std::uint32_t val, const timespec* ts) {
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(addr), op, val, ts, nullptr, 0);
}

void handler(int, siginfo_t*, void* ucv) {
    const int saved_errno = errno;
    ++t_stops; // also a duplicate: it interrupts a wait all the same
    suspend_record* r = t_record;
    const std::uint32_t epoch = g_stop_epoch.load(std::memory_order_acquire);
    if (!r || r->acked.load(std::memory_order_relaxed) == epoch) {
        errno = saved_errno;
        return;
    }
    if (r->busy) {
        r->deferred = 1; // answered when the region ends
        errno = saved_errno;
        return;
    }
    auto* uc = static_cast<ucontext_t*>(ucv);
    if (g_fixup) g_fixup(uc->uc_mcontext.gregs);
    for (int i = 0; i < 23; ++i) r->context.gregs[i] = static_cast<std::uint64_t>(uc->uc_mcontext.gregs[i]);
    r->context.sp = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
    r->context.ip = static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
    r->acked.store(epoch, std::memory_order_release);
    sem_post(&g_ack);
    for (;;) {
        std::uint32_t seen = g_resume_epoch.load(std::memory_order_acquire);
        if (seen == epoch) break;
        futex(&g_resume_epoch, FUTEX_WAIT_PRIVATE, seen, nullptr);
    }
    r->returned.store(epoch, std::memory_order_release);
    errno = saved_errno;
}
} // namespace

void suspend_init(interrupt_fixup fixup) noexcept {
    g_fixup = fixup;
    sem_init(&g_ack, 0, 0);
    struct sigaction sa {};
    sa.sa_sigaction = &handler;
    sa.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&sa.sa_mask); // nothing else runs on top of a stopped thread
    sigdelset(&sa.sa_mask, SIGSEGV);
    sigdelset(&sa.sa_mask, SIGBUS);
    real_sigaction(suspend_signal(), &sa, nullptr);
}

std::uint32_t stops_seen() noexcept { return t_stops; }

void leave_busy(suspend_record* r) noexcept {
    asm volatile("" ::: "memory");
    r->busy = 0;
    asm volatile("" ::: "memory");
    if (r->deferred) {
        r->deferred = 0;
        pthread_kill(pthread_self(), suspend_signal());
    }
}

void bind_suspend_record(suspend_record* r) noexcept {
    if (r) {
        r->thread = pthread_self();
        const std::uint32_t e = g_stop_epoch.load(std::memory_order_acquire);
        r->acked.store(e, std::memory_order_relaxed);
        r->returned.store(e, std::memory_order_relaxed);
    }
    t_record = r;
}

void suspend_threads(suspend_record* const* recs, std::size_t n, bool* failed) noexcept {
    // Fairness. The world runs at least as long as it was last stopped (up
    // to 50 ms): a relative sleep or time-out restarted after a stop loses
    // the stopped time, so without this gap it would never end under
    // collections one after the other.
    const long long gap = n ? std::min(g_stopped_ns, 50000000LL) : 0;
    for (long long left = gap - (now_ns() - g_resumed_ns); left > 0; left = gap - (now_ns() - g_resumed_ns)) {
        if (left < 200000) {
            sched_yield(); // a sleep this short would overshoot
            continue;
        }
        timespec ts{static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
        nanosleep(&ts, nullptr);
    }
    // And a thread still on its way out of the last stop's handler has not
    // run its own code since; let it, for up to 50 ms in all. The epoch is
    // raised after, so a late duplicate signal stays a duplicate.
    timespec fair_start;
    clock_gettime(CLOCK_MONOTONIC, &fair_start);
    for (std::size_t i = 0; i < n; ++i) {
        suspend_record* r = recs[i];
        while (r->returned.load(std::memory_order_acquire) != r->acked.load(std::memory_order_acquire)) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if ((now.tv_sec - fair_start.tv_sec) * 1000000000L + (now.tv_nsec - fair_start.tv_nsec) > 50000000L) break;
            sched_yield();
        }
    }
    g_stopped_at_ns = now_ns();
    const std::uint32_t epoch = g_stop_epoch.load(std::memory_order_relaxed) + 1;
    g_stop_epoch.store(epoch, std::memory_order_release);
    const int sig = suspend_signal();
    std::size_t pending = 0;
    for (std::size_t i = 0; i < n; ++i) {
        failed[i] = pthread_kill(recs[i]->thread, sig) != 0;
        if (!failed[i]) ++pending;
    }
    unsigned rounds = 0;
    while (pending > 0) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_nsec += 10 * 1000000L;
        if (ts.tv_nsec >= 1000000000L) { ts.tv_sec += 1; ts.tv_nsec -= 1000000000L; }
        if (sem_timedwait(&g_ack, &ts) == 0) {
            --pending;
            continue;
        }
        if (errno == EINTR) continue;
        // Slow answers: signals can be lost to a thread that was blocking
        // them; send again to every thread that has not acknowledged.
        ++rounds;
        std::size_t still = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (failed[i] || recs[i]->acked.load(std::memory_order_acquire) == epoch) continue;
            ++still;
            if (pthread_kill(recs[i]->thread, sig) != 0) {
                failed[i] = true;
                --pending;
            }
        }
        if (still == 0) {
            // Every thread answered; only semaphore posts are outstanding.
            while (pending > 0 && sem_trywait(&g_ack) == 0) --pending;
            pending = 0;
        }
        if (rounds == 500) std::fputs("Norvane: a thread does not answer the stop signal\n", stderr);
    }
    // Drain posts a duplicate wave may have left, so the next stop counts afresh.
    while (sem_trywait(&g_ack) == 0) {}
}

void resume_threads() noexcept {
    g_resumed_ns = now_ns();
    g_stopped_ns = g_resumed_ns - g_stopped_at_ns;
    g_resume_epoch.store(g_stop_epoch.load(std::memory_order_relaxed), std::memory_order_release);
    futex(&g_resume_epoch, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

} // namespace platform
