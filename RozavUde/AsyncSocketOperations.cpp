// The Begin/End pairs of TAsyncSocket, their completion handlers and the
// connect extension.
#include "GC/gcptr.h"
#include "RozavUde/AsyncSocket.h"
#include "RozavUde/AsyncSocketChecks.h"
#include "RozavUde/AsyncSocketResult.h"
#include "RozavUde/IPEndPoint.h"
#include "core/Monitor.h"
#include "core/WaitHandle.h"
#include "platform/error_text.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

namespace ws = platform::winsock;
using IO::TInternalIocpCompletionEvent;
using IO::TIocpCallback;
using Sysutils::EInvalidOperation;
using Threading::TMonitorLock;

namespace {

using detail::system_text;
using detail::validate_buffer;

void signal(TAsyncResult* result) { result->SignalWaitHandle(); }

using Completion = MulticastDelegate<TInternalIocpCompletionEvent>;

} // namespace

// --- issuing -------------------------------------------------------------------

template <class Issue>
gc_ptr<TAsyncResult> TAsyncSocket::IssueOperation(const gc_ptr<TAsyncSocketResult>& result,
                                                  const gc_array<unsigned char>& buffer, int offset, int size,
                                                  const gc_ptr<TSocketAddress>& address, Callback callback,
                                                  Completion completion, const char* prefix, Issue issue) {
    result->SetUnmanagedStructures(buffer, offset, size, address, callback, completion);
    int rc;
    try {
        rc = issue();
    } catch (...) {
        // Nothing was issued: the record must not stay pending.
        result->GetRecord()->SetIoFailed();
        throw;
    }
    const SocketError::Enum error =
        result->CheckAsyncCallOverlappedResult(rc == 0 ? SocketError::Success : SocketError::SocketError);
    if (error != SocketError::Success) throw EAsyncSocketIoException(UnicodeString(prefix) + system_text(error));
    return gc_ptr<TAsyncResult>(result);
}

MulticastDelegate<TInternalIocpCompletionEvent> TAsyncSocket::DataCompletion() {
    if (!dataCompletion) dataCompletion = Completion::Create<&TAsyncSocket::OnDataIoCompletion>(Self());
    return dataCompletion;
}

ws::LPFN_CONNECTEX TAsyncSocket::GetConnectExDelegate() {
    if (connectEx) return connectEx;
    ws::GUID id = ws::WSAID_CONNECTEX;
    ws::LPFN_CONNECTEX fn = nullptr;
    std::uint32_t returned = 0;
    if (ws::WSAIoctl(handle, ws::SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &fn, sizeof fn, &returned,
                     nullptr, nullptr) != 0)
        throw EAsyncSocketIoException("GetConnectExDelegate (ConnectEx) failed: " + system_text(ws::WSAGetLastError()));
    connectEx = fn;
    return connectEx;
}

bool TAsyncSocket::ConnectEx(SOCKET s, const void* name, int namelen, void* sendBuffer, std::uint32_t sendLength,
                             std::uint32_t* bytesSent, platform::OVERLAPPED* overlapped) {
    return GetConnectExDelegate()(s, name, namelen, sendBuffer, sendLength, bytesSent, overlapped);
}

gc_ptr<TAsyncResult> TAsyncSocket::BeginConnect(const gc_ptr<TEndPoint> remoteEP, Callback callback,
                                                gc_ptr<TObject> state) {
    if (!remoteEP) throw EArgumentNull("remoteEndPoint");
    CheckOpen();
    if (connected.load()) throw EInvalidOperation("Socket must not be connected");
    if (listening.load()) throw EInvalidOperation("Socket must not be listening");
    TMonitorLock l(selfRef);
    if (connecting.load()) throw EInvalidOperation("Socket is already connecting");
    connecting = true;
    try {
        gc_ptr<TSocketAddress> sa = remoteEP->Serialize();
        gc_ptr<TAsyncSocketResult> result = gcnew<TAsyncSocketResult>(gc_disposable<TAsyncSocket>(Self()), state);
        return IssueOperation(result, gc_array<unsigned char>(), 0, 0, sa, callback,
                              Completion::Create<&TAsyncSocket::OnConnectCompletion>(Self()), "Connect failed: ",
                              [&] {
                                  if (!bound.load()) BindToWildcard();
                                  std::uint32_t sent = 0;
                                  return ConnectEx(handle, result->GetSocketAddressPtr(), sa->GetSize(), nullptr, 0,
                                                   &sent, result->GetOverlappedHandle())
                                             ? 0
                                             : -1;
                              });
    } catch (...) {
        connecting = false;
        throw;
    }
}

gc_ptr<TAsyncResult> TAsyncSocket::BeginAccept(Callback callback, gc_ptr<TObject> state) {
    CheckOpen();
    if (!listening.load()) throw EInvalidOperation("Socket must be listening");
    TMonitorLock l(selfRef);
    if (acceptedSocket) throw EAsyncSocketIoException("EndAccept must be called before another BeginAccept");
    gc_ptr<TAsyncAcceptSocketResult> result =
        gcnew<TAsyncAcceptSocketResult>(gc_disposable<TAsyncSocket>(Self()), state, addressFamily);
    acceptedSocket = gcnew<TAsyncSocket>(addressFamily, socketType, protocolType);
    const SOCKET target = acceptedSocket.get()->handle;
    try {
        return IssueOperation(gc_ptr<TAsyncSocketResult>(result), gc_array<unsigned char>(), 0, 0, nullptr, callback,
                              Completion::Create<&TAsyncSocket::OnAcceptCompletion>(Self()), "BeginAccept failed: ",
                              [&] {
                                  const gc_array<unsigned char>& out = result->GetAcceptBuffer();
                                  const std::uint32_t half = static_cast<std::uint32_t>(out.Length() / 2);
                                  std::uint32_t got = 0;
                                  return ws::AcceptEx(handle, target, out.data(), 0, half, half, &got,
                                                      result->GetOverlappedHandle())
                                             ? 0
                                             : -1;
                              });
    } catch (...) {
        // No accept is outstanding: the next BeginAccept must be possible.
        ReleaseAcceptedSocket();
        throw;
    }
}

gc_ptr<TAsyncResult> TAsyncSocket::BeginSend(const gc_array<unsigned char> buffer, int offset, int size,
                                             SocketFlags::Enum socketFlags, Callback callback, gc_ptr<TObject> state) {
    validate_buffer(buffer, offset, size);
    CheckOpen();
    TMonitorLock l(selfRef);
    gc_ptr<TAsyncSocketResult> result = gcnew<TAsyncSocketResult>(gc_disposable<TAsyncSocket>(Self()), state);
    return IssueOperation(result, buffer, offset, size, nullptr, callback,
                          DataCompletion(), "BeginSend failed: ", [&] {
                              std::uint32_t sent = 0;
                              return ws::WSASend(handle, result->GetSingleBuffer(), 1, &sent,
                                                 static_cast<std::uint32_t>(socketFlags), result->GetOverlappedHandle(),
                                                 nullptr);
                          });
}

gc_ptr<TAsyncResult> TAsyncSocket::BeginReceive(const gc_array<unsigned char> buffer, int offset, int size,
                                                SocketFlags::Enum socketFlags, Callback callback,
                                                gc_ptr<TObject> state) {
    validate_buffer(buffer, offset, size);
    CheckOpen();
    if (!bound.load()) throw EInvalidOperation("Socket must be bound");
    TMonitorLock l(selfRef);
    gc_ptr<TAsyncSocketResult> result = gcnew<TAsyncSocketResult>(gc_disposable<TAsyncSocket>(Self()), state);
    return IssueOperation(result, buffer, offset, size, nullptr, callback,
                          DataCompletion(), "BeginReceive failed: ", [&] {
                              std::uint32_t got = 0, flags = static_cast<std::uint32_t>(socketFlags);
                              return ws::WSARecv(handle, result->GetSingleBuffer(), 1, &got, &flags,
                                                 result->GetOverlappedHandle(), nullptr);
                          });
}

gc_ptr<TAsyncResult> TAsyncSocket::BeginSendTo(const gc_array<unsigned char> buffer, int offset, int size,
                                               SocketFlags::Enum socketFlags, const gc_ptr<TEndPoint> remoteEP,
                                               Callback callback, gc_ptr<TObject> state) {
    if (!buffer) throw EArgumentNull("buffer");
    if (!remoteEP) throw EArgumentNull("endPoint");
    validate_buffer(buffer, offset, size);
    CheckOpen();
    TMonitorLock l(selfRef);
    gc_ptr<TSocketAddress> sa = remoteEP->Serialize();
    gc_ptr<TAsyncSocketResult> result = gcnew<TAsyncSocketResult>(gc_disposable<TAsyncSocket>(Self()), state);
    return IssueOperation(result, buffer, offset, size, sa, callback,
                          DataCompletion(), "BeginSendTo failed: ", [&] {
                              std::uint32_t sent = 0;
                              return ws::WSASendTo(handle, result->GetSingleBuffer(), 1, &sent,
                                                   static_cast<std::uint32_t>(socketFlags),
                                                   result->GetSocketAddressPtr(), sa->GetSize(),
                                                   result->GetOverlappedHandle(), nullptr);
                          });
}

gc_ptr<TAsyncResult> TAsyncSocket::BeginReceiveFrom(const gc_array<unsigned char> buffer, int offset, int size,
                                                    SocketFlags::Enum socketFlags, gc_ptr<TEndPoint>& remoteEP,
                                                    Callback callback, gc_ptr<TObject> state) {
    if (!buffer) throw EArgumentNull("buffer");
    if (!remoteEP) throw EArgumentNull("endPoint");
    if (remoteEP->GetAddressFamily() != addressFamily)
        throw EArgument("Invalid endPoint address family (endPoint address family not similar to socket's)",
                        "endPoint");
    validate_buffer(buffer, offset, size);
    CheckOpen();
    if (!bound.load()) throw EInvalidOperation("Socket must be bound");
    TMonitorLock l(selfRef);
    gc_ptr<TSocketAddress> sa = remoteEP->Serialize();
    gc_ptr<TAsyncSocketResult> result = gcnew<TAsyncSocketResult>(gc_disposable<TAsyncSocket>(Self()), state);
    gc_ptr<TAsyncResult> r = IssueOperation(
        result, buffer, offset, size, sa, callback, DataCompletion(),
        "BeginReceiveFrom failed: ", [&] {
            std::uint32_t got = 0, flags = static_cast<std::uint32_t>(socketFlags);
            return ws::WSARecvFrom(handle, result->GetSingleBuffer(), 1, &got, &flags, result->GetSocketAddressPtr(),
                                   result->GetSocketAddressSizePtr(), result->GetOverlappedHandle(), nullptr);
        });
    if (result->GetCompletedSynchronously()) {
        sa->SetSize(result->GetSocketAddressSizePtr());
        remoteEP = TIPEndPoint::Create(sa);
    }
    return r;
}

// --- completion ------------------------------------------------------------------
//
// A handler always signals the result, also for a socket disposed in the
// meantime, so that an End waiting on it returns (with the abort error);
// only the caller's callback is withheld.

void TAsyncSocket::OnDataIoCompletion(const gc_ptr<TIocpCallback> callback, gc_ptr<TAsyncResult> result) {
    {
        TMonitorLock l(selfRef);
        auto* r = static_cast<TAsyncSocketResult*>(result.get());
        // Dispose shuts the socket down before closing it, which ends a
        // pending receive with nothing: for its End that is the abort it
        // stands for, not a peer that closed.
        if (disposed.load() && r->GetErrorCode() == 0 && r->GetBytesTransferred() == 0 &&
            r->GetSingleBuffer()->len > 0)
            r->SetErrorCode(SocketError::OperationAborted);
        signal(r);
    }
    if (disposed.load()) return;
    DoExternalEvent(callback, result);
}

void TAsyncSocket::OnConnectCompletion(const gc_ptr<TIocpCallback> callback, gc_ptr<TAsyncResult> result) {
    {
        TMonitorLock l(selfRef);
        auto* r = static_cast<TAsyncSocketResult*>(result.get());
        ws::setsockopt(handle, ws::WS_SOL_SOCKET, ws::WS_SO_UPDATE_CONNECT_CONTEXT, nullptr, 0);
        connecting = false;
        // A failed connect leaves the socket unconnected.
        if (r->GetErrorCode() == 0 && !disposed.load()) connected = true;
        signal(r);
    }
    if (disposed.load()) return;
    DoExternalEvent(callback, result);
}

void TAsyncSocket::OnAcceptCompletion(const gc_ptr<TIocpCallback> callback, gc_ptr<TAsyncResult> result) {
    gc_disposable<TAsyncSocket> failed;
    {
        TMonitorLock l(selfRef);
        auto* r = static_cast<TAsyncSocketResult*>(result.get());
        gc_disposable<TAsyncSocket> accepted = acceptedSocket;
        if (accepted) {
            TAsyncSocket* a = accepted.get();
            TMonitorLock la(a->selfRef);
            if (r->GetErrorCode() == 0 && !disposed.load()) {
                const std::uint32_t listener = handle;
                ws::setsockopt(a->handle, ws::WS_SOL_SOCKET, ws::WS_SO_UPDATE_ACCEPT_CONTEXT, &listener, 4);
                a->connected = open.load();
                a->open = open.load();
                a->bound = true;
            } else {
                // The slot is free again, so the listener goes on accepting
                // after a client that reset its connection.
                failed = accepted;
                acceptedSocket = nullptr;
            }
        }
        signal(r);
    }
    if (failed) failed.Dispose();
    if (disposed.load()) return;
    DoExternalEvent(callback, result);
}

void TAsyncSocket::DoExternalEvent(const gc_ptr<TIocpCallback> /*callback*/, gc_ptr<TAsyncResult> result) {
    if (!open.load()) return;
    MulticastDelegate<TIocpCompletionEvent>& cb = result->GetCallback();
    if (cb) cb(result);
}

// --- ending --------------------------------------------------------------------

gc_ptr<TAsyncSocketResult> TAsyncSocket::BeginEnd(gc_ptr<TAsyncResult> asyncResult, const char* endName) {
    TAsyncResult* r = asyncResult.operator->();
    if (r->GetEndCalled()) throw EInvalidOperation(UnicodeString(endName) + " had already been called");
    r->SetEndCalled(true);
    r->WaitSignalled();
    return gc_ptr<TAsyncSocketResult>(asyncResult);
}

void TAsyncSocket::ValidateResult(gc_ptr<TAsyncResult> asyncResult, const char* operation) {
    asyncResult->WaitSignalled();
    gc_ptr<TAsyncSocketResult> r(asyncResult); // EInvalidCast for a foreign result
    if (r->GetErrorCode() != 0)
        throw EAsyncSocketIoException(UnicodeString("Unable to ") + operation + ": " +
                                      system_text(static_cast<int>(r->GetErrorCode())));
}

int TAsyncSocket::EndDataOperation(gc_ptr<TAsyncResult> asyncResult, const char* endName, const char* operation) {
    gc_ptr<TAsyncSocketResult> r = BeginEnd(asyncResult, endName);
    ValidateResult(asyncResult, operation);
    return static_cast<int>(r->GetBytesTransferred());
}

void TAsyncSocket::EndConnect(gc_ptr<TAsyncResult> asyncResult) {
    BeginEnd(asyncResult, "EndConnect");
    ValidateResult(asyncResult, "connect");
}

gc_disposable<TAsyncSocket> TAsyncSocket::EndAccept(gc_ptr<TAsyncResult> asyncResult) {
    BeginEnd(asyncResult, "EndAccept");
    ValidateResult(asyncResult, "accept");
    TMonitorLock l(selfRef);
    gc_disposable<TAsyncSocket> s = acceptedSocket;
    if (!s)
        throw EAsyncSocketIoException(
            "EndAccept can only be called once for each accepted socket (socket has been handed over)");
    if (!s.get()->connected.load()) throw EAsyncSocketIoException("EndAccept socket has been closed");
    acceptedSocket = nullptr;
    return s;
}

int TAsyncSocket::EndSend(gc_ptr<TAsyncResult> asyncResult) { return EndDataOperation(asyncResult, "EndSend", "send"); }

int TAsyncSocket::EndReceive(gc_ptr<TAsyncResult> asyncResult) {
    return EndDataOperation(asyncResult, "EndReceive", "receive");
}

int TAsyncSocket::EndSendTo(gc_ptr<TAsyncResult> asyncResult) {
    return EndDataOperation(asyncResult, "EndSendTo", "sendto");
}

int TAsyncSocket::EndReceiveFrom(gc_ptr<TAsyncResult> asyncResult, gc_ptr<TEndPoint>& remoteEP) {
    const int n = EndDataOperation(asyncResult, "EndReceiveFrom", "receivefrom");
    gc_ptr<TAsyncSocketResult> r(asyncResult);
    gc_ptr<TSocketAddress> sa = r->GetSocketAddress();
    sa->SetSize(r->GetSocketAddressSizePtr());
    remoteEP = TIPEndPoint::Create(sa);
    return n;
}

} // namespace System::Net::Sockets
