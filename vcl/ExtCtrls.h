// Panels, paint boxes, labelled edits and timers.
#pragma once
#include <functional>

#include <QImage>

#include "vcl/Controls.h"
#include "vcl/StdCtrls.h"

class QFrame;
class QPainter;
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

// A surface the program draws on itself: OnPaint gets a painter over the
// whole box whenever it has to be drawn.
class TPaintBox : public TControl {
public:
    using TPaintEvent = std::function<void(TObject* sender, QPainter& canvas)>;
    explicit TPaintBox(TComponent* owner);
    // Asks for a repaint at the next turn of the event loop; repeated
    // requests before then cost one paint.
    void Invalidate();
    // The box as it looks on screen, at its size.
    QImage Grab() const;
    TPaintEvent OnPaint;
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
