// Recursive per-object monitors over managed objects. The lock record lives
// in the object's header, created on first use and destroyed with the
// object.
#pragma once
#include "GC/gcptr.h"
#include "GC/object_lock.h"
#include "time/TimeSpan.h"

namespace gc_detail {

class TManagedObjectLock {
public:
    // The lock record of the pointer's target, created on first use.
    static monitor_lock_record* GetCritSecObj(const pointer_base& p);
};

// The recursive monitor over one lock record (also used by the classes
// that embed a record of their own). enter: false on time-out.
bool monitor_enter(monitor_lock_record* r, unsigned long timeout);
void monitor_exit(monitor_lock_record* r);

} // namespace gc_detail

namespace System::Threading {

class TMonitor {
public:
    static void Enter(const gc_detail::pointer_base& obj);
    static void Exit(const gc_detail::pointer_base& obj);
    static bool TryEnter(const gc_detail::pointer_base& obj);
    static bool TryEnter(const gc_detail::pointer_base& obj, int milliseconds);
    static bool TryEnter(const gc_detail::pointer_base& obj, const System::TimeSpan& timeout);
    static bool TryEnterTimeout(const gc_detail::pointer_base& obj, int milliseconds);
};

// Holds an object's monitor for a scope.
class TMonitorLock {
public:
    explicit TMonitorLock(const gc_detail::pointer_base& obj) : obj_(obj) { TMonitor::Enter(obj_); }
    ~TMonitorLock() { TMonitor::Exit(obj_); }
    TMonitorLock(const TMonitorLock&) = delete;
    TMonitorLock& operator=(const TMonitorLock&) = delete;
private:
    const gc_detail::pointer_base& obj_;
};

} // namespace System::Threading
