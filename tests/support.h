// Shared test helpers: a debugger-output capture and small utilities.
#pragma once
#include <chrono>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/debug_output.h"

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
