#include "RozavUde/IPAddress.h"

#include "RozavUde/IPAddressParser.h"
#include "RozavUde/NetworkStartup.h"
#include "RozavUde/SocketException.h"

namespace System::Net::Sockets {

// Built before any start-up routine may fill them (see NetworkStartup.cpp).
gc_ptr<TIPAddress> TIPAddress::Any __attribute__((init_priority(102)));
gc_ptr<TIPAddress> TIPAddress::Broadcast __attribute__((init_priority(102)));
gc_ptr<TIPAddress> TIPAddress::Loopback __attribute__((init_priority(102)));
gc_ptr<TIPAddress> TIPAddress::None __attribute__((init_priority(102)));
gc_ptr<TIPAddress> TIPAddress::IPv6Any __attribute__((init_priority(102)));
gc_ptr<TIPAddress> TIPAddress::IPv6Loopback __attribute__((init_priority(102)));
gc_ptr<TIPAddress> TIPAddress::IPv6None __attribute__((init_priority(102)));
const UnicodeString TIPAddress::InaddrNoneString __attribute__((init_priority(102))) = "255.255.255.255";
const UnicodeString TIPAddress::InaddrNoneStringHex __attribute__((init_priority(102))) = "0xff.0xff.0xff.0xff";
const UnicodeString TIPAddress::InaddrNoneStringOct __attribute__((init_priority(102))) = "0377.0377.0377.0377";

TClass TIPAddress::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TIPAddress, TLockableObject>("TIPAddress", "System.Net").Build();
    return &cls;
}

namespace {
constexpr std::int64_t kMaxUInt32 = 0xFFFFFFFFll;

[[noreturn]] void not_supported() { throw ESocketException("Operation not supported"); }

gc_ptr<TIPAddress> parse_failed(bool tryParse, const char* message) {
    if (tryParse) return gc_ptr<TIPAddress>();
    throw ESocketException(message);
}
} // namespace

TIPAddress::TIPAddress(int value)
    : m_Numbers(gcnew_array<unsigned short>(NumberOfLabels)), m_Address(static_cast<std::uint32_t>(value)) {}

TIPAddress::TIPAddress(std::int64_t newAddress) : m_Numbers(gcnew_array<unsigned short>(NumberOfLabels)) {
    if (newAddress < 0 || newAddress > kMaxUInt32) throw EArgumentOutOfRange("newAddress");
    m_Address = newAddress;
}

TIPAddress::TIPAddress(const gc_array<unsigned char>& address)
    : m_Numbers(gcnew_array<unsigned short>(NumberOfLabels)) {
    if (!address) throw EArgumentNull("address");
    const int n = address.Length();
    if (n == IPv4AddressBytes) {
        m_Address = static_cast<std::int64_t>(address[0]) | static_cast<std::int64_t>(address[1]) << 8 |
                    static_cast<std::int64_t>(address[2]) << 16 | static_cast<std::int64_t>(address[3]) << 24;
    } else if (n == IPv6AddressBytes) {
        InitIPv6Bytes(address, 0);
    } else {
        throw EArgument("Bad IP address", "address");
    }
}

TIPAddress::TIPAddress(const gc_array<unsigned char>& address, std::int64_t scopeid)
    : m_Numbers(gcnew_array<unsigned short>(NumberOfLabels)) {
    if (!address) throw EArgumentNull("address");
    if (address.Length() != IPv6AddressBytes) throw EArgument("Bad IP address", "address");
    if (scopeid < 0 || scopeid > kMaxUInt32) throw EArgumentOutOfRange("scopeid");
    InitIPv6Bytes(address, scopeid);
}

TIPAddress::TIPAddress(const gc_array<unsigned short>& numbers, int scopeid)
    : m_Numbers(numbers), m_ScopeId(static_cast<std::uint32_t>(scopeid)),
      m_Family(AddressFamily::InterNetworkV6) {
    // Every other operation reads eight groups.
    if (!numbers) throw EArgumentNull("numbers");
    if (numbers.Length() != NumberOfLabels) throw EArgument("Bad IP address", "numbers");
}

void TIPAddress::InitIPv6Bytes(const gc_array<unsigned char>& address, std::int64_t scopeid) {
    m_Family = AddressFamily::InterNetworkV6;
    for (int i = 0; i < NumberOfLabels; ++i)
        m_Numbers[i] = static_cast<unsigned short>(address[2 * i] << 8 | address[2 * i + 1]);
    m_ScopeId = scopeid;
}

gc_ptr<TIPAddress> TIPAddress::Parse(UnicodeString ipString) { return InternalParse(ipString, false); }

bool TIPAddress::TryParse(UnicodeString ipString, gc_ptr<TIPAddress>& address) {
    address = InternalParse(ipString, true);
    return static_cast<bool>(address);
}

gc_ptr<TIPAddress> TIPAddress::InternalParse(UnicodeString ipString, bool tryParse) {
    if (ipString.IsEmpty()) throw EArgumentNull("ipString");
    if (ipString.Pos(":") < 0) return ParseIPv4(ipString, tryParse);
    if (TSocket::GetOSSupportsIPv6()) return ParseIPv6WithPlatform(ipString, tryParse);
    return ParseIPv6WithoutPlatform(ipString, tryParse);
}

namespace {
gc_array<unsigned short> groups_array(const Internal::TParsedIPAddress& p) {
    gc_array<unsigned short> g = gcnew_array<unsigned short>(TIPAddress::NumberOfLabels);
    for (int i = 0; i < TIPAddress::NumberOfLabels; ++i) g[i] = p.groups[i];
    return g;
}
} // namespace

gc_ptr<TIPAddress> TIPAddress::ParseIPv4(const UnicodeString& ipString, bool tryParse) {
    Internal::TParsedIPAddress p;
    if (const char* failure = Internal::ParseIPv4Text(ipString, p)) return parse_failed(tryParse, failure);
    return gcnew<Internal::TInternalIPAddress>(static_cast<int>(p.ipv4));
}

gc_ptr<TIPAddress> TIPAddress::ParseIPv6WithPlatform(const UnicodeString& ipString, bool tryParse) {
    Internal::TParsedIPAddress p;
    if (const char* failure = Internal::ParseIPv6TextWithPlatform(ipString, p)) return parse_failed(tryParse, failure);
    gc_array<unsigned char> a = gcnew_array<unsigned char>(IPv6AddressBytes);
    for (int i = 0; i < NumberOfLabels; ++i) {
        a[2 * i] = static_cast<unsigned char>(p.groups[i] >> 8);
        a[2 * i + 1] = static_cast<unsigned char>(p.groups[i] & 0xFF);
    }
    return gcnew<TIPAddress>(a, static_cast<std::int64_t>(p.scope));
}

gc_ptr<TIPAddress> TIPAddress::ParseIPv6WithoutPlatform(const UnicodeString& ipString, bool tryParse) {
    if (ipString.IsEmpty()) throw EArgumentNull("ipString");
    Internal::TParsedIPAddress p;
    if (const char* failure = Internal::ParseIPv6TextWithoutPlatform(ipString, p))
        return parse_failed(tryParse, failure);
    return gcnew<Internal::TInternalIPAddress>(groups_array(p), static_cast<int>(p.scope));
}

TIPAddress::~TIPAddress() { delete m_ToString.load(std::memory_order_acquire); }

UnicodeString TIPAddress::ToString() const {
    if (const UnicodeString* cached = m_ToString.load(std::memory_order_acquire)) return *cached;
    auto* text = new UnicodeString(m_Family == AddressFamily::InterNetwork
                                       ? Internal::FormatIPv4(static_cast<std::uint32_t>(m_Address))
                                   : TSocket::GetOSSupportsIPv6() ? FormatIPv6WithPlatform()
                                                                  : FormatIPv6WithoutPlatform());
    const UnicodeString* expected = nullptr;
    if (!m_ToString.compare_exchange_strong(expected, text, std::memory_order_acq_rel)) {
        delete text; // another thread published the same text first
        return *expected;
    }
    return *text;
}

UnicodeString TIPAddress::FormatIPv6WithPlatform() const {
    return Internal::FormatIPv6WithPlatform(m_Numbers.data(), static_cast<std::uint32_t>(m_ScopeId));
}

UnicodeString TIPAddress::FormatIPv6WithoutPlatform() const {
    return Internal::FormatIPv6WithoutPlatform(m_Numbers.data(), static_cast<std::uint32_t>(m_ScopeId));
}

int TIPAddress::GetHashCode() const {
    if (m_Family == AddressFamily::InterNetwork) return static_cast<int>(static_cast<std::uint32_t>(m_Address));
    int hash = m_HashCode.load(std::memory_order_relaxed);
    if (hash == 0) {
        std::uint32_t h = 0;
        const UnicodeString text = ToString().UpperCase();
        for (char16_t c : text.u16()) h = h * 2 + c;
        hash = static_cast<int>(h);
        m_HashCode.store(hash, std::memory_order_relaxed);
    }
    return hash;
}

bool TIPAddress::Equals(const gc_ptr<TObject>& comparand) const { return Equals(comparand, true); }

bool TIPAddress::Equals(const gc_ptr<TObject>& comparand, bool compareScopeId) const {
    const auto* other = dynamic_cast<const TIPAddress*>(comparand.get());
    return other && SameAs(*other, compareScopeId);
}

bool TIPAddress::Equals(const TObject*) const { throw ENotImplemented(); }

bool TIPAddress::SameAs(const TIPAddress& other, bool compareScopeId) const {
    if (other.m_Family != m_Family) return false;
    if (m_Family == AddressFamily::InterNetwork) return other.m_Address == m_Address;
    for (int i = 0; i < NumberOfLabels; ++i)
        if (other.m_Numbers[i] != m_Numbers[i]) return false;
    return !compareScopeId || other.m_ScopeId == m_ScopeId;
}

gc_array<unsigned char> TIPAddress::GetAddressBytes() const {
    if (m_Family == AddressFamily::InterNetworkV6) {
        gc_array<unsigned char> b = gcnew_array<unsigned char>(IPv6AddressBytes);
        for (int i = 0; i < NumberOfLabels; ++i) {
            b[2 * i] = static_cast<unsigned char>(m_Numbers[i] >> 8);
            b[2 * i + 1] = static_cast<unsigned char>(m_Numbers[i] & 0xFF);
        }
        return b;
    }
    gc_array<unsigned char> b = gcnew_array<unsigned char>(IPv4AddressBytes);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(m_Address >> (8 * i));
    return b;
}

std::int64_t TIPAddress::GetAddress() const {
    if (m_Family == AddressFamily::InterNetworkV6) not_supported();
    return m_Address;
}

gc_array<unsigned short> TIPAddress::GetNumbers() const {
    if (m_Family != AddressFamily::InterNetworkV6) not_supported();
    return m_Numbers;
}

std::int64_t TIPAddress::GetScopeId() const {
    if (m_Family != AddressFamily::InterNetworkV6) not_supported();
    return m_ScopeId;
}

void TIPAddress::SetScopeId(std::int64_t value) {
    if (m_Family != AddressFamily::InterNetworkV6) not_supported();
    if (value < 0 || value > kMaxUInt32) throw EArgumentOutOfRange("value");
    if (value == m_ScopeId) return;
    m_ScopeId = value;
    // The text and hash include the scope.
    delete m_ToString.exchange(nullptr, std::memory_order_acq_rel);
    m_HashCode.store(0, std::memory_order_relaxed);
}

gc_ptr<TIPAddress> TIPAddress::Snapshot() const {
    if (m_Family == AddressFamily::InterNetwork) return gcnew<TIPAddress>(m_Address);
    return gcnew<Internal::TInternalIPAddress>(m_Numbers, static_cast<int>(static_cast<std::uint32_t>(m_ScopeId)));
}

bool TIPAddress::IsLoopback(const gc_ptr<TIPAddress>& address) {
    if (address->m_Family == AddressFamily::InterNetworkV6) return address->Equals(gc_ptr<TObject>(IPv6Loopback), true);
    return (address->m_Address & 0xFF) == (Loopback->m_Address & 0xFF);
}

bool TIPAddress::GetIsBroadcast() const {
    return m_Family != AddressFamily::InterNetworkV6 && m_Address == Broadcast->m_Address;
}

bool TIPAddress::GetIsIPv6LinkLocal() const {
    return m_Family == AddressFamily::InterNetworkV6 && (m_Numbers[0] & 0xFFC0) == 0xFE80;
}
bool TIPAddress::GetIsIPv6SiteLocal() const {
    return m_Family == AddressFamily::InterNetworkV6 && (m_Numbers[0] & 0xFFC0) == 0xFEC0;
}
bool TIPAddress::GetIsIPv6Multicast() const {
    return m_Family == AddressFamily::InterNetworkV6 && (m_Numbers[0] & 0xFF00) == 0xFF00;
}
bool TIPAddress::GetIsIPv6Teredo() const {
    return m_Family == AddressFamily::InterNetworkV6 && m_Numbers[0] == 0x2001 && m_Numbers[1] == 0;
}

short TIPAddress::HostToNetworkOrder(short host) {
    return static_cast<short>(__builtin_bswap16(static_cast<std::uint16_t>(host)));
}
int TIPAddress::HostToNetworkOrder(int host) {
    return static_cast<int>(__builtin_bswap32(static_cast<std::uint32_t>(host)));
}
std::int64_t TIPAddress::HostToNetworkOrder(std::int64_t host) {
    return static_cast<std::int64_t>(__builtin_bswap64(static_cast<std::uint64_t>(host)));
}

namespace {
gc_ptr<TIPAddress> ipv6_static(bool loopback) {
    gc_array<unsigned char> b = gcnew_array<unsigned char>(TIPAddress::IPv6AddressBytes);
    if (loopback) b[15] = 1;
    return gcnew<TIPAddress>(b, std::int64_t{0});
}
} // namespace

gc_ptr<TIPAddress> TIPAddress::InternalGetIPv6Any() { return ipv6_static(false); }
gc_ptr<TIPAddress> TIPAddress::InternalGetIPv6Loopback() { return ipv6_static(true); }
gc_ptr<TIPAddress> TIPAddress::InternalGetIPv6None() { return ipv6_static(false); }

} // namespace System::Net::Sockets
