#include "core/Objects.h"

#include "GC/thread_table.h"
#include "core/Monitor.h"

namespace Objectactivator {

System::TClass TVirtualObject::StaticClass() {
    static const System::TMetaClass cls =
        System::TClassBuilder<TVirtualObject, System::TObject>("TVirtualObject", "Objectactivator").Build();
    return &cls;
}

System::TObject* TObjectActivator::ActivateObject(System::TClass cls) {
    if (!cls || !cls->InheritsFrom(TVirtualObject::StaticClass()) || !cls->CanCreate())
        throw Sysutils::EInvalidOperation("Object to be activated must be derived from TVirtualObject");
    void* mem = gc_detail::arena::allocate(cls->InstanceSize());
    try {
        return cls->CreateAt(mem);
    } catch (...) {
        gc_detail::release_unregistered(mem); // with any monitor its constructor took
        throw;
    }
}

System::Classes::TComponent* TObjectActivator::ActivateComponent(System::TClass cls,
                                                                  System::Classes::TComponent* owner) {
    return static_cast<System::Classes::TComponent*>(cls->CreateWithOwner(owner));
}

} // namespace Objectactivator

namespace System {

#define NORVANE_SIMPLE_CLASS(C, P, unit)                                                  \
    TClass C::StaticClass() {                                                            \
        static const TMetaClass cls = TClassBuilder<C, P>(#C, unit).Build();             \
        return &cls;                                                                     \
    }

NORVANE_SIMPLE_CLASS(TLockableObject, Objectactivator::TVirtualObject, "System")
NORVANE_SIMPLE_CLASS(TSharedObject, TLockableObject, "System")
NORVANE_SIMPLE_CLASS(TIDisposable, TLockableObject, "System")
NORVANE_SIMPLE_CLASS(TLockableList, TLockableObject, "System")
NORVANE_SIMPLE_CLASS(TLockableComponent, Classes::TComponent, "System")

bool TLockableObject::Equals(const gc_ptr<TObject>&) const { return false; }
bool TLockableComponent::Equals(const gc_ptr<TObject>&) const { return false; }

void TIDisposable::Finalize() {
    try {
        Dispose();
    } catch (...) {
    }
}

void TIDisposable::LockDisposable() { gc_detail::monitor_enter(&disposalLock_, 0xFFFFFFFFul); }
void TIDisposable::UnlockDisposable() { gc_detail::monitor_exit(&disposalLock_); }

TLockableList::TLockableList() : list_(new Classes::TList()) {}
TLockableList::~TLockableList() { delete list_; }

Classes::TList* TLockableList::LockList() {
    gc_detail::monitor_enter(&lock_, 0xFFFFFFFFul);
    return list_;
}
void TLockableList::UnlockList() { gc_detail::monitor_exit(&lock_); }

void TLockableList::Add(void* item) {
    Classes::TList* l = LockList();
    try {
        if (l->IndexOf(item) < 0) l->Add(item);
    } catch (...) {
        UnlockList();
        throw;
    }
    UnlockList();
}

void TLockableList::Remove(void* item) {
    Classes::TList* l = LockList();
    l->Remove(item);
    UnlockList();
}


namespace {
void destroy_activated(void* p) {
    static_cast<TObject*>(p)->~TObject();
    gc_detail::arena::release(p);
}
void finalize_activated(void* p) { static_cast<TSharedObject*>(static_cast<TObject*>(p))->Finalize(); }
} // namespace

gc_ptr<TSharedObject> TActivator::CreateInstance(const Type& type) {
    if (!type.IsSubclassOf(Type(TSharedObject::StaticClass())))
        throw EArgument("TActivator::CreateInstance - object instance must be a TSharedObject", "type");
    gc_ptr<TSharedObject> result;
    {
        gc_detail::current_list_t scope;
        TClass cls = type.ToRawType();
        TObject* obj = Objectactivator::TObjectActivator::ActivateObject(cls);
        gc_ptr<TObject> holder;
        holder.init_pointer_base(obj, &scope.list, cls->InstanceSize(), &destroy_activated, &finalize_activated);
        result = gc_ptr<TSharedObject>(holder);
    }
    return result;
}

} // namespace System

namespace gc_detail {

bool do_object_dispose(System::TIDisposable* object) {
    object_header* h = object ? find_header(object) : nullptr;
    if (!h || !is_registered(h))
        throw EGarbageCollector("Object has not been fully constructed - unable to Dispose");
    if (__atomic_load_n(&h->word_before, __ATOMIC_ACQUIRE) != 0) return false;
    object->LockDisposable();
    try {
        if (h->word_before == 0) {
            object->Dispose();
            __atomic_store_n(&h->word_before, 1, __ATOMIC_RELEASE);
        }
    } catch (...) {
        object->UnlockDisposable();
        throw;
    }
    object->UnlockDisposable();
    return true;
}

} // namespace gc_detail
