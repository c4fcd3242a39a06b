#include "RozavUde/Tcp/ServerConnection.h"

#include "RozavUde/Tcp/TcpClient.h"
#include "core/Monitor.h"

namespace System::Net::Sockets {

TServerConnection::TServerConnection(gc_disposable<TTcpClient> client_, gc_ptr<TTcpServiceRequester> requester_,
                                     gc_disposable<TAsyncSocket> socket_) {
    if (!socket_) throw Sysutils::EInvalidOperation("TConnection socket cannot be null");
    if (!client_) throw Sysutils::EInvalidOperation("TConnection client cannot be null");
    if (!requester_) throw Sysutils::EInvalidOperation("TConnection requester cannot be null");
    socket = socket_;
    client = client_;
    requester = requester_;
    receiveBuffer = gcnew_array<unsigned char>(ReceiveBufferSize);
}

bool TServerConnection::Send(gc_array<unsigned char> buffer, int count) {
    TTcpClient* c = client.get();
    if (c->GetState() != TTcpClient::Connected) return false;
    try {
        socket->Send(buffer, count, SocketFlags::None);
        return true;
    } catch (Exception&) {
        bool live;
        {
            Threading::TMonitorLock lock(client);
            live = c->GetState() == TTcpClient::Connected;
        }
        if (live) throw;
        return false;
    }
}

void TServerConnection::EndConnection() { client.get()->Disconnect(true); }

} // namespace System::Net::Sockets
