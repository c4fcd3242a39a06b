// Window handles. Forms register here with their owning thread, process,
// owner window and visibility, and a way to receive posted messages; the
// window services the library needs (IsWindow, GetWindowThreadProcessId,
// enumeration, PostMessage) read this registry.
#pragma once
#include <cstdint>

#include "platform/system.h"

namespace platform {

struct window_tag;
using HWND = window_tag*;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

// Runs on the posting thread; hands the message to the window's own event
// loop (on Qt, an event posted to the form).
using post_message_fn = void (*)(void* context, UINT msg, WPARAM wParam, LPARAM lParam);

struct window_info {
    thread_id_t thread = 0;   // owning thread; 0 = the caller
    std::uint32_t process = 0; // 0 = this process
    HWND owner = nullptr;     // owner window (tool windows, dialogs)
    bool visible = false;
    post_message_fn post = nullptr;
    void* context = nullptr;
};

// Handles are never reused while the process lives, so a stale handle
// never names a newer window.
HWND register_window(const window_info& info);
// After this no message reaches the window's context.
void unregister_window(HWND window) noexcept;
bool set_window_visible(HWND window, bool visible) noexcept;

bool IsWindow(HWND window) noexcept;
bool IsWindowVisible(HWND window) noexcept;
// The owner window, or null (also for an unknown handle).
HWND GetWindowOwner(HWND window) noexcept;
// The owning thread (0 for an unknown handle) and, when asked, the process.
thread_id_t GetWindowThreadProcessId(HWND window, std::uint32_t* processId) noexcept;
// Top-level windows in the order they were registered, until the callback
// returns false. Windows may come and go during the walk.
using enum_windows_fn = bool (*)(HWND window, void* context);
bool EnumWindows(enum_windows_fn fn, void* context);
// False for an unknown handle or a window without a receiver.
bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) noexcept;

// The main window of a process: the first visible window without an owner.
HWND find_main_window(std::uint32_t processId) noexcept;

} // namespace platform
