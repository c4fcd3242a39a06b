// A thread may hold back work that other threads could run, on the
// assumption that it will run the work itself as soon as it is free (the
// completion port keeps an operation that finished at once for the thread
// that issued it). Before such a thread blocks, that work must go to the
// others, or a thread waiting for its own work would wait for ever: every
// blocking wait of the platform layer calls before_blocking() first.
#pragma once

namespace platform {

using before_blocking_fn = void (*)() noexcept;

// The calling thread's pending hand-over, null when it holds nothing back.
extern __attribute__((tls_model("initial-exec"))) thread_local before_blocking_fn t_before_blocking;

inline void before_blocking() noexcept {
    if (before_blocking_fn f = t_before_blocking) f();
}

} // namespace platform
