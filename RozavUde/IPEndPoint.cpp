#include "RozavUde/IPEndPoint.h"

#include "RozavUde/ValidationHelper.h"

namespace System::Net::Sockets {

gc_ptr<TIPEndPoint> TIPEndPoint::Any __attribute__((init_priority(102)));
gc_ptr<TIPEndPoint> TIPEndPoint::IPv6Any __attribute__((init_priority(102)));

TClass TEndPoint::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TEndPoint, TLockableObject>("TEndPoint", "System.Net").Build();
    return &cls;
}
TClass TIPEndPoint::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TIPEndPoint, TEndPoint>("TIPEndPoint", "System.Net").Build();
    return &cls;
}

namespace {
int checked_port(int port, const char* param) {
    if (!ValidationHelper::ValidateTcpPort(port)) throw EArgumentOutOfRange(param);
    return port;
}
[[noreturn]] void bad_size() { throw EArgument("IPEndPoint::Create - Invalid SocketAddress Size", "socketAddress"); }
} // namespace

TIPEndPoint::TIPEndPoint(std::int64_t address, int port) : m_Port(checked_port(port, "port")) {
    m_Address = gcnew<TIPAddress>(address);
}

TIPEndPoint::TIPEndPoint(const gc_ptr<TIPAddress>& address, int port) {
    if (!address) throw EArgumentNull("address");
    m_Port = checked_port(port, "port");
    m_Address = address;
}

void TIPEndPoint::SetAddress(const gc_ptr<TIPAddress>& value) {
    if (!value) throw EArgumentNull("value");
    m_Address = value;
}

void TIPEndPoint::SetPortW(int value) { m_Port = checked_port(value, "value"); }

gc_ptr<TSocketAddress> TIPEndPoint::Serialize() const {
    const bool v6 = m_Address->GetAddressFamily() == AddressFamily::InterNetworkV6;
    gc_ptr<TSocketAddress> sa = gcnew<TSocketAddress>(m_Address->GetAddressFamily(),
                                                      v6 ? TSocketAddress::IPv6AddressSize
                                                         : TSocketAddress::IPv4AddressSize);
    sa->SetItem(2, static_cast<unsigned char>(m_Port >> 8));
    sa->SetItem(3, static_cast<unsigned char>(m_Port & 0xFF));
    gc_array<unsigned char> bytes = m_Address->GetAddressBytes();
    if (v6) {
        for (int i = 0; i < 16; ++i) sa->SetItem(8 + i, bytes[i]);
        const std::int64_t scope = m_Address->GetScopeId();
        for (int i = 0; i < 4; ++i) sa->SetItem(24 + i, static_cast<unsigned char>(scope >> (8 * i)));
    } else {
        for (int i = 0; i < 4; ++i) sa->SetItem(4 + i, bytes[i]);
    }
    return sa;
}

gc_ptr<TIPEndPoint> TIPEndPoint::Create(const gc_ptr<TSocketAddress>& socketAddress) {
    if (!socketAddress) throw EArgumentNull("socketAddress");
    const TSocketAddress& sa = *socketAddress;
    if (sa.GetSize() < 8) bad_size();
    const int port = sa.GetItem(2) << 8 | sa.GetItem(3);
    if (sa.GetFamily() == AddressFamily::InterNetworkV6) {
        // Short IPv6 addresses would read past the meaningful bytes.
        if (sa.GetSize() < TSocketAddress::IPv6AddressSize) bad_size();
        gc_array<unsigned char> bytes = gcnew_array<unsigned char>(TIPAddress::IPv6AddressBytes);
        for (int i = 0; i < 16; ++i) bytes[i] = sa.GetItem(8 + i);
        std::int64_t scope = 0;
        for (int i = 0; i < 4; ++i) scope |= static_cast<std::int64_t>(sa.GetItem(24 + i)) << (8 * i);
        return gcnew<TIPEndPoint>(gcnew<TIPAddress>(bytes, scope), port);
    }
    const std::int64_t address = static_cast<std::int64_t>(sa.GetItem(4)) |
                                 static_cast<std::int64_t>(sa.GetItem(5)) << 8 |
                                 static_cast<std::int64_t>(sa.GetItem(6)) << 16 |
                                 static_cast<std::int64_t>(sa.GetItem(7)) << 24;
    return gcnew<TIPEndPoint>(address, port);
}

gc_ptr<TIPEndPoint> TIPEndPoint::Snapshot() const { return gcnew<TIPEndPoint>(m_Address->Snapshot(), m_Port); }

} // namespace System::Net::Sockets
