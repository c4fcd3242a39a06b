#include "vcl/Controls.h"

#include <QFontDatabase>

#include "vcl/Application.h"

namespace Vcl {

QString ToQString(const UnicodeString& s) {
    return QString::fromUtf16(s.data(), static_cast<qsizetype>(s.Length()));
}

UnicodeString FromQString(const QString& s) {
    return UnicodeString(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<std::size_t>(s.size()));
}

QFont DesignFont(const QString& family, int pointSize) {
    QFont f;
    const int px = (pointSize * 96 + 36) / 72;
    if (QFontDatabase::hasFamily(family)) {
        f.setFamily(family);
    } else {
        f.setStyleHint(QFont::SansSerif);
        // A narrow sans keeps designed text widths inside designed bounds.
        for (const char* alt : {"Liberation Sans", "Arial", "DejaVu Sans Condensed", "DejaVu Sans"}) {
            if (QFontDatabase::hasFamily(alt)) {
                f.setFamily(alt);
                break;
            }
        }
    }
    f.setPixelSize(px);
    return f;
}

TControl::TControl(TComponent* owner) : TComponent(owner) {}

TControl::~TControl() {
    // Children's widgets went with their parent's widget already.
    delete widget_.data();
}

void TControl::AttachWidget(QWidget* w) { widget_ = w; }

void TControl::SetName(const UnicodeString& name) {
    name_ = name;
    if (Widget()) Widget()->setObjectName(ToQString(name));
}

void TControl::SetParent(TWinControl* parent) {
    parent_ = parent;
    if (!Widget()) return;
    QWidget* host = parent ? parent->ClientWidget() : nullptr;
    Widget()->setParent(host);
    if (host) Widget()->setVisible(visible_);
}

int TControl::GetLeft() const { return Widget() ? Widget()->x() : 0; }
int TControl::GetTop() const { return Widget() ? Widget()->y() : 0; }
int TControl::GetWidth() const { return Widget() ? Widget()->width() : 0; }
int TControl::GetHeight() const { return Widget() ? Widget()->height() : 0; }

void TControl::SetBounds(int left, int top, int width, int height) {
    if (Widget()) Widget()->setGeometry(left, top, width, height);
}

UnicodeString TControl::GetCaption() const { return caption_; }
void TControl::SetCaption(const UnicodeString& caption) { caption_ = caption; }

bool TControl::GetEnabled() const { return Widget() && Widget()->isEnabled(); }
void TControl::SetEnabled(bool enabled) {
    if (Widget()) Widget()->setEnabled(enabled);
}

bool TControl::GetVisible() const { return visible_; }
void TControl::SetVisible(bool visible) {
    visible_ = visible;
    if (Widget() && parent_) Widget()->setVisible(visible);
}

bool TWinControl::Focused() const { return Widget() && Widget()->hasFocus(); }

void TWinControl::SetFocus() {
    if (Widget()) Widget()->setFocus(Qt::OtherFocusReason);
}

void RunHandler(const std::function<void()>& f) noexcept {
    try {
        f();
    } catch (const Exception& e) {
        Application()->HandleException(&e);
    } catch (const std::exception& e) {
        const Exception wrapped(UnicodeString(e.what()));
        Application()->HandleException(&wrapped);
    } catch (...) {
        const Exception wrapped(UnicodeString("Unknown exception"));
        Application()->HandleException(&wrapped);
    }
}

} // namespace Vcl
