#include "RozavUde/Forms/AsyncWindowsFormInvokerResult.h"

namespace System {

TAsyncWindowsFormInvokerResult::TAsyncWindowsFormInvokerResult(gc_ptr<TObject> state,
                                                               gc_ptr<InvokePtrImplBaseBase> invoker_)
    : TAsyncResult(gc_ptr<TObject>(), state), invoker(invoker_) {}

void TAsyncWindowsFormInvokerResult::Invoke() {
    if (invoked) return;
    invoked = true;
    try {
        if (invoker) invoker->Invoke();
    } catch (const Exception& e) {
        hasException = true;
        exceptionMessage = e.Message();
        exception = std::current_exception();
    } catch (const std::exception& e) {
        hasException = true;
        exceptionMessage = UnicodeString(e.what());
        exception = std::current_exception();
    } catch (...) {
        hasException = true;
        exceptionMessage = "Unknown exception";
        exception = std::current_exception();
    }
}

void TAsyncWindowsFormInvokerResult::Fail(const UnicodeString& message) {
    invoked = true;
    hasException = true;
    exceptionMessage = message;
    exception = std::make_exception_ptr(Sysutils::EInvalidOperation(message));
}

gc_ptr<InvokePtrImplBaseBase> MakeInvoker(std::function<void()> f) {
    return gc_ptr<InvokePtrImplBaseBase>(gcnew<TFunctionInvoker>(std::move(f)));
}

} // namespace System
