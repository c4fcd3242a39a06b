// Stopping threads by signal, the handshake mature Linux collectors use.
// The handler saves the interrupted registers into the thread's record,
// lets a fix-up complete an interrupted pointer store, acknowledges, and
// waits on a futex until the world is resumed. Handlers are
// async-signal-safe; duplicate (re-sent) signals are recognised and
// ignored.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace platform {

struct saved_context {
    std::uintptr_t sp = 0;
    std::uintptr_t ip = 0;
    std::uint64_t gregs[23] = {}; // the interrupted general registers (mcontext order)
};

struct suspend_record {
    pthread_t thread{};
    std::atomic<std::uint32_t> acked{0}; // last stop epoch this thread answered
    std::atomic<std::uint32_t> returned{0}; // last stop epoch it came back from
    saved_context context;
    // Set by the thread around short updates that must not be caught
    // half-way; a stop that arrives then is deferred to the update's end.
    volatile int busy = 0;
    volatile int deferred = 0;
};

// Ends a busy region: stops now if a stop arrived during it.
void leave_busy(suspend_record* r) noexcept;

// Edits the interrupted registers in place (mcontext greg array) before
// they are saved; used to finish a pointer store caught half-way.
using interrupt_fixup = void (*)(long long* gregs) noexcept;

void suspend_init(interrupt_fixup fixup) noexcept;
// Binds the calling thread to its record (null unbinds).
void bind_suspend_record(suspend_record* r) noexcept;

// Stops every thread of the list. A thread that cannot be signalled any
// more is reported in failed[i]. Waits for every acknowledgement, re-sending
// to threads that are slow to answer. A thread resumed by the previous stop
// gets back to its own code first (within a bound), so collections one
// after the other never starve it.
// Stops the calling thread has answered so far (tells an interruption by
// the stop signal from any other).
std::uint32_t stops_seen() noexcept;

void suspend_threads(suspend_record* const* recs, std::size_t n, bool* failed) noexcept;
void resume_threads() noexcept;

} // namespace platform
