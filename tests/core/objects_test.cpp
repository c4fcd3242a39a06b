#include "core/Objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "GC/collector.h"
#include "core/Delegates.h"
#include "tests/support.h"

using testing_support::in_own_frame;
using testing_support::settle;

namespace objects_test {

struct TResource : System::TIDisposable {
    static inline std::atomic<int> disposed{0};
    bool suppress = false;
    bool throw_in_dispose = false;
    int value = 5;
    void Dispose() override {
        disposed.fetch_add(1);
        if (throw_in_dispose) throw System::ETimeout("cannot");
        if (suppress) System::TGarbageCollector::SuppressFinalize(gc_ptr<TResource>(this));
    }
};

struct TProbe : System::TIDisposable {
    std::string seen;
    TProbe() {
        try {
            gc_detail::do_object_dispose(this); // still being constructed
        } catch (const EGarbageCollector& e) {
            seen = e.Message().ToUtf8();
        }
    }
    void Dispose() override {}
};

struct TWorker : System::TLockableObject {
    int calls = 0;
    void Tick(int n) { calls += n; }
    void Ping() { ++calls; }
};

struct TPlain {
    void Tick(int) {}
};

struct TMine : System::TSharedObject {
    NORVANE_CLASS_INFO();
    int v = 9;
};
System::TClass TMine::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TMine, System::TSharedObject>("TMine", "objects_test").Build();
    return &cls;
}

} // namespace objects_test

using namespace objects_test;

namespace {

TEST(Disposal, TwiceDisposesOnceThenAccessThrows) {
    TResource::disposed = 0;
    gc_disposable<TResource> r = gcnew<TResource>();
    r->suppress = true;
    EXPECT_TRUE(r.Dispose());
    EXPECT_FALSE(r.Dispose());
    EXPECT_EQ(TResource::disposed.load(), 1);
    try {
        (void)r->value;
        ADD_FAILURE();
    } catch (const EObjectDisposed& e) {
        EXPECT_NE(e.Message().Pos("objects_test::TResource"), -1) << e.Message();
    }
}

TEST(Disposal, FinalizerDisposesAgainUnlessSuppressed) {
    struct Case { bool suppress; int expected; };
    for (Case c : {Case{false, 2}, Case{true, 1}}) {
        settle();
        TResource::disposed = 0;
        in_own_frame([&] {
            gc_disposable<TResource> r = gcnew<TResource>();
            r->suppress = c.suppress;
            r.Dispose();
        });
        settle();
        EXPECT_EQ(TResource::disposed.load(), c.expected) << c.suppress;
    }
}

TEST(Disposal, NeverDisposedObjectIsDisposedByItsFinalizer) {
    settle();
    TResource::disposed = 0;
    in_own_frame([] { gcnew<TResource>()->throw_in_dispose = true; }); // and its exception is dropped
    settle();
    EXPECT_EQ(TResource::disposed.load(), 1);
}

TEST(Disposal, ThrowingDisposeLeavesTheObjectUndisposed) {
    gc_disposable<TResource> r = gcnew<TResource>();
    r->throw_in_dispose = true;
    EXPECT_THROW(r.Dispose(), System::ETimeout);
    EXPECT_EQ(r->value, 5); // still usable
    r->throw_in_dispose = false;
    r->suppress = true;
    EXPECT_TRUE(r.Dispose());
}

TEST(Disposal, ObjectUnderConstructionCannotBeDisposed) {
    gc_ptr<TProbe> p = gcnew<TProbe>();
    EXPECT_EQ(p->seen, "GarbageCollectorException: Object has not been fully constructed - unable to Dispose");
    TResource stack_object;
    EXPECT_THROW(gc_detail::do_object_dispose(&stack_object), EGarbageCollector);
}

TEST(Disposal, ConcurrentDisposeRunsOnce) {
    TResource::disposed = 0;
    gc_disposable<TResource> r = gcnew<TResource>();
    r->suppress = true;
    std::atomic<int> wins{0};
    std::thread ts[4];
    for (auto& t : ts)
        t = std::thread([&] {
            if (r.Dispose()) wins.fetch_add(1);
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(TResource::disposed.load(), 1);
    EXPECT_GE(wins.load(), 1);
}

TEST(LockableObject, HashAndEquality) {
    gc_ptr<TWorker> a = gcnew<TWorker>();
    gc_ptr<TWorker> b = gcnew<TWorker>();
    EXPECT_EQ(a->GetHashCode(), static_cast<int>(reinterpret_cast<std::intptr_t>(a.get()) >> 3));
    // Neighbours in one array of objects differ by their distance / 8.
    TWorker pair[2];
    EXPECT_EQ(pair[1].GetHashCode() - pair[0].GetHashCode(), static_cast<int>(sizeof(TWorker) / 8));
    EXPECT_TRUE(a->Equals(static_cast<const System::TObject*>(a.get())));
    EXPECT_FALSE(a->Equals(static_cast<const System::TObject*>(b.get())));
    EXPECT_FALSE(a->Equals(gc_ptr<System::TObject>(a)));
}

TEST(LockableList, AddsOnceAndRemovesFirst) {
    gc_ptr<System::TLockableList> l = gcnew<System::TLockableList>();
    int a = 0, b = 0;
    l->Add(&a);
    l->Add(&a);
    l->Add(&b);
    System::Classes::TList* raw = l->LockList();
    EXPECT_EQ(raw->Count(), 2);
    l->LockList(); // recursive on the same thread
    l->UnlockList();
    l->UnlockList();
    l->Remove(&a);
    EXPECT_EQ(l->LockList()->Count(), 1);
    l->UnlockList();
    EXPECT_THROW(l->UnlockList(), System::Threading::ESynchronizationLock);
}

TEST(Activator, CreatesSharedObjectsOnly) {
    gc_ptr<System::TSharedObject> o = System::TActivator::CreateInstance(System::Type(TMine::StaticClass()));
    ASSERT_TRUE(o);
    EXPECT_EQ(gc_ptr<TMine>(o)->v, 9);
    EXPECT_TRUE(System::TGarbageCollector::IsObjectManaged(gc_detail::object_start(o.get())));
    try {
        System::TActivator::CreateInstance(System::Type(System::TLockableList::StaticClass()));
        ADD_FAILURE();
    } catch (const System::EArgument& e) {
        EXPECT_EQ(e.ParamName(), UnicodeString("type"));
        EXPECT_EQ(e.Message().ToUtf8(),
                  "Invalid value for argument 'type' - TActivator::CreateInstance - object instance must be a TSharedObject");
    }
    EXPECT_THROW(Objectactivator::TObjectActivator::ActivateObject(System::Classes::TComponent::StaticClass()),
                 Sysutils::EInvalidOperation);
    auto* owner = new System::Classes::TComponent(nullptr);
    auto* child =
        Objectactivator::TObjectActivator::ActivateComponent(System::Classes::TComponent::StaticClass(), owner);
    EXPECT_EQ(child->GetOwner(), owner);
    EXPECT_EQ(owner->ComponentCount(), 1);
    delete owner; // takes the child with it
}

TEST(Delegates, BoundToManagedMethods) {
    gc_ptr<TWorker> w = gcnew<TWorker>();
    auto d = System::MulticastDelegate<void(int)>::Create<&TWorker::Tick>(w);
    EXPECT_EQ(sizeof(System::TDelegate<void(int)>), gc_detail::layout::delegate_size);
    d.Invoke(3);
    d(4);
    EXPECT_EQ(w->calls, 7);
    TPlain plain;
    try {
        System::MulticastDelegate<void(int)>::Create<&TPlain::Tick>(&plain);
        ADD_FAILURE();
    } catch (const Sysutils::EInvalidOperation& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "Delegate must be used with managed methods only");
    }
    gc_ptr<TWorker> none;
    EXPECT_THROW((System::MulticastDelegate<void(int)>::Create<&TWorker::Tick>(none)), Sysutils::EInvalidOperation);
}

TEST(Delegates, KeepTheirObjectAlive) {
    settle();
    System::MulticastDelegate<void(int)>* d = nullptr;
    TWorker* raw = nullptr;
    in_own_frame([&] {
        gc_ptr<TWorker> w = gcnew<TWorker>();
        raw = w.get();
        d = new System::MulticastDelegate<void(int)>(System::MulticastDelegate<void(int)>::Create<&TWorker::Tick>(w));
    });
    settle();
    d->Invoke(2);
    EXPECT_EQ(raw->calls, 2);
    EXPECT_TRUE(System::TGarbageCollector::IsObjectManaged(raw));
    delete d;
}

TEST(Invokers, CallAndTellUnsafeTargets) {
    gc_ptr<TWorker> w = gcnew<TWorker>();
    auto ping = System::TClosure<void()>::Of<&TWorker::Ping>(w.get());
    gc_ptr<System::InvokePtrImplBaseBase> i0 = gcnew<System::InvokePtrImpl0<void()>>(ping);
    i0->Invoke();
    EXPECT_EQ(w->calls, 1);
    EXPECT_FALSE(i0->IsUnsafeTarget());
    gc_ptr<System::InvokePtrImplBaseBase> i1 =
        gcnew<System::InvokePtrImpl1<void(int), int>>(System::TClosure<void(int)>::Of<&TWorker::Tick>(w.get()), 10);
    i1->Invoke();
    EXPECT_EQ(w->calls, 11);
    TPlain plain;
    gc_ptr<System::InvokePtrImplBaseBase> unsafe =
        gcnew<System::InvokePtrImpl1<void(int), int>>(System::TClosure<void(int)>::Of<&TPlain::Tick>(&plain), 1);
    EXPECT_TRUE(unsafe->IsUnsafeTarget());
    EXPECT_NE(unsafe->InvokerTypeName().find("InvokePtrImpl1"), std::string::npos);
}

TEST(ExceptionObject, HoldsWithoutOwning) {
    System::ETimeout e("t");
    gc_ptr<TExceptionObject> h = gcnew<TExceptionObject>(&e);
    EXPECT_EQ(h->GetException(), &e);
}

} // namespace
