#include "RozavUde/Tcp/ClientConnection.h"

#include "GC/GarbageCollector.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Delegates.h"
#include "core/Monitor.h"

namespace System::Net::Sockets {

using Threading::TMonitorLock;

TClientConnection::TClientConnection(gc_disposable<TTcpServer> server_, gc_ptr<TTcpServiceProvider> provider_,
                                     gc_disposable<TAsyncSocket> socket_) {
    if (!socket_) throw Sysutils::EInvalidOperation("TConnection socket cannot be null");
    if (!server_) throw Sysutils::EInvalidOperation("TConnection server cannot be null");
    if (!provider_) throw Sysutils::EInvalidOperation("TConnection provider cannot be null");
    socket = socket_;
    server = server_;
    provider = provider_;
    selfRef = gc_ptr<TClientConnection>(this);
    auto expiry = gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<&TClientConnection::EndConnection>(this));
    // A due time of -1 parks the timer: the connection never times out.
    keepAliveTimer = Threading::Global::g_ThreadPool->RegisterTimer(expiry, provider->GetKeepAliveTimeout(), 0);
    if (!keepAliveTimer)
        throw Sysutils::EOutOfResources("Out of system resources: TConnection unable to register timer with thread pool");
    receiveBuffer = gcnew_array<unsigned char>(ReceiveBufferSize);
}

TClientConnection::~TClientConnection() = default;

bool TClientConnection::Send(gc_array<unsigned char> buffer, int count) {
    if (GetTerminated()) return false;
    try {
        socket->Send(buffer, count, SocketFlags::None);
        return true;
    } catch (Exception&) {
        bool t;
        {
            TMonitorLock lock(selfRef);
            t = GetTerminated();
        }
        if (t) return false;
        throw;
    }
}

void TClientConnection::EndConnection() {
    if (GetTerminated()) return;
    server->DropConnection(selfRef);
}

void TClientConnection::ResetKeepAliveTimer() {
    gc_disposable<Threading::TAsyncHelperThread::TTimer> t = keepAliveTimer;
    if (!t || GetTerminated()) return;
    try {
        t->Change(provider->GetKeepAliveTimeout(), 0);
    } catch (EObjectDisposed&) {
        // terminated meanwhile: the timer is gone with the connection
    }
}

void TClientConnection::Terminate() {
    if (GetTerminated()) return;
    gc_disposable<Threading::TAsyncHelperThread::TTimer> timer;
    {
        TMonitorLock lock(selfRef);
        if (GetTerminated()) return;
        terminated.store(true, std::memory_order_release);
        timer = keepAliveTimer;
    }
    // Shutting down wakes a receive or a send blocked on the socket.
    if (timer) timer.Dispose();
    try {
        socket->Shutdown(SocketShutdown::Both);
    } catch (EObjectDisposed&) {
    }
}

void TClientConnection::Dispose() {
    Terminate();
    if (socket && !gc_disposable<TAsyncSocket>::is_disposed(socket.get())) socket.Dispose();
    TGarbageCollector::SuppressFinalize(selfRef);
}

} // namespace System::Net::Sockets
