#include "vcl/Menus.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

#include "vcl/Forms.h"

namespace Vcl {

TMenuItem::TMenuItem(TComponent* owner) : TComponent(owner) {}

void TMenuItem::SetCaption(const UnicodeString& caption) {
    caption_ = caption;
    if (action_) action_->setText(ToQString(caption));
    if (menu_) menu_->setTitle(ToQString(caption));
}

void TMenuItem::SetEnabled(bool value) {
    enabled_ = value;
    if (action_) action_->setEnabled(value);
    if (menu_) menu_->setEnabled(value);
}

void TMenuItem::Add(TMenuItem* item) { items_.push_back(item); }

void TMenuItem::Click() {
    if (enabled_ && OnClick) OnClick(this);
}

void TMenuItem::Realize(QMenuBar* bar, QMenu* parentMenu) {
    if (!items_.empty()) {
        menu_ = bar ? bar->addMenu(ToQString(caption_)) : parentMenu->addMenu(ToQString(caption_));
        for (TMenuItem* i : items_) i->Realize(nullptr, menu_);
        menu_->setEnabled(enabled_);
        action_ = menu_->menuAction();
        return;
    }
    if (caption_ == "-") {
        action_ = parentMenu ? parentMenu->addSeparator() : bar->addSeparator();
        return;
    }
    action_ = parentMenu ? parentMenu->addAction(ToQString(caption_)) : bar->addAction(ToQString(caption_));
    action_->setEnabled(enabled_);
    QObject::connect(action_, &QAction::triggered, [this] { RunHandler([this] { Click(); }); });
}

TMainMenu::TMainMenu(TComponent* owner) : TComponent(owner), bar_(new QMenuBar()) {}

TMainMenu::~TMainMenu() {
    // The form's layout owns the bar once attached; otherwise it is ours.
    if (bar_ && !bar_->parent()) delete bar_.data();
}

void TMainMenu::Add(TMenuItem* item) {
    item->Realize(bar_, nullptr);
}

void TMainMenu::Attach(TForm* form) { form->SetMenu(this); }

} // namespace Vcl
