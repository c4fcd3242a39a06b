#include "RozavUde/Tcp/TcpServer.h"

#include <string>

#include "GC/GarbageCollector.h"
#include "RozavUde/IPEndPoint.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Delegates.h"
#include "core/Monitor.h"
#include "platform/debug_output.h"
#include "platform/system.h"

namespace System::Net::Sockets {

using Threading::TMonitorLock;
using ConnectionList = Collections::TGcList<gc_disposable<TClientConnection>>;

TTcpServer::TTcpServer(gc_ptr<TTcpServiceProvider> provider_, int port_) { Init(provider_, port_); }

TTcpServer::~TTcpServer() = default;

void TTcpServer::Init(gc_ptr<TTcpServiceProvider> provider_, int port_) {
    if (!provider_) throw Sysutils::EInvalidOperation("TTcpServer provider must not be NULL");
    if (port_ <= 0 || port_ >= 65536) throw Sysutils::EInvalidOperation("TTcpServer port must be between 1 and 65535");
    provider = provider_;
    port = port_;
    stopped.store(true);
    connections = gcnew<ConnectionList>();
    selfRef = gc_ptr<TTcpServer>(this);
}

void TTcpServer::Start() {
    TMonitorLock lock(selfRef);
    if (!GetStopped()) throw Sysutils::EInvalidOperation("TcpServer unable to start (already started)");
    gc_disposable<TAsyncSocket> s =
        gcnew<TAsyncSocket>(AddressFamily::InterNetwork, SocketType::Stream, ProtocolType::Tcp);
    listenSocket = s;
    if (!receiveCallback) receiveCallback = MulticastDelegate<TIocpCompletionEvent>::Create<&TTcpServer::OnReceiveData>(this);
    try {
        s->Bind(gcnew<TIPEndPoint>(TIPAddress::Any, port));
        s->Listen(ListenBacklog);
        s->BeginAccept(MulticastDelegate<TIocpCompletionEvent>::Create<&TTcpServer::OnConnectionReady>(this),
                       gc_ptr<TObject>());
    } catch (...) {
        // The port stays free for a retry.
        s.Dispose();
        throw;
    }
    stopped.store(false, std::memory_order_release);
}

gc_disposable<TAsyncSocket> TTcpServer::GetListenSocket() {
    gc_disposable<TAsyncSocket> s = listenSocket;
    if (!s) throw Sysutils::EInvalidOperation("Server has not started - unable to get ListenSocket");
    return s;
}

int TTcpServer::GetConnectionCount() {
    TMonitorLock lock(connections);
    return connections->GetCount();
}

gc_array<gc_disposable<TClientConnection>> TTcpServer::GetConnections() {
    TMonitorLock lock(connections);
    gc_array<gc_disposable<TClientConnection>> a = gcnew_array<gc_disposable<TClientConnection>>(connections->GetCount());
    connections->CopyTo(a);
    return a;
}

namespace {
bool IsOpen(const gc_disposable<TAsyncSocket>& s) {
    return s && !gc_disposable<TAsyncSocket>::is_disposed(s.get());
}
} // namespace

void TTcpServer::OnConnectionReady(gc_ptr<TAsyncResult> result) {
    gc_disposable<TAsyncSocket> accepted;
    {
        TMonitorLock lock(selfRef);
        gc_disposable<TAsyncSocket> listener = listenSocket;
        if (!GetStopped() && IsOpen(listener)) {
            try {
                accepted = listener->EndAccept(result);
            } catch (EAsyncException&) {
                // that one accept is lost (reset before it was taken, or no
                // descriptor left); the loop goes on
                lostAccepts.fetch_add(1);
            } catch (EObjectDisposed&) {
            }
        }
    }
    if (accepted) {
        // One connection that cannot be set up must not stop the listener:
        // its socket goes and the failure is reported once.
        try {
            HandleClientAccepted(accepted);
        } catch (Exception& e) {
            if (IsOpen(accepted)) accepted.Dispose();
            ReportAcceptFailure(e.Message().ToUtf8().c_str());
        } catch (std::exception& e) {
            if (IsOpen(accepted)) accepted.Dispose();
            ReportAcceptFailure(e.what());
        }
    }
    PostAccept();
}

void TTcpServer::PostAccept() {
    for (int attempt = 0;; ++attempt) {
        {
            TMonitorLock lock(selfRef);
            gc_disposable<TAsyncSocket> listener = listenSocket;
            if (GetStopped() || !IsOpen(listener)) return;
            try {
                listener->BeginAccept(
                    MulticastDelegate<TIocpCompletionEvent>::Create<&TTcpServer::OnConnectionReady>(this),
                    gc_ptr<TObject>());
                return;
            } catch (EAsyncException& e) {
                if (attempt == 0) ReportAcceptFailure(e.Message().ToUtf8().c_str());
            } catch (EObjectDisposed&) {
                return;
            }
        }
        // Usually out of descriptors: they come back as connections close.
        platform::sleep_ms(attempt < 10 ? 10 : 100);
    }
}

void TTcpServer::ReportAcceptFailure(const char* what) {
    failedAccepts.fetch_add(1);
    const std::string line = std::string("TTcpServer: accepted connection on port ") + std::to_string(port) +
                             " failed - " + what;
    platform::output_debug_string(line);
    // The program's handler (its window) hears of it too, where one is set.
    const Threading::ThreadExceptionEvent handler = Threading::Global::GetThreadExceptionHandler();
    if (handler.closure) {
        Sysutils::EInvalidOperation e{UnicodeString(line)};
        try {
            handler(gc_ptr<Threading::TPooledThread>(), static_cast<Exception*>(&e));
        } catch (...) {
        }
    }
}

void TTcpServer::HandleClientAccepted(gc_disposable<TAsyncSocket> socket) {
    gc_ptr<TTcpServiceProvider> p = provider->CreateInstance();
    gc_disposable<TClientConnection> connection = gcnew<TClientConnection>(selfRef, p, socket);
    {
        TMonitorLock lock(connections);
        connections->Add(connection);
    }
    // A Stop that ran meanwhile no longer sees the connection.
    if (GetStopped()) {
        DropConnection(connection);
        return;
    }
    try {
        BeginReceive(connection);
        p->OnClientConnected(connection);
    } catch (EAsyncException&) {
        DropConnection(connection);
    } catch (EObjectDisposed&) {
        DropConnection(connection);
    } catch (Exception& e) {
        p->OnError(connection, e);
        DropConnection(connection);
    }
}

void TTcpServer::BeginReceive(const gc_disposable<TClientConnection>& connection) {
    gc_array<unsigned char> buffer = connection->GetReceiveBuffer();
    connection->GetSocket()->BeginReceive(buffer, 0, buffer.Length(), SocketFlags::None, receiveCallback, connection);
}

void TTcpServer::OnReceiveData(gc_ptr<TAsyncResult> result) {
    gc_disposable<TClientConnection> connection(gc_ptr<TClientConnection>(result->GetAsyncState()));
    try {
        if (connection->GetTerminated()) return;
        if (GetStopped()) {
            DropConnection(connection);
            return;
        }
        int n;
        try {
            n = connection->GetSocket()->EndReceive(result);
        } catch (EAsyncException&) {
            DropConnection(connection);
            return;
        }
        if (n == 0) {
            DropConnection(connection);
            return;
        }
        connection->BytesReceived = n;
        connection->ResetKeepAliveTimer();
        gc_ptr<TTcpServiceProvider> p = connection->GetProvider();
        try {
            p->OnDataReceived(connection);
        } catch (Exception& e) {
            p->OnError(connection, e);
        }
        if (connection->GetTerminated()) return;
        if (!connection->GetSocket()->GetConnected() || GetStopped()) {
            DropConnection(connection);
            return;
        }
        try {
            BeginReceive(connection);
        } catch (EAsyncException&) {
            DropConnection(connection);
        }
    } catch (EObjectDisposed&) {
        DropConnection(connection);
    }
}

void TTcpServer::DropConnection(gc_disposable<TClientConnection> connection) {
    if (!connection) return;
    {
        TMonitorLock lock(connections);
        if (!connections->Contains(connection)) return;
        connections->Remove(connection);
    }
    TClientConnection* raw = connection.get();
    gc_ptr<TTcpServiceProvider> p = raw->GetProvider();
    try {
        p->OnClientDisconnected(connection);
    } catch (Exception& e) {
        try {
            p->OnError(connection, e);
        } catch (Exception&) {
        }
    }
    // Disposing, not only terminating: the descriptor and the timer go with
    // the drop instead of waiting for a collection.
    if (raw && !gc_disposable<TClientConnection>::is_disposed(raw)) connection.Dispose();
}

void TTcpServer::Stop() {
    gc_disposable<TAsyncSocket> listener;
    {
        TMonitorLock lock(selfRef);
        if (GetStopped()) return;
        stopped.store(true, std::memory_order_release);
        listener = listenSocket;
        if (IsOpen(listener)) listener->Shutdown(SocketShutdown::Both);
    }
    DisconnectAllClients();
    WaitForAllClients();
    DropConnections();
    if (IsOpen(listener)) listener.Dispose();
}

void TTcpServer::DisconnectAllClients() {
    // A connection its service terminated has no receive left to complete:
    // it is dropped here rather than after the whole bounded wait.
    gc_ptr<ConnectionList> ended = gcnew<ConnectionList>();
    {
        TMonitorLock lock(connections);
        for (int i = 0, n = connections->GetCount(); i < n; ++i) {
            gc_disposable<TClientConnection> c = connections->GetItem(i);
            if (c.get()->GetTerminated()) {
                ended->Add(c);
                continue;
            }
            try {
                c.get()->GetSocket()->Shutdown(SocketShutdown::Both);
            } catch (Exception&) {
            }
        }
    }
    for (int i = 0, n = ended->GetCount(); i < n; ++i) DropConnection(ended->GetItem(i));
}

void TTcpServer::WaitForAllClients() {
    if (GetConnectionCount() == 0) return;
    for (int round = 0; round < WaitRounds; ++round) {
        platform::sleep_ms(WaitRoundMs);
        if (GetConnectionCount() == 0) return;
    }
}

void TTcpServer::DropConnections() {
    gc_array<gc_disposable<TClientConnection>> copy;
    {
        TMonitorLock lock(connections);
        if (connections->GetCount() == 0) return;
        copy = gcnew_array<gc_disposable<TClientConnection>>(connections->GetCount());
        connections->CopyTo(copy);
    }
    for (int i = 0; i < copy.Length(); ++i) DropConnection(copy[i]);
}

void TTcpServer::Dispose() {
    if (disposed) return;
    disposed = true;
    Stop();
    TGarbageCollector::SuppressFinalize(selfRef);
}

} // namespace System::Net::Sockets
