#include "vcl/Application.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCursor>

#include "platform/system.h"
#include "rtl/ExitProc.h"
#include "vcl/Dialogs.h"
#include "vcl/Forms.h"

namespace Vcl {

namespace {
int g_argc = 1;
char g_arg0[] = "pelorin";
char* g_argv[] = {g_arg0, nullptr};
} // namespace

void TApplication::Initialize() { Initialize(g_argc, g_argv); }

void TApplication::Initialize(int argc, char** argv) {
    if (QCoreApplication::instance()) return;
    // Qt keeps references to both for the application's life.
    static int keptArgc;
    keptArgc = argc;
    new QApplication(keptArgc, argv);
    // The platform the program was made for boosts the thread of the window
    // in front. Here the window thread runs above the completion-port
    // threads: level with them (nice -5) a 20-connection test kept it
    // waiting for a processor for up to half a second at a time on a loaded
    // two-core machine. It sleeps in its event loop nearly always, so the
    // boost takes nothing from the test.
    platform::set_thread_priority(platform::current_thread_id(), platform::thread_priority::highest);
    QApplication::setFont(DefaultFont());
    QApplication::setQuitOnLastWindowClosed(false);
}

bool TApplication::GetInitialized() const { return QCoreApplication::instance() != nullptr; }

void TApplication::FormDestroyed(TForm* form) {
    if (mainForm_ == form) mainForm_ = nullptr;
    std::erase(owned_, form);
}

void TApplication::TakeOwnership(TForm* form) { owned_.push_back(form); }

void TApplication::Run() {
    if (mainForm_) mainForm_->Show();
    while (!terminated_ && mainForm_) HandleMessage();
    // Last made, first destroyed; each destructor takes itself off the list.
    while (!owned_.empty()) delete owned_.back();
    System::RunExitProcs();
}

void TApplication::ProcessMessages() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void TApplication::HandleMessage() { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents); }

void TApplication::Terminate() {
    terminated_ = true;
    if (QCoreApplication* app = QCoreApplication::instance())
        if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance(app->thread())) d->wakeUp();
}

void TApplication::ShowException(const Exception* e) {
    UnicodeString msg = e ? e->Message() : UnicodeString("Unknown exception");
    if (!msg.IsEmpty() && msg[msg.Length() - 1] > u'.') msg += u'.';
    MessageBox(title_, msg, TMsgDlgType::mtError, mbOK);
}

void TApplication::HandleException(const Exception* e) {
    if (OnException) OnException(e);
    else ShowException(e);
}

QFont TApplication::DefaultFont() const { return DesignFont(QStringLiteral("Tahoma"), 8); }

TApplication* Application() {
    static TApplication* app = new TApplication(); // lives as long as the process
    return app;
}

void TScreen::SetCursor(TCursor c) {
    if (c == cursor_) return;
    cursor_ = c;
    if (!QCoreApplication::instance()) return;
    if (c == crHourGlass) QApplication::setOverrideCursor(QCursor(Qt::WaitCursor));
    else
        while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
}

TScreen* Screen() {
    static TScreen* s = new TScreen();
    return s;
}

} // namespace Vcl
