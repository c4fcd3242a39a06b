#include "RozavUde/Dns.h"

#include "RozavUde/IPEndPoint.h"
#include "RozavUde/NetworkStartup.h"
#include "RozavUde/SocketAddress.h"
#include "RozavUde/SocketException.h"
#include "platform/resolver.h"

namespace System::Net {

using namespace Sockets;

TClass TIPHostEntry::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TIPHostEntry, TLockableObject>("TIPHostEntry", "System.Net").Build();
    return &cls;
}

namespace {
gc_ptr<TIPHostEntry> make_entry(const UnicodeString& name, const gc_array<gc_ptr<TIPAddress>>& addresses) {
    gc_ptr<TIPHostEntry> e = gcnew<TIPHostEntry>();
    e->SetHostName(name);
    e->SetAliases(gcnew_array<UnicodeString>(0));
    e->SetAddressList(addresses);
    return e;
}

void check_name_length(const UnicodeString& hostName) {
    const int n = hostName.Length();
    if (n > TDns::MaxHostName || (n == TDns::MaxHostName && hostName[n - 1] != u'.'))
        throw EArgumentOutOfRange("Host name must not be more than 255 characters long", "hostName");
}
} // namespace

bool TDns::IsWildcard(const gc_ptr<TIPAddress>& address) {
    return address->Equals(gc_ptr<TObject>(TIPAddress::Any)) || address->Equals(gc_ptr<TObject>(TIPAddress::IPv6Any));
}

gc_array<gc_ptr<TIPAddress>> TDns::GetHostAddresses(UnicodeString hostNameOrAddress) {
    if (hostNameOrAddress.IsEmpty()) throw EArgumentNull("hostNameOrAddress");
    gc_ptr<TIPAddress> address;
    if (TIPAddress::TryParse(hostNameOrAddress, address)) {
        if (IsWildcard(address)) throw EArgument("Invalid IP address", "hostNameOrAddress");
        gc_array<gc_ptr<TIPAddress>> one = gcnew_array<gc_ptr<TIPAddress>>(1);
        one[0] = address;
        return one;
    }
    return InternalGetHostByName(hostNameOrAddress, true)->GetAddressList();
}

gc_ptr<TIPHostEntry> TDns::GetHostEntry(UnicodeString hostNameOrAddress) {
    if (hostNameOrAddress.IsEmpty()) throw EArgumentNull("hostNameOrAddress");
    gc_ptr<TIPAddress> address;
    if (TIPAddress::TryParse(hostNameOrAddress, address)) {
        if (IsWildcard(address)) throw EArgument("Invalid IP address", "hostNameOrAddress");
        return InternalGetHostByAddress(address, true);
    }
    return InternalGetHostByName(hostNameOrAddress, true);
}

gc_ptr<TIPHostEntry> TDns::GetHostEntry(const gc_ptr<TIPAddress>& address) {
    if (!address) throw EArgumentNull("address");
    if (IsWildcard(address)) throw EArgument("Invalid IP address", "address");
    return InternalGetHostByAddress(address, true);
}

UnicodeString TDns::GetHostName() {
    std::string name;
    if (const int err = platform::local_host_name(name)) throw ESocketException(err);
    return UnicodeString(name);
}

gc_ptr<TIPHostEntry> TDns::InternalGetHostByName(UnicodeString hostName, bool includeIPv6) {
    check_name_length(hostName);
    // The platform resolver answers for both families; this port has no
    // IPv4-only resolver to fall back to, so includeIPv6 only matters to
    // which records are kept (see TryGetAddrInfo).
    (void)includeIPv6;
    return GetAddrInfoW(hostName);
}

gc_ptr<TIPHostEntry> TDns::GetAddrInfoW(UnicodeString name) {
    gc_ptr<TIPHostEntry> entry;
    const SocketError::Enum err = TryGetAddrInfo(name, entry);
    if (err != SocketError::Success) throw ESocketException(err);
    return entry;
}

SocketError::Enum TDns::TryGetAddrInfo(UnicodeString name, gc_ptr<TIPHostEntry>& hostinfo) {
    platform::name_lookup found;
    const int err = platform::resolve_name(name.ToUtf8(), found);
    if (err != 0) {
        hostinfo = make_entry(name, gcnew_array<gc_ptr<TIPAddress>>(0));
        return static_cast<SocketError::Enum>(err);
    }
    const bool ipv6 = TSocket::GetOSSupportsIPv6();
    int kept = 0;
    for (const auto& a : found.addresses)
        if (a.size == TSocketAddress::IPv4AddressSize || ipv6) ++kept;
    gc_array<gc_ptr<TIPAddress>> list = gcnew_array<gc_ptr<TIPAddress>>(kept);
    int i = 0;
    for (const auto& a : found.addresses) {
        const bool isV6 = a.size == TSocketAddress::IPv6AddressSize;
        if (isV6 && !ipv6) continue;
        gc_ptr<TSocketAddress> sa =
            gcnew<TSocketAddress>(isV6 ? AddressFamily::InterNetworkV6 : AddressFamily::InterNetwork, a.size);
        for (int k = 2; k < a.size; ++k) sa->SetItem(k, a.designed[k]);
        list[i++] = TIPEndPoint::Create(sa)->GetAddress();
    }
    hostinfo = make_entry(UnicodeString(found.canonical_name), list);
    return SocketError::Success;
}

UnicodeString TDns::TryGetNameInfo(const gc_ptr<TIPAddress>& addr, SocketError::Enum& errorCode) {
    gc_ptr<TSocketAddress> sa = gcnew<TIPEndPoint>(addr, 0)->Serialize();
    std::string name;
    const int err = platform::resolve_address(sa->GetBuffer().data(), sa->GetSize(), name);
    errorCode = static_cast<SocketError::Enum>(err);
    return err == 0 ? UnicodeString(name) : UnicodeString();
}

gc_ptr<TIPHostEntry> TDns::InternalGetHostByAddress(const gc_ptr<TIPAddress>& address, bool includeIPv6) {
    (void)includeIPv6;
    SocketError::Enum err = SocketError::Success;
    const UnicodeString name = TryGetNameInfo(address, err);
    if (err != SocketError::Success) throw ESocketException(err);
    // A name without a forward record still answers: the name, no addresses.
    gc_ptr<TIPHostEntry> entry;
    TryGetAddrInfo(name, entry);
    return entry;
}

gc_ptr<TIPHostEntry> TDns::GetUnresolveAnswer(const gc_ptr<TIPAddress>& address) {
    gc_array<gc_ptr<TIPAddress>> one = gcnew_array<gc_ptr<TIPAddress>>(1);
    one[0] = address;
    return make_entry(address->ToString(), one);
}

} // namespace System::Net
