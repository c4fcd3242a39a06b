#include "core/Monitor.h"

#include <climits>
#include <cmath>
#include <cstdint>

#include "GC/thread_table.h"

namespace gc_detail {

monitor_lock_record* TManagedObjectLock::GetCritSecObj(const pointer_base& p) {
    if (!p.target) throw ENullReference(typeid(pointer_base));
    object_header* h = find_header(p.target);
    if (!h || (!is_registered(h) && !is_temporary_hold(h)))
        throw EGarbageCollector("Illegal use of GC ptr - Object is neither managed nor valid for a temporary hold");
    object_extension* e = ensure_extension(h);
    if (monitor_lock_record* r = e->lock.load(std::memory_order_acquire)) return r;
    auto* fresh = new monitor_lock_record();
    monitor_lock_record* expected = nullptr;
    if (e->lock.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;
    return expected;
}

using System::Threading::ESynchronizationLock;

bool monitor_enter(monitor_lock_record* r, unsigned long timeout) {
    bool unlock = false;
    if (!r->cs.Lock(unlock, timeout)) return false;
    // The entry after 2 147 483 647 nested ones.
    if (r->recursion == INT32_MAX) throw ESynchronizationLock("Recursive lock overflow");
    ++r->recursion;
    r->owner.store(platform::current_thread_id(), std::memory_order_relaxed);
    return true;
}

void monitor_exit(monitor_lock_record* r) {
    if (r->recursion == 0 || r->owner.load(std::memory_order_relaxed) != platform::current_thread_id())
        throw ESynchronizationLock("Thread does not own the lock it is trying to unlock");
    if (--r->recursion == 0) {
        r->owner.store(0, std::memory_order_relaxed);
        r->cs.PerfUnlock();
    }
}

} // namespace gc_detail

namespace System::Threading {

namespace {
bool enter(const gc_detail::pointer_base& obj, unsigned long timeout) {
    return gc_detail::monitor_enter(gc_detail::TManagedObjectLock::GetCritSecObj(obj), timeout);
}
} // namespace

void TMonitor::Enter(const gc_detail::pointer_base& obj) { enter(obj, 0xFFFFFFFFul); }

void TMonitor::Exit(const gc_detail::pointer_base& obj) {
    gc_detail::monitor_exit(gc_detail::TManagedObjectLock::GetCritSecObj(obj));
}

bool TMonitor::TryEnterTimeout(const gc_detail::pointer_base& obj, int ms) {
    return enter(obj, static_cast<unsigned long>(static_cast<std::uint32_t>(ms)));
}
bool TMonitor::TryEnter(const gc_detail::pointer_base& obj) { return TryEnterTimeout(obj, 0); }
bool TMonitor::TryEnter(const gc_detail::pointer_base& obj, int ms) { return TryEnterTimeout(obj, ms); }

bool TMonitor::TryEnter(const gc_detail::pointer_base& obj, const System::TimeSpan& timeout) {
    const double ms = timeout.TotalMilliseconds();
    const auto v = static_cast<std::int64_t>(ms);
    if (v < -1 || v > 2147483647 || std::isnan(ms))
        throw EArgumentOutOfRange("Argument out of range. Argument must be non-negative or -1.", "timeout");
    return TryEnterTimeout(obj, static_cast<int>(v));
}

} // namespace System::Threading
