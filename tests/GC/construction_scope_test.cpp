// Pointers a constructor builds outside its object (in work items, in a
// container's storage) may be destroyed by other threads while the
// constructing thread goes on.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "gc_fixture.h"

using namespace gc_test;
namespace L = gc_detail::layout;

namespace {

// A queue of work items run and destroyed by a thread of its own.
class WorkQueue {
public:
    WorkQueue() : worker_([this] { run(); }) {}
    ~WorkQueue() {
        {
            std::lock_guard<std::mutex> g(m_);
            quit_ = true;
        }
        cv_.notify_all();
        worker_.join();
    }
    void post(std::function<void()> f) {
        {
            std::lock_guard<std::mutex> g(m_);
            items_.push_back(std::move(f));
        }
        cv_.notify_one();
    }
    bool drained(int seconds) {
        return wait_until([&] {
            std::lock_guard<std::mutex> g(m_);
            return items_.empty() && !running_;
        }, seconds * 1000);
    }

private:
    void run() {
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            cv_.wait(lk, [&] { return quit_ || !items_.empty(); });
            if (items_.empty()) return;
            std::function<void()> f = std::move(items_.front());
            items_.pop_front();
            running_ = true;
            lk.unlock();
            f();
            f = nullptr; // the captured pointers die on this thread
            lk.lock();
            running_ = false;
        }
    }
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> items_;
    bool quit_ = false;
    bool running_ = false;
    std::thread worker_;
};

std::atomic<int> g_ran{0};

struct Server {
    gc_ptr<Tracked> state;
    Server(WorkQueue& q, int items) : state(gcnew<Tracked>(1)) {
        for (int i = 0; i < items; ++i) {
            gc_ptr<Tracked> s = state;
            q.post([s] { g_ran.fetch_add(s->value); });
        }
    }
};

TEST(ConstructionScope, PointerBuiltOutsideTheObjectIsARootAtOnce) {
    struct Holder {
        gc_ptr<Tracked> member;
        std::unique_ptr<gc_ptr<Tracked>> elsewhere;
        std::int64_t seen_slot = 0;
        Holder() : elsewhere(new gc_ptr<Tracked>()) { seen_slot = elsewhere->slot; }
    };
    gc_ptr<Holder> h = gcnew<Holder>();
    EXPECT_GE(h->seen_slot, 0) << "a pointer outside the object waited in the constructing thread's scope";
    EXPECT_EQ(h->member.slot, L::slot_member);
    EXPECT_EQ(gc_detail::member_count(gc_detail::object_header::of(h.get())), 1);
}

TEST(ConstructionScope, WorkItemsDestroyedByAnotherThreadWhileConstructing) {
    settle();
    const int alive = Tracked::alive.load();
    const std::size_t roots = root_count();
    g_ran.store(0);
    run_with_deadline(60, "work items posted from constructors", [&] {
        WorkQueue q;
        in_own_frame([&] {
            for (int n = 0; n < 300; ++n) {
                // Enough items that a waiting list would grow while the
                // worker destroys the ones posted first.
                gc_ptr<Server> s = gcnew<Server>(q, 40);
                if (n % 50 == 0) gc_detail::collect(1);
            }
        });
        ASSERT_TRUE(q.drained(30)) << "work items not run";
    });
    EXPECT_EQ(g_ran.load(), 300 * 40);
    settle();
    EXPECT_EQ(root_count(), roots);
    EXPECT_EQ(Tracked::alive.load(), alive);
}

} // namespace
