#include "RozavUde/TimerTable.h"

#include <algorithm>

#include "RozavUde/AsyncHelperThreadPools.h"
#include "platform/system.h"

namespace System::Threading {

namespace {
using Lock = FastCriticalSection::CritSectLock;

constexpr int kBatchSize = 256;
constexpr std::int32_t kMax = TAsyncHelperThread::kMaxOutstandingFirings;

// Ticks are 32-bit and wrap; a difference read as signed gives the order.
inline std::int32_t elapsed(std::uint32_t now, std::uint32_t since) noexcept {
    return static_cast<std::int32_t>(now - since);
}
} // namespace

// timerLock for a scope; a nested hold by the same thread is a no-op.
class TTimerTable::Guard {
public:
    explicit Guard(TTimerTable& t) : hold_(t.timerLock_) {}
private:
    Lock hold_;
};

TTimerTable::TTimerTable() : batch_(gcnew_array<gc_ptr<Timer>>(kBatchSize)) {}

TTimerTable::~TTimerTable() = default;

// ---- list moves (timerLock held) ---------------------------------------------

void TTimerTable::Park(Timer* t) {
    {
        Lock g(parkedTimers_.Lock());
        parkedTimers_.Add(t);
    }
    Lock g(activeTimers_.Lock());
    activeTimers_.Remove(t);
    Unschedule(t);
}

void TTimerTable::Activate(Timer* t, std::uint64_t now) {
    {
        Lock g(activeTimers_.Lock());
        if (activeTimers_.Add(t)) t->activeSeq = ++nextSeq_;
    }
    {
        Lock g(parkedTimers_.Lock());
        parkedTimers_.Remove(t);
    }
    Schedule(t, now);
}

void TTimerTable::Remove(Timer* t) {
    {
        Lock g(activeTimers_.Lock());
        activeTimers_.Remove(t);
    }
    {
        Lock g(parkedTimers_.Lock());
        parkedTimers_.Remove(t);
    }
    Unschedule(t);
}

// The first tick at which servicing t can change anything.
void TTimerTable::Schedule(Timer* t, std::uint64_t now) {
    Unschedule(t);
    const std::uint32_t now32 = static_cast<std::uint32_t>(now);
    std::int64_t wait;
    if (!t->fired) {
        wait = static_cast<std::int64_t>(t->dueTime) + 1 - elapsed(now32, t->startTick);
    } else if (t->period < 1) {
        wait = 0; // fired one-shot: parked by the next cycle
    } else {
        wait = static_cast<std::int64_t>(t->period) + 1 - elapsed(now32, t->startTick);
    }
    // Due already but held back by the outstanding limit: next cycle.
    if (wait <= 0 && t->fired && t->period >= 1 && t->GetOutstandingTaskCount() >= kMax)
        wait = TAsyncHelperThread::kCycleMs;
    if (wait < 0) wait = 0;
    t->scheduleKey = now + static_cast<std::uint64_t>(wait);
    t->scheduled = true;
    const bool earliest = schedule_.empty() || t->scheduleKey < schedule_.begin()->first;
    schedule_.emplace(t->scheduleKey, t);
    if (earliest && wakeHook_) wakeHook_(t->scheduleKey, wakeContext_);
}

void TTimerTable::Unschedule(Timer* t) {
    if (!t->scheduled) return;
    schedule_.erase(Entry(t->scheduleKey, t));
    t->scheduled = false;
}

// ---- registration, Change, unregistration ------------------------------------

bool TTimerTable::UpdateLocked(Timer* t, std::uint64_t now) {
    if (t->GetUnregistered()) return false;
    bool fireNow = false;
    if (t->dueTime == 0) {
        t->fired = true;
        // Counted only when it is really queued, so a terminating pool
        // cannot use up the timer's outstanding allowance.
        if (t->GetOutstandingTaskCount() < kMax && !helper_pools::is_terminating(t->pool.get())) {
            t->IncrementOutstandingTaskCount();
            fireNow = true;
        }
    }
    if (t->dueTime == -1) Park(t);
    else Activate(t, now);
    return fireNow;
}

void TTimerTable::Update(const gc_ptr<Timer>& timer) {
    bool fireNow;
    {
        Guard g(*this);
        fireNow = UpdateLocked(timer.get(), platform::tick_count64());
    }
    if (fireNow) FireNow(timer);
}

void TTimerTable::Change(const gc_ptr<Timer>& timer, int dueTime, int period) {
    bool fireNow;
    {
        Guard g(*this);
        const std::uint64_t now = platform::tick_count64();
        Timer* t = timer.get();
        t->dueTime = dueTime;
        t->period = period;
        t->fired = false;
        t->startTick = static_cast<std::uint32_t>(now);
        fireNow = UpdateLocked(t, now);
    }
    if (fireNow) FireNow(timer);
}

// A firing due at once (due time 0), from the registering or changing call.
void TTimerTable::FireNow(const gc_ptr<Timer>& timer) {
    try {
        Queue(timer);
    } catch (...) {
        timer->DecrementOutstandingTaskCount();
        throw;
    }
}

// One work item on the timer's pool running its callback object.
void TTimerTable::Queue(const gc_ptr<Timer>& timer) {
    using Firing = InvokePtrImpl1<void(gc_ptr<Timer>), gc_ptr<Timer>>;
    gc_ptr<TAsyncHelperThread::TTimerCallback> cb = timer->GetCallback();
    helper_pools::queue_work(
        timer->pool,
        gcnew<Firing>(TClosure<void(gc_ptr<Timer>)>::Of<&TAsyncHelperThread::TTimerCallback::Callback>(cb.get()), timer));
}

void TTimerTable::Unregister(const gc_ptr<Timer>& timer) {
    Guard g(*this);
    Remove(timer.get());
}

std::vector<TTimerTable::Timer*> TTimerTable::TimersOf(const TThreadPoolBase* pool) {
    std::vector<Timer*> out;
    auto pick = [&](TLockableHashedList<Timer*>& list) {
        Lock g(list.Lock());
        list.ForEach([&](Timer* t) {
            if (!pool || helper_pools::same_pool(t->pool.get(), pool)) out.push_back(t);
        });
    };
    pick(activeTimers_);
    pick(parkedTimers_);
    return out;
}

void TTimerTable::UnregisterAll(const TThreadPoolBase* pool) {
    Guard g(*this);
    // Unregister() comes back here through the helper; the monitor is
    // recursive, and the table cannot lose a listed timer meanwhile.
    for (Timer* t : TimersOf(pool)) t->Unregister();
}

void TTimerTable::Clear() {
    Guard g(*this);
    {
        Lock l(activeTimers_.Lock());
        activeTimers_.Clear();
    }
    {
        Lock l(parkedTimers_.Lock());
        parkedTimers_.Clear();
    }
    for (const Entry& e : schedule_) e.second->scheduled = false;
    schedule_.clear();
}

bool TTimerTable::IsActive(const Timer* t) {
    Guard g(*this);
    Lock l(activeTimers_.Lock());
    return activeTimers_.Contains(const_cast<Timer*>(t));
}

bool TTimerTable::IsParked(const Timer* t) {
    Guard g(*this);
    Lock l(parkedTimers_.Lock());
    return parkedTimers_.Contains(const_cast<Timer*>(t));
}

std::uint64_t TTimerTable::NextDue() {
    Guard g(*this);
    return schedule_.empty() ? UINT64_MAX : schedule_.begin()->first;
}

// ---- the service cycle ----------------------------------------------------------

// Puts one firing of t in the batch; the count says it is outstanding
// from here on.
bool TTimerTable::TakeFiring(Timer* t) {
    if (t->GetOutstandingTaskCount() >= kMax) return false;
    t->IncrementOutstandingTaskCount();
    batch_[batchCount_++] = gc_ptr<Timer>(t);
    return true;
}

void TTimerTable::HandleTimerBeforeDueTime(Timer* t, std::uint32_t now) {
    if (elapsed(now, t->startTick + static_cast<std::uint32_t>(t->dueTime)) <= 0) return;
    t->fired = true;
    if (t->GetOutstandingTaskCount() >= kMax) return;
    t->startTick += static_cast<std::uint32_t>(t->dueTime);
    if (!helper_pools::is_terminating(t->pool.get())) TakeFiring(t);
}

void TTimerTable::HandleTimerPastDueTime(Timer* t, std::uint32_t now) {
    if (t->period < 1) {
        Park(t);
        return;
    }
    // Missed periods are caught up one firing each, as far as the
    // outstanding limit (and the batch) allow; the rest wait for later cycles.
    while (elapsed(now, t->startTick) > t->period && batchCount_ < kBatchSize) {
        if (!TakeFiring(t)) break;
        t->startTick += static_cast<std::uint32_t>(t->period);
    }
}

void TTimerTable::Service(std::uint64_t now) {
    std::lock_guard<std::mutex> serving(serviceLock_);
    const std::uint32_t now32 = static_cast<std::uint32_t>(now);
    std::vector<Timer*> due;
    {
        Guard g(*this);
        Lock l(activeTimers_.Lock());
        while (!schedule_.empty() && schedule_.begin()->first <= now) {
            Timer* t = schedule_.begin()->second;
            schedule_.erase(schedule_.begin());
            t->scheduled = false;
            due.push_back(t);
        }
        // The order a walk of the active list would visit them in.
        std::sort(due.begin(), due.end(), [](const Timer* a, const Timer* b) { return a->activeSeq < b->activeSeq; });
    }
    std::size_t next = 0;
    while (next < due.size()) {
        {
            Guard g(*this);
            Lock l(activeTimers_.Lock());
            for (; next < due.size() && batchCount_ + kMax <= kBatchSize; ++next) {
                Timer* t = due[next];
                // Gone while the batch was flushed: unregistered, parked
                // or changed (and then scheduled again).
                if (!activeTimers_.Contains(t) || t->scheduled) continue;
                if (t->dueTime == -1 || t->GetUnregistered()) continue;
                if (!t->fired) HandleTimerBeforeDueTime(t, now32);
                if (t->fired) HandleTimerPastDueTime(t, now32);
                if (activeTimers_.Contains(t)) Schedule(t, now);
            }
        }
        Flush();
    }
    Flush();
}

void TTimerTable::Flush() {
    for (int i = 0; i < batchCount_; ++i) {
        gc_ptr<Timer> t = batch_[i];
        batch_[i] = nullptr;
        try {
            Queue(t);
        } catch (...) {
            // A disposed pool: this firing is dropped and the helper goes on.
            t->DecrementOutstandingTaskCount();
        }
    }
    batchCount_ = 0;
}

} // namespace System::Threading
