// The up-down control and the status bar.
#pragma once
#include "vcl/Controls.h"
#include "vcl/ExtCtrls.h"

class QLabel;
class QStatusBar;
class QToolButton;

namespace Vcl {

// Two arrow buttons beside an edit; the position stays within Min..Max
// and is shown in the associated edit.
class TUpDown : public TWinControl {
public:
    explicit TUpDown(TComponent* owner);
    // Sits at the edit's right end, taking its width from the edit.
    void SetAssociate(TLabeledEdit* edit);
    void SetRange(int min, int max);
    int GetMin() const { return min_; }
    int GetMax() const { return max_; }
    int GetPosition() const { return position_; }
    void SetPosition(int value);
    // One step, as a click on an arrow.
    void StepUp() { SetPosition(position_ + 1); }
    void StepDown() { SetPosition(position_ - 1); }
    QToolButton* UpButton() const { return up_; }
    QToolButton* DownButton() const { return down_; }
private:
    TLabeledEdit* associate_ = nullptr;
    QToolButton* up_;
    QToolButton* down_;
    int min_ = 0;
    int max_ = 100;
    int position_ = 0;
};

// A status bar along the bottom of its parent with one simple panel.
class TStatusBar : public TWinControl {
public:
    explicit TStatusBar(TComponent* owner);
    void SetParent(TWinControl* parent) override;
    UnicodeString GetSimpleText() const;
    void SetSimpleText(const UnicodeString& text);
private:
    QStatusBar* bar_;
    QLabel* panel_;
};

} // namespace Vcl
