#include "core/CritSectEx.h"
#include "GC/GarbageCollector.h"
#include "GC/collector.h"
#include "core/Monitor.h"
#include "core/spin_lock.h"
#include "core/x_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "platform/kernel_objects.h"

using FastCriticalSection::CritSectEx;
using System::Threading::ESynchronizationLock;
using System::Threading::TMonitor;

namespace {

struct Obj { int v = 0; };

// Holds a lock on another thread until released.
class HeldElsewhere {
public:
    template <class Acquire, class Release>
    HeldElsewhere(Acquire acquire, Release release)
        : t_([this, acquire, release] {
              acquire();
              held_ = true;
              while (!go_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
              release();
          }) {
        while (!held_.load()) std::this_thread::yield();
    }
    ~HeldElsewhere() {
        go_ = true;
        t_.join();
    }
private:
    std::atomic<bool> held_{false}, go_{false};
    std::thread t_;
};

TEST(CritSectEx, NestedLockDoesNotCount) {
    CritSectEx cs;
    bool first = false, second = true;
    ASSERT_TRUE(cs.Lock(first));
    EXPECT_TRUE(first);
    ASSERT_TRUE(cs.Lock(second));
    EXPECT_FALSE(second);
    cs.Unlock(second); // no effect
    EXPECT_EQ(cs.Owner(), platform::current_thread_id());
    cs.Unlock(first);
    EXPECT_EQ(cs.Owner(), 0u);
    EXPECT_FALSE(cs.HasSemaphore()); // never blocked: no kernel object
}

TEST(CritSectEx, TimeOutAgainstALockHeldElsewhere) {
    CritSectEx cs;
    bool u = false;
    HeldElsewhere other([&] { bool x; cs.Lock(x); }, [&] { cs.Unlock(true); });
    EXPECT_FALSE(cs.Lock(u, 0));
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(cs.Lock(u, 100));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 3000);
    EXPECT_TRUE(cs.HasSemaphore());
}

TEST(CritSectEx, ContendedCountingLosesNothing) {
    for (unsigned long spin : {1ul, 250ul}) {
        CritSectEx cs(spin);
        long counter = 0;
        std::vector<std::thread> ts;
        for (int t = 0; t < 4; ++t)
            ts.emplace_back([&] {
                for (int i = 0; i < 50000; ++i) {
                    bool u;
                    cs.Lock(u);
                    ++counter;
                    cs.Unlock(u);
                }
            });
        for (auto& t : ts) t.join();
        EXPECT_EQ(counter, 200000) << "spin " << spin;
    }
}

TEST(SpinLock, ExcludesAndYields) {
    gc_detail::spin_lock l;
    long counter = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 3; ++t)
        ts.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                gc_detail::spin_guard g(l);
                ++counter;
            }
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(counter, 60000);
    EXPECT_TRUE(l.try_acquire());
    EXPECT_FALSE(l.try_acquire());
    l.release();
}

TEST(XLock, GuardsOneTimeConstruction) {
    static volatile std::uint16_t word = 0;
    static int constructed = 0, guard = 0;
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; ++t)
        ts.emplace_back([] {
            detail::lock::x_lock(word);
            if (guard == 0) ++constructed;
            ++guard;
            detail::lock::x_unlock(word);
        });
    for (auto& t : ts) t.join();
    EXPECT_EQ(constructed, 1);
    EXPECT_EQ(guard, 4);
}

TEST(Monitor, RecursionAndForeignExit) {
    gc_ptr<Obj> o = gcnew<Obj>();
    TMonitor::Enter(o);
    TMonitor::Enter(o);
    TMonitor::Exit(o);
    std::atomic<bool> got{true};
    std::thread([&] { got = TMonitor::TryEnter(o); }).join();
    EXPECT_FALSE(got.load()); // still held once
    TMonitor::Exit(o);
    std::thread([&] {
        got = TMonitor::TryEnter(o);
        if (got) TMonitor::Exit(o);
    }).join();
    EXPECT_TRUE(got.load());
    try {
        TMonitor::Exit(o);
        ADD_FAILURE();
    } catch (const ESynchronizationLock& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "Thread does not own the lock it is trying to unlock");
    }
    TMonitor::Enter(o);
    std::string foreign;
    std::thread([&] {
        try {
            TMonitor::Exit(o);
        } catch (const ESynchronizationLock& e) {
            foreign = e.Message().ToUtf8();
        }
    }).join();
    EXPECT_EQ(foreign, "Thread does not own the lock it is trying to unlock");
    TMonitor::Exit(o);
}

TEST(Monitor, RecursionOverflow) {
    gc_ptr<Obj> o = gcnew<Obj>();
    TMonitor::Enter(o);
    auto* rec = gc_detail::TManagedObjectLock::GetCritSecObj(o);
    rec->recursion = INT_MAX;
    try {
        TMonitor::Enter(o);
        ADD_FAILURE();
    } catch (const ESynchronizationLock& e) {
        EXPECT_EQ(e.Message().ToUtf8(), "Recursive lock overflow");
    }
    EXPECT_EQ(rec->recursion, INT_MAX);
    rec->recursion = 1;
    TMonitor::Exit(o);
}

TEST(Monitor, TryEnterTimeSpan) {
    gc_ptr<Obj> o = gcnew<Obj>();
    for (double ms : {-2.0, 2147483648.0}) {
        try {
            TMonitor::TryEnter(o, System::TimeSpan::FromMilliseconds(ms));
            ADD_FAILURE() << ms;
        } catch (const System::EArgumentOutOfRange& e) {
            EXPECT_EQ(e.Message().ToUtf8(),
                      "Invalid value for argument 'timeout' - Argument out of range. Argument must be non-negative or -1.");
        }
    }
    // -1 waits without limit: it gets the lock once the holder lets go.
    std::atomic<bool> release{false};
    std::thread holder([&] {
        TMonitor::Enter(o);
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        TMonitor::Exit(o);
    });
    while (!gc_detail::TManagedObjectLock::GetCritSecObj(o)->cs.Owner()) std::this_thread::yield();
    EXPECT_FALSE(TMonitor::TryEnter(o, System::TimeSpan::FromMilliseconds(50)));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        release = true;
    });
    EXPECT_TRUE(TMonitor::TryEnter(o, System::TimeSpan::FromMilliseconds(-1)));
    TMonitor::Exit(o);
    releaser.join();
    holder.join();
}

TEST(Monitor, RacingFirstUseSharesOneRecord) {
    for (int round = 0; round < 20; ++round) {
        gc_ptr<Obj> o = gcnew<Obj>();
        std::atomic<int> ready{0};
        gc_detail::monitor_lock_record* seen[2] = {};
        std::thread ts[2];
        for (int i = 0; i < 2; ++i)
            ts[i] = std::thread([&, i] {
                ready.fetch_add(1);
                while (ready.load() < 2) {}
                seen[i] = gc_detail::TManagedObjectLock::GetCritSecObj(o);
                TMonitor::Enter(o);
                ++o->v;
                TMonitor::Exit(o);
            });
        for (auto& t : ts) t.join();
        EXPECT_EQ(seen[0], seen[1]);
        EXPECT_EQ(o->v, 2);
    }
}

// A constructor that locks its own object: the record made before
// registration is the object's for the rest of its life.
struct SelfLocking {
    gc_ptr<Obj> child = gcnew<Obj>();
    gc_detail::monitor_lock_record* record = nullptr;
    SelfLocking() {
        gc_ptr<SelfLocking> self(this);
        TMonitor::Enter(self);
        record = gc_detail::TManagedObjectLock::GetCritSecObj(self);
        TMonitor::Exit(self);
    }
};

TEST(Monitor, TakenInTheConstructorOutlivesRegistration) {
    for (int round = 0; round < 2; ++round) { // the type unknown, then known
        gc_ptr<SelfLocking> s = gcnew<SelfLocking>();
        EXPECT_TRUE(gc_detail::TGarbageCollector::IsObjectManaged(s.get()));
        EXPECT_EQ(gc_detail::TManagedObjectLock::GetCritSecObj(s), s->record);
        TMonitor::Enter(s);
        TMonitor::Exit(s);
        gc_detail::collect(3);
        EXPECT_TRUE(gc_detail::TGarbageCollector::IsObjectManaged(s->child.get()));
    }
}

TEST(Monitor, NullAndForeignTargets) {
    gc_ptr<Obj> none;
    EXPECT_THROW(TMonitor::Enter(none), ENullReference);
    gc_detail::pointer_base fake;
    Obj native;
    fake.target = &native;
    EXPECT_THROW(TMonitor::Enter(fake), EGarbageCollector);
    fake.target = nullptr;
}

} // namespace
