// What the helper thread needs from the pools, in one place: the pools
// call the helper and the helper calls the pools, so the two headers only
// forward-declare each other.
#pragma once
#include "GC/gcptr.h"
#include "core/Delegates.h"

namespace System::Threading {
class TThreadPoolBase;
class TThreadPool;

namespace helper_pools {
// The pool as a work-item pool; EInvalidCast for another kind of pool.
gc_ptr<TThreadPool> as_work_pool(const gc_disposable<TThreadPoolBase>& pool);
// The pool has begun terminating its threads (a disposed pool has).
bool is_terminating(const TThreadPool* pool) noexcept;
// ENullReference for an empty pool, EObjectDisposed for a disposed one.
void queue_work(const gc_ptr<TThreadPool>& pool, const gc_ptr<InvokePtrImplBaseBase>& work);
bool same_pool(const TThreadPool* a, const TThreadPoolBase* b) noexcept;
// Adds one thread to the pool (nothing when it is full).
void add_thread(const gc_disposable<TThreadPoolBase>& pool);
// The library's work pool exists.
bool global_pool_exists() noexcept;
} // namespace helper_pools
} // namespace System::Threading
