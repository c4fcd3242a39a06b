// The helper thread's timer table.
//
// Timers live in two insertion-ordered hashed lists: activeTimers (can
// still fire, serviced each cycle) and parkedTimers (due time -1, or a
// one-shot timer that has fired). timerLock serialises every change and
// the service cycle; each list's own lock nests inside it.
//
// A service cycle does not walk every active timer: each one sits in a
// schedule under the first tick at which servicing it can change anything
// (its due moment, the next period, or the next cycle while 15 firings are
// outstanding). A cycle takes the entries that have come due and handles
// them in list order, so the order of firings within a cycle is the one a
// walk of the list would give. Lists and schedule hold raw pointers: a
// timer's finalizer unregisters it under timerLock before it can be
// destroyed.
//
// Firings are decided under the lock and queued on the pools after it is
// released (see the locking note in AsyncHelperThread.h); the timers to
// fire wait in a managed array that keeps them alive meanwhile.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include "GC/gcarray.h"
#include "RozavUde/LockableHashedList.h"
#include "RozavUde/Timer.h"

namespace System::Threading {

class TTimerTable {
public:
    using Timer = TAsyncHelperThread::TThreadPoolTimerInternal;

    TTimerTable();
    ~TTimerTable();
    TTimerTable(const TTimerTable&) = delete;
    TTimerTable& operator=(const TTimerTable&) = delete;

    // Registration and Change: puts the timer in the list its due time
    // asks for and, for due time 0, fires it at once from the caller.
    void Update(const gc_ptr<Timer>& timer);
    void Change(const gc_ptr<Timer>& timer, int dueTime, int period);
    void Unregister(const gc_ptr<Timer>& timer);
    void UnregisterAll(const TThreadPoolBase* pool);
    // One service cycle at tick now.
    void Service(std::uint64_t now);
    // Drops every timer (helper exit).
    void Clear();

    // The earliest tick at which a service cycle has something to do.
    std::uint64_t NextDue();

    // Membership, for the helper's own checks and for tests.
    bool IsActive(const Timer* timer);
    bool IsParked(const Timer* timer);
    int ActiveCount() const noexcept { return activeTimers_.Count(); }
    int ParkedCount() const noexcept { return parkedTimers_.Count(); }

    // Called with timerLock held when a timer's schedule moves earlier.
    void SetWakeHook(void (*hook)(std::uint64_t due, void* context), void* context) noexcept {
        wakeContext_ = context;
        wakeHook_ = hook;
    }

private:
    class Guard;
    using Entry = std::pair<std::uint64_t, Timer*>;

    // Under timerLock.
    bool UpdateLocked(Timer* t, std::uint64_t now);
    void HandleTimerBeforeDueTime(Timer* t, std::uint32_t now);
    void HandleTimerPastDueTime(Timer* t, std::uint32_t now);
    void Park(Timer* t);
    void Activate(Timer* t, std::uint64_t now);
    void Remove(Timer* t);
    void Schedule(Timer* t, std::uint64_t now);
    void Unschedule(Timer* t);
    bool TakeFiring(Timer* t);
    std::vector<Timer*> TimersOf(const TThreadPoolBase* pool);
    // Without the lock: queues the pending firings and empties the batch.
    void Flush();
    void FireNow(const gc_ptr<Timer>& timer);
    void Queue(const gc_ptr<Timer>& timer);

    FastCriticalSection::CritSectEx timerLock_;
    TLockableHashedList<Timer*> activeTimers_;
    TLockableHashedList<Timer*> parkedTimers_;
    std::set<Entry> schedule_;
    std::uint64_t nextSeq_ = 0;
    // Timers with a firing decided but not yet queued, one slot per firing;
    // one service cycle at a time uses it.
    std::mutex serviceLock_;
    gc_array<gc_ptr<Timer>> batch_;
    int batchCount_ = 0;
    void (*wakeHook_)(std::uint64_t, void*) = nullptr;
    void* wakeContext_ = nullptr;
};

} // namespace System::Threading
