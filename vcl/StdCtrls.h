// Standard controls: buttons, labels, radio buttons and group boxes.
#pragma once
#include "vcl/Controls.h"

class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;

namespace Vcl {

class TButton : public TWinControl {
public:
    explicit TButton(TComponent* owner);
    void SetCaption(const UnicodeString& caption) override;
    // Clicking sets the form's ModalResult to this value first (when not
    // mrNone), then runs OnClick.
    TModalResult ModalResult = mrNone;
    void SetDefault(bool value);
    void SetCancel(bool value);
    bool GetDefault() const { return default_; }
    bool GetCancel() const { return cancel_; }
    // What a user's click does; an exception propagates to the caller.
    void Click();
    TNotifyEvent OnClick;
private:
    QPushButton* button_;
    bool default_ = false;
    bool cancel_ = false;
};

class TLabel : public TControl {
public:
    explicit TLabel(TComponent* owner);
    // "\r\n" in a caption breaks the line.
    void SetCaption(const UnicodeString& caption) override;
    void SetAlignment(TAlignment a);
    void SetWordWrap(bool wrap);
    QLabel* Label() const { return label_; }
private:
    QLabel* label_;
};

class TRadioButton : public TWinControl {
public:
    explicit TRadioButton(TComponent* owner);
    void SetCaption(const UnicodeString& caption) override;
    // Checking one unchecks its siblings in the same parent.
    bool GetChecked() const;
    void SetChecked(bool checked);
    TNotifyEvent OnClick;
private:
    QRadioButton* radio_;
};

class TGroupBox : public TWinControl {
public:
    explicit TGroupBox(TComponent* owner);
    void SetCaption(const UnicodeString& caption) override;
private:
    QGroupBox* box_;
};

} // namespace Vcl
