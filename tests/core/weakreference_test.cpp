// Weak references: what they read before and after their target is
// collected and finalized.
#include "core/WeakReference.h"

#include <gtest/gtest.h>

#include <atomic>

#include "GC/collector.h"
#include "tests/support.h"

namespace {

using System::TWeakReference;

struct TTarget : System::TLockableObject {
    static std::atomic<int> finalized;
    void Finalize() { finalized.fetch_add(1); }
};
std::atomic<int> TTarget::finalized{0};

struct TPlain : System::TLockableObject {};

using testing_support::in_own_frame;
using testing_support::settle;

TEST(WeakReference, NullTargetIsNotAlive) {
    for (bool track : {false, true}) {
        gc_ptr<TWeakReference> w = gcnew<TWeakReference>(gc_ptr<System::TObject>(), track);
        EXPECT_FALSE(w->GetIsAlive());
        EXPECT_FALSE(w->GetTarget());
        EXPECT_EQ(w->GetTrackResurrection(), track);
    }
}

TEST(WeakReference, ReachableTargetStaysAndCanBeReplaced) {
    gc_ptr<TPlain> a = gcnew<TPlain>(), b = gcnew<TPlain>();
    gc_ptr<TWeakReference> w = gcnew<TWeakReference>(gc_ptr<System::TObject>(a));
    settle();
    EXPECT_TRUE(w->GetIsAlive());
    EXPECT_EQ(w->GetTarget().get(), static_cast<System::TObject*>(a.get()));
    w->SetTarget(gc_ptr<System::TObject>(b));
    EXPECT_EQ(w->GetTarget().get(), static_cast<System::TObject*>(b.get()));
}

// A short reference reads null once the target is unreachable, before and
// after its finalizer ran; a tracking one keeps it until the finalizer ran
// and the object is really destroyed.
TEST(WeakReference, UnreachableTargetReadsNull) {
    gc_ptr<TWeakReference> shortRef, trackRef;
    TTarget::finalized = 0;
    in_own_frame([&] {
        gc_ptr<TTarget> t = gcnew<TTarget>();
        shortRef = gcnew<TWeakReference>(gc_ptr<System::TObject>(t));
        trackRef = gcnew<TWeakReference>(gc_ptr<System::TObject>(t), true);
    });
    gc_detail::collect(3); // queued and finalized
    EXPECT_EQ(TTarget::finalized.load(), 1);
    EXPECT_FALSE(shortRef->GetIsAlive());
    EXPECT_FALSE(shortRef->GetTarget());
    EXPECT_TRUE(trackRef->GetIsAlive()); // finalized, not yet destroyed
    gc_detail::collect(3);               // destroyed now
    EXPECT_FALSE(shortRef->GetIsAlive());
    EXPECT_FALSE(trackRef->GetIsAlive());
    EXPECT_FALSE(trackRef->GetTarget());
}

TEST(WeakReference, TrackingReferenceCanResurrect) {
    gc_ptr<TWeakReference> trackRef;
    TTarget::finalized = 0;
    in_own_frame([&] { trackRef = gcnew<TWeakReference>(gc_ptr<System::TObject>(gcnew<TTarget>()), true); });
    gc_detail::collect(3);
    ASSERT_EQ(TTarget::finalized.load(), 1);
    gc_ptr<System::TObject> back = trackRef->GetTarget();
    ASSERT_TRUE(back);
    settle();
    EXPECT_TRUE(trackRef->GetIsAlive());
    EXPECT_EQ(trackRef->GetTarget().get(), back.get());
}

TEST(WeakReference, FinalizerGivesTheHandleBack) {
    const std::uint32_t before = gc_detail::TGCHandle::InternalCount();
    in_own_frame([] {
        gc_ptr<TPlain> p = gcnew<TPlain>();
        for (int i = 0; i < 50; ++i) gcnew<TWeakReference>(gc_ptr<System::TObject>(p));
    });
    settle();
    EXPECT_LE(gc_detail::TGCHandle::InternalCount(), before);
}

} // namespace
