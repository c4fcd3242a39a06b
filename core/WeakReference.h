// A reference that does not keep its target alive.
#pragma once
#include <cstdint>

#include "GC/gc_handle.h"
#include "core/Objects.h"

namespace System {

class TWeakReference : public TLockableObject {
public:
    NORVANE_CLASS_INFO()

    explicit TWeakReference(const gc_ptr<TObject>& target);
    TWeakReference(const gc_ptr<TObject>& target, bool trackResurrection);

    // The finalizer: gives the handle back.
    void Finalize();

    bool GetTrackResurrection() const noexcept { return trackResurrection_; }
    // The target has not been collected (and was not null).
    bool GetIsAlive() const;
    gc_ptr<TObject> GetTarget() const;
    void SetTarget(const gc_ptr<TObject>& target);

protected:
    void Init(const gc_ptr<TObject>& target, bool trackResurrection);

private:
    std::uint32_t handle_ = 0;
    bool allocated_ = false;
    bool trackResurrection_ = false;
};

} // namespace System
