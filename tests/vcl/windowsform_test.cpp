// Calls marshalled to a form's thread, child forms and the display of
// worker-thread exceptions, on real widgets and the library's pool.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/Forms/WindowsForm.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Exceptions.h"
#include "platform/system.h"
#include "tests/forms_support.h"
#include "tests/support.h"
#include "vcl/Application.h"

using namespace System;
using namespace std::chrono_literals;
using testing_support::DebugCapture;
using testing_support::MessageBoxCapture;
using testing_support::PumpUntil;

namespace {

class TTestForm : public TWindowsForm {
public:
    NORVANE_CLASS_INFO()
    using TWindowsForm::TWindowsForm;
};

TClass TTestForm::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TTestForm, TWindowsForm>("TTestForm", "windowsform_test").Build();
    return &cls;
}

class WindowsFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::EnsureApplication();
        Threading::Async->Initialize(); // the pool's extra threads come through the helper
        ASSERT_TRUE(Threading::Global::g_ThreadPool) << "the library's pool is not running";
    }
    static void Queue(std::function<void()> f) { Threading::Global::g_ThreadPool->QueueUserWorkItem(MakeInvoker(std::move(f))); }
};

// A flag set by another thread, waited for with a deadline while the
// window thread's messages are pumped.
bool WaitPumping(const std::atomic<bool>& flag, std::chrono::milliseconds deadline = 20s) {
    return PumpUntil([&] { return flag.load(); }, deadline);
}

} // namespace

TEST_F(WindowsFormTest, InvokeFromTheWindowThreadRunsAtOnceAndCompletesSynchronously) {
    TTestForm form(nullptr);
    EXPECT_FALSE(form.GetInvokeRequired());
    bool ran = false;
    auto r = form.InternalBeginInvoke(MakeInvoker([&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_TRUE(r->GetIsCompleted());
    EXPECT_TRUE(r->GetCompletedSynchronously());
    form.EndInvoke(r);
}

TEST_F(WindowsFormTest, InvokeFromAPoolThreadReturnsOnlyAfterTheWindowThreadProcessedIt) {
    TTestForm form(nullptr);
    const auto windowThread = platform::current_thread_id();
    std::atomic<bool> required{false}, posted{false}, returned{false};
    std::atomic<platform::thread_id_t> ranOn{0};
    Queue([&] {
        required = form.GetInvokeRequired();
        posted = true;
        form.Invoke([&] { ranOn = platform::current_thread_id(); });
        returned = true;
    });
    // The window thread is busy (not pumping): the call must wait for it.
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!posted && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(posted) << "the work item did not start";
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ranOn.load(), 0u) << "ran without the window thread";
    EXPECT_FALSE(returned);
    ASSERT_TRUE(WaitPumping(returned)) << "Invoke did not return";
    EXPECT_TRUE(required);
    EXPECT_EQ(ranOn.load(), windowThread);
}

TEST_F(WindowsFormTest, AnInvokedMethodsExceptionIsRaisedToTheCallerAsTargetInvocation) {
    TTestForm form(nullptr);
    auto fails = [] { throw EArgument("bad value", "x"); };
    // From the window thread itself.
    const std::string here = testing_support::message_of<ETargetInvocationException>([&] { form.Invoke(fails); });
    EXPECT_NE(here.find("bad value"), std::string::npos) << here;
    // From a pool thread: raised there, nothing escapes on the window thread.
    MessageBoxCapture boxes;
    std::atomic<bool> done{false};
    std::string there;
    Queue([&] {
        there = testing_support::message_of<ETargetInvocationException>([&] { form.Invoke(fails); });
        done = true;
    });
    ASSERT_TRUE(WaitPumping(done)) << "the work item did not finish";
    EXPECT_NE(there.find("bad value"), std::string::npos) << there;
    EXPECT_EQ(boxes.count(), 0u) << "the exception escaped on the window thread";
}

TEST_F(WindowsFormTest, DestroyingAFormRunsItsPendingInvocationsSoEndInvokeReturns) {
    auto* form = new TTestForm(nullptr);
    std::atomic<bool> posted{false}, returned{false}, ran{false};
    std::string error;
    Queue([&] {
        auto r = form->InternalBeginInvoke(MakeInvoker([&] { ran = true; }));
        posted = true;
        form->EndInvoke(r);
        returned = true;
    });
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!posted && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(posted);
    EXPECT_FALSE(ran);
    delete form; // without processing the posted message
    EXPECT_TRUE(ran) << "the pending call did not run in the destructor";
    const auto until2 = std::chrono::steady_clock::now() + 20s;
    while (!returned && std::chrono::steady_clock::now() < until2) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(returned) << "EndInvoke still waits after the form was destroyed";
    testing_support::PumpFor(50ms); // the dropped message must not reach anything
}

TEST_F(WindowsFormTest, InvokingAFormWhoseWindowIsGoneFails) {
    TTestForm form(nullptr);
    form.DestroyHandle();
    EXPECT_EQ(testing_support::message_of<Sysutils::EInvalidOperation>(
                  [&] { form.InternalBeginInvoke(MakeInvoker([] {})); }),
              "Invoke failed - Window is not valid (Window may have been destroyed)");
}

TEST_F(WindowsFormTest, NoEndInvokeWaitsForeverWhileTheWindowGoesAway) {
    // Begin-invokes race the window's handle going away: each call either
    // runs or is refused; none is left waiting.
    TTestForm form(nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> ran{0}, refused{0}, calls{0};
    Queue([&] {
        for (int i = 0; i < 2000; ++i) {
            try {
                form.Invoke([&] { ++ran; });
            } catch (const Exception& e) {
                EXPECT_NE(e.Message().ToUtf8().find("Window is not valid"), std::string::npos) << e.Message().ToUtf8();
                ++refused;
            }
            ++calls;
        }
        done = true;
    });
    ASSERT_TRUE(PumpUntil([&] { return calls >= 20; }, 20s));
    form.DestroyHandle();
    // Calls posted before the handle went still reach the window; the
    // rest are refused.
    ASSERT_TRUE(WaitPumping(done)) << "a caller still waits: ran " << ran << ", refused " << refused;
    EXPECT_EQ(ran + refused, 2000);
    EXPECT_GT(refused, 0);
}

TEST_F(WindowsFormTest, ChildFormsComeFromTheActivatorAndCloseWithTheirParent) {
    TTestForm parent(nullptr);
    EXPECT_EQ(testing_support::message_of<Exception>([&] { parent.CreateChildForm(Vcl::TForm::StaticClass()); }),
              "TWindowsForm::CreateChildForm instanceClass must be a WindowsForm classID");
    EXPECT_EQ(parent.GetChildForms()->LockList()->Count(), 0);
    parent.GetChildForms()->UnlockList();

    Vcl::TForm* child = parent.CreateChildForm(TTestForm::StaticClass());
    ASSERT_NE(dynamic_cast<TTestForm*>(child), nullptr);
    EXPECT_EQ(child->GetOwner(), &parent);
    parent.Show();
    child->Show();
    parent.Close();
    EXPECT_FALSE(child->GetShowing());
    EXPECT_TRUE(parent.CloseAllChildForms());
    delete child; // leaves the parent's list
    EXPECT_EQ(parent.GetChildForms()->LockList()->Count(), 0);
    parent.GetChildForms()->UnlockList();
}

TEST_F(WindowsFormTest, TwoPoolThreadsFailingAtOnceShowOneDialogAndLogTheOther) {
    DebugCapture debug;
    std::atomic<int> shown{0};
    auto old = Vcl::SetMessagePresenter([&](const Vcl::TMessageBox& box) {
        ++shown;
        EXPECT_EQ(box.type, Vcl::TMsgDlgType::mtError);
        // The first dialog stays on screen until the second failure has
        // been written to the debugger output.
        PumpUntil([&] { return debug.contains("<<< THREAD EXCEPTION >>>"); }, 20s);
        return Vcl::mrOk;
    });
    {
        TTestForm main(nullptr);
        Vcl::Application()->SetMainForm(&main);
        main.Show();
        ASSERT_TRUE(main.GetHandlerRegistered());
        std::atomic<int> started{0};
        for (const char* text : {"first failure", "second failure"}) {
            Queue([&started, text] {
                ++started;
                // Both fail together, as far as the pool lets them.
                const auto until = std::chrono::steady_clock::now() + 2s;
                while (started < 2 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
                throw Exception(text);
            });
        }
        ASSERT_TRUE(PumpUntil([&] { return shown == 1 && debug.contains("<<< THREAD EXCEPTION >>>"); }, 30s))
            << "dialogs: " << shown;
        testing_support::PumpFor(100ms);
        EXPECT_EQ(shown, 1);
        int logged = 0;
        for (const auto& l : debug.lines())
            if (l.find("<<< THREAD EXCEPTION >>> ") == 0) {
                ++logged;
                EXPECT_TRUE(l.find("first failure") != std::string::npos || l.find("second failure") != std::string::npos);
                EXPECT_NE(l.find(" (shown here because another thread is showing exception)"), std::string::npos) << l;
            }
        EXPECT_EQ(logged, 1);
        main.Close();
        Vcl::Application()->ResetTerminated();
    }
    Vcl::SetMessagePresenter(old);
}

TEST_F(WindowsFormTest, OnlyTheMainFormInstallsTheHandlerAndItsDestructionRemovesIt) {
    TTestForm main(nullptr);
    Vcl::Application()->SetMainForm(&main);
    auto* other = new TTestForm(nullptr);
    other->Show();
    EXPECT_FALSE(other->GetHandlerRegistered());
    delete other;
    {
        auto* m = new TTestForm(nullptr);
        Vcl::Application()->SetMainForm(m);
        m->Show();
        EXPECT_TRUE(m->GetHandlerRegistered());
        delete m;
    }
    // With the handler removed an escaped exception goes to the default
    // report, not to a destroyed window.
    DebugCapture debug;
    MessageBoxCapture boxes;
    Queue([] { throw Exception("after the window"); });
    EXPECT_TRUE(PumpUntil([&] { return debug.contains("after the window"); }, 20s));
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(WindowsFormTest, DestroyingAFormOnAnotherThreadIsFatal) {
    EXPECT_DEATH(
        {
            auto* form = new TTestForm(nullptr);
            std::thread t([form] { delete form; });
            t.join();
        },
        "Form must be destroyed by the thread it was created");
}
