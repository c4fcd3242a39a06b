#include "platform/window_registry.h"

#include <unistd.h>

#include <map>
#include <mutex>
#include <vector>

namespace platform {

namespace {

struct registry {
    // Recursive: a receiver may look at the registry while a message is
    // handed to it, and holding the lock then keeps its context alive.
    std::recursive_mutex lock;
    std::map<std::uintptr_t, window_info> windows; // ordered by handle = registration order
    std::uintptr_t next = 0x10;
};

registry& reg() {
    static registry* r = new registry(); // used by exit-time code: never destroyed
    return *r;
}

std::uintptr_t key(HWND w) noexcept { return reinterpret_cast<std::uintptr_t>(w); }

} // namespace

HWND register_window(const window_info& info) {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    window_info w = info;
    if (w.thread == 0) w.thread = current_thread_id();
    if (w.process == 0) w.process = static_cast<std::uint32_t>(::getpid());
    const std::uintptr_t h = r.next;
    r.next += 0x10;
    r.windows.emplace(h, w);
    return reinterpret_cast<HWND>(h);
}

void unregister_window(HWND window) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    r.windows.erase(key(window));
}

bool set_window_visible(HWND window, bool visible) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    auto it = r.windows.find(key(window));
    if (it == r.windows.end()) return false;
    it->second.visible = visible;
    return true;
}

bool IsWindow(HWND window) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    return r.windows.count(key(window)) != 0;
}

bool IsWindowVisible(HWND window) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    auto it = r.windows.find(key(window));
    return it != r.windows.end() && it->second.visible;
}

HWND GetWindowOwner(HWND window) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    auto it = r.windows.find(key(window));
    return it == r.windows.end() ? nullptr : it->second.owner;
}

thread_id_t GetWindowThreadProcessId(HWND window, std::uint32_t* processId) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    auto it = r.windows.find(key(window));
    if (it == r.windows.end()) {
        if (processId) *processId = 0;
        return 0;
    }
    if (processId) *processId = it->second.process;
    return it->second.thread;
}

bool EnumWindows(enum_windows_fn fn, void* context) {
    // A snapshot, so the callback may register or unregister windows.
    std::vector<std::uintptr_t> handles;
    {
        registry& r = reg();
        std::lock_guard<std::recursive_mutex> g(r.lock);
        handles.reserve(r.windows.size());
        for (const auto& w : r.windows) handles.push_back(w.first);
    }
    for (std::uintptr_t h : handles)
        if (!fn(reinterpret_cast<HWND>(h), context)) break;
    return true;
}

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept {
    registry& r = reg();
    std::lock_guard<std::recursive_mutex> g(r.lock);
    auto it = r.windows.find(key(window));
    if (it == r.windows.end() || !it->second.post) return false;
    it->second.post(it->second.context, msg, wParam, lParam);
    return true;
}

HWND find_main_window(std::uint32_t processId) noexcept {
    struct search {
        std::uint32_t pid;
        HWND found;
    } s{processId, nullptr};
    try {
        EnumWindows(
            [](HWND w, void* ctx) {
                auto* s = static_cast<search*>(ctx);
                std::uint32_t pid = 0;
                if (GetWindowThreadProcessId(w, &pid) == 0 || pid != s->pid) return true;
                if (GetWindowOwner(w) != nullptr || !IsWindowVisible(w)) return true;
                s->found = w;
                return false;
            },
            &s);
    } catch (...) {
        return nullptr;
    }
    return s.found;
}

} // namespace platform
