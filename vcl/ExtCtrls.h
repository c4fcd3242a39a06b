// Panels, labelled edits and timers.
#pragma once
#include "vcl/Controls.h"
#include "vcl/StdCtrls.h"

class QFrame;
class QLineEdit;
class QTimer;

namespace Vcl {

class TPanel : public TWinControl {
public:
    explicit TPanel(TComponent* owner);
    // Without a bevel the panel draws nothing of its own.
    void SetBevel(bool raised);
private:
    QFrame* frame_;
};

// A single-line edit with its caption label above it.
class TLabeledEdit : public TWinControl {
public:
    explicit TLabeledEdit(TComponent* owner);
    void SetParent(TWinControl* parent) override;
    // Moves the label with the edit.
    void SetEditBounds(int left, int top, int width, int height);

    UnicodeString GetText() const;
    void SetText(const UnicodeString& text);
    bool GetReadOnly() const;
    void SetReadOnly(bool value);
    // Typing accepts digits only (text set by the program is not checked).
    void SetNumbersOnly(bool value);

    TLabel* EditLabel() const { return label_; }
    QLineEdit* Edit() const { return edit_; }
    TNotifyEvent OnChange;

private:
    void PlaceLabel();
    QLineEdit* edit_;
    TLabel* label_;
};

// Fires OnTimer every Interval ms on the thread that made it while
// Enabled; Interval 0 never fires. Changing Interval restarts the count.
class TTimer : public TComponent {
public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;
    TTimer(const TTimer&) = delete;
    TTimer& operator=(const TTimer&) = delete;

    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool value);
    int GetInterval() const { return interval_; }
    void SetInterval(int ms);
    TNotifyEvent OnTimer;

private:
    void Update();
    QTimer* timer_;
    bool enabled_ = true;
    int interval_ = 1000;
};

} // namespace Vcl
