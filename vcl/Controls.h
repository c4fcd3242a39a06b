// The toolkit's control model on Qt widgets: components that own a widget
// and speak of Caption, Enabled, Left/Top/Width/Height and events, so the
// program's forms read as they were designed.
#pragma once
#include <functional>

#include <QPointer>
#include <QString>
#include <QWidget>

#include "rtl/Classes.h"
#include "rtl/Exception.h"
#include "rtl/UnicodeString.h"

namespace Vcl {

using System::UnicodeString;
using System::TObject;
using System::Classes::TComponent;

using TNotifyEvent = std::function<void(TObject* sender)>;

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

// Results of a modal show; the values are the platform's dialog ids.
using TModalResult = int;
constexpr TModalResult mrNone = 0;
constexpr TModalResult mrOk = 1;
constexpr TModalResult mrCancel = 2;
constexpr TModalResult mrAbort = 3;
constexpr TModalResult mrRetry = 4;
constexpr TModalResult mrIgnore = 5;
constexpr TModalResult mrYes = 6;
constexpr TModalResult mrNo = 7;

QString ToQString(const UnicodeString& s);
UnicodeString FromQString(const QString& s);

// The designed face, or a sans face of the same pixel size where it is
// not installed (8 pt at 96 dpi is 11 px).
QFont DesignFont(const QString& family, int pointSize);

class TWinControl;

class TControl : public TComponent {
public:
    explicit TControl(TComponent* owner);
    ~TControl() override;
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    UnicodeString GetName() const { return name_; }
    void SetName(const UnicodeString& name);

    TWinControl* GetParent() const { return parent_; }
    virtual void SetParent(TWinControl* parent);

    int GetLeft() const;
    int GetTop() const;
    int GetWidth() const;
    int GetHeight() const;
    void SetBounds(int left, int top, int width, int height);

    virtual UnicodeString GetCaption() const;
    virtual void SetCaption(const UnicodeString& caption);

    bool GetEnabled() const;
    void SetEnabled(bool enabled);
    bool GetVisible() const;
    void SetVisible(bool visible);

    // Null once Qt has destroyed the widget with its parent.
    QWidget* Widget() const { return widget_.data(); }

protected:
    // Takes ownership of the widget; subclasses call it from their
    // constructor.
    void AttachWidget(QWidget* w);

private:
    QPointer<QWidget> widget_;
    TWinControl* parent_ = nullptr;
    bool visible_ = true;
    UnicodeString name_;
    UnicodeString caption_;
};

// A control that holds other controls in its client widget.
class TWinControl : public TControl {
public:
    using TControl::TControl;
    // Where children's widgets go; the control's own widget by default.
    virtual QWidget* ClientWidget() const { return Widget(); }
    bool Focused() const;
    virtual void SetFocus();
};

// Makes a control owned by `owner`, placed on `parent` at the given bounds,
// with its designed name.
template <class C>
C* CreateControl(TComponent* owner, TWinControl* parent, const char* name, int left, int top, int width, int height) {
    C* c = new C(owner);
    c->SetName(UnicodeString(name));
    c->SetParent(parent);
    c->SetBounds(left, top, width, height);
    return c;
}

// Runs an event handler: an exception does not cross Qt's event loop but
// goes to the application's exception handling, as a handler's error
// would in the designed toolkit.
void RunHandler(const std::function<void()>& f) noexcept;

} // namespace Vcl
