#include "RozavUde/AsyncSocket.h"
#include "RozavUde/AsyncSocketChecks.h"

#include "GC/GarbageCollector.h"
#include "RozavUde/IPEndPoint.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "RozavUde/ValidationHelper.h"
#include "core/Monitor.h"
#include "platform/error_text.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

namespace ws = platform::winsock;
using Sysutils::EInvalidOperation;
using Threading::TMonitorLock;

TClass TAsyncSocket::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TAsyncSocket, TIDisposable>("TAsyncSocket", "System.Net.Sockets").Build();
    return &cls;
}

namespace {

using detail::system_text;
using detail::validate_buffer;

ws::WSABUF descriptor(const gc_array<unsigned char>& buffer, int offset, int size) {
    return ws::WSABUF{static_cast<std::uint32_t>(size), reinterpret_cast<char*>(buffer.data() + offset)};
}

} // namespace

// --- life ----------------------------------------------------------------------

TAsyncSocket::TAsyncSocket(AddressFamily::Enum family, SocketType::Enum type, ProtocolType::Enum protocol) {
    Init();
    addressFamily = family;
    socketType = type;
    protocolType = protocol;
    CreateHandle();
}

TAsyncSocket::TAsyncSocket(SOCKET acceptedHandle, AddressFamily::Enum family, SocketType::Enum type,
                           ProtocolType::Enum protocol, bool listenerOpen) {
    Init();
    addressFamily = family;
    socketType = type;
    protocolType = protocol;
    handle = acceptedHandle;
    open = true;
    Register();
    open = listenerOpen;
    connected = listenerOpen;
    bound = true;
}

// A socket whose finalization was suppressed without a Dispose, or that
// never became managed, must not keep its descriptor.
TAsyncSocket::~TAsyncSocket() {
    if (open.exchange(false)) ws::closesocket(handle);
}

void TAsyncSocket::Init() {
    // Bound at once: the managed lock is taken on this member.
    selfRef = gc_ptr<TAsyncSocket>(this);
    disposed = false;
    connectEx = nullptr;
    addressFamily = AddressFamily::Unspecified;
    socketType = SocketType::Unknown;
    protocolType = ProtocolType::Unknown;
    handle = INVALID_SOCKET;
    Reset();
}

void TAsyncSocket::Reset() {
    acceptedSocket = nullptr;
    localEndPoint = nullptr;
    remoteEndPoint = nullptr;
    bound = false;
    listening = false;
    connected = false;
    open = false;
    connecting = false;
}

gc_ptr<TAsyncSocket> TAsyncSocket::Self() {
    if (!selfRef) selfRef = gc_ptr<TAsyncSocket>(this);
    return selfRef;
}

void TAsyncSocket::CreateHandle() {
    handle = ws::WSASocketW(addressFamily, socketType, protocolType, nullptr, 0, ws::WSA_FLAG_OVERLAPPED);
    if (handle == INVALID_SOCKET) throw EAsyncSocketIoException("Unable to obtain a socket");
    open = true;
    Register();
}

void TAsyncSocket::Register() {
    // A constructor that throws leaves no object to dispose: the handle is
    // closed here.
    bool ok;
    try {
        ok = Threading::Global::g_Iocp->Subscribe(reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)));
    } catch (...) {
        ws::closesocket(handle);
        open = false;
        throw;
    }
    if (!ok) {
        ws::closesocket(handle);
        open = false;
        throw EAsyncSocketIoException("Unable to register socket for async operations");
    }
}

void TAsyncSocket::Dispose() {
    if (disposed.exchange(true)) return;
    if (!open.load()) return;
    Shutdown(SocketShutdown::Both);
    open = false;
    connected = false;
    connecting = false;
    bound = false;
    listening = false;
    // Queued operations complete through the port with the abort error.
    ws::closesocket(handle);
    // A pre-created socket that no EndAccept took would keep its
    // descriptor until collected.
    ReleaseAcceptedSocket();
    if (TGarbageCollector::IsObjectManaged(gc_detail::object_start(this))) TGarbageCollector::SuppressFinalize(Self());
}

void TAsyncSocket::ReleaseAcceptedSocket() {
    gc_disposable<TAsyncSocket> s;
    {
        TMonitorLock l(selfRef);
        s = acceptedSocket;
        acceptedSocket = nullptr;
    }
    if (s) s.Dispose();
}

int TAsyncSocket::GetLastErrorCode() noexcept { return ws::WSAGetLastError(); }

void TAsyncSocket::CheckOpen() const {
    if (!open.load()) throw EInvalidOperation("Socket is closed");
}

void TAsyncSocket::ThrowLastError(const char* prefix) const {
    throw EAsyncSocketIoException(UnicodeString(prefix) + system_text(ws::WSAGetLastError()));
}

// --- binding and connecting ----------------------------------------------------

void TAsyncSocket::Bind(const gc_ptr<TEndPoint> localEP) {
    if (!localEP) throw EArgumentNull("endPoint");
    if (bound.load()) throw EInvalidOperation("Socket had already been bound");
    gc_ptr<TSocketAddress> sa = localEP->Serialize();
    if (ws::bind(handle, sa->GetBuffer().data(), sa->GetSize()) != 0) ThrowLastError("Unable to bind socket - ");
    bound = true;
}

void TAsyncSocket::BindToWildcard() {
    // The wildcard of the socket's own family: an IPv6 socket cannot be
    // bound to the IPv4 one.
    const bool v6 = addressFamily == AddressFamily::InterNetworkV6;
    Bind(gcnew<TIPEndPoint>(v6 ? TIPAddress::IPv6Any : TIPAddress::Any, 0));
}

void TAsyncSocket::Listen(int backlog) {
    if (connecting.load()) throw EInvalidOperation("Socket must not be connecting");
    if (connected.load()) throw EInvalidOperation("Socket must not be connected");
    if (listening.load()) throw EInvalidOperation("Socket is already listening");
    if (!bound.load()) throw EInvalidOperation("Unable to listen on socket - socket must be bound to an endpoint first");
    if (ws::listen(handle, backlog) != 0) ThrowLastError("Unable to listen on socket - ");
    listening = true;
}

void TAsyncSocket::Connect(const gc_ptr<TEndPoint> remoteEP) {
    if (!remoteEP) throw EArgumentNull("remoteEndPoint");
    CheckOpen();
    if (connected.load()) throw EInvalidOperation("Socket must not be connected");
    if (listening.load()) throw EInvalidOperation("Socket must not be listening");
    auto* ip = dynamic_cast<TIPEndPoint*>(remoteEP.get());
    if (!ip) throw EArgument("remoteEndPoint must be an IPEndPoint", "remoteEndPoint");
    if (!ValidationHelper::ValidateTcpPort(ip->GetPort())) throw EArgumentOutOfRange("port");
    connecting = true;
    try {
        gc_ptr<TSocketAddress> sa = remoteEP->Serialize();
        if (!bound.load()) BindToWildcard();
        if (ws::WSAConnect(handle, sa->GetBuffer().data(), sa->GetSize(), nullptr, nullptr, nullptr, nullptr) != 0)
            ThrowLastError("Connect failed: ");
    } catch (...) {
        connecting = false;
        throw;
    }
    connecting = false;
    connected = true;
}

gc_disposable<TAsyncSocket> TAsyncSocket::Accept() {
    if (!bound.load()) throw EInvalidOperation("Socket must be bound");
    if (!listening.load()) throw EInvalidOperation("Socket must be listening");
    const SOCKET h = ws::accept(handle, nullptr, nullptr);
    if (h == INVALID_SOCKET) ThrowLastError("Accept failed: ");
    return gcnew<TAsyncSocket>(h, addressFamily, socketType, protocolType, open.load());
}

// --- blocking data -------------------------------------------------------------

int TAsyncSocket::Send(const gc_array<unsigned char> buffer, int size) { return Send(buffer, 0, size, SocketFlags::None); }
int TAsyncSocket::Send(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum flags) {
    return Send(buffer, 0, size, flags);
}
int TAsyncSocket::Send(const gc_array<unsigned char> buffer, int offset, int size) {
    return Send(buffer, offset, size, SocketFlags::None);
}
int TAsyncSocket::Send(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum flags) {
    validate_buffer(buffer, offset, size);
    CheckOpen();
    ws::WSABUF b = descriptor(buffer, offset, size);
    std::uint32_t sent = 0;
    if (ws::WSASend(handle, &b, 1, &sent, static_cast<std::uint32_t>(flags), nullptr, nullptr) != 0)
        ThrowLastError("Send failed: ");
    return static_cast<int>(sent);
}

int TAsyncSocket::Receive(const gc_array<unsigned char> buffer, int size) {
    return Receive(buffer, 0, size, SocketFlags::None);
}
int TAsyncSocket::Receive(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum flags) {
    return Receive(buffer, 0, size, flags);
}
int TAsyncSocket::Receive(const gc_array<unsigned char> buffer, int offset, int size) {
    return Receive(buffer, offset, size, SocketFlags::None);
}
int TAsyncSocket::Receive(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum flags) {
    validate_buffer(buffer, offset, size);
    CheckOpen();
    if (!bound.load()) throw EInvalidOperation("Socket must be bound");
    ws::WSABUF b = descriptor(buffer, offset, size);
    std::uint32_t got = 0, f = static_cast<std::uint32_t>(flags);
    if (ws::WSARecv(handle, &b, 1, &got, &f, nullptr, nullptr) != 0) ThrowLastError("Receive failed: ");
    return static_cast<int>(got);
}

int TAsyncSocket::SendTo(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum flags,
                         const gc_ptr<TEndPoint> remoteEP) {
    return SendTo(buffer, 0, size, flags, remoteEP);
}
int TAsyncSocket::SendTo(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum flags,
                         const gc_ptr<TEndPoint> remoteEP) {
    validate_buffer(buffer, offset, size);
    if (!remoteEP) throw EArgumentNull("endPoint");
    CheckOpen();
    gc_ptr<TSocketAddress> sa = remoteEP->Serialize();
    ws::WSABUF b = descriptor(buffer, offset, size);
    std::uint32_t sent = 0;
    if (ws::WSASendTo(handle, &b, 1, &sent, static_cast<std::uint32_t>(flags), sa->GetBuffer().data(), sa->GetSize(),
                      nullptr, nullptr) != 0)
        ThrowLastError("SendTo failed: ");
    return static_cast<int>(sent);
}

int TAsyncSocket::ReceiveFrom(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum flags,
                              gc_ptr<TEndPoint>& remoteEP) {
    return ReceiveFrom(buffer, 0, size, flags, remoteEP);
}
int TAsyncSocket::ReceiveFrom(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum flags,
                              gc_ptr<TEndPoint>& remoteEP) {
    validate_buffer(buffer, offset, size);
    if (!remoteEP) throw EArgumentNull("endPoint");
    CheckOpen();
    if (!bound.load()) throw EInvalidOperation("Socket must be bound");
    gc_ptr<TSocketAddress> from = gcnew<TSocketAddress>(addressFamily);
    std::int32_t fromLen = from->GetCapacity();
    ws::WSABUF b = descriptor(buffer, offset, size);
    std::uint32_t got = 0, f = static_cast<std::uint32_t>(flags);
    if (ws::WSARecvFrom(handle, &b, 1, &got, &f, from->GetBuffer().data(), &fromLen, nullptr, nullptr) != 0)
        ThrowLastError("ReceiveFrom failed: ");
    // The sender, as EndReceiveFrom reports it.
    if (fromLen >= 8) {
        from->SetSize(&fromLen);
        remoteEP = TIPEndPoint::Create(from);
    }
    return static_cast<int>(got);
}

bool TAsyncSocket::Shutdown(SocketShutdown::Enum how) {
    if (!connected.load()) return true;
    return ws::shutdown(handle, static_cast<int>(how)) == 0;
}

// --- endpoints -----------------------------------------------------------------

gc_ptr<TEndPoint> TAsyncSocket::QueryEndPoint(bool remote) {
    gc_ptr<TSocketAddress> sa = gcnew<TSocketAddress>(addressFamily, TSocketAddress::MaxSize);
    int len = TSocketAddress::MaxSize;
    const int r = remote ? ws::getpeername(handle, sa->GetBuffer().data(), &len)
                         : ws::getsockname(handle, sa->GetBuffer().data(), &len);
    if (r != 0) throw EAsyncSocketIoException(remote ? "Remote end point not available" : "Local end point not available");
    std::int32_t size = len;
    sa->SetSize(&size);
    return TIPEndPoint::Create(sa);
}

gc_ptr<TEndPoint> TAsyncSocket::GetLocalEndPoint() {
    if (!localEndPoint) {
        TMonitorLock l(selfRef);
        if (!localEndPoint) localEndPoint = QueryEndPoint(false);
    }
    return localEndPoint;
}

gc_ptr<TEndPoint> TAsyncSocket::GetRemoteEndPoint() {
    if (!remoteEndPoint) {
        TMonitorLock l(selfRef);
        if (!remoteEndPoint) remoteEndPoint = QueryEndPoint(true);
    }
    return remoteEndPoint;
}

} // namespace System::Net::Sockets
