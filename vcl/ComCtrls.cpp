#include "vcl/ComCtrls.h"

#include <algorithm>

#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "rtl/Conversions.h"

namespace Vcl {

TUpDown::TUpDown(TComponent* owner) : TWinControl(owner) {
    auto* w = new QWidget();
    AttachWidget(w);
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    up_ = new QToolButton(w);
    down_ = new QToolButton(w);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {up_, down_}) {
        b->setAutoRepeat(true);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        b->setFocusPolicy(Qt::NoFocus);
        layout->addWidget(b);
    }
    QObject::connect(up_, &QToolButton::clicked, [this] { RunHandler([this] { StepUp(); }); });
    QObject::connect(down_, &QToolButton::clicked, [this] { RunHandler([this] { StepDown(); }); });
}

void TUpDown::SetAssociate(TLabeledEdit* edit) {
    associate_ = edit;
    if (!edit) return;
    constexpr int width = 16;
    edit->SetEditBounds(edit->GetLeft(), edit->GetTop(), edit->GetWidth() - width, edit->GetHeight());
    SetBounds(edit->GetLeft() + edit->GetWidth(), edit->GetTop(), width, edit->GetHeight());
    SetPosition(position_);
}

void TUpDown::SetRange(int min, int max) {
    min_ = min;
    max_ = std::max(min, max);
    SetPosition(position_);
}

void TUpDown::SetPosition(int value) {
    position_ = std::clamp(value, min_, max_);
    if (associate_) associate_->SetText(System::Sysutils::IntToStr(position_));
    up_->setEnabled(position_ < max_);
    down_->setEnabled(position_ > min_);
}

TStatusBar::TStatusBar(TComponent* owner) : TWinControl(owner), bar_(new QStatusBar()), panel_(new QLabel()) {
    AttachWidget(bar_);
    bar_->setSizeGripEnabled(false);
    panel_->setTextFormat(Qt::PlainText);
    panel_->setIndent(2);
    bar_->addWidget(panel_, 1);
}

void TStatusBar::SetParent(TWinControl* parent) {
    TWinControl::SetParent(parent);
    if (!parent || !parent->ClientWidget()) return;
    constexpr int height = 19;
    const QWidget* host = parent->ClientWidget();
    SetBounds(0, host->height() - height, host->width(), height);
}

UnicodeString TStatusBar::GetSimpleText() const { return FromQString(panel_->text()); }
void TStatusBar::SetSimpleText(const UnicodeString& text) { panel_->setText(ToQString(text)); }

} // namespace Vcl
