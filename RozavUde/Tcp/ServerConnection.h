// The one connection of a TTcpClient, as its requester sees it.
#pragma once
#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/AsyncSocket.h"
#include "RozavUde/Tcp/TcpServiceRequester.h"
#include "core/Objects.h"

namespace System::Net::Sockets {

class TTcpClient;

class TServerConnection : public TLockableObject {
public:
    static constexpr int ReceiveBufferSize = 0x10000;

    // EInvalidOperation for a null socket, client or requester.
    TServerConnection(gc_disposable<TTcpClient> client, gc_ptr<TTcpServiceRequester> requester,
                      gc_disposable<TAsyncSocket> socket);

    gc_array<unsigned char> GetReceiveBuffer() const { return receiveBuffer; }
    // Sends synchronously while the client is connected; false otherwise.
    bool Send(gc_array<unsigned char> buffer, int count);
    // Disconnects the client gracefully.
    void EndConnection();

    gc_disposable<TAsyncSocket> GetSocket() const { return socket; }
    gc_disposable<TTcpClient> GetClient() const { return client; }
    gc_ptr<TTcpServiceRequester> GetRequester() const { return requester; }

    int BytesReceived = 0;

private:
    gc_disposable<TAsyncSocket> socket;
    gc_disposable<TTcpClient> client;
    gc_ptr<TTcpServiceRequester> requester;
    gc_array<unsigned char> receiveBuffer;
};

} // namespace System::Net::Sockets
