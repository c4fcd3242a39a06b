// The server side of the TCP service framework's contract: a factory
// provider given to the server, and one provider per accepted connection.
#pragma once
#include "GC/gcptr.h"
#include "core/Objects.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

class TClientConnection;

class TTcpServiceProvider : public TLockableObject {
public:
    // Idle milliseconds before the server drops the connection; -1 never.
    // Asked again each time the keep-alive timer is re-armed.
    virtual int GetKeepAliveTimeout() = 0;
    // Called on the factory once per accepted connection; must return a new
    // provider.
    virtual gc_ptr<TTcpServiceProvider> CreateInstance() = 0;
    virtual void OnClientConnected(gc_ptr<TClientConnection> connection) = 0;
    // One call at a time per connection; the receive buffer is stable.
    virtual void OnDataReceived(gc_ptr<TClientConnection> connection) = 0;
    virtual void OnClientDisconnected(gc_ptr<TClientConnection> connection) = 0;
    // The exception is valid only during the call.
    virtual void OnError(gc_ptr<TClientConnection> connection, Exception& e) = 0;
};

} // namespace System::Net::Sockets
