// Forms: top-level windows with a handle in the library's window registry,
// a window procedure that receives posted messages on the window's thread,
// show and close notifications, a close query, modal showing with
// ModalResult, and the owner relation between forms.
#pragma once
#include <cstdint>
#include <functional>

#include "platform/window_registry.h"
#include "rtl/TypInfo.h"
#include "vcl/Controls.h"

class QVBoxLayout;

namespace Vcl {

using platform::HWND;
using platform::LPARAM;
using platform::UINT;
using platform::WPARAM;

constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_USER = 0x0400;

struct TMessage {
    UINT Msg = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    std::intptr_t Result = 0;
};

enum class TCloseAction { caNone, caHide, caFree, caMinimize };
// bsSingle: fixed frame with system menu and minimise box; bsDialog: fixed
// dialog frame without minimise box.
enum class TFormBorderStyle { bsSingle, bsDialog };
enum class TPosition { poDesigned, poScreenCenter, poOwnerFormCenter };

using TCloseEvent = std::function<void(TObject* sender, TCloseAction& action)>;
using TCloseQueryEvent = std::function<void(TObject* sender, bool& canClose)>;

class TButton;
class TMainMenu;

class TForm : public TWinControl {
public:
    NORVANE_CLASS_INFO()
    explicit TForm(TComponent* owner);
    ~TForm() override;

    // The handle stays the same for the form's life unless DestroyHandle
    // takes it out of the registry.
    HWND GetHandle() const { return handle_; }
    bool HandleAllocated() const;
    void DestroyHandle();

    void SetCaption(const UnicodeString& caption) override;
    int GetClientWidth() const;
    int GetClientHeight() const;
    void SetClientSize(int width, int height);
    void SetBorderStyle(TFormBorderStyle style);
    void SetPosition(TPosition p) { position_ = p; }
    // The frame's place on the screen; once set, showing keeps it.
    void SetLeft(int left);
    void SetTop(int top);
    QWidget* ClientWidget() const override;

    void Show();
    void Hide();
    // A modal form ends its modal loop with mrCancel; any other form asks
    // the close query, notifies OnClose and hides (the main form also
    // ends the application's loop).
    void Close();
    virtual bool CloseQuery();
    bool GetShowing() const { return showing_; }

    // Runs a local message loop until ModalResult is set and the close
    // query allows closing.
    TModalResult ShowModal();
    TModalResult GetModalResult() const { return modalResult_; }
    void SetModalResult(TModalResult r) { modalResult_ = r; }
    bool GetModal() const { return modal_; }

    // Enter clicks the default button, Escape the cancel button.
    void SetDefaultButton(TButton* b) { defaultButton_ = b; }
    void SetCancelButton(TButton* b) { cancelButton_ = b; }
    void SetMenu(TMainMenu* menu);

    TNotifyEvent OnShow;
    TCloseEvent OnClose;
    TCloseQueryEvent OnCloseQuery;

    // Every message for the form's handle passes here on the window thread.
    virtual void WndProc(TMessage& message);

    // Called by the form's widget; not for the program.
    void HandleKey(int key);
    void HandleSystemClose();

protected:
    virtual void DoShow();
    virtual void DoClose(TCloseAction& action);
    virtual void Dispatch(TMessage& message);

private:
    void CloseModal();
    void PlaceOnShow();

    HWND handle_ = nullptr;
    QWidget* client_ = nullptr;
    QVBoxLayout* layout_ = nullptr;
    TFormBorderStyle borderStyle_ = TFormBorderStyle::bsSingle;
    TPosition position_ = TPosition::poDesigned;
    TModalResult modalResult_ = mrNone;
    bool modal_ = false;
    bool showing_ = false;
    bool placed_ = false;
    TButton* defaultButton_ = nullptr;
    TButton* cancelButton_ = nullptr;
};

// The form a control sits on, or null.
TForm* GetParentForm(TControl* control);

} // namespace Vcl
