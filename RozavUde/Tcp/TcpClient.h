// A TCP client with one connection, its receive loop and a graceful
// disconnection that half-closes and waits, bounded, for the peer's close.
#pragma once
#include <atomic>

#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/AsyncSocket.h"
#include "RozavUde/IPEndPoint.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/Tcp/ServerConnection.h"
#include "RozavUde/Tcp/TcpServiceRequester.h"
#include "core/Objects.h"

namespace System::Net::Sockets {

class TTcpClient : public TIDisposable {
public:
    enum TState { Idle = 0, Connecting = 1, Connected = 2, Disconnecting = 3 };
    // The graceful wait polls every GracefulPollMs for at most GracefulWaitMs.
    static constexpr unsigned GracefulWaitMs = 1000;
    static constexpr unsigned GracefulPollMs = 50;

    // EInvalidOperation for a null requester.
    explicit TTcpClient(gc_ptr<TTcpServiceRequester> requester);
    ~TTcpClient() override;

    // Synchronous connect, then the connection and its receive loop. Socket
    // errors of the connect reach the caller; later failures end in a
    // non-graceful disconnection.
    void Connect(gc_ptr<TIPAddress> address, int port);
    void Disconnect(bool graceful);
    void WaitForGracefulDisconnection();
    gc_ptr<TIPEndPoint> GetRemoteEp();
    void Dispose() override;

    void OnConnectionReady();
    void HandleConnected(gc_disposable<TAsyncSocket> socket);
    void OnReceiveData(gc_ptr<TAsyncResult> result);

    gc_disposable<TAsyncSocket> GetSocket() const { return socket; }
    gc_ptr<TServerConnection> GetConnection() const { return connection; }
    int GetState() const { return state.load(std::memory_order_acquire); }
    bool GetDisposed() const { return disposed.load(std::memory_order_acquire); }

private:
    void Init(gc_ptr<TTcpServiceRequester> requester);
    void PostReceive(const gc_ptr<TServerConnection>& c);

    std::atomic<bool> disposed{false};
    gc_ptr<TTcpServiceRequester> requester;
    gc_disposable<TAsyncSocket> socket;
    gc_ptr<TServerConnection> connection;
    std::atomic<bool> disconnectSignal{false};
    std::atomic<int> state{Idle};
    gc_ptr<TIPEndPoint> remoteEndPoint;
    gc_ptr<TTcpClient> selfRef;
    // Made by the first receive; receives of one client follow each other.
    MulticastDelegate<TIocpCompletionEvent> receiveCallback;
};

} // namespace System::Net::Sockets
