// The result of a socket's Begin/End operation and its completion record.
// The record's OVERLAPPED goes to the platform; the record holds the
// caller's buffer, so the array stays alive (and in place: the collector
// never moves objects) while the platform reads or writes it.
#pragma once
#include <cstdint>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/Iocp.h"
#include "RozavUde/SocketAddress.h"
#include "RozavUde/SocketEnums.h"
#include "core/Delegates.h"
#include "platform/socket_engine.h"

namespace System::Net::Sockets {

class TAsyncSocket;
class TAsyncSocketResult;

class TIocpCallbackSocket : public IO::TIocpCallback {
public:
    // Records the operation as pending I/O of this thread and puts the
    // caller's callback into the result.
    TIocpCallbackSocket(const gc_disposable<TAsyncSocket> socket, MulticastDelegate<TIocpCompletionEvent> callback,
                        MulticastDelegate<IO::TInternalIocpCompletionEvent> completion,
                        gc_ptr<TAsyncSocketResult> result);

    // size bytes from data + offset; no buffer: length 0, pointer null.
    void SetBuffer(const gc_array<unsigned char>& buffer, int offset, int size);
    platform::winsock::WSABUF* GetBufferDescriptor() noexcept { return &bufferDescriptor; }

private:
    gc_array<unsigned char> buffer;
    platform::winsock::WSABUF bufferDescriptor{0, nullptr};
};

class TAsyncSocketResult : public IO::TAsyncIoResult {
public:
    NORVANE_CLASS_INFO();
    TAsyncSocketResult(const gc_disposable<TAsyncSocket> socket, const gc_ptr<TObject> state);

    void SetUnmanagedStructures(const gc_array<unsigned char>& buffer, int offset, int size,
                                const gc_ptr<TSocketAddress>& socketAddress, MulticastDelegate<TIocpCompletionEvent> callback,
                                MulticastDelegate<IO::TInternalIocpCompletionEvent> completion);

    platform::OVERLAPPED* GetOverlappedHandle() const;
    platform::winsock::WSABUF* GetSingleBuffer() const;
    // The socket address's bytes and its size slot; EInvalidOperation
    // "SocketAddress is not valid for this AsyncResult" without one.
    unsigned char* GetSocketAddressPtr() const;
    std::int32_t* GetSocketAddressSizePtr() const;
    const gc_ptr<TSocketAddress>& GetSocketAddress() const noexcept { return socketAddress; }

    // 0 (done at once) and 997 (pending) give 0; any other value fails the
    // record (no completion will come) and is returned. -1 stands for the
    // thread's last Winsock error.
    SocketError::Enum CheckAsyncCallOverlappedResult(SocketError::Enum errorCode);

    gc_ptr<TAsyncSocketResult> GetSelf();
    TIocpCallbackSocket* GetRecord() const;

protected:
    gc_ptr<TAsyncSocketResult> selfRef;
    gc_disposable<TAsyncSocket> socket;
    gc_ptr<TSocketAddress> socketAddress;
};

class TAsyncAcceptSocketResult : public TAsyncSocketResult {
public:
    NORVANE_CLASS_INFO();
    // The accept buffer holds the two addresses the accept writes: 64 bytes
    // for IPv4, 88 for IPv6; any other family is an internal error.
    TAsyncAcceptSocketResult(const gc_disposable<TAsyncSocket> socket, const gc_ptr<TObject> state,
                             AddressFamily::Enum addressFamily);
    const gc_array<unsigned char>& GetAcceptBuffer() const noexcept { return acceptBuffer; }

private:
    gc_array<unsigned char> acceptBuffer;
};

} // namespace System::Net::Sockets
