#include "rtl/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <mutex>

namespace System::Classes {

// Shared by the object and its running thread: whoever lets go last frees it.
struct TThread::control {
    std::mutex lock;
    pthread_t thread{};
    bool started = false;
    bool joined = false;
    pid_t process = 0; // where the thread runs: a forked child has only the object
    std::atomic<bool> finished{false};
    std::atomic<platform::thread_id_t> tid{0};
    std::atomic<platform::thread_priority> priority{platform::thread_priority::normal};
    platform::HANDLE done = nullptr;
    char name[16] = {};
    TThread* owner = nullptr;          // cleared by the thread before Execute returns
    std::shared_ptr<control> self_ref; // held by the running thread

    control() : done(platform::CreateCompletionHandle()) {}
    ~control() {
        if (done) platform::CloseHandle(done);
    }
};

TThread::TThread() : control_(std::make_shared<control>()) { control_->owner = this; }

TThread::~TThread() {
    control& c = *control_;
    std::lock_guard<std::mutex> g(c.lock);
    if (c.started && !c.joined && c.process == getpid()) {
        // The object goes only once Execute has returned, so the thread is
        // at most finishing its bookkeeping: let it end by itself. (In a
        // forked child the id names no thread of ours, possibly another's.)
        pthread_detach(c.thread);
        c.joined = true;
    }
}

void* TThread::thread_main(void* arg) {
    std::shared_ptr<control> c = std::move(static_cast<control*>(arg)->self_ref);
    c->tid.store(platform::current_thread_id(), std::memory_order_release);
    if (c->name[0]) pthread_setname_np(pthread_self(), c->name);
    const auto p = c->priority.load();
    if (p != platform::thread_priority::normal) platform::set_thread_priority(c->tid.load(), p);
    TThread* obj = c->owner;
    try {
        obj->Execute();
    } catch (...) {
        // Execute owns its error handling; nothing may unwind past the thread.
    }
    c->finished.store(true, std::memory_order_release);
    platform::SignalCompletionHandle(c->done);
    return nullptr;
}

bool TThread::Start() {
    control& c = *control_;
    std::lock_guard<std::mutex> g(c.lock);
    if (c.started) return false;
    c.self_ref = control_;
    if (pthread_create(&c.thread, nullptr, &TThread::thread_main, &c) != 0) {
        c.self_ref.reset();
        return false;
    }
    c.started = true;
    c.process = getpid();
    return true;
}

void TThread::WaitFor() {
    control& c = *control_;
    pthread_t t;
    {
        std::lock_guard<std::mutex> g(c.lock);
        if (!c.started || c.joined || c.process != getpid()) return;
        if (pthread_equal(c.thread, pthread_self())) return;
        c.joined = true;
        t = c.thread;
    }
    pthread_join(t, nullptr);
}

platform::HANDLE TThread::GetHandle() const noexcept { return control_->done; }
platform::thread_id_t TThread::GetThreadID() const noexcept { return control_->tid.load(std::memory_order_acquire); }
bool TThread::GetStarted() const noexcept {
    std::lock_guard<std::mutex> g(control_->lock);
    return control_->started;
}
bool TThread::GetFinished() const noexcept { return control_->finished.load(std::memory_order_acquire); }

void TThread::SetPriority(platform::thread_priority p) noexcept {
    control_->priority.store(p);
    const platform::thread_id_t tid = GetThreadID();
    if (tid != 0 && !GetFinished()) platform::set_thread_priority(tid, p);
}
platform::thread_priority TThread::GetPriority() const noexcept { return control_->priority.load(); }

void TThread::SetName(const char* name) noexcept {
    std::strncpy(control_->name, name, sizeof control_->name - 1);
}

} // namespace System::Classes

namespace System::Threading {

bool TThread::Yield() noexcept {
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    sched_yield();
    getrusage(RUSAGE_THREAD, &after);
    return after.ru_nvcsw + after.ru_nivcsw != before.ru_nvcsw + before.ru_nivcsw;
}

void TThread::Sleep(int milliseconds) noexcept {
    if (milliseconds > 0) platform::sleep_ms(static_cast<std::uint32_t>(milliseconds));
    else sched_yield();
}

void TThread::Sleep(const TimeSpan& span) noexcept {
    const double ms = std::trunc(span.TotalMilliseconds());
    Sleep(ms > 2147483647.0 ? 2147483647 : ms < 0 ? 0 : static_cast<int>(ms));
}

} // namespace System::Threading
