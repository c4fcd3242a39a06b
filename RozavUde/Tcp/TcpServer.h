// A TCP server on one port of all local IPv4 interfaces: one connection
// object and one provider per accepted socket, an asynchronous receive loop
// per connection. The server's, the list's and each connection's monitors
// are never nested, and providers are called outside the list's lock.
#pragma once
#include <atomic>

#include "collections/GcList.h"
#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncResult.h"
#include "RozavUde/AsyncSocket.h"
#include "RozavUde/Tcp/ClientConnection.h"
#include "RozavUde/Tcp/TcpServiceProvider.h"
#include "core/Objects.h"

namespace System::Net::Sockets {

class TTcpServer : public TIDisposable {
public:
    static constexpr int ListenBacklog = 100;
    // Stop waits at most this many rounds of WaitRoundMs for the receive
    // loops to drop their connections.
    static constexpr int WaitRounds = 50;
    static constexpr int WaitRoundMs = 100;

    // EInvalidOperation for a null provider or a port outside 1..65535.
    TTcpServer(gc_ptr<TTcpServiceProvider> provider, int port);
    ~TTcpServer() override;

    void Start();
    void Stop();
    void Dispose() override;

    gc_disposable<TAsyncSocket> GetListenSocket();
    int GetPort() const { return port; }
    bool GetStopped() const { return stopped.load(std::memory_order_acquire); }
    // The live connections (a snapshot).
    int GetConnectionCount();
    gc_array<gc_disposable<TClientConnection>> GetConnections();

    // Unlists the connection and, once per connection, tells its provider
    // and terminates it.
    void DropConnection(gc_disposable<TClientConnection> connection);
    void DisconnectAllClients();
    void WaitForAllClients();
    void DropConnections();

    void OnConnectionReady(gc_ptr<TAsyncResult> result);
    void OnReceiveData(gc_ptr<TAsyncResult> result);
    void HandleClientAccepted(gc_disposable<TAsyncSocket> socket);

    // Posts the first or the next receive of a connection.
    void BeginReceive(const gc_disposable<TClientConnection>& connection);

    // How many accepted connections could not be set up (the accept loop
    // goes on after each).
    long GetFailedAccepts() const { return failedAccepts.load(); }
    // Accepts the system completed with an error (a peer that reset first,
    // no descriptor left); each loses that one connection only.
    long GetLostAccepts() const { return lostAccepts.load(); }

private:
    void Init(gc_ptr<TTcpServiceProvider> provider, int port);
    // Posts the next accept; while the system refuses (no descriptors left)
    // it retries until the server stops.
    void PostAccept();
    void ReportAcceptFailure(const char* what);

    bool disposed = false;
    int port = 0;
    gc_ptr<TTcpServiceProvider> provider;
    std::atomic<bool> stopped{true};
    gc_disposable<TAsyncSocket> listenSocket;
    gc_ptr<Collections::TGcList<gc_disposable<TClientConnection>>> connections;
    gc_ptr<TTcpServer> selfRef;
    // The receive callback, made once by the first Start: every receive of
    // every connection uses it.
    MulticastDelegate<TIocpCompletionEvent> receiveCallback;
    std::atomic<long> failedAccepts{0};
    std::atomic<long> lostAccepts{0};
};

} // namespace System::Net::Sockets
