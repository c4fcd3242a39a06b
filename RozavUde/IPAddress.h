// An IPv4 or IPv6 address as a managed value object.
#pragma once
#include <atomic>
#include <cstdint>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/SocketEnums.h"
#include "core/Objects.h"

namespace System::Net::Sockets {

class TIPAddress : public TLockableObject {
public:
    NORVANE_CLASS_INFO();

    static constexpr int IPv4AddressBytes = 4;
    static constexpr int IPv6AddressBytes = 16;
    static constexpr int NumberOfLabels = 8;

    // Built by the socket start-up, never changed afterwards.
    static gc_ptr<TIPAddress> Any;
    static gc_ptr<TIPAddress> Broadcast;
    static gc_ptr<TIPAddress> Loopback;
    static gc_ptr<TIPAddress> None;
    static gc_ptr<TIPAddress> IPv6Any;
    static gc_ptr<TIPAddress> IPv6Loopback;
    static gc_ptr<TIPAddress> IPv6None;
    // The spellings of 255.255.255.255 that the IPv4 converter cannot tell
    // from a failure.
    static const UnicodeString InaddrNoneString;
    static const UnicodeString InaddrNoneStringHex;
    static const UnicodeString InaddrNoneStringOct;

    // IPv4 from a network-order value (first octet in the lowest byte).
    explicit TIPAddress(int value);
    // IPv4; EArgumentOutOfRange "newAddress" outside 0 to 0xFFFFFFFF.
    explicit TIPAddress(std::int64_t newAddress);
    // 4 bytes: IPv4; 16 bytes: IPv6 with scope 0.
    explicit TIPAddress(const gc_array<unsigned char>& address);
    // 16 bytes only: IPv6 with the scope.
    TIPAddress(const gc_array<unsigned char>& address, std::int64_t scopeid);
    // IPv6 over the given eight groups (taken over, not copied). The scope
    // is an unsigned 32-bit interface index carried in an int.
    TIPAddress(const gc_array<unsigned short>& numbers, int scopeid);
    ~TIPAddress() override;

    static gc_ptr<TIPAddress> Parse(UnicodeString ipString);
    static bool TryParse(UnicodeString ipString, gc_ptr<TIPAddress>& address);
    static gc_ptr<TIPAddress> InternalParse(UnicodeString ipString, bool tryParse);

    virtual UnicodeString ToString() const;
    int GetHashCode() const override;
    bool Equals(const gc_ptr<TObject>& comparand) const override;
    bool Equals(const gc_ptr<TObject>& comparand, bool compareScopeId) const;
    // Only managed comparands are supported: ENotImplemented.
    bool Equals(const TObject* comparand) const;

    gc_array<unsigned char> GetAddressBytes() const;
    std::int64_t GetAddress() const;
    gc_array<unsigned short> GetNumbers() const;
    AddressFamily::Enum GetAddressFamily() const { return m_Family; }
    std::int64_t GetScopeId() const;
    void SetScopeId(std::int64_t value);
    gc_ptr<TIPAddress> Snapshot() const;

    static bool IsLoopback(const gc_ptr<TIPAddress>& address);
    bool GetIsBroadcast() const;
    bool GetIsIPv6LinkLocal() const;
    bool GetIsIPv6Multicast() const;
    bool GetIsIPv6SiteLocal() const;
    bool GetIsIPv6Teredo() const;

    static short HostToNetworkOrder(short host);
    static int HostToNetworkOrder(int host);
    static std::int64_t HostToNetworkOrder(std::int64_t host);
    static short NetworkToHostOrder(short network) { return HostToNetworkOrder(network); }
    static int NetworkToHostOrder(int network) { return HostToNetworkOrder(network); }
    static std::int64_t NetworkToHostOrder(std::int64_t network) { return HostToNetworkOrder(network); }

    static gc_ptr<TIPAddress> InternalGetIPv6Any();
    static gc_ptr<TIPAddress> InternalGetIPv6Loopback();
    static gc_ptr<TIPAddress> InternalGetIPv6None();

    // The library's own IPv6 path, taken when the platform has no IPv6
    // stack; reachable directly so that it stays tested on hosts that have
    // one. Same contract as the IPv6 branch of InternalParse and ToString.
    static gc_ptr<TIPAddress> ParseIPv6WithoutPlatform(const UnicodeString& ipString, bool tryParse);
    UnicodeString FormatIPv6WithoutPlatform() const;

private:
    void InitIPv6Bytes(const gc_array<unsigned char>& address, std::int64_t scopeid);
    static gc_ptr<TIPAddress> ParseIPv4(const UnicodeString& ipString, bool tryParse);
    static gc_ptr<TIPAddress> ParseIPv6WithPlatform(const UnicodeString& ipString, bool tryParse);
    UnicodeString FormatIPv6WithPlatform() const;
    bool SameAs(const TIPAddress& other, bool compareScopeId) const;

    // Filled on first use without a lock; every thread computes the same
    // value. The text is published once through an atomic pointer, since
    // two threads writing one string at the same time would corrupt it.
    mutable std::atomic<const UnicodeString*> m_ToString{nullptr};
    mutable std::atomic<int> m_HashCode{0};
    gc_array<unsigned short> m_Numbers;
    std::int64_t m_ScopeId = 0;
    AddressFamily::Enum m_Family = AddressFamily::InterNetwork;
    std::int64_t m_Address = 0;
};

namespace Internal {
// The library's own way to build addresses; callers see only TIPAddress.
class TInternalIPAddress : public TIPAddress {
public:
    explicit TInternalIPAddress(int value) : TIPAddress(value) {}
    TInternalIPAddress(const gc_array<unsigned short>& numbers, int scopeid) : TIPAddress(numbers, scopeid) {}
};
} // namespace Internal

} // namespace System::Net::Sockets
