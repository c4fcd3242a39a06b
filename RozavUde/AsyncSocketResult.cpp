#include "RozavUde/AsyncSocketResult.h"

#include "RozavUde/AsyncSocket.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

using Sysutils::EAssertionFailed;
using Sysutils::EInvalidOperation;

TClass TAsyncSocketResult::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TAsyncSocketResult, IO::TAsyncIoResult>("TAsyncSocketResult", "System.Net.Sockets").Build();
    return &cls;
}

TClass TAsyncAcceptSocketResult::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TAsyncAcceptSocketResult, TAsyncSocketResult>("TAsyncAcceptSocketResult", "System.Net.Sockets")
            .Build();
    return &cls;
}

// --- TIocpCallbackSocket -----------------------------------------------------

TIocpCallbackSocket::TIocpCallbackSocket(const gc_disposable<TAsyncSocket> /*socket*/,
                                         MulticastDelegate<TIocpCompletionEvent> callback,
                                         MulticastDelegate<IO::TInternalIocpCompletionEvent> completion,
                                         gc_ptr<TAsyncSocketResult> result)
    : TIocpCallback(completion, gc_ptr<IO::TAsyncIoResult>(result)) {
    result->GetCallback() = callback;
}

void TIocpCallbackSocket::SetBuffer(const gc_array<unsigned char>& buf, int offset, int size) {
    if (buf) {
        buffer = buf;
        bufferDescriptor.len = static_cast<std::uint32_t>(size);
        bufferDescriptor.buf = reinterpret_cast<char*>(buf.data() + offset);
    } else {
        bufferDescriptor.len = 0;
        bufferDescriptor.buf = nullptr;
    }
}

// --- TAsyncSocketResult ------------------------------------------------------

TAsyncSocketResult::TAsyncSocketResult(const gc_disposable<TAsyncSocket> socket_, const gc_ptr<TObject> state)
    : TAsyncIoResult(gc_ptr<TObject>(socket_), state), socket(socket_) {}

gc_ptr<TAsyncSocketResult> TAsyncSocketResult::GetSelf() {
    if (!selfRef) selfRef = gc_ptr<TAsyncSocketResult>(this);
    return selfRef;
}

TIocpCallbackSocket* TAsyncSocketResult::GetRecord() const {
    return static_cast<TIocpCallbackSocket*>(iocpCallback.get());
}

void TAsyncSocketResult::SetUnmanagedStructures(const gc_array<unsigned char>& buffer, int offset, int size,
                                                const gc_ptr<TSocketAddress>& address,
                                                MulticastDelegate<TIocpCompletionEvent> callback,
                                                MulticastDelegate<IO::TInternalIocpCompletionEvent> completion) {
    gc_ptr<TIocpCallbackSocket> record = gcnew<TIocpCallbackSocket>(socket, callback, completion, GetSelf());
    record->SetBuffer(buffer, offset, size);
    if (address) {
        socketAddress = address;
        socketAddress->CopyAddressSizeIntoBuffer();
    }
    iocpCallback = record;
}

platform::OVERLAPPED* TAsyncSocketResult::GetOverlappedHandle() const {
    if (!iocpCallback) throw ENullReference(typeid(IO::TIocpCallback));
    return iocpCallback->GetOverlapped();
}

platform::winsock::WSABUF* TAsyncSocketResult::GetSingleBuffer() const {
    if (!iocpCallback) throw ENullReference(typeid(IO::TIocpCallback));
    return GetRecord()->GetBufferDescriptor();
}

unsigned char* TAsyncSocketResult::GetSocketAddressPtr() const {
    if (!socketAddress) throw EInvalidOperation("SocketAddress is not valid for this AsyncResult");
    return socketAddress->GetBuffer().data();
}

std::int32_t* TAsyncSocketResult::GetSocketAddressSizePtr() const {
    if (!socketAddress) throw EInvalidOperation("SocketAddress is not valid for this AsyncResult");
    return reinterpret_cast<std::int32_t*>(socketAddress->GetBuffer().data() + socketAddress->GetAddressSizeOffset());
}

SocketError::Enum TAsyncSocketResult::CheckAsyncCallOverlappedResult(SocketError::Enum errorCode) {
    if (errorCode == SocketError::SocketError)
        errorCode = static_cast<SocketError::Enum>(platform::winsock::WSAGetLastError());
    switch (errorCode) {
    case SocketError::Success:
        GetRecord()->SetCompletedSynchronously();
        return SocketError::Success;
    case SocketError::IOPending: return SocketError::Success;
    default:
        GetRecord()->SetIoFailed();
        return errorCode;
    }
}

// --- TAsyncAcceptSocketResult ------------------------------------------------

namespace {
int accept_buffer_size(AddressFamily::Enum family) {
    // Two areas of address + 16 bytes the platform asks for.
    switch (family) {
    case AddressFamily::InterNetwork: return 2 * (16 + 16);
    case AddressFamily::InterNetworkV6: return 2 * (28 + 16);
    default: throw EAssertionFailed("Internal error");
    }
}
} // namespace

TAsyncAcceptSocketResult::TAsyncAcceptSocketResult(const gc_disposable<TAsyncSocket> socket_,
                                                   const gc_ptr<TObject> state, AddressFamily::Enum addressFamily)
    : TAsyncSocketResult(socket_, state) {
    acceptBuffer = gcnew_array<unsigned char>(accept_buffer_size(addressFamily));
}

} // namespace System::Net::Sockets
