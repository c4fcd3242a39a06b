#include "vcl/StdCtrls.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include "vcl/Forms.h"

namespace Vcl {

TButton::TButton(TComponent* owner) : TWinControl(owner), button_(new QPushButton()) {
    AttachWidget(button_);
    button_->setAutoDefault(false);
    QObject::connect(button_, &QPushButton::clicked, [this] { RunHandler([this] { Click(); }); });
}

void TButton::SetCaption(const UnicodeString& caption) {
    TWinControl::SetCaption(caption);
    button_->setText(ToQString(caption));
}

void TButton::SetDefault(bool value) {
    default_ = value;
    button_->setDefault(value);
    if (TForm* f = GetParentForm(this)) f->SetDefaultButton(value ? this : nullptr);
}

void TButton::SetCancel(bool value) {
    cancel_ = value;
    if (TForm* f = GetParentForm(this)) f->SetCancelButton(value ? this : nullptr);
}

void TButton::Click() {
    if (ModalResult != mrNone)
        if (TForm* f = GetParentForm(this)) f->SetModalResult(ModalResult);
    if (OnClick) OnClick(this);
}

TLabel::TLabel(TComponent* owner) : TControl(owner), label_(new QLabel()) {
    AttachWidget(label_);
    label_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label_->setTextFormat(Qt::PlainText);
}

void TLabel::SetCaption(const UnicodeString& caption) {
    TControl::SetCaption(caption);
    label_->setText(ToQString(caption).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TLabel::SetAlignment(TAlignment a) {
    Qt::Alignment h = a == TAlignment::taRightJustify ? Qt::AlignRight
                      : a == TAlignment::taCenter     ? Qt::AlignHCenter
                                                      : Qt::AlignLeft;
    label_->setAlignment(h | Qt::AlignTop);
}

void TLabel::SetWordWrap(bool wrap) { label_->setWordWrap(wrap); }

TRadioButton::TRadioButton(TComponent* owner) : TWinControl(owner), radio_(new QRadioButton()) {
    AttachWidget(radio_);
    QObject::connect(radio_, &QRadioButton::clicked, [this] {
        RunHandler([this] {
            if (OnClick) OnClick(this);
        });
    });
}

void TRadioButton::SetCaption(const UnicodeString& caption) {
    TWinControl::SetCaption(caption);
    radio_->setText(ToQString(caption));
}

bool TRadioButton::GetChecked() const { return radio_->isChecked(); }
void TRadioButton::SetChecked(bool checked) { radio_->setChecked(checked); }

TGroupBox::TGroupBox(TComponent* owner) : TWinControl(owner), box_(new QGroupBox()) {
    AttachWidget(box_);
    // The title sits on the frame's top line, which stops on either side
    // of it, as the designed toolkit draws it; Qt's own styles put it above.
    box_->setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
        "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left; left: 6px;"
        " top: 0px; padding: 0px; background-color: palette(window); }"));
}

void TGroupBox::SetCaption(const UnicodeString& caption) {
    TWinControl::SetCaption(caption);
    box_->setTitle(ToQString(caption));
}

} // namespace Vcl
