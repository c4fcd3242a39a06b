// Helpers for the thread-pool and completion-port tests: work items bound to
// a managed recorder, and a recorder for the pools' events.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "RozavUde/Iocp.h"
#include "RozavUde/IocpThreadPool.h"
#include "RozavUde/ThreadPool.h"
#include "core/Delegates.h"
#include "core/Objects.h"
#include "platform/system.h"
#include "tests/support.h"

namespace pool_test {

using namespace System;
using namespace System::Threading;

// A work item calling a method of a managed object.
template <auto Method, class C>
gc_ptr<InvokePtrImplBaseBase> work(C* object) {
    return gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<Method>(object));
}
template <auto Method, class C>
gc_ptr<InvokePtrImplBaseBase> work(C* object, int arg) {
    return gcnew<InvokePtrImpl1<void(int), int>>(TClosure<void(int)>::Of<Method>(object), arg);
}

// What the pools report: exceptions with the thread they came from, and
// the threads they create.
class TRecorder : public TLockableObject {
public:
    struct Report {
        platform::thread_id_t thread;
        std::string message;
        std::string className;
    };

    void OnException(gc_ptr<TPooledThread> thread, Sysutils::Exception* e) {
        std::lock_guard<std::mutex> g(m_);
        reports_.push_back({thread ? thread->GetThreadID() : 0, e->Message().ToUtf8(), e->ClassName()});
    }
    void OnCreate(gc_ptr<TPooledThread> thread) {
        std::lock_guard<std::mutex> g(m_);
        created_.push_back(thread.get());
        keep_.push_back(new gc_ptr<TPooledThread>(thread));
    }
    ~TRecorder() override {
        for (auto* p : keep_) delete p;
    }

    ThreadExceptionEvent ExceptionEvent() { return ThreadExceptionEvent::Of<&TRecorder::OnException>(this); }
    PooledThreadEvent CreateEvent() { return PooledThreadEvent::Of<&TRecorder::OnCreate>(this); }

    std::vector<Report> reports() const {
        std::lock_guard<std::mutex> g(m_);
        return reports_;
    }
    // Threads created so far (kept alive by the recorder).
    std::vector<TPooledThread*> created() const {
        std::lock_guard<std::mutex> g(m_);
        return created_;
    }
    TPooledThread* thread_with_id(platform::thread_id_t id) const {
        for (TPooledThread* t : created())
            if (t->GetThreadID() == id) return t;
        return nullptr;
    }

private:
    mutable std::mutex m_;
    std::vector<Report> reports_;
    std::vector<TPooledThread*> created_;
    std::vector<gc_ptr<TPooledThread>*> keep_;
};

// Disposes a pool or port at the end of a test, whatever happened.
template <class T>
struct DisposeAtEnd {
    gc_disposable<T> target;
    ~DisposeAtEnd() {
        if (target && !gc_disposable<T>::is_disposed(target.get())) target.Dispose();
    }
};

} // namespace pool_test
