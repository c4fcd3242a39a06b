// A network endpoint, convertible to and from a serialized socket address.
#pragma once
#include "GC/gcptr.h"
#include "RozavUde/SocketAddress.h"
#include "RozavUde/SocketEnums.h"
#include "core/Objects.h"

namespace System::Net::Sockets {

class TEndPoint : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    virtual AddressFamily::Enum GetAddressFamily() const = 0;
    virtual gc_ptr<TSocketAddress> Serialize() const = 0;
};

} // namespace System::Net::Sockets
