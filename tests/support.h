// Shared test helpers: a debugger-output capture and small utilities.
#pragma once
#include <exception>
#include <mutex>
#include <string>
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
