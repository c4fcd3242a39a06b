// The application object: the Qt application behind the program's
// windows, its message loop, exception display and exit procedures; and
// the screen's cursor.
#pragma once
#include <functional>
#include <vector>

#include <QFont>

#include "rtl/Exception.h"
#include "rtl/UnicodeString.h"
#include "vcl/Controls.h"

namespace Vcl {

class TForm;

class TApplication {
public:
    using TExceptionEvent = std::function<void(const Exception* e)>;

    // Creates the Qt application on the calling thread, which becomes the
    // window thread. Harmless when called again.
    void Initialize();
    void Initialize(int argc, char** argv);
    bool GetInitialized() const;

    // The main form shows a task-bar button of its own.
    bool MainFormOnTaskBar = false;

    UnicodeString GetTitle() const { return title_; }
    void SetTitle(const UnicodeString& t) { title_ = t; }

    // The first form made the main form; closing it ends Run.
    TForm* GetMainForm() const { return mainForm_; }
    void SetMainForm(TForm* form) { mainForm_ = form; }
    // Called by a form's destructor.
    void FormDestroyed(TForm* form);
    // The application destroys the form after its loop, before the exit
    // procedures run.
    void TakeOwnership(TForm* form);

    // Shows the main form, runs the message loop until Terminate (or the
    // main form is gone), destroys the forms it owns, then runs the exit
    // procedures, last registered first.
    void Run();
    // Processes the messages that are waiting, then returns.
    void ProcessMessages();
    // Waits for at least one message and processes it (the modal loops).
    void HandleMessage();
    void Terminate();
    bool GetTerminated() const { return terminated_; }
    // For a program that runs more than once in one process (tests).
    void ResetTerminated() { terminated_ = false; }

    // The standard exception dialog: the message (with a final full stop)
    // in an error box titled with the application's title.
    void ShowException(const Exception* e);
    // An event handler's escaped exception: OnException when set,
    // otherwise the standard dialog.
    void HandleException(const Exception* e);
    TExceptionEvent OnException;

    // Designed font of the forms: Tahoma 8 pt, or its stand-in.
    QFont DefaultFont() const;

private:
    UnicodeString title_ = "Pelorin";
    TForm* mainForm_ = nullptr;
    std::vector<TForm*> owned_;
    bool terminated_ = false;
};

TApplication* Application();

enum TCursor { crDefault = 0, crHourGlass = -11 };

class TScreen {
public:
    TCursor GetCursor() const { return cursor_; }
    // The hourglass is Qt's override cursor for the whole application.
    void SetCursor(TCursor c);
private:
    TCursor cursor_ = crDefault;
};

TScreen* Screen();

} // namespace Vcl
