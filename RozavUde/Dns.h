// Host names to addresses and back, on the platform's protocol-independent
// resolver; synchronously on the caller's thread.
#pragma once
#include "GC/gcarray.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/IPHostEntry.h"
#include "RozavUde/SocketEnums.h"

namespace System::Net {

class TDns {
public:
    static constexpr int HostNameBufferLength = 256;
    static constexpr int MaxHostName = 255;

    // A literal gives itself (the wildcards are refused); a name the
    // addresses of its lookup.
    static gc_array<gc_ptr<Sockets::TIPAddress>> GetHostAddresses(UnicodeString hostNameOrAddress);
    // A literal is looked up in reverse, a name forward.
    static gc_ptr<TIPHostEntry> GetHostEntry(UnicodeString hostNameOrAddress);
    static gc_ptr<TIPHostEntry> GetHostEntry(const gc_ptr<Sockets::TIPAddress>& address);
    static UnicodeString GetHostName();

    static gc_ptr<TIPHostEntry> InternalGetHostByName(UnicodeString hostName, bool includeIPv6 = true);
    static gc_ptr<TIPHostEntry> InternalGetHostByAddress(const gc_ptr<Sockets::TIPAddress>& address, bool includeIPv6);
    // Forward lookup without exception: on failure the entry holds the name
    // and no addresses.
    static Sockets::SocketError::Enum TryGetAddrInfo(UnicodeString name, gc_ptr<TIPHostEntry>& hostinfo);
    static gc_ptr<TIPHostEntry> GetAddrInfoW(UnicodeString name);
    // Reverse name without exception; empty with the error set on failure.
    static UnicodeString TryGetNameInfo(const gc_ptr<Sockets::TIPAddress>& addr, Sockets::SocketError::Enum& errorCode);
    static gc_ptr<TIPHostEntry> GetUnresolveAnswer(const gc_ptr<Sockets::TIPAddress>& address);

private:
    static bool IsWildcard(const gc_ptr<Sockets::TIPAddress>& address);
};

} // namespace System::Net
