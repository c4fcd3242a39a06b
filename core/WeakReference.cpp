#include "core/WeakReference.h"

namespace System {

using gc_detail::TGCHandle;

TClass TWeakReference::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TWeakReference, TLockableObject>("TWeakReference", "System").Build();
    return &cls;
}

TWeakReference::TWeakReference(const gc_ptr<TObject>& target) { Init(target, false); }
TWeakReference::TWeakReference(const gc_ptr<TObject>& target, bool trackResurrection) {
    Init(target, trackResurrection);
}

void TWeakReference::Init(const gc_ptr<TObject>& target, bool trackResurrection) {
    handle_ = TGCHandle::InternalAlloc(target, trackResurrection);
    allocated_ = true;
    trackResurrection_ = trackResurrection;
}

void TWeakReference::Finalize() {
    if (!allocated_) return;
    allocated_ = false;
    TGCHandle::InternalFree(handle_);
}

bool TWeakReference::GetIsAlive() const { return allocated_ && TGCHandle::InternalGet(handle_); }

gc_ptr<TObject> TWeakReference::GetTarget() const {
    if (!allocated_) return gc_ptr<TObject>();
    return TGCHandle::InternalGet(handle_);
}

void TWeakReference::SetTarget(const gc_ptr<TObject>& target) {
    if (!allocated_) throw Sysutils::EInvalidOperation("TWeakReference has been finalized");
    TGCHandle::InternalUpdate(handle_, target);
}

} // namespace System
