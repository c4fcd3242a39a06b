#include "RozavUde/AsyncHelperThreadPools.h"

// Until the pools are in the tree the helper is built without them.
#if __has_include("RozavUde/ThreadPoolGlobals.cpp") && __has_include("RozavUde/ThreadPool.cpp") && \
    __has_include("RozavUde/ThreadPoolBase.cpp")
#include "RozavUde/ThreadPool.h"
#include "RozavUde/ThreadPoolGlobals.h"

namespace System::Threading::helper_pools {

gc_ptr<TThreadPool> as_work_pool(const gc_disposable<TThreadPoolBase>& pool) { return gc_ptr<TThreadPool>(pool); }

bool is_terminating(const TThreadPool* pool) noexcept { return pool && pool->GetTerminating(); }

void queue_work(const gc_ptr<TThreadPool>& pool, const gc_ptr<InvokePtrImplBaseBase>& work) {
    gc_disposable<TThreadPool>(pool)->QueueUserWorkItem(work);
}

bool same_pool(const TThreadPool* a, const TThreadPoolBase* b) noexcept {
    return a && b && static_cast<const TThreadPoolBase*>(a) == b;
}

void add_thread(const gc_disposable<TThreadPoolBase>& pool) { pool->AddNewThread(); }

bool global_pool_exists() noexcept { return static_cast<bool>(Global::g_ThreadPool); }

} // namespace System::Threading::helper_pools

#else
// Until the pools exist in this tree no pool can be handed to the helper.
namespace System::Threading::helper_pools {
gc_ptr<TThreadPool> as_work_pool(const gc_disposable<TThreadPoolBase>&) { return gc_ptr<TThreadPool>(); }
bool is_terminating(const TThreadPool*) noexcept { return false; }
void queue_work(const gc_ptr<TThreadPool>&, const gc_ptr<InvokePtrImplBaseBase>&) {}
bool same_pool(const TThreadPool*, const TThreadPoolBase*) noexcept { return false; }
void add_thread(const gc_disposable<TThreadPoolBase>&) {}
bool global_pool_exists() noexcept { return false; }
} // namespace System::Threading::helper_pools
#endif
