// The library's socket: one overlapped platform socket registered with the
// global completion port, with blocking operations, options and the
// Begin/End pairs whose completions run on completion-port threads.
#pragma once
#include <atomic>
#include <cstdint>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/EndPoint.h"
#include "RozavUde/Iocp.h"
#include "RozavUde/OptionRecords.h"
#include "RozavUde/SocketAddress.h"
#include "RozavUde/SocketEnums.h"
#include "core/Delegates.h"
#include "core/Objects.h"
#include "platform/socket_engine.h"

namespace System::Net::Sockets {

class TAsyncSocketResult;

class EAsyncSocketIoException : public IO::EAsyncIoException {
public:
    explicit EAsyncSocketIoException(const UnicodeString& message) : IO::EAsyncIoException(message) {}
};

class TAsyncSocket : public TIDisposable {
public:
    NORVANE_CLASS_INFO();

    using SOCKET = platform::winsock::SOCKET;
    static constexpr SOCKET INVALID_SOCKET = platform::winsock::INVALID_SOCKET;

    TAsyncSocket(AddressFamily::Enum addressFamily, SocketType::Enum socketType, ProtocolType::Enum protocolType);
    // A socket for a connection the blocking Accept took: it owns the
    // handle, registers it with the port and is open and connected when
    // the listener is open. (Public only so that gcnew can reach it.)
    TAsyncSocket(SOCKET acceptedHandle, AddressFamily::Enum addressFamily, SocketType::Enum socketType,
                 ProtocolType::Enum protocolType, bool listenerOpen);
    ~TAsyncSocket() override;

    void Dispose() override;

    void Bind(const gc_ptr<TEndPoint> localEP);
    void Listen(int backlog);
    void Connect(const gc_ptr<TEndPoint> remoteEP);
    gc_disposable<TAsyncSocket> Accept();

    int Send(const gc_array<unsigned char> buffer, int size);
    int Send(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum socketFlags);
    int Send(const gc_array<unsigned char> buffer, int offset, int size);
    int Send(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum socketFlags);
    int Receive(const gc_array<unsigned char> buffer, int size);
    int Receive(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum socketFlags);
    int Receive(const gc_array<unsigned char> buffer, int offset, int size);
    int Receive(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum socketFlags);
    int SendTo(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum socketFlags,
               const gc_ptr<TEndPoint> remoteEP);
    int SendTo(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum socketFlags,
               const gc_ptr<TEndPoint> remoteEP);
    // The sender's address replaces remoteEP, as EndReceiveFrom does.
    int ReceiveFrom(const gc_array<unsigned char> buffer, int size, SocketFlags::Enum socketFlags,
                    gc_ptr<TEndPoint>& remoteEP);
    int ReceiveFrom(const gc_array<unsigned char> buffer, int offset, int size, SocketFlags::Enum socketFlags,
                    gc_ptr<TEndPoint>& remoteEP);

    bool Shutdown(SocketShutdown::Enum how);

    gc_ptr<TEndPoint> GetLocalEndPoint();
    gc_ptr<TEndPoint> GetRemoteEndPoint();
    AddressFamily::Enum GetAddressFamily() const noexcept { return addressFamily; }
    SocketType::Enum GetSocketType() const noexcept { return socketType; }
    ProtocolType::Enum GetProtocolType() const noexcept { return protocolType; }
    SOCKET GetHandle() const noexcept { return handle; }
    bool GetConnected() const noexcept { return connected.load(std::memory_order_acquire); }
    // Flags for callers and tests.
    bool GetBound() const noexcept { return bound.load(std::memory_order_acquire); }
    bool GetListening() const noexcept { return listening.load(std::memory_order_acquire); }
    bool GetOpen() const noexcept { return open.load(std::memory_order_acquire); }
    static int GetLastErrorCode() noexcept;

    // Options.
    int GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name);
    void GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, gc_ptr<TObject>& value);
    void GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                         const gc_array<unsigned char> optionValue);
    gc_array<unsigned char> GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                                            int optionLength);
    gc_ptr<TLingerOption> GetLingerOpt();
    gc_ptr<TMulticastOption> GetMulticastOpt(SocketOptionName::Enum name);
    gc_ptr<TIPv6MulticastOption> GetIPv6MulticastOpt(SocketOptionName::Enum name);
    void SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, bool optionValue);
    void SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, int optionValue);
    void SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, int optionValue, bool silent);
    void SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                         const gc_array<unsigned char> optionValue);
    void SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, const gc_ptr<TObject> optionValue);
    void SetLingerOption(const gc_ptr<TLingerOption> lref);
    void SetMulticastOption(SocketOptionName::Enum name, const gc_ptr<TMulticastOption> mr);
    void SetIPv6MulticastOption(SocketOptionName::Enum name, const gc_ptr<TIPv6MulticastOption> mr);

    int GetSendBufferSize();
    void SetSendBufferSize(int value);
    int GetReceiveBufferSize();
    void SetReceiveBufferSize(int value);
    int GetReceiveTimeout();
    void SetReceiveTimeout(int value);
    int GetSendTimeout();
    void SetSendTimeout(int value);
    bool GetNoDelay();
    void SetNoDelay(bool value);
    bool GetDontFragment();
    void SetDontFragment(bool value);
    bool GetEnableBroadcast();
    void SetEnableBroadcast(bool value);
    int GetMaxMessageSize();

    // Begin/End pairs: the callback runs on a completion-port thread once
    // the operation is done; End returns its outcome or raises its error.
    using Callback = MulticastDelegate<TIocpCompletionEvent>;
    gc_ptr<TAsyncResult> BeginConnect(const gc_ptr<TEndPoint> remoteEP, Callback callback, gc_ptr<TObject> state);
    void EndConnect(gc_ptr<TAsyncResult> asyncResult);
    gc_ptr<TAsyncResult> BeginAccept(Callback callback, gc_ptr<TObject> state);
    gc_disposable<TAsyncSocket> EndAccept(gc_ptr<TAsyncResult> asyncResult);
    gc_ptr<TAsyncResult> BeginSend(const gc_array<unsigned char> buffer, int offset, int size,
                                   SocketFlags::Enum socketFlags, Callback callback, gc_ptr<TObject> state);
    int EndSend(gc_ptr<TAsyncResult> asyncResult);
    gc_ptr<TAsyncResult> BeginReceive(const gc_array<unsigned char> buffer, int offset, int size,
                                      SocketFlags::Enum socketFlags, Callback callback, gc_ptr<TObject> state);
    int EndReceive(gc_ptr<TAsyncResult> asyncResult);
    gc_ptr<TAsyncResult> BeginSendTo(const gc_array<unsigned char> buffer, int offset, int size,
                                     SocketFlags::Enum socketFlags, const gc_ptr<TEndPoint> remoteEP,
                                     Callback callback, gc_ptr<TObject> state);
    int EndSendTo(gc_ptr<TAsyncResult> asyncResult);
    gc_ptr<TAsyncResult> BeginReceiveFrom(const gc_array<unsigned char> buffer, int offset, int size,
                                          SocketFlags::Enum socketFlags, gc_ptr<TEndPoint>& remoteEP,
                                          Callback callback, gc_ptr<TObject> state);
    int EndReceiveFrom(gc_ptr<TAsyncResult> asyncResult, gc_ptr<TEndPoint>& remoteEP);

    // The platform's connect extension, fetched once.
    platform::winsock::LPFN_CONNECTEX GetConnectExDelegate();
    bool ConnectEx(SOCKET s, const void* name, int namelen, void* sendBuffer, std::uint32_t sendLength,
                   std::uint32_t* bytesSent, platform::OVERLAPPED* overlapped);

    // Completion handlers (TInternalIocpCompletionEvent).
    void OnConnectCompletion(const gc_ptr<IO::TIocpCallback> callback, gc_ptr<TAsyncResult> result);
    void OnAcceptCompletion(const gc_ptr<IO::TIocpCallback> callback, gc_ptr<TAsyncResult> result);
    void OnDataIoCompletion(const gc_ptr<IO::TIocpCallback> callback, gc_ptr<TAsyncResult> result);
    void DoExternalEvent(const gc_ptr<IO::TIocpCallback> callback, gc_ptr<TAsyncResult> result);
    void ValidateResult(gc_ptr<TAsyncResult> asyncResult, const char* operation);

protected:
    void Init();
    void Reset();

private:
    void CreateHandle();
    void Register();
    gc_ptr<TAsyncSocket> Self();
    // The completion handler of sends and receives, made once; called
    // under the socket's lock.
    MulticastDelegate<IO::TInternalIocpCompletionEvent> DataCompletion();
    void CheckOpen() const;
    [[noreturn]] void ThrowLastError(const char* prefix) const;
    void BindToWildcard();
    gc_ptr<TEndPoint> QueryEndPoint(bool remote);
    int GetIntOption(int level, int name);
    void SetIntOption(int level, int name, int value, bool silent);
    // Issues the platform call of a Begin method under the socket's lock:
    // builds the record, calls `issue`, settles its outcome.
    template <class Issue>
    gc_ptr<TAsyncResult> IssueOperation(const gc_ptr<TAsyncSocketResult>& result, const gc_array<unsigned char>& buffer,
                                        int offset, int size, const gc_ptr<TSocketAddress>& address,
                                        Callback callback,
                                        MulticastDelegate<IO::TInternalIocpCompletionEvent> completion,
                                        const char* prefix, Issue issue);
    int EndDataOperation(gc_ptr<TAsyncResult> asyncResult, const char* endName, const char* operation);
    gc_ptr<TAsyncSocketResult> BeginEnd(gc_ptr<TAsyncResult> asyncResult, const char* endName);
    void ReleaseAcceptedSocket();

    gc_ptr<TAsyncSocket> selfRef;
    std::atomic<bool> disposed{false};
    SOCKET handle = INVALID_SOCKET;
    std::atomic<bool> bound{false};
    std::atomic<bool> listening{false};
    std::atomic<bool> connected{false};
    std::atomic<bool> open{false};
    std::atomic<bool> connecting{false};
    platform::winsock::LPFN_CONNECTEX connectEx = nullptr;
    gc_disposable<TAsyncSocket> acceptedSocket;
    MulticastDelegate<IO::TInternalIocpCompletionEvent> dataCompletion;
    AddressFamily::Enum addressFamily = AddressFamily::Unspecified;
    SocketType::Enum socketType = SocketType::Unknown;
    ProtocolType::Enum protocolType = ProtocolType::Unknown;
    gc_ptr<TEndPoint> localEndPoint;
    gc_ptr<TEndPoint> remoteEndPoint;
};

} // namespace System::Net::Sockets
