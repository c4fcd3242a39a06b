// The window registry and the main-window finder.
#include "platform/window_registry.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

namespace {

using namespace platform;

struct Posted {
    int count = 0;
    UINT msg = 0;
    WPARAM w = 0;
    LPARAM l = 0;
};
void receive(void* ctx, UINT msg, WPARAM w, LPARAM l) {
    auto* p = static_cast<Posted*>(ctx);
    ++p->count;
    p->msg = msg;
    p->w = w;
    p->l = l;
}

// Windows registered for the test's lifetime only.
struct Windows {
    std::vector<HWND> all;
    HWND add(const window_info& i) {
        all.push_back(register_window(i));
        return all.back();
    }
    ~Windows() {
        for (HWND w : all) unregister_window(w);
    }
};

TEST(WindowRegistry, HandlesKnowTheirThreadProcessAndOwner) {
    Windows ws;
    HWND main = ws.add({0, 0, nullptr, true, nullptr, nullptr});
    HWND tool = ws.add({0, 0, main, true, nullptr, nullptr});
    std::uint32_t pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(main, &pid), current_thread_id());
    EXPECT_EQ(pid, static_cast<std::uint32_t>(::getpid()));
    EXPECT_EQ(GetWindowOwner(tool), main);
    EXPECT_TRUE(IsWindow(tool));
    unregister_window(tool);
    EXPECT_FALSE(IsWindow(tool));
    EXPECT_EQ(GetWindowThreadProcessId(tool, &pid), 0u);
    EXPECT_EQ(pid, 0u);
    // A new window never takes the handle of a gone one.
    HWND next = ws.add({0, 0, nullptr, false, nullptr, nullptr});
    EXPECT_NE(next, tool);
    EXPECT_FALSE(IsWindow(nullptr));
}

TEST(WindowRegistry, PostedMessagesReachTheReceiverOfALiveWindow) {
    Windows ws;
    Posted p;
    HWND w = ws.add({0, 0, nullptr, true, &receive, &p});
    std::thread t([&] { EXPECT_TRUE(PostMessage(w, 0x0400 + 1, 7, -3)); });
    t.join();
    EXPECT_EQ(p.count, 1);
    EXPECT_EQ(p.msg, 0x0401u);
    EXPECT_EQ(p.w, 7u);
    EXPECT_EQ(p.l, -3);
    HWND silent = ws.add({0, 0, nullptr, true, nullptr, nullptr});
    EXPECT_FALSE(PostMessage(silent, 1, 0, 0));
    unregister_window(w);
    EXPECT_FALSE(PostMessage(w, 1, 0, 0));
    EXPECT_EQ(p.count, 1);
}

TEST(WindowRegistry, MainWindowIsTheFirstVisibleUnownedOneOfTheProcess) {
    Windows ws;
    const std::uint32_t me = static_cast<std::uint32_t>(::getpid());
    const std::uint32_t other = me + 100000;
    EXPECT_EQ(find_main_window(me), nullptr);
    HWND hidden = ws.add({0, me, nullptr, false, nullptr, nullptr});
    ws.add({0, other, nullptr, true, nullptr, nullptr}); // another process's window
    HWND owner = ws.add({0, me, nullptr, false, nullptr, nullptr});
    ws.add({0, me, owner, true, nullptr, nullptr}); // an owned (tool) window
    EXPECT_EQ(find_main_window(me), nullptr);
    HWND main = ws.add({0, me, nullptr, true, nullptr, nullptr});
    EXPECT_EQ(find_main_window(me), main);
    ASSERT_TRUE(set_window_visible(hidden, true));
    EXPECT_EQ(find_main_window(me), hidden); // first in the enumeration
    EXPECT_NE(find_main_window(other), nullptr);
    EXPECT_EQ(find_main_window(other + 1), nullptr);
}

TEST(WindowRegistry, EnumerationStopsWhenAskedAndToleratesChanges) {
    Windows ws;
    for (int i = 0; i < 5; ++i) ws.add({0, 0, nullptr, true, nullptr, nullptr});
    struct Ctx {
        int seen = 0;
    } ctx;
    EnumWindows(
        [](HWND w, void* c) {
            auto* x = static_cast<Ctx*>(c);
            unregister_window(w); // removing windows during the walk is allowed
            return ++x->seen < 3;
        },
        &ctx);
    EXPECT_EQ(ctx.seen, 3);
}

} // namespace
