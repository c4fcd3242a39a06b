// Shared test helpers: a debugger-output capture, deadlines, collections
// that leave nothing behind, and small utilities.
#pragma once
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GC/collector.h"
#include "platform/completion_port.h"
#include "platform/debug_output.h"
#include "platform/kernel_objects.h"

namespace testing_support {

// The message of the exception of type E that f throws, or a text saying
// what happened instead.
template <class E, class F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.Message().ToUtf8();
    } catch (const std::exception& e) {
        return std::string("wrong exception: ") + e.what();
    }
    return "no exception";
}

// Polls `pred` every millisecond until it holds (true) or `timeout_ms` has
// passed (false): every wait in a test has a deadline.
template <class P>
bool wait_until(P&& pred, int timeout_ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Polls `count` until it gives `n`: a failure naming `what` and the last
// count when `timeout_ms` passes first.
template <class C>
::testing::AssertionResult count_reaches(C&& count, std::uint64_t n, const char* what, int timeout_ms = 20000) {
    if (wait_until([&] { return static_cast<std::uint64_t>(count()) == n; }, timeout_ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << static_cast<std::uint64_t>(count()) << " " << what << ", expected " << n;
}

// Blocks until `n` threads sleep on h (or on the port), so that a signal or
// a posting that follows is known to reach a waiter rather than an object
// nobody waits on yet.
inline ::testing::AssertionResult sleepers_on(platform::HANDLE h, std::uint32_t n = 1) {
    return count_reaches([h] { return platform::WaitingThreadCount(h); }, n, "threads asleep on the handle");
}
inline ::testing::AssertionResult sleepers_on(platform::completion_port* p, std::uint32_t n = 1) {
    return count_reaches([p] { return platform::waiting_thread_count(p); }, n, "threads asleep on the port");
}

// One full collection on this thread. A collection another thread has
// under way is waited out, not counted as this one.
inline void full_collection() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (gc_detail::collect(3) == gc_detail::collect_busy) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the collector stayed busy for 60 s";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Full collections until nothing more goes: a finalized object is destroyed
// by the next one, and what its destructor dropped by the one after.
inline void settle() {
    for (int i = 0; i < 3; ++i) full_collection();
}

// Runs f in a frame of its own, gone before the caller collects, so that no
// stale copy of a pointer f made on the stack keeps its object alive.
template <class F>
__attribute__((noinline)) void in_own_frame(F&& f) {
    f();
    asm volatile("" ::: "memory");
}

// Entries of a directory, "." and ".." left out.
inline int directory_entries(const char* path) {
    int n = 0;
    if (DIR* d = ::opendir(path)) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

// The process's open descriptors (the directory's own one left out).
inline int open_descriptors() { return directory_entries("/proc/self/fd") - 1; }

// Captures debugger-output lines for its lifetime.
class DebugCapture {
public:
    DebugCapture() { old_ = platform::set_debug_sink({&DebugCapture::sink, this}); }
    ~DebugCapture() { platform::set_debug_sink(old_); }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> g(m_);
        return lines_;
    }
    bool contains(const std::string& needle) const {
        for (const auto& l : lines())
            if (l.find(needle) != std::string::npos) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        lines_.clear();
    }

private:
    static void sink(std::string_view line, void* ctx) {
        auto* self = static_cast<DebugCapture*>(ctx);
        std::lock_guard<std::mutex> g(self->m_);
        self->lines_.emplace_back(line);
    }
    mutable std::mutex m_;
    std::vector<std::string> lines_;
    platform::debug_sink old_{};
};

} // namespace testing_support
