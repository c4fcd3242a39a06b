// Shared helpers for tests that drive real widgets (Qt's offscreen
// platform): the application object, message boxes answered by the test,
// and waits that pump the window thread's messages with a deadline.
#pragma once
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vcl/Application.h"
#include "vcl/Dialogs.h"

namespace testing_support {

// The Qt application on the calling (test) thread.
inline void EnsureApplication() {
    Vcl::Application()->Initialize();
    Vcl::Application()->ResetTerminated();
}

// Records every message box and answers it with `answer` instead of
// showing it.
class MessageBoxCapture {
public:
    explicit MessageBoxCapture(Vcl::TModalResult answer = Vcl::mrOk) : answer_(answer) {
        old_ = Vcl::SetMessagePresenter([this](const Vcl::TMessageBox& box) {
            std::lock_guard<std::mutex> g(m_);
            boxes_.push_back(box);
            return answer_;
        });
    }
    ~MessageBoxCapture() { Vcl::SetMessagePresenter(old_); }
    MessageBoxCapture(const MessageBoxCapture&) = delete;
    MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

    std::vector<Vcl::TMessageBox> boxes() const {
        std::lock_guard<std::mutex> g(m_);
        return boxes_;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto& b : boxes()) t.push_back(b.text.ToUtf8());
        return t;
    }
    std::size_t count() const { return boxes().size(); }
    void clear() {
        std::lock_guard<std::mutex> g(m_);
        boxes_.clear();
    }

private:
    mutable std::mutex m_;
    std::vector<Vcl::TMessageBox> boxes_;
    Vcl::TModalResult answer_;
    Vcl::TMessagePresenter old_;
};

// Processes the window thread's messages until `done` holds; false when
// the deadline passed first.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        Vcl::Application()->ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Processes messages for the whole period.
inline void PumpFor(std::chrono::milliseconds period) {
    PumpUntil([] { return false; }, period);
}

} // namespace testing_support
