#include "RozavUde/Tcp/TcpClient.h"

#include "GC/GarbageCollector.h"
#include "core/Delegates.h"
#include "core/Monitor.h"
#include "platform/system.h"

namespace System::Net::Sockets {

using Threading::TMonitorLock;

TTcpClient::TTcpClient(gc_ptr<TTcpServiceRequester> requester_) { Init(requester_); }

TTcpClient::~TTcpClient() = default;

void TTcpClient::Init(gc_ptr<TTcpServiceRequester> requester_) {
    if (!requester_) throw Sysutils::EInvalidOperation("TTcpClient requester must not be null");
    requester = requester_;
    disposed.store(false);
    state.store(Idle);
    selfRef = gc_ptr<TTcpClient>(this);
}

void TTcpClient::Connect(gc_ptr<TIPAddress> address, int port) {
    TMonitorLock lock(selfRef);
    if (GetState() != Idle) throw Sysutils::EInvalidOperation("TcpClient unable to connect (already connecting / connected)");
    if (port <= 0 || port >= 65536) throw Sysutils::EInvalidOperation("TTcpClient port must be between 1 and 65535");
    gc_disposable<TAsyncSocket> s =
        gcnew<TAsyncSocket>(AddressFamily::InterNetwork, SocketType::Stream, ProtocolType::Tcp);
    socket = s;
    connection = nullptr;
    state.store(Connecting, std::memory_order_release);
    try {
        remoteEndPoint = gcnew<TIPEndPoint>(address, port);
        s->Connect(remoteEndPoint);
    } catch (...) {
        // Whatever failed, the client can connect again, and the refused
        // socket's descriptor does not wait for a collection.
        state.store(Idle, std::memory_order_release);
        s.Dispose();
        throw;
    }
    OnConnectionReady();
}

void TTcpClient::OnConnectionReady() {
    if (GetState() == Idle) return;
    state.store(Connected, std::memory_order_release);
    try {
        HandleConnected(socket);
    } catch (EAsyncException&) {
        Disconnect(false);
    }
}

void TTcpClient::PostReceive(const gc_ptr<TServerConnection>& c) {
    gc_array<unsigned char> buffer = c->GetReceiveBuffer();
    if (!receiveCallback) receiveCallback = MulticastDelegate<TIocpCompletionEvent>::Create<&TTcpClient::OnReceiveData>(this);
    c->GetSocket()->BeginReceive(buffer, 0, buffer.Length(), SocketFlags::None, receiveCallback, c);
}

void TTcpClient::HandleConnected(gc_disposable<TAsyncSocket> s) {
    if (GetDisposed() || GetState() == Idle) return;
    gc_ptr<TServerConnection> c = gcnew<TServerConnection>(selfRef, requester, s);
    connection = c;
    try {
        PostReceive(c);
        requester->OnConnected(c);
    } catch (EAsyncException&) {
        Disconnect(false);
    } catch (EObjectDisposed&) {
        Disconnect(false);
    } catch (Exception& e) {
        requester->OnError(c, e);
        Disconnect(false);
    }
}

void TTcpClient::OnReceiveData(gc_ptr<TAsyncResult> result) {
    gc_ptr<TServerConnection> c(result->GetAsyncState());
    try {
        gc_disposable<TAsyncSocket> s = c->GetSocket();
        if (!s || gc_disposable<TAsyncSocket>::is_disposed(s.get())) return;
        // A disposing client still takes the server's close: it ends the
        // graceful wait of its Dispose.
        if (GetDisposed() && GetState() != Disconnecting) return;
        int n;
        try {
            n = s->EndReceive(result);
        } catch (EAsyncException&) {
            Disconnect(false);
            return;
        }
        if (n == 0) {
            Disconnect(false);
            return;
        }
        c->BytesReceived = n;
        try {
            requester->OnDataReceived(c);
        } catch (Exception& e) {
            requester->OnError(c, e);
        }
        // Receiving goes on during a graceful disconnection: the server's
        // close, not its last data, has to end the wait.
        const int st = GetState();
        if (st != Connected && st != Disconnecting) return;
        try {
            PostReceive(c);
        } catch (EAsyncException&) {
            Disconnect(false);
        }
    } catch (EObjectDisposed&) {
        // the socket went under the callback: the disconnection is running
    }
}

void TTcpClient::Disconnect(bool graceful) {
    {
        TMonitorLock lock(selfRef);
        disconnectSignal.store(true, std::memory_order_release);
    }
    int st = GetState();
    if (st == Idle || st == Disconnecting) return;
    while (GetState() == Connecting) platform::sleep_ms(50);
    {
        TMonitorLock lock(selfRef);
        st = GetState();
        if (st == Idle || st == Disconnecting) return;
        disconnectSignal.store(false, std::memory_order_release);
        if (st == Connected) state.store(Disconnecting, std::memory_order_release);
    }
    gc_disposable<TAsyncSocket> s = socket;
    try {
        s->Shutdown(SocketShutdown::Send);
    } catch (EObjectDisposed&) {
    }
    if (graceful) WaitForGracefulDisconnection();
    {
        TMonitorLock lock(selfRef);
        if (GetState() == Idle) return;
        state.store(Idle, std::memory_order_release);
    }
    gc_ptr<TServerConnection> c = connection;
    try {
        if (c) requester->OnDisconnected(c);
    } catch (...) {
        if (s && !gc_disposable<TAsyncSocket>::is_disposed(s.get())) s.Dispose();
        throw;
    }
    if (s && !gc_disposable<TAsyncSocket>::is_disposed(s.get())) s.Dispose();
}

void TTcpClient::WaitForGracefulDisconnection() {
    const std::uint32_t start = platform::tick_count();
    while (!disconnectSignal.load(std::memory_order_acquire)) {
        platform::sleep_ms(GracefulPollMs);
        if (platform::tick_count() - start > GracefulWaitMs) break;
    }
}

gc_ptr<TIPEndPoint> TTcpClient::GetRemoteEp() {
    gc_ptr<TIPEndPoint> ep = remoteEndPoint;
    if (!ep) throw Sysutils::EInvalidOperation("Client has not connected - unable to get RemoteEndPoint");
    return ep;
}

void TTcpClient::Dispose() {
    if (disposed.exchange(true)) return;
    Disconnect(true);
    remoteEndPoint = nullptr;
    TGarbageCollector::SuppressFinalize(selfRef);
}

} // namespace System::Net::Sockets
