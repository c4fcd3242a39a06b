// Exit procedures: order, once only, and a failing one does not stop the rest.
// The library registered its own at load, so this also ends the collector's
// threads; the heap keeps working without them, as after any exit.
#include "rtl/ExitProc.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "tests/support.h"

namespace {

std::string g_order;

TEST(ExitProc, RunLastRegisteredFirstAndOnlyOnce) {
    g_order.clear();
    System::AddExitProc([] { g_order += "a"; });
    System::AddExitProc([] { throw std::runtime_error("broken"); });
    System::AddExitProc([] { g_order += "c"; });
    testing_support::DebugCapture capture;
    System::RunExitProcs();
    EXPECT_EQ(g_order, "ca");
    EXPECT_TRUE(capture.contains("Exception in exit procedure: broken"));
    System::RunExitProcs();
    EXPECT_EQ(g_order, "ca");
}

} // namespace
