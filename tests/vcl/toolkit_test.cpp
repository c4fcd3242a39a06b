// The form toolkit driven as the program drives it, on real widgets.
#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QToolButton>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>

#include <gtest/gtest.h>

#include "platform/system.h"
#include "platform/window_registry.h"
#include "rtl/ExitProc.h"
#include "tests/forms_support.h"
#include "vcl/Application.h"
#include "vcl/ComCtrls.h"
#include "vcl/Dialogs.h"
#include "vcl/ExtCtrls.h"
#include "vcl/Forms.h"
#include "vcl/Menus.h"
#include "vcl/StdCtrls.h"

using namespace Vcl;
using namespace std::chrono_literals;
using testing_support::MessageBoxCapture;
using testing_support::PumpUntil;

namespace {

class ToolkitTest : public ::testing::Test {
protected:
    void SetUp() override { testing_support::EnsureApplication(); }
};

class RecordingForm : public TForm {
public:
    using TForm::TForm;
    void WndProc(TMessage& m) override {
        if (m.Msg == WM_USER + 7) {
            received.push_back(m.WParam);
            thread = platform::current_thread_id();
        }
        TForm::WndProc(m);
    }
    std::vector<WPARAM> received;
    platform::thread_id_t thread = 0;
};

void TypeText(QWidget* w, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(w, &press);
    }
}

} // namespace

TEST_F(ToolkitTest, PostedMessagesReachTheWindowProcedureOnTheWindowThreadInOrder) {
    RecordingForm form(nullptr);
    HWND h = form.GetHandle();
    ASSERT_TRUE(platform::IsWindow(h));
    EXPECT_EQ(platform::GetWindowThreadProcessId(h, nullptr), platform::current_thread_id());

    std::thread poster([h] {
        for (WPARAM i = 1; i <= 3; ++i) EXPECT_TRUE(platform::PostMessage(h, WM_USER + 7, i, 0));
    });
    poster.join();
    // Posting never runs the procedure on the posting thread.
    EXPECT_TRUE(form.received.empty());
    ASSERT_TRUE(PumpUntil([&] { return form.received.size() == 3; }, 5s)) << "posted messages were not delivered";
    EXPECT_EQ(form.received, (std::vector<WPARAM>{1, 2, 3}));
    EXPECT_EQ(form.thread, platform::current_thread_id());

    form.DestroyHandle();
    EXPECT_FALSE(platform::IsWindow(h));
    EXPECT_FALSE(platform::PostMessage(h, WM_USER + 7, 4, 0));
}

TEST_F(ToolkitTest, VisibilityAndOwnerAreKeptInTheRegistry) {
    TForm owner(nullptr);
    auto* dialog = new TForm(&owner); // destroyed with its owner
    EXPECT_EQ(platform::GetWindowOwner(dialog->GetHandle()), owner.GetHandle());
    EXPECT_FALSE(platform::IsWindowVisible(owner.GetHandle()));
    owner.Show();
    EXPECT_TRUE(platform::IsWindowVisible(owner.GetHandle()));
    EXPECT_TRUE(owner.GetShowing());
    owner.Hide();
    EXPECT_FALSE(platform::IsWindowVisible(owner.GetHandle()));
}

TEST_F(ToolkitTest, ModalLoopEndsWithTheClickedButtonsResultOnlyWhenTheCloseQueryAllows) {
    TForm dialog(nullptr);
    auto* ok = new TButton(&dialog);
    ok->SetParent(&dialog);
    ok->ModalResult = mrOk;
    ok->SetDefault(true);
    auto* cancel = new TButton(&dialog);
    cancel->SetParent(&dialog);
    cancel->ModalResult = mrCancel;
    cancel->SetCancel(true);

    int queries = 0;
    dialog.OnCloseQuery = [&](TObject*, bool& canClose) {
        ++queries;
        canClose = queries > 1; // refuse the first close
    };
    int closes = 0;
    dialog.OnClose = [&](TObject*, TCloseAction&) { ++closes; };

    QTimer::singleShot(0, [&] { ok->Click(); });
    QTimer::singleShot(50, [&] {
        // Still open after the refused close.
        EXPECT_TRUE(dialog.GetShowing());
        EXPECT_EQ(dialog.GetModalResult(), mrNone);
        ok->Click();
    });
    QTimer::singleShot(10000, [&] { dialog.SetModalResult(mrAbort); }); // deadline
    EXPECT_EQ(dialog.ShowModal(), mrOk);
    EXPECT_EQ(queries, 2);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(dialog.GetShowing());
    EXPECT_FALSE(platform::IsWindowVisible(dialog.GetHandle()));
}

TEST_F(ToolkitTest, EnterAndEscapeClickTheDefaultAndCancelButtons) {
    struct row {
        int key;
        TModalResult expected;
    };
    for (row r : {row{Qt::Key_Return, mrOk}, row{Qt::Key_Escape, mrCancel}}) {
        TForm dialog(nullptr);
        auto* ok = new TButton(&dialog);
        ok->SetParent(&dialog);
        ok->ModalResult = mrOk;
        ok->SetDefault(true);
        auto* cancel = new TButton(&dialog);
        cancel->SetParent(&dialog);
        cancel->ModalResult = mrCancel;
        cancel->SetCancel(true);
        QTimer::singleShot(0, [&] {
            QKeyEvent press(QEvent::KeyPress, r.key, Qt::NoModifier);
            QCoreApplication::sendEvent(dialog.Widget(), &press);
        });
        QTimer::singleShot(10000, [&] { dialog.SetModalResult(mrAbort); });
        EXPECT_EQ(dialog.ShowModal(), r.expected) << "key " << r.key;
    }
}

TEST_F(ToolkitTest, ShowModalOnAVisibleFormIsRefused) {
    TForm form(nullptr);
    form.Show();
    EXPECT_THROW(form.ShowModal(), Sysutils::EInvalidOperation);
}

TEST_F(ToolkitTest, AnEventHandlersExceptionGoesToTheStandardDialogAndTheLoopGoesOn) {
    MessageBoxCapture boxes;
    TForm form(nullptr);
    auto* b = new TButton(&form);
    b->SetParent(&form);
    int clicks = 0;
    b->OnClick = [&](TObject*) {
        ++clicks;
        throw Exception("Unable to resolve host name - nowhere");
    };
    auto* qb = static_cast<QAbstractButton*>(b->Widget());
    qb->click();
    qb->click();
    EXPECT_EQ(clicks, 2);
    ASSERT_EQ(boxes.count(), 2u);
    EXPECT_EQ(boxes.texts()[0], "Unable to resolve host name - nowhere.");
    EXPECT_EQ(boxes.boxes()[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(boxes.boxes()[0].caption.ToUtf8(), Application()->GetTitle().ToUtf8());
}

TEST_F(ToolkitTest, PaintBoxDrawsThroughOnPaintAndAPaintErrorIsShownNotThrown) {
    MessageBoxCapture boxes;
    TForm form(nullptr);
    auto* box = CreateControl<TPaintBox>(&form, &form, "paintBox", 10, 10, 40, 30);
    QSize painted;
    box->OnPaint = [&](TObject* sender, QPainter& canvas) {
        EXPECT_EQ(sender, box);
        painted = QSize(canvas.device()->width(), canvas.device()->height());
        canvas.fillRect(0, 0, 40, 30, Qt::red);
    };
    const QImage image = box->Grab();
    EXPECT_EQ(painted, QSize(40, 30));
    ASSERT_EQ(image.size(), QSize(40, 30));
    EXPECT_EQ(image.pixelColor(20, 15), QColor(Qt::red));
    EXPECT_EQ(boxes.count(), 0u);

    box->OnPaint = [](TObject*, QPainter&) { throw Exception("cannot draw"); };
    box->Grab();
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.texts()[0], "cannot draw.");
}

TEST_F(ToolkitTest, StandardDialogAddsNoSecondFullStop) {
    MessageBoxCapture boxes;
    const Exception ended("Port in use.");
    Application()->ShowException(&ended);
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.texts()[0], "Port in use.");
}

TEST_F(ToolkitTest, UpDownKeepsItsPositionInRangeAndShowsItInTheEdit) {
    TForm form(nullptr);
    auto* edit = new TLabeledEdit(&form);
    edit->SetParent(&form);
    edit->SetEditBounds(10, 20, 100, 21);
    auto* ud = new TUpDown(&form);
    ud->SetParent(&form);
    ud->SetAssociate(edit);
    ud->SetRange(1, 20);
    EXPECT_EQ(ud->GetLeft(), edit->GetLeft() + edit->GetWidth()) << "the arrows sit at the edit's right end";

    struct row {
        int set;
        int expected;
    };
    for (row r : {row{0, 1}, row{-5, 1}, row{7, 7}, row{20, 20}, row{21, 20}, row{1000, 20}}) {
        ud->SetPosition(r.set);
        EXPECT_EQ(ud->GetPosition(), r.expected) << r.set;
        EXPECT_EQ(edit->GetText().ToUtf8(), std::to_string(r.expected)) << r.set;
    }
    ud->SetPosition(19);
    ud->UpButton()->click();
    ud->UpButton()->click(); // stops at the maximum
    EXPECT_EQ(ud->GetPosition(), 20);
    EXPECT_FALSE(ud->UpButton()->isEnabled());
    ud->SetPosition(2);
    ud->DownButton()->click();
    ud->DownButton()->click(); // stops at the minimum
    EXPECT_EQ(ud->GetPosition(), 1);
    EXPECT_FALSE(ud->DownButton()->isEnabled());
}

TEST_F(ToolkitTest, ReadOnlyAndDigitsOnlyEditsRefuseTyping) {
    TForm form(nullptr);
    auto* ro = new TLabeledEdit(&form);
    ro->SetParent(&form);
    ro->SetText("1");
    ro->SetReadOnly(true);
    TypeText(ro->Edit(), "5");
    EXPECT_EQ(ro->GetText().ToUtf8(), "1");

    auto* digits = new TLabeledEdit(&form);
    digits->SetParent(&form);
    digits->SetNumbersOnly(true);
    TypeText(digits->Edit(), "4a2-");
    EXPECT_EQ(digits->GetText().ToUtf8(), "42");

    auto* plain = new TLabeledEdit(&form);
    plain->SetParent(&form);
    TypeText(plain->Edit(), "abc");
    EXPECT_EQ(plain->GetText().ToUtf8(), "abc");
}

TEST_F(ToolkitTest, LabeledEditLabelSitsAboveTheEdit) {
    TForm form(nullptr);
    auto* e = new TLabeledEdit(&form);
    e->SetParent(&form);
    e->SetEditBounds(16, 40, 120, 21);
    e->EditLabel()->SetCaption("Server Port:");
    TLabel* l = e->EditLabel();
    EXPECT_EQ(l->GetLeft(), 16);
    EXPECT_LE(l->GetTop() + l->GetHeight(), 40);
    EXPECT_GT(l->GetHeight(), 0);
}

TEST_F(ToolkitTest, LabelCaptionKeepsItsTextAndBreaksLinesOnScreen) {
    TForm form(nullptr);
    auto* l = new TLabel(&form);
    l->SetParent(&form);
    l->SetCaption("Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_EQ(l->GetCaption().ToUtf8(), "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_EQ(l->Label()->text().toStdString(), "Send: 0.00 Kbits/s\nRecv: 0.00 Kbits/s");
}

TEST_F(ToolkitTest, TimerFiresWhileEnabledAndRestartsOnANewInterval) {
    TForm form(nullptr);
    auto* t = new TTimer(&form);
    t->SetEnabled(false);
    t->SetInterval(20);
    std::atomic<int> fired{0};
    t->OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, t);
        ++fired;
    };
    testing_support::PumpFor(100ms);
    EXPECT_EQ(fired, 0) << "a disabled timer fired";
    t->SetEnabled(true);
    ASSERT_TRUE(PumpUntil([&] { return fired >= 3; }, 5s)) << "the timer did not fire";
    t->SetEnabled(false);
    const int stopped = fired;
    testing_support::PumpFor(100ms);
    EXPECT_EQ(fired, stopped);
    t->SetInterval(0);
    t->SetEnabled(true);
    testing_support::PumpFor(60ms);
    EXPECT_EQ(fired, stopped) << "interval 0 fired";
}

TEST_F(ToolkitTest, DisabledMenuItemDoesNothing) {
    TForm form(nullptr);
    auto* menu = new TMainMenu(&form);
    auto* file = new TMenuItem(&form);
    file->SetCaption("&File");
    auto* item = new TMenuItem(&form);
    item->SetCaption("&Configure..");
    int clicks = 0;
    item->OnClick = [&](TObject*) { ++clicks; };
    file->Add(item);
    menu->Add(file);
    menu->Attach(&form);
    ASSERT_NE(item->Action(), nullptr);
    item->Action()->trigger();
    EXPECT_EQ(clicks, 1);
    item->SetEnabled(false);
    EXPECT_FALSE(item->Action()->isEnabled());
    item->Click();
    EXPECT_EQ(clicks, 1);
}

TEST_F(ToolkitTest, BusyCursorIsTheApplicationsOverrideCursor) {
    Screen()->SetCursor(crHourGlass);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    Screen()->SetCursor(crHourGlass);
    Screen()->SetCursor(crDefault);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ToolkitTest, RunEndsWhenTheMainFormClosesThenRunsExitProceduresLastRegisteredFirst) {
    // In a child process: the exit procedures include the library's own
    // shutdown.
    EXPECT_EXIT(
        {
            static std::vector<int> order;
            System::AddExitProc([] { order.push_back(1); });
            System::AddExitProc([] { order.push_back(2); });
            auto* main = new TForm(nullptr);
            Application()->SetMainForm(main);
            Application()->TakeOwnership(main);
            bool closed = false;
            bool early = false;
            main->OnClose = [&](TObject*, TCloseAction&) { closed = true; };
            QTimer::singleShot(0, [&] {
                early = !order.empty();
                main->Close();
            });
            QTimer::singleShot(10000, [] { Application()->Terminate(); }); // deadline
            Application()->Run();
            std::fprintf(stderr, "early=%d closed=%d terminated=%d main=%p order=", early, closed, Application()->GetTerminated(),
                         static_cast<void*>(Application()->GetMainForm()));
            for (int i : order) std::fprintf(stderr, "%d", i);
            std::fprintf(stderr, "\n");
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "early=0 closed=1 terminated=1 main=\\(nil\\) order=21\n");
}

TEST_F(ToolkitTest, DesignFontFallsBackToASansFaceOfTheSamePixelSize) {
    QFont f = DesignFont("No Such Face 123", 8);
    EXPECT_EQ(f.pixelSize(), 11);
    EXPECT_NE(f.family().toStdString(), "No Such Face 123");
}
