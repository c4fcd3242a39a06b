// The main menu: a menu bar of items, each with sub-items; an item whose
// caption is "-" is a separator.
#pragma once
#include <vector>

#include <QPointer>
#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "vcl/Controls.h"


namespace Vcl {

class TForm;

class TMenuItem : public TComponent {
public:
    explicit TMenuItem(TComponent* owner);
    UnicodeString GetName() const { return name_; }
    void SetName(const UnicodeString& n) { name_ = n; }
    UnicodeString GetCaption() const { return caption_; }
    void SetCaption(const UnicodeString& caption);
    bool GetEnabled() const { return enabled_; }
    void SetEnabled(bool value);
    void Add(TMenuItem* item);
    int Count() const { return static_cast<int>(items_.size()); }
    TMenuItem* Items(int i) const { return items_.at(static_cast<std::size_t>(i)); }
    // What choosing the item does (disabled items do nothing).
    void Click();
    TNotifyEvent OnClick;

    // The Qt side, made when the item is put in its menu.
    QAction* Action() const { return action_; }
    void Realize(QMenuBar* bar, QMenu* parentMenu);

private:
    UnicodeString name_;
    UnicodeString caption_;
    bool enabled_ = true;
    std::vector<TMenuItem*> items_;
    QPointer<QAction> action_;
    QPointer<QMenu> menu_;
};

class TMainMenu : public TComponent {
public:
    explicit TMainMenu(TComponent* owner);
    ~TMainMenu() override;
    TMainMenu(const TMainMenu&) = delete;
    TMainMenu& operator=(const TMainMenu&) = delete;
    // Top-level entries ("&File", "&Help").
    void Add(TMenuItem* item);
    // Puts the menu bar on the form; call after the items are added.
    void Attach(TForm* form);
    QMenuBar* MenuBar() const { return bar_; }
private:
    QPointer<QMenuBar> bar_;
};

} // namespace Vcl
