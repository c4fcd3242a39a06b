// The program's form base class: calls from any thread run on the thread
// that owns the window, child forms close with their parent, and
// exceptions of the library's worker threads are shown on the main window.
#pragma once
#include <atomic>

#include "collections/GcList.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/Forms/AsyncWindowsFormInvokerResult.h"
#include "RozavUde/PooledThread.h"
#include "core/Delegates.h"
#include "core/Objects.h"
#include "platform/system.h"
#include "vcl/Forms.h"

namespace System {

class TWindowsForm : public Vcl::TForm {
public:
    NORVANE_CLASS_INFO()
    // The private message that carries a pending invocation in WParam.
    static constexpr Vcl::UINT WM_BEGININVOKE = Vcl::WM_USER + 1;

    explicit TWindowsForm(Classes::TComponent* owner);
    ~TWindowsForm() override;

    virtual gc_ptr<TAsyncResult> InternalBeginInvoke(gc_ptr<InvokePtrImplBaseBase> invoker);
    virtual void HandleBeginInvokeMessage(Vcl::TMessage& message);
    virtual void DoActualInvoke(gc_ptr<TAsyncWindowsFormInvokerResult> result);
    virtual void ThreadShowException(Exception* e);
    virtual void OnThreadException(gc_ptr<Threading::TPooledThread> thread, Exception* e);
    virtual Vcl::TForm* CreateChildForm(TClass instanceClass);
    virtual bool CloseAllChildForms();

    // Waits for the call and raises ETargetInvocationException with its
    // exception's message when it failed.
    void EndInvoke(gc_ptr<TAsyncResult> result);

    // A synchronous call of target->Method(arg) on the window's thread.
    template <auto Method, class C, class A>
    void Invoke(C* target, A arg) {
        auto invoker = gcnew<InvokePtrImpl1<void(A), A>>(TClosure<void(A)>::template Of<Method>(target), arg);
        EndInvoke(InternalBeginInvoke(gc_ptr<InvokePtrImplBaseBase>(invoker)));
    }
    // The same for a function object.
    void Invoke(std::function<void()> f) { EndInvoke(InternalBeginInvoke(MakeInvoker(std::move(f)))); }

    bool GetInvokeRequired() const;
    // EInvalidOperation unless the window can take posted calls.
    void EnsureWindowValid() const;
    TLockableList* GetChildForms() const { return childForms; }
    bool GetHandlerRegistered() const { return handlerRegistered; }

    void WndProc(Vcl::TMessage& message) override;

    // Invocations in flight and destructions in progress, process-wide.
    static int BeginInvokesInFlight() noexcept { return s_inFlight.load(); }
    static int DestructionsInProgress() noexcept { return s_destructions.load(); }

protected:
    void DoShow() override;
    void DoClose(Vcl::TCloseAction& action) override;

private:
    void ShowThreadExceptionOnWindow(Exception* e);

    bool handlerRegistered = false;
    std::atomic<int> showingException{0};
    bool shown = false;
    std::atomic<bool> destroying{false};
    gc_ptr<Collections::TGcList<gc_ptr<TAsyncWindowsFormInvokerResult>>> pendingInvocations;
    TLockableList* childForms = nullptr;
    platform::thread_id_t creatorThread = 0;

    static std::atomic<int> s_inFlight;
    static std::atomic<int> s_destructions;
};

} // namespace System
