#include "RozavUde/Iocp.h"

#include <string>

#include "RozavUde/IocpThreadPool.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Monitor.h"
#include "platform/system.h"

namespace System::IO {

using Sysutils::EInvalidOperation;
using Threading::PooledThreadEvent;
using Threading::ThreadExceptionEvent;
using Threading::TMonitorLock;

namespace {
UnicodeString decimal(unsigned long v) { return UnicodeString(std::to_string(v)); }
} // namespace

// --- TIocpCallback ---------------------------------------------------------

TIocpCallback::TIocpCallback(MulticastDelegate<TInternalIocpCompletionEvent> completion_,
                             gc_ptr<TAsyncIoResult> asyncResult_)
    : completion(completion_), asyncResult(asyncResult_) {
    Init(Threading::Global::g_Iocp);
}

TIocpCallback::TIocpCallback(const gc_disposable<TIocp> iocp_,
                             MulticastDelegate<TInternalIocpCompletionEvent> completion_,
                             gc_ptr<TAsyncIoResult> asyncResult_)
    : completion(completion_), asyncResult(asyncResult_) {
    Init(iocp_);
}

TIocpCallback::~TIocpCallback() = default;

void TIocpCallback::Init(const gc_disposable<TIocp>& iocp_) {
    iocp = iocp_;
    threadId.store(platform::current_thread_id(), std::memory_order_release);
    selfRef = gc_ptr<TIocpCallback>(this);
    iocp->AddPendingIo(threadId.load(), selfRef);
}

void TIocpCallback::DoEvent(unsigned long bytesTransferred, unsigned long errorCode) {
    // The caller's pointer keeps the record alive once the table lets go.
    try {
        if (!asyncResult) throw ENullReference(typeid(TAsyncIoResult));
        asyncResult->SetBytesTransferred(static_cast<std::uint32_t>(bytesTransferred));
        asyncResult->SetErrorCode(static_cast<std::uint32_t>(errorCode));
        asyncResult->Completed();
        if (completion) completion(selfRef, gc_ptr<TAsyncResult>(asyncResult));
    } catch (...) {
        RemovePendingIo();
        throw;
    }
    RemovePendingIo();
}

void TIocpCallback::SetCompletedSynchronously() { asyncResult->SetCompletedSynchronously(true); }

void TIocpCallback::RemovePendingIo() {
    const std::uint32_t id = threadId.exchange(0, std::memory_order_acq_rel);
    if (id == 0) throw EInvalidOperation("This IocpCallback is has already been removed from PendingIoList");
    try {
        iocp->RemovePendingIo(id, selfRef);
    } catch (...) {
        threadId.store(id, std::memory_order_release);
        throw;
    }
}

// --- TIocp -----------------------------------------------------------------

TIocp::TIocp(ThreadExceptionEvent e) { Init(e, PooledThreadEvent(), PooledThreadEvent(), c_DefaultMin, c_DefaultMax); }

TIocp::TIocp(ThreadExceptionEvent e, PooledThreadEvent create, PooledThreadEvent destroy) {
    Init(e, create, destroy, c_DefaultMin, c_DefaultMax);
}

TIocp::TIocp(ThreadExceptionEvent e, int min, int max) { Init(e, PooledThreadEvent(), PooledThreadEvent(), min, max); }

TIocp::TIocp(ThreadExceptionEvent e, PooledThreadEvent create, PooledThreadEvent destroy, int min, int max) {
    Init(e, create, destroy, min, max);
}

TIocp::~TIocp() {
    if (platform::completion_port* p = portHandle.exchange(nullptr)) platform::CloseCompletionPort(p);
}

void TIocp::Init(ThreadExceptionEvent e, PooledThreadEvent create, PooledThreadEvent destroy, int min, int max) {
    if (!e) throw Sysutils::Exception("threadExceptionEvent cannot be NULL");
    platform::completion_port* port = platform::CreateIoCompletionPort(
        platform::INVALID_HANDLE_VALUE, nullptr, 0, static_cast<std::uint32_t>(max < 0 ? 0 : max));
    if (!port) throw Sysutils::EOutOfResources("Unable to create IO Completion Port");
    portHandle.store(port, std::memory_order_release);
    selfRef = gc_ptr<TIocp>(this);
    for (int i = 0; i < c_PendingShards; ++i) {
        pendingIo[i] = gcnew<PendingTable>();
        pendingLocks_[i] = gc_detail::TManagedObjectLock::GetCritSecObj(pendingIo[i]);
    }
    threadCountMin = min;
    threadCountMax = max;
    threadExceptionEvent = e;
    threadCreateEvent = create;
    threadDestroyEvent = destroy;
}

gc_ptr<Threading::TIocpThreadPool> TIocp::GetThreadPool() {
    // Two first callers must not make two pools: the pool is made under the
    // port's lock, and never again once the port is closed.
    gc_ptr<Threading::TIocpThreadPool> pool = threadPool;
    if (pool || closed_.load(std::memory_order_acquire)) return pool;
    TMonitorLock l(selfRef);
    if (!threadPool && !closed_.load(std::memory_order_acquire)) {
        threadPool = gcnew<Threading::TIocpThreadPool>(gc_disposable<TIocp>(selfRef), threadCountMin, threadCountMax,
                                                       threadExceptionEvent, threadCreateEvent, threadDestroyEvent);
        threadPool->SetThreadIdleTimeout(threadIdleTimeout);
    }
    return threadPool;
}

bool TIocp::Subscribe(void* handle) {
    GetThreadPool();
    platform::completion_port* port = GetCompletionPortHandle();
    if (!port) return false;
    return platform::CreateIoCompletionPort(handle, port, 0, 0) != nullptr;
}

void TIocp::AddPendingIo(unsigned long threadId, gc_ptr<TIocpCallback> callback) {
    PendingTable* table = ShardOf(threadId);
    Threading::TRecordLock l(ShardLock(threadId));
    gc_ptr<PendingList> list;
    if (!table->TryGetValue(threadId, list)) {
        list = gcnew<PendingList>();
        table->Add(threadId, list);
    }
    callback->pendingIndex = list->GetCount();
    list->Add(callback);
}

void TIocp::RemoveFromList(PendingList* list, TIocpCallback* callback) {
    const int n = list->GetCount();
    int i = callback->pendingIndex;
    if (i < 0 || i >= n || list->GetItem(i).get() != callback) {
        i = -1;
        for (int k = 0; k < n; ++k)
            if (list->GetItem(k).get() == callback) { i = k; break; }
        if (i < 0) return;
    }
    // The last entry takes the freed slot: removal is constant time.
    if (i != n - 1) {
        IocpCallback last = list->GetItem(n - 1);
        list->SetItem(i, last);
        last->pendingIndex = i;
    }
    list->RemoveAt(n - 1);
    callback->pendingIndex = -1;
}

void TIocp::RemovePendingIo(unsigned long threadId, gc_ptr<TIocpCallback> callback) {
    PendingTable* table = ShardOf(threadId);
    Threading::TRecordLock l(ShardLock(threadId));
    gc_ptr<PendingList> list;
    if (!table->TryGetValue(threadId, list))
        throw EInvalidOperation("Thread " + decimal(threadId) + " has no pending IO - unable to remove");
    RemoveFromList(list.get(), callback.get());
}

bool TIocp::HasIoPending(unsigned long threadId) {
    PendingTable* table = ShardOf(threadId);
    Threading::TRecordLock l(ShardLock(threadId));
    gc_ptr<PendingList> list;
    return table->TryGetValue(threadId, list) && list->GetCount() > 0;
}

void TIocp::CleanupThread(unsigned long threadId) {
    PendingTable* table = ShardOf(threadId);
    Threading::TRecordLock l(ShardLock(threadId));
    if (HasIoPending(threadId))
        throw EInvalidOperation("Thread " + decimal(threadId) + " has pending IO - unable to cleanup");
    table->Remove(threadId);
}

void TIocp::Close() {
    gc_ptr<Threading::TIocpThreadPool> pool;
    {
        TMonitorLock l(selfRef);
        closed_.store(true, std::memory_order_release);
        pool = threadPool;
        threadPool = nullptr;
    }
    // Closed outside the port's lock: a port thread may be subscribing a
    // new handle while the pool waits for it.
    if (pool) pool->Close();
    TMonitorLock l(selfRef);
    if (platform::completion_port* p = portHandle.exchange(nullptr)) platform::CloseCompletionPort(p);
}

void TIocp::Dispose() {
    Close();
    TGarbageCollector::SuppressFinalize(selfRef);
}

} // namespace System::IO
