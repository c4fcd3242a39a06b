// Message boxes. Every box goes through one replaceable presenter, so that
// tests and scripted runs can answer them without a person at the screen.
#pragma once
#include <functional>

#include "rtl/UnicodeString.h"
#include "vcl/Controls.h"

namespace Vcl {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };

// Button set, as bit flags.
enum TMsgDlgBtn : unsigned { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8, mbAbort = 16, mbRetry = 32, mbIgnore = 64 };
using TMsgDlgButtons = unsigned;

struct TMessageBox {
    UnicodeString caption; // window title
    UnicodeString text;
    TMsgDlgType type = TMsgDlgType::mtInformation;
    TMsgDlgButtons buttons = mbOK;
};

// Shows the box and returns the modal result of the button pressed.
using TMessagePresenter = std::function<TModalResult(const TMessageBox& box)>;

// Installs a presenter; returns the previous one. An empty one restores
// the Qt message box.
TMessagePresenter SetMessagePresenter(TMessagePresenter presenter);

// A box titled with the application's title.
TModalResult MessageDlg(const UnicodeString& text, TMsgDlgType type, TMsgDlgButtons buttons);
// The same with an explicit title.
TModalResult MessageBox(const UnicodeString& caption, const UnicodeString& text, TMsgDlgType type,
                        TMsgDlgButtons buttons);

// The save-file dialog: Execute asks for a file name (through the
// replaceable presenter) and leaves it in FileName.
class TSaveDialog : public TComponent {
public:
    explicit TSaveDialog(TComponent* owner) : TComponent(owner) {}
    UnicodeString Title;
    // "CSV files (*.csv)|*.csv|All files (*)|*": description and pattern
    // pairs separated by '|'.
    UnicodeString Filter;
    // Added to a name typed without an extension.
    UnicodeString DefaultExt;
    // The name proposed, then the name chosen.
    UnicodeString FileName;
    // False when the user cancelled.
    bool Execute();
};

// Answers save dialogs instead of a person: returns false to cancel, or
// sets dialog.FileName and returns true.
using TFileDialogPresenter = std::function<bool(TSaveDialog& dialog)>;
// Installs a presenter; returns the previous one. An empty one restores
// Qt's file dialog.
TFileDialogPresenter SetFileDialogPresenter(TFileDialogPresenter presenter);

} // namespace Vcl
