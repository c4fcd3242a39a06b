#include "vcl/ExtCtrls.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpressionValidator>
#include <QTimer>

namespace Vcl {

TPanel::TPanel(TComponent* owner) : TWinControl(owner), frame_(new QFrame()) {
    AttachWidget(frame_);
    SetBevel(true);
}

void TPanel::SetBevel(bool raised) {
    frame_->setFrameStyle(raised ? (QFrame::Panel | QFrame::Raised) : QFrame::NoFrame);
}

namespace {

class TPaintWidget : public QWidget {
public:
    explicit TPaintWidget(TPaintBox* box) : box_(box) {}

protected:
    void paintEvent(QPaintEvent*) override {
        if (!box_->OnPaint) return;
        QPainter p(this);
        RunHandler([&] { box_->OnPaint(box_, p); });
    }

private:
    TPaintBox* box_;
};

} // namespace

TPaintBox::TPaintBox(TComponent* owner) : TControl(owner) { AttachWidget(new TPaintWidget(this)); }

void TPaintBox::Invalidate() {
    if (Widget()) Widget()->update();
}

QImage TPaintBox::Grab() const { return Widget() ? Widget()->grab().toImage() : QImage(); }

TLabeledEdit::TLabeledEdit(TComponent* owner) : TWinControl(owner), edit_(new QLineEdit()), label_(new TLabel(this)) {
    AttachWidget(edit_);
    QObject::connect(edit_, &QLineEdit::textChanged, [this] {
        RunHandler([this] {
            if (OnChange) OnChange(this);
        });
    });
}

void TLabeledEdit::SetParent(TWinControl* parent) {
    TWinControl::SetParent(parent);
    label_->SetParent(parent);
    PlaceLabel();
}

void TLabeledEdit::SetEditBounds(int left, int top, int width, int height) {
    SetBounds(left, top, width, height);
    PlaceLabel();
}

void TLabeledEdit::PlaceLabel() {
    // Above the edit, left-aligned, three pixels of space.
    QLabel* l = label_->Label();
    const int h = l->sizeHint().height();
    label_->SetBounds(GetLeft(), GetTop() - h - 3, GetWidth(), h);
}

UnicodeString TLabeledEdit::GetText() const { return FromQString(edit_->text()); }
void TLabeledEdit::SetText(const UnicodeString& text) { edit_->setText(ToQString(text)); }
bool TLabeledEdit::GetReadOnly() const { return edit_->isReadOnly(); }
void TLabeledEdit::SetReadOnly(bool value) { edit_->setReadOnly(value); }

void TLabeledEdit::SetNumbersOnly(bool value) {
    edit_->setValidator(value ? new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit_)
                              : nullptr);
}

TTimer::TTimer(TComponent* owner) : TComponent(owner), timer_(new QTimer()) {
    QObject::connect(timer_, &QTimer::timeout, [this] {
        RunHandler([this] {
            if (OnTimer) OnTimer(this);
        });
    });
    Update();
}

TTimer::~TTimer() { delete timer_; }

void TTimer::SetEnabled(bool value) {
    if (value == enabled_) return;
    enabled_ = value;
    Update();
}

void TTimer::SetInterval(int ms) {
    if (ms == interval_) return;
    interval_ = ms;
    Update();
}

void TTimer::Update() {
    timer_->stop();
    if (enabled_ && interval_ > 0) timer_->start(interval_);
}

} // namespace Vcl
