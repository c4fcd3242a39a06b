// One accepted connection of a TTcpServer, as its provider sees it.
#pragma once
#include <atomic>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncSocket.h"
#include "RozavUde/Timer.h"
#include "RozavUde/Tcp/TcpServiceProvider.h"
#include "core/Objects.h"

namespace System::Net::Sockets {

class TTcpServer;

class TClientConnection : public TIDisposable {
public:
    static constexpr int ReceiveBufferSize = 0x10000;

    // EInvalidOperation for a null socket, server or provider;
    // EOutOfResources when the keep-alive timer cannot be registered.
    TClientConnection(gc_disposable<TTcpServer> server, gc_ptr<TTcpServiceProvider> provider,
                      gc_disposable<TAsyncSocket> socket);
    ~TClientConnection() override;

    gc_array<unsigned char> GetReceiveBuffer() const { return receiveBuffer; }
    // Sends the first count bytes synchronously; false once terminated.
    bool Send(gc_array<unsigned char> buffer, int count);
    // Asks the server to drop this connection.
    void EndConnection();
    void ResetKeepAliveTimer();
    // Stops the connection without unlisting it: the keep-alive timer goes
    // and the socket is shut down both ways.
    void Terminate();
    void Dispose() override;

    bool GetTerminated() const { return terminated.load(std::memory_order_acquire); }
    gc_disposable<TAsyncSocket> GetSocket() const { return socket; }
    gc_disposable<TTcpServer> GetServer() const { return server; }
    gc_ptr<TTcpServiceProvider> GetProvider() const { return provider; }

    int BytesReceived = 0;

private:
    gc_disposable<TAsyncSocket> socket;
    gc_disposable<TTcpServer> server;
    gc_ptr<TTcpServiceProvider> provider;
    gc_disposable<Threading::TAsyncHelperThread::TTimer> keepAliveTimer;
    std::atomic<bool> terminated{false};
    gc_array<unsigned char> receiveBuffer;
    gc_ptr<TClientConnection> selfRef;
};

} // namespace System::Net::Sockets
