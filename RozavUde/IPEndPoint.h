// An IP address and a port.
#pragma once
#include <cstdint>

#include "RozavUde/EndPoint.h"
#include "RozavUde/IPAddress.h"

namespace System::Net::Sockets {

class TIPEndPoint : public TEndPoint {
public:
    NORVANE_CLASS_INFO();

    // Built by the socket start-up: TIPAddress::Any and IPv6Any, port 0.
    static gc_ptr<TIPEndPoint> Any;
    static gc_ptr<TIPEndPoint> IPv6Any;

    // EArgumentOutOfRange "port" for a port outside 0 to 65535, then the
    // 64-bit TIPAddress constructor ("newAddress").
    TIPEndPoint(std::int64_t address, int port);
    // EArgumentNull "address", EArgumentOutOfRange "port".
    TIPEndPoint(const gc_ptr<TIPAddress>& address, int port);

    const gc_ptr<TIPAddress>& GetAddress() const { return m_Address; }
    void SetAddress(const gc_ptr<TIPAddress>& value); // EArgumentNull "value"
    int GetPort() const { return m_Port; }
    void SetPortW(int value); // EArgumentOutOfRange "value"

    AddressFamily::Enum GetAddressFamily() const override { return m_Address->GetAddressFamily(); }
    gc_ptr<TSocketAddress> Serialize() const override;
    // The inverse of Serialize. EArgumentNull "socketAddress" for none;
    // EArgument "IPEndPoint::Create - Invalid SocketAddress Size" for a size
    // below 8, or below 28 for an IPv6 address.
    static gc_ptr<TIPEndPoint> Create(const gc_ptr<TSocketAddress>& socketAddress);
    gc_ptr<TIPEndPoint> Snapshot() const;

private:
    gc_ptr<TIPAddress> m_Address;
    int m_Port;
};

} // namespace System::Net::Sockets
