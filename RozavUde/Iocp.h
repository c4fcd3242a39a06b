// The managed side of the I/O completion port: the completion record of an
// overlapped operation, the port with its table of pending operations per
// issuing thread, and the exception base of the I/O owners.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstring>

#include "collections/GcDictionary.h"
#include "collections/GcList.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/PooledThread.h"
#include "RozavUde/ThreadPoolBase.h"
#include "core/Delegates.h"
#include "core/Exceptions.h"
#include "core/Objects.h"
#include "platform/completion_port.h"

namespace System::Threading { class TIocpThreadPool; }

namespace System::IO {

class TIocp;
class TIocpCallback;

// The platform's overlapped structure, zeroed.
struct TOverlapped {
    platform::OVERLAPPED overlapped;
    TOverlapped() noexcept { std::memset(&overlapped, 0, sizeof overlapped); }
    platform::OVERLAPPED* GetOverlapped() noexcept { return &overlapped; }
};

using IocpCallback = gc_ptr<TIocpCallback>;
// The owner's completion handler.
using TInternalIocpCompletionEvent = void(const gc_ptr<TIocpCallback> callback, gc_ptr<TAsyncResult> result);

// The record of one overlapped operation. Its OVERLAPPED is what the port
// hands back, so a completion finds its record without a lookup. From
// construction until it leaves the pending table the table holds it, so the
// collector cannot take the structure while the platform owns it.
class TIocpCallback : public TOverlapped {
public:
    // Recorded as pending I/O of the calling thread on Global::g_Iocp.
    TIocpCallback(MulticastDelegate<TInternalIocpCompletionEvent> completion, gc_ptr<TAsyncIoResult> asyncResult);
    // The same on another port.
    TIocpCallback(const gc_disposable<TIocp> iocp, MulticastDelegate<TInternalIocpCompletionEvent> completion,
                  gc_ptr<TAsyncIoResult> asyncResult);
    virtual ~TIocpCallback();

    // The record whose OVERLAPPED this is.
    static TIocpCallback* FromOverlapped(platform::OVERLAPPED* o) noexcept {
        return static_cast<TIocpCallback*>(reinterpret_cast<TOverlapped*>(o));
    }

    // Fills the result, completes it, calls the owner; the record leaves
    // the pending table whatever the owner does.
    void DoEvent(unsigned long bytesTransferred, unsigned long errorCode);
    // The operation finished inside its call; the packet still comes.
    void SetCompletedSynchronously();
    // The issuing call failed: no completion will arrive.
    void SetIoFailed() { RemovePendingIo(); }
    void RemovePendingIo();

    gc_ptr<TIocpCallback> GetSelf() const { return selfRef; }
    gc_ptr<TAsyncIoResult> GetAsyncResult() const { return asyncResult; }
    // 0 once the record has left the pending table.
    std::uint32_t GetThreadId() const noexcept { return threadId.load(std::memory_order_acquire); }

private:
    friend class TIocp;
    void Init(const gc_disposable<TIocp>& iocp);

    gc_ptr<TIocpCallback> selfRef;
    MulticastDelegate<TInternalIocpCompletionEvent> completion;
    gc_ptr<TAsyncIoResult> asyncResult;
    std::atomic<std::uint32_t> threadId{0};
    gc_disposable<TIocp> iocp;
    // Slot in its thread's pending list, for removal without a search.
    int pendingIndex = -1;
};

class EAsyncIoException : public EAsyncException {
public:
    explicit EAsyncIoException(const UnicodeString& message) : EAsyncException(message) {}
};

class TIocp : public TIDisposable {
public:
    static constexpr int c_DefaultMin = 1;
    static constexpr int c_DefaultMax = 500;

    explicit TIocp(Threading::ThreadExceptionEvent threadExceptionEvent);
    TIocp(Threading::ThreadExceptionEvent threadExceptionEvent, Threading::PooledThreadEvent threadCreateEvent,
          Threading::PooledThreadEvent threadDestroyEvent);
    TIocp(Threading::ThreadExceptionEvent threadExceptionEvent, int min, int max);
    TIocp(Threading::ThreadExceptionEvent threadExceptionEvent, Threading::PooledThreadEvent threadCreateEvent,
          Threading::PooledThreadEvent threadDestroyEvent, int min, int max);
    ~TIocp() override;

    void Dispose() override;
    // Stops the threads, then closes the port. Outstanding operations are
    // not cancelled.
    virtual void Close();

    platform::completion_port* GetCompletionPortHandle() const noexcept { return portHandle.load(std::memory_order_acquire); }
    // The port's threads, started on first use.
    gc_ptr<Threading::TIocpThreadPool> GetThreadPool();
    // Associates a handle (a socket's) with the port; false when refused.
    bool Subscribe(void* handle);

    void AddPendingIo(unsigned long threadId, gc_ptr<TIocpCallback> callback);
    void RemovePendingIo(unsigned long threadId, gc_ptr<TIocpCallback> callback);
    bool HasIoPending(unsigned long threadId);
    void CleanupThread(unsigned long threadId);

    int GetThreadCountMin() const noexcept { return threadCountMin; }
    int GetThreadCountMax() const noexcept { return threadCountMax; }
    // The idle wait of the port's threads (a minute); set before the first
    // Subscribe to take effect.
    void SetThreadIdleTimeout(std::uint32_t ms) noexcept { threadIdleTimeout = ms; }

private:
    using PendingList = Collections::TGcList<IocpCallback>;
    using PendingTable = Collections::TGcDictionary<unsigned long, gc_ptr<PendingList>>;
    // Threads map to shards by id, so issuing and completing threads of
    // different ids rarely meet on one lock. Each shard's dictionary
    // guards itself with its own monitor.
    static constexpr int c_PendingShards = 16;
    static int ShardIndex(unsigned long threadId) noexcept { return static_cast<int>(threadId & (c_PendingShards - 1)); }
    PendingTable* ShardOf(unsigned long threadId) const noexcept { return pendingIo[ShardIndex(threadId)].get(); }
    gc_detail::monitor_lock_record* ShardLock(unsigned long threadId) const noexcept {
        return pendingLocks_[ShardIndex(threadId)];
    }
    void Init(Threading::ThreadExceptionEvent threadExceptionEvent, Threading::PooledThreadEvent threadCreateEvent,
              Threading::PooledThreadEvent threadDestroyEvent, int min, int max);
    void RemoveFromList(PendingList* list, TIocpCallback* callback);

    gc_ptr<TIocp> selfRef;
    std::atomic<platform::completion_port*> portHandle{nullptr};
    gc_ptr<Threading::TIocpThreadPool> threadPool;
    int threadCountMin = c_DefaultMin;
    int threadCountMax = c_DefaultMax;
    Threading::ThreadExceptionEvent threadExceptionEvent;
    Threading::PooledThreadEvent threadCreateEvent;
    Threading::PooledThreadEvent threadDestroyEvent;
    gc_ptr<PendingTable> pendingIo[c_PendingShards];
    gc_detail::monitor_lock_record* pendingLocks_[c_PendingShards] = {};
    std::atomic<bool> closed_{false};
    std::uint32_t threadIdleTimeout = Threading::TPooledThread::c_IdleTimeout;
};

} // namespace System::IO
