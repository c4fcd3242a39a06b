// The client side of the TCP service framework's contract.
#pragma once
#include "GC/gcptr.h"
#include "core/Objects.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

class TServerConnection;

class TTcpServiceRequester : public TLockableObject {
public:
    virtual void OnConnected(gc_ptr<TServerConnection> connection) = 0;
    virtual void OnDataReceived(gc_ptr<TServerConnection> connection) = 0;
    virtual void OnDisconnected(gc_ptr<TServerConnection> connection) = 0;
    // The exception is valid only during the call.
    virtual void OnError(gc_ptr<TServerConnection> connection, Exception& e) = 0;
};

} // namespace System::Net::Sockets
