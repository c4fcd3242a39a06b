// The root classes of managed library classes and the disposal protocol.
#pragma once
#include <cstdint>

#include "GC/GarbageCollector.h"
#include "GC/gcptr.h"
#include "GC/object_lock.h"
#include "core/Type.h"
#include "rtl/Classes.h"
#include "rtl/TypInfo.h"

namespace Objectactivator {

// Root of classes with a virtual constructor (their class reference can
// make instances).
class TVirtualObject : public System::TObject {
public:
    NORVANE_CLASS_INFO();
};

using TObjectClass = System::TClass;

class IObject {
public:
    virtual ~IObject() = default;
};

class TObjectActivator {
public:
    // A new, not yet registered instance built by the class's virtual
    // constructor in managed memory. EInvalidOperation unless the class
    // derives from TVirtualObject.
    static System::TObject* ActivateObject(System::TClass cls);
    static System::Classes::TComponent* ActivateComponent(System::TClass cls, System::Classes::TComponent* owner);
};

} // namespace Objectactivator

namespace System {

class TLockableObject : public Objectactivator::TVirtualObject {
public:
    NORVANE_CLASS_INFO();
    virtual bool Equals(const gc_ptr<TObject>& other) const;
    bool Equals(const TObject* other) const { return other == this; }
    // The address shifted right by 3: neighbours 8 bytes apart differ by 1.
    virtual int GetHashCode() const { return static_cast<int>(reinterpret_cast<std::intptr_t>(this) >> 3); }
};

class TSharedObject : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    virtual void Finalize() {}
};

// Owns kernel resources: released by Dispose, at most once through the
// disposal protocol, and by the finalizer unless finalization is suppressed.
class TIDisposable : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    virtual void Dispose() = 0;
    // Calls Dispose() directly, discarding whatever it throws.
    virtual void Finalize();
    void LockDisposable();
    void UnlockDisposable();
private:
    gc_detail::monitor_lock_record disposalLock_;
};

// A lockable list of untyped pointers.
class TLockableList : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    TLockableList();
    ~TLockableList() override;
    Classes::TList* LockList();
    void UnlockList();
    void Add(void* item);    // only when absent
    void Remove(void* item); // the first occurrence
private:
    gc_detail::monitor_lock_record lock_;
    Classes::TList* list_;
};

class TLockableComponent : public Classes::TComponent {
public:
    NORVANE_CLASS_INFO();
    explicit TLockableComponent(Classes::TComponent* owner) : TComponent(owner) {}
    virtual bool Equals(const gc_ptr<TObject>& other) const;
    bool Equals(const TObject* other) const { return other == this; }
    virtual int GetHashCode() const { return static_cast<int>(reinterpret_cast<std::intptr_t>(this) >> 3); }
};

class TActivator {
public:
    // A new managed instance of a TSharedObject class.
    static gc_ptr<TSharedObject> CreateInstance(const Type& type);
};

} // namespace System

// Hands an exception from one thread to another; does not own it.
class TExceptionObject : public System::TLockableObject {
public:
    explicit TExceptionObject(const Exception* e) : exception_(e) {}
    const Exception* GetException() const { return exception_; }
private:
    const Exception* exception_;
};

