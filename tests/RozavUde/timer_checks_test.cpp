// Construction checks of the timer classes and the state of the helper
// before the program initialises it.
#include "RozavUde/Timer.h"

#include <gtest/gtest.h>

#include "tests/support.h"

using System::Threading::Async;
using System::Threading::TAsyncHelperThread;
using System::Threading::TThreadPoolBase;
using testing_support::message_of;

TEST(TimerChecks, DefaultConstructionIsRefused) {
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([] { gcnew<TAsyncHelperThread::TTimer>(); }),
              "System::Threading::Timer cannot be instantiated via default constructor");
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([] { gcnew<TAsyncHelperThread::TThreadPoolTimerInternal>(); }),
              "ThreadPoolTimer cannot be instantiated via default constructor");
}

TEST(TimerChecks, TimerWithoutPoolIsRefusedFirst) {
    // The pool check comes before the others, even with every argument bad.
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([] {
                  gcnew<TAsyncHelperThread::TTimer>(gc_disposable<TThreadPoolBase>(),
                                                    gc_ptr<System::InvokePtrImplBaseBase>(), -5, -5);
              }),
              "System::Threading::Timer must be owned by a ThreadPool parent");
}

TEST(AsyncHelper, ExistsFromLoadAndIsNotRunning) {
    ASSERT_NE(Async, nullptr);
    EXPECT_FALSE(Async->GetTerminated());
    EXPECT_FALSE(TAsyncHelperThread::HelperTerminated());
}
