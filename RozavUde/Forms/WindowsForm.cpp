#include "RozavUde/Forms/WindowsForm.h"

#include <chrono>
#include <thread>

#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Exceptions.h"
#include "core/Monitor.h"
#include "core/WaitHandle.h"
#include "platform/debug_output.h"
#include "platform/window_registry.h"
#include "vcl/Application.h"

namespace System {

using Threading::TMonitor;

std::atomic<int> TWindowsForm::s_inFlight{0};
std::atomic<int> TWindowsForm::s_destructions{0};

namespace {

const char* const kWindowNotValid = "Invoke failed - Window is not valid (Window may have been destroyed)";

void SleepOneMs() { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

// Holds an object's monitor for a scope.
class MonitorScope {
public:
    explicit MonitorScope(const gc_detail::pointer_base& o) : o_(o) { TMonitor::Enter(o_); }
    ~MonitorScope() { TMonitor::Exit(o_); }
    MonitorScope(const MonitorScope&) = delete;
    MonitorScope& operator=(const MonitorScope&) = delete;
private:
    const gc_detail::pointer_base& o_;
};

void SetCompleted(const gc_ptr<TAsyncWindowsFormInvokerResult>& r) {
    r->Completed();
    gc_ptr<Threading::TEventWaitHandle> ev(r->GetAsyncWaitHandle());
    if (ev) ev->Set();
}

} // namespace

TClass TWindowsForm::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TWindowsForm, Vcl::TForm>("TWindowsForm", "WindowsForm").Build();
    return &cls;
}

TWindowsForm::TWindowsForm(Classes::TComponent* owner)
    : Vcl::TForm(owner),
      pendingInvocations(gcnew<Collections::TGcList<gc_ptr<TAsyncWindowsFormInvokerResult>>>()),
      childForms(new TLockableList()),
      creatorThread(platform::current_thread_id()) {}

TWindowsForm::~TWindowsForm() {
    // Barrier with InternalBeginInvoke: no begin-invoke may be between its
    // validity check and its post while this form goes away.
    s_destructions.fetch_add(1);
    destroying.store(true);
    while (s_inFlight.load() != 0) SleepOneMs();
    s_destructions.fetch_sub(1);

    // Run what was posted but not processed, so no EndInvoke waits forever.
    std::vector<gc_ptr<TAsyncWindowsFormInvokerResult>> pending;
    {
        MonitorScope lock(pendingInvocations);
        for (int i = 0; i < pendingInvocations->GetCount(); ++i) pending.push_back(pendingInvocations->GetItem(i));
    }
    for (auto& r : pending) DoActualInvoke(r);

    if (platform::current_thread_id() != creatorThread)
        common_assert("\"ERROR\" == \"Form must be destroyed by the thread it was created\"",
                      "RozavUde\\WindowsForm.cpp", 71);

    if (shown) {
        try {
            Close();
        } catch (...) {
        }
    }
    if (auto* ownerForm = dynamic_cast<TWindowsForm*>(GetOwner()); ownerForm && ownerForm->childForms)
        ownerForm->childForms->Remove(this);
    if (handlerRegistered) {
        Threading::Global::SetThreadExceptionHandler(Threading::ThreadExceptionEvent{});
        handlerRegistered = false;
    }
    delete childForms;
    childForms = nullptr;
}

gc_ptr<TAsyncResult> TWindowsForm::InternalBeginInvoke(gc_ptr<InvokePtrImplBaseBase> invoker) {
    while (s_destructions.load() != 0) SleepOneMs();
    s_inFlight.fetch_add(1);
    struct leave {
        ~leave() { s_inFlight.fetch_sub(1); }
    } l;

    EnsureWindowValid();
    auto result = gcnew<TAsyncWindowsFormInvokerResult>(gc_ptr<TObject>(), invoker);
    if (GetInvokeRequired()) {
        bool posted;
        {
            MonitorScope lock(pendingInvocations);
            pendingInvocations->Add(result);
            posted = platform::PostMessage(GetHandle(), WM_BEGININVOKE,
                                           reinterpret_cast<Vcl::WPARAM>(result.get()), 0);
            if (!posted) pendingInvocations->Remove(result);
        }
        // Nothing would ever complete a result whose message was refused:
        // it ends now, with the reason, for its EndInvoke.
        if (!posted) {
            result->Fail(kWindowNotValid);
            SetCompleted(result);
        }
    } else {
        DoActualInvoke(result);
        result->SetCompletedSynchronously(true);
    }
    return gc_ptr<TAsyncResult>(result);
}

void TWindowsForm::WndProc(Vcl::TMessage& message) {
    if (message.Msg == WM_BEGININVOKE) HandleBeginInvokeMessage(message);
    Vcl::TForm::WndProc(message);
}

void TWindowsForm::HandleBeginInvokeMessage(Vcl::TMessage& message) {
    // Refuses (ENullReference/EManagedMemoryCorrupt) an address that is not
    // a live managed object.
    gc_ptr<TAsyncWindowsFormInvokerResult> r(reinterpret_cast<TAsyncWindowsFormInvokerResult*>(message.WParam));
    DoActualInvoke(r);
}

void TWindowsForm::DoActualInvoke(gc_ptr<TAsyncWindowsFormInvokerResult> result) {
    if (!result || result->GetIsCompleted()) return; // already run by the destructor
    result->Invoke();
    MonitorScope lock(pendingInvocations);
    SetCompleted(result);
    pendingInvocations->Remove(result);
}

void TWindowsForm::EndInvoke(gc_ptr<TAsyncResult> result) {
    gc_ptr<TAsyncWindowsFormInvokerResult> r(result);
    if (!r) throw EArgumentNull("asyncResult");
    if (!r->GetCompletedSynchronously()) r->GetAsyncWaitHandle()->WaitOne();
    r->SetEndCalled(true);
    if (r->GetHasException()) throw ETargetInvocationException(r->GetExceptionMessage());
}

bool TWindowsForm::GetInvokeRequired() const {
    return platform::GetWindowThreadProcessId(GetHandle(), nullptr) != platform::current_thread_id();
}

void TWindowsForm::EnsureWindowValid() const {
    bool valid = false;
    try {
        valid = !destroying.load() && platform::IsWindow(GetHandle());
    } catch (...) {
        valid = false;
    }
    if (!valid) throw Sysutils::EInvalidOperation(kWindowNotValid);
}

void TWindowsForm::DoShow() {
    if (Vcl::Application()->GetMainForm() == this && !handlerRegistered) {
        Threading::ThreadExceptionEvent handler;
        handler.closure = TClosure<void(gc_ptr<Threading::TPooledThread>, Exception*)>::Of<
            &TWindowsForm::OnThreadException>(this);
        Threading::Global::SetThreadExceptionHandler(handler);
        handlerRegistered = true;
    }
    shown = true;
    Vcl::TForm::DoShow();
}

void TWindowsForm::DoClose(Vcl::TCloseAction& action) {
    CloseAllChildForms();
    Vcl::TForm::DoClose(action);
    shown = false;
}

bool TWindowsForm::CloseAllChildForms() {
    if (!childForms) return true;
    std::vector<Vcl::TForm*> children;
    Classes::TList* list = childForms->LockList();
    try {
        for (int i = 0; i < list->Count(); ++i) children.push_back(static_cast<Vcl::TForm*>(list->Get(i)));
        for (Vcl::TForm* f : children) f->Close();
    } catch (...) {
        childForms->UnlockList();
        throw;
    }
    childForms->UnlockList();
    for (Vcl::TForm* f : children)
        if (f->GetShowing()) return false;
    return true;
}

Vcl::TForm* TWindowsForm::CreateChildForm(TClass instanceClass) {
    Classes::TComponent* c = Objectactivator::TObjectActivator::ActivateComponent(instanceClass, this);
    auto* form = dynamic_cast<TWindowsForm*>(c);
    if (!form) {
        delete c;
        throw Exception("TWindowsForm::CreateChildForm instanceClass must be a WindowsForm classID");
    }
    childForms->Add(form);
    return form;
}

void TWindowsForm::OnThreadException(gc_ptr<Threading::TPooledThread>, Exception* e) { ThreadShowException(e); }

void TWindowsForm::ThreadShowException(Exception* e) {
    if (!handlerRegistered) return;
    const UnicodeString message = e ? e->Message() : UnicodeString("Unknown exception");
    if (showingException.exchange(1) == 1) {
        platform::output_debug_string("<<< THREAD EXCEPTION >>> " + message.ToUtf8() +
                                      " (shown here because another thread is showing exception)");
        return;
    }
    try {
        Invoke<&TWindowsForm::ShowThreadExceptionOnWindow>(this, e);
    } catch (const Exception& failed) {
        // The window went away: the exception is not lost, it goes to the
        // debugger output.
        platform::output_debug_string("<<< THREAD EXCEPTION >>> " + message.ToUtf8() + " (" +
                                      failed.Message().ToUtf8() + ")");
    }
    if (handlerRegistered) showingException.store(0);
}

void TWindowsForm::ShowThreadExceptionOnWindow(Exception* e) { Vcl::Application()->ShowException(e); }

} // namespace System
