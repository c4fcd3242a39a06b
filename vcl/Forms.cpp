#include "vcl/Forms.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMenuBar>
#include <QScreen>
#include <QVBoxLayout>

#include "vcl/Application.h"
#include "vcl/Menus.h"
#include "vcl/StdCtrls.h"

namespace Vcl {

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TMessageEvent : public QEvent {
public:
    TMessageEvent(UINT msg, WPARAM w, LPARAM l) : QEvent(kMessageEvent), message{msg, w, l, 0} {}
    TMessage message;
};

class TFormWidget : public QWidget {
public:
    TFormWidget(TForm* form, QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags), form_(form) {}

protected:
    bool event(QEvent* e) override {
        if (e->type() == kMessageEvent) {
            TMessage m = static_cast<TMessageEvent*>(e)->message;
            RunHandler([&] { form_->WndProc(m); });
            return true;
        }
        return QWidget::event(e);
    }
    void closeEvent(QCloseEvent* e) override {
        // The form decides: it hides itself when the close is allowed.
        e->ignore();
        RunHandler([&] { form_->HandleSystemClose(); });
    }
    void keyPressEvent(QKeyEvent* e) override {
        const int k = e->key();
        if (k == Qt::Key_Return || k == Qt::Key_Enter || k == Qt::Key_Escape) {
            RunHandler([&] { form_->HandleKey(k); });
            return;
        }
        QWidget::keyPressEvent(e);
    }

private:
    TForm* form_;
};

void PostToForm(void* context, UINT msg, WPARAM w, LPARAM l) {
    // Thread-safe; events still queued when the widget dies are dropped.
    QCoreApplication::postEvent(static_cast<QObject*>(context), new TMessageEvent(msg, w, l));
}

TForm* AsForm(TComponent* c) { return dynamic_cast<TForm*>(c); }

} // namespace

System::TClass TForm::StaticClass() {
    static const System::TMetaClass cls = System::TClassBuilder<TForm, TComponent>("TForm", "Forms").Build();
    return &cls;
}

TForm::TForm(TComponent* owner) : TWinControl(owner) {
    TForm* ownerForm = AsForm(owner);
    // A form owned by another form is a dialog over it: it stays above it
    // and has no task-bar button of its own.
    QWidget* parentWidget = ownerForm ? ownerForm->Widget() : nullptr;
    auto* w = new TFormWidget(this, parentWidget, parentWidget ? Qt::Dialog : Qt::Window);
    AttachWidget(w);
    w->setAttribute(Qt::WA_DeleteOnClose, false);
    w->setFont(Application()->DefaultFont());
    layout_ = new QVBoxLayout(w);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(0);
    layout_->setSizeConstraint(QLayout::SetFixedSize);
    client_ = new QWidget(w);
    client_->setFixedSize(300, 200);
    layout_->addWidget(client_);
    SetBorderStyle(TFormBorderStyle::bsSingle);

    platform::window_info info;
    info.owner = ownerForm ? ownerForm->GetHandle() : nullptr;
    info.post = &PostToForm;
    info.context = static_cast<QObject*>(w);
    handle_ = platform::register_window(info);
    if (!Application()->GetMainForm() && !ownerForm) Application()->SetMainForm(this);
}

TForm::~TForm() {
    DestroyHandle();
    Application()->FormDestroyed(this);
}

bool TForm::HandleAllocated() const { return handle_ && platform::IsWindow(handle_); }

void TForm::DestroyHandle() {
    if (handle_) platform::unregister_window(handle_);
}

void TForm::SetCaption(const UnicodeString& caption) {
    TWinControl::SetCaption(caption);
    if (Widget()) Widget()->setWindowTitle(ToQString(caption));
}

int TForm::GetClientWidth() const { return client_->width(); }
int TForm::GetClientHeight() const { return client_->height(); }
void TForm::SetClientSize(int width, int height) { client_->setFixedSize(width, height); }
QWidget* TForm::ClientWidget() const { return client_; }

void TForm::SetLeft(int left) {
    if (!Widget()) return;
    Widget()->move(left, Widget()->y());
    placed_ = true;
}

void TForm::SetTop(int top) {
    if (!Widget()) return;
    Widget()->move(Widget()->x(), top);
    placed_ = true;
}

void TForm::SetBorderStyle(TFormBorderStyle style) {
    borderStyle_ = style;
    if (!Widget()) return;
    Qt::WindowFlags f = Widget()->windowFlags() & Qt::WindowType_Mask;
    f |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style == TFormBorderStyle::bsSingle) f |= Qt::WindowMinimizeButtonHint;
    Widget()->setWindowFlags(f);
}

void TForm::SetMenu(TMainMenu* menu) {
    if (!Widget() || !menu) return;
    layout_->setMenuBar(menu->MenuBar());
}

void TForm::PlaceOnShow() {
    QWidget* w = Widget();
    w->adjustSize();
    QRect area;
    if (position_ == TPosition::poOwnerFormCenter) {
        if (TForm* owner = AsForm(GetOwner()); owner && owner->Widget()) area = owner->Widget()->frameGeometry();
    }
    if (area.isNull() && position_ != TPosition::poDesigned) {
        if (QScreen* s = QGuiApplication::primaryScreen()) area = s->availableGeometry();
    }
    if (!area.isNull()) {
        QRect r = w->frameGeometry();
        r.moveCenter(area.center());
        w->move(r.topLeft());
    }
}

void TForm::Show() {
    QWidget* w = Widget();
    if (!w) return;
    if (!placed_) {
        PlaceOnShow();
        placed_ = true;
    }
    DoShow();
    w->show();
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        w->raise();
        w->activateWindow();
    }
    showing_ = true;
    platform::set_window_visible(handle_, true);
}

void TForm::Hide() {
    if (Widget()) Widget()->hide();
    showing_ = false;
    platform::set_window_visible(handle_, false);
}

bool TForm::CloseQuery() {
    bool canClose = true;
    if (OnCloseQuery) OnCloseQuery(this, canClose);
    return canClose;
}

void TForm::Close() {
    if (modal_) {
        modalResult_ = mrCancel;
        return;
    }
    if (!CloseQuery()) return;
    TCloseAction action = TCloseAction::caHide;
    DoClose(action);
    if (action == TCloseAction::caNone) return;
    Hide();
    if (Application()->GetMainForm() == this) Application()->Terminate();
}

void TForm::HandleSystemClose() { Close(); }

void TForm::DoShow() {
    if (OnShow) OnShow(this);
}

void TForm::DoClose(TCloseAction& action) {
    if (OnClose) OnClose(this, action);
}

void TForm::CloseModal() {
    TCloseAction action = TCloseAction::caNone;
    if (CloseQuery()) {
        action = TCloseAction::caHide;
        DoClose(action);
    }
    if (action == TCloseAction::caNone) modalResult_ = mrNone;
}

TModalResult TForm::ShowModal() {
    if (modal_ || showing_) throw Sysutils::EInvalidOperation("Cannot make a visible window modal");
    modal_ = true;
    modalResult_ = mrNone;
    Widget()->setWindowModality(Qt::ApplicationModal);
    struct restore {
        TForm* f;
        ~restore() {
            f->Hide();
            if (f->Widget()) f->Widget()->setWindowModality(Qt::NonModal);
            f->modal_ = false;
        }
    } r{this};
    Show();
    do {
        Application()->HandleMessage();
        if (Application()->GetTerminated()) modalResult_ = mrCancel;
        if (modalResult_ != mrNone) {
            // A terminating application closes the dialog whatever the
            // close query says.
            if (Application()->GetTerminated()) break;
            CloseModal();
        }
    } while (modalResult_ == mrNone);
    return modalResult_;
}

void TForm::HandleKey(int key) {
    TButton* b = (key == Qt::Key_Escape) ? cancelButton_ : defaultButton_;
    if (b && b->GetEnabled() && b->GetVisible()) b->Click();
}

void TForm::WndProc(TMessage& message) { Dispatch(message); }

void TForm::Dispatch(TMessage& message) {
    if (message.Msg == WM_CLOSE) Close();
}

TForm* GetParentForm(TControl* control) {
    for (TControl* c = control; c; c = c->GetParent())
        if (TForm* f = dynamic_cast<TForm*>(c)) return f;
    return nullptr;
}

} // namespace Vcl
