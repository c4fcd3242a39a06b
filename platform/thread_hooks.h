// Every thread of the process passes through the library's pthread_create,
// which forwards to the C library's and wraps the start routine, so that the
// collector sees each thread start and end, also threads started by other
// libraries. Threads made with raw clone cannot be seen.
#pragma once

namespace platform {

struct thread_hooks {
    // In the creating thread, before the thread exists. Null refuses the
    // thread (pthread_create then fails with EAGAIN).
    void* (*reserve)();
    // pthread_create failed after a successful reserve.
    void (*cancel)(void* token);
    // In the new thread, before its start routine.
    void (*start)(void* token);
    // In the new thread, when its routine returns or it exits.
    void (*exit)(void* token);
};

void install_thread_hooks(const thread_hooks& hooks) noexcept;

// The real signal number used to stop threads.
int suspend_signal() noexcept;

} // namespace platform
