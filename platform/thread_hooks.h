// Every thread of the process passes through the library's pthread_create,
// which forwards to the C library's and wraps the start routine, so that the
// collector sees each thread start and end, also threads started by other
// libraries. Threads made with raw clone cannot be seen.
//
// The stop signal belongs to the library: the signal-mask and signal-wait
// functions of the C library (pthread_sigmask, sigprocmask, sigwait,
// sigwaitinfo, sigtimedwait, sigsuspend, signalfd, ppoll, pselect,
// epoll_pwait) are wrapped so that no mask a program sets blocks it and no
// wait hands it to the program; sigaction refuses to replace its handler
// and keeps it out of other handlers' masks.
#pragma once
#include <signal.h>

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

// The C library's sigaction, for the library's own handler.
int real_sigaction(int sig, const struct sigaction* act, struct sigaction* old) noexcept;

} // namespace platform
