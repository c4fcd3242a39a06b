// One call marshalled to a window's thread: the result its caller waits on,
// carrying the call and, once run, the exception the call raised.
#pragma once
#include <exception>
#include <functional>

#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "core/Delegates.h"
#include "rtl/Exception.h"

namespace System {

class TAsyncWindowsFormInvokerResult : public TAsyncResult {
public:
    TAsyncWindowsFormInvokerResult(gc_ptr<TObject> state, gc_ptr<InvokePtrImplBaseBase> invoker);

    gc_ptr<InvokePtrImplBaseBase> GetInvoker() const { return invoker; }
    // Runs the call once; its exception is kept, never thrown.
    void Invoke();
    // Ends the result without running the call (the message never reached
    // the window).
    void Fail(const UnicodeString& message);

    bool GetHasException() const { return hasException; }
    UnicodeString GetExceptionMessage() const { return exceptionMessage; }
    // The exception itself, for callers that want its type.
    std::exception_ptr GetException() const { return exception; }

private:
    gc_ptr<InvokePtrImplBaseBase> invoker;
    bool invoked = false;
    bool hasException = false;
    UnicodeString exceptionMessage;
    std::exception_ptr exception;
};

// A call of a function object, for work that is not a method of a managed
// object.
class TFunctionInvoker : public InvokePtrImplBaseBase {
public:
    explicit TFunctionInvoker(std::function<void()> f) : f_(std::move(f)) {}
    void Invoke() override { f_(); }
    bool IsUnsafeTarget() const override { return false; }
private:
    std::function<void()> f_;
};

gc_ptr<InvokePtrImplBaseBase> MakeInvoker(std::function<void()> f);

} // namespace System
