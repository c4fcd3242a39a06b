// Bound methods: the library calls back into client objects through them.
// A closure is a code pointer and an object pointer; a delegate adds a
// managed pointer that keeps the object alive. The bound object must be
// managed.
#pragma once
#include <string>
#include <typeinfo>
#include <utility>

#include "GC/GarbageCollector.h"
#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "rtl/TypInfo.h"
#include "rtl/TypeName.h"

namespace System {

template <class F> struct TClosure;

template <class R, class... A>
struct TClosure<R(A...)> {
    R (*code)(void* self, A... args) = nullptr;
    void* self = nullptr;

    R operator()(A... args) const { return code(self, std::forward<A>(args)...); }
    explicit operator bool() const noexcept { return code != nullptr; }

    // The closure of a method of an object: TClosure<void(int)>::Of<&C::M>(obj).
    template <auto Method, class C>
    static TClosure Of(C* object) noexcept {
        TClosure c;
        c.code = [](void* s, A... args) -> R { return (static_cast<C*>(s)->*Method)(std::forward<A>(args)...); };
        c.self = object;
        return c;
    }
};

[[noreturn]] void throw_unmanaged_delegate();

// One bound method: closure, then the pointer that keeps its object alive.
template <class F>
struct TDelegate {
    TClosure<F> closure;
    gc_detail::pointer_base object;

    template <class... A>
    decltype(auto) operator()(A&&... args) const { return closure(std::forward<A>(args)...); }
    explicit operator bool() const noexcept { return static_cast<bool>(closure); }

    // The delegate of a method of a managed object.
    template <auto Method, class C>
    static TDelegate Of(C* object) {
        if (!object || !TGarbageCollector::IsObjectManaged(gc_detail::object_start(object))) throw_unmanaged_delegate();
        TDelegate d;
        d.closure = TClosure<F>::template Of<Method>(object);
        d.object.store_target(const_cast<void*>(gc_detail::object_start(object)));
        return d;
    }
};

// Delegates over one or more bound methods, called in index order.
template <class F>
class MulticastDelegate {
public:
    MulticastDelegate() = default;
    explicit MulticastDelegate(const gc_array<TDelegate<F>>& items) : items_(items) {}

    // A one-element delegate over a method of a managed object.
    template <auto Method, class C>
    static MulticastDelegate Create(C* object) {
        if (!object || !TGarbageCollector::IsObjectManaged(gc_detail::object_start(object))) throw_unmanaged_delegate();
        gc_array<TDelegate<F>> a = gcnew_array<TDelegate<F>>(1);
        a[0].closure = TClosure<F>::template Of<Method>(object);
        a[0].object.store_target(const_cast<void*>(gc_detail::object_start(object)));
        return MulticastDelegate(a);
    }
    template <auto Method, class C>
    static MulticastDelegate Create(const gc_ptr<C>& object) {
        return Create<Method>(object.get());
    }

    template <class... A>
    void Invoke(A&&... args) const {
        if (!items_) return;
        for (int i = 0, n = items_.Length(); i < n; ++i) items_[i].closure(args...);
    }
    template <class... A>
    void operator()(A&&... args) const { Invoke(std::forward<A>(args)...); }

    explicit operator bool() const noexcept { return static_cast<bool>(items_); }
    const gc_array<TDelegate<F>>& Items() const noexcept { return items_; }

private:
    gc_array<TDelegate<F>> items_;
};

// Invokers: deferred calls held through gc_ptr (work items, timers,
// calls marshalled to the window thread).
class InvokePtrImplBaseBase {
public:
    virtual ~InvokePtrImplBaseBase();
    virtual void Invoke() = 0;
    // True when the bound object is not a managed object.
    virtual bool IsUnsafeTarget() const = 0;
    virtual std::string InvokerTypeName() const { return QualifiedTypeName(typeid(*this)); }
    // An object the invoker owns and destroys with itself.
    void SetOwned(TObject* o) noexcept { owned_ = o; }
protected:
    TObject* owned_ = nullptr;
};

class InvokePtrImplProcBase : public InvokePtrImplBaseBase {};

template <class F>
class InvokePtrImplBase : public InvokePtrImplProcBase {
public:
    explicit InvokePtrImplBase(const TClosure<F>& c) : closure_(c) {
        if (c.self && TGarbageCollector::IsObjectManaged(c.self)) keep_.store_target(c.self);
    }
    bool IsUnsafeTarget() const override {
        return closure_.self != nullptr && !TGarbageCollector::IsObjectManaged(closure_.self);
    }
protected:
    TClosure<F> closure_;
    gc_detail::pointer_base keep_;
};

template <class F>
class InvokePtrImpl0 : public InvokePtrImplBase<F> {
public:
    using InvokePtrImplBase<F>::InvokePtrImplBase;
    void Invoke() override { this->closure_(); }
};

template <class F, class A>
class InvokePtrImpl1 : public InvokePtrImplBase<F> {
public:
    InvokePtrImpl1(const TClosure<F>& c, A arg) : InvokePtrImplBase<F>(c), arg_(std::move(arg)) {}
    void Invoke() override { this->closure_(arg_); }
private:
    A arg_;
};

} // namespace System
