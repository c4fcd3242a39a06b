#include "RozavUde/AsyncHelperThreadPools.h"

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
