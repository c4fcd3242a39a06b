#include "RozavUde/IPAddress.h"

#include <cstring>

#include "RozavUde/IPv6AddressHelper.h"
#include "RozavUde/NetworkStartup.h"
#include "RozavUde/SocketException.h"
#include "platform/inet_text.h"
#include "rtl/Conversions.h"

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

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool is_hex(char16_t c) { return is_digit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }
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

gc_ptr<TIPAddress> TIPAddress::ParseIPv4(const UnicodeString& ipString, bool tryParse) {
    std::uint32_t value = 0xFFFFFFFFu;
    // The converter is only asked about texts that can be numbers at all.
    if (is_digit(ipString[0]) && is_hex(ipString[ipString.Length() - 1]))
        value = platform::inet_addr_text(ipString.ToUtf8());
    if (value == 0xFFFFFFFFu && !(ipString == InaddrNoneString || ipString == InaddrNoneStringHex ||
                                  ipString == InaddrNoneStringOct))
        return parse_failed(tryParse, "Bad IP address");
    return gcnew<Internal::TInternalIPAddress>(static_cast<int>(value));
}

gc_ptr<TIPAddress> TIPAddress::ParseIPv6WithPlatform(const UnicodeString& ipString, bool tryParse) {
    unsigned char bytes[IPv6AddressBytes];
    std::uint32_t scope = 0;
    std::uint16_t port = 0;
    if (!platform::ipv6_from_text(ipString.u16(), bytes, scope, port)) return parse_failed(tryParse, "Bad IP address");
    gc_array<unsigned char> a = gcnew_array<unsigned char>(IPv6AddressBytes);
    std::memcpy(a.data(), bytes, sizeof bytes);
    return gcnew<TIPAddress>(a, static_cast<std::int64_t>(scope));
}

gc_ptr<TIPAddress> TIPAddress::ParseIPv6WithoutPlatform(const UnicodeString& ipString, bool tryParse) {
    if (ipString.IsEmpty()) throw EArgumentNull("ipString");
    UnicodeString text = ipString;
    int start = 0;
    if (text[0] == u'[') start = 1;
    else text += u']';
    int end = text.Length();
    // The address must fill the text: the validator stops at the first ']'.
    if (!IPv6AddressHelper::IsValidStrict(text.c_str(), start, end) || end != text.Length())
        return parse_failed(tryParse, "Invalid argument");
    gc_array<unsigned short> numbers = gcnew_array<unsigned short>(NumberOfLabels);
    UnicodeString scopeText;
    IPv6AddressHelper::Parse(text, numbers.data(), 0, scopeText);
    if (scopeText.IsEmpty()) return gcnew<Internal::TInternalIPAddress>(numbers, 0);
    // The scope is an interface index: decimal digits up to 0xFFFFFFFF.
    std::int64_t scope = 0;
    const int n = scopeText.Length();
    if (n < 2 || n > 11) return parse_failed(tryParse, "Invalid argument");
    for (int i = 1; i < n; ++i) {
        if (!is_digit(scopeText[i])) return parse_failed(tryParse, "Invalid argument");
        scope = scope * 10 + (scopeText[i] - u'0');
    }
    if (scope > kMaxUInt32) return parse_failed(tryParse, "Invalid argument");
    return gcnew<Internal::TInternalIPAddress>(numbers, static_cast<int>(static_cast<std::uint32_t>(scope)));
}

UnicodeString TIPAddress::ToString() const {
    if (!m_ToString.IsEmpty()) return m_ToString;
    if (m_Family == AddressFamily::InterNetwork) {
        UnicodeString s;
        for (int i = 0; i < 4; ++i) {
            if (i) s += u'.';
            s += Sysutils::IntToStr(static_cast<int>((m_Address >> (8 * i)) & 0xFF));
        }
        m_ToString = s;
    } else {
        m_ToString = TSocket::GetOSSupportsIPv6() ? FormatIPv6WithPlatform() : FormatIPv6WithoutPlatform();
    }
    return m_ToString;
}

UnicodeString TIPAddress::FormatIPv6WithPlatform() const {
    unsigned char bytes[IPv6AddressBytes];
    for (int i = 0; i < NumberOfLabels; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(m_Numbers[i] >> 8);
        bytes[2 * i + 1] = static_cast<unsigned char>(m_Numbers[i] & 0xFF);
    }
    return UnicodeString(platform::ipv6_to_text(bytes, static_cast<std::uint32_t>(m_ScopeId)));
}

UnicodeString TIPAddress::FormatIPv6WithoutPlatform() const {
    UnicodeString s;
    for (int i = 0; i < 6; ++i) s += Sysutils::IntToHex(m_Numbers[i], 4) + ":";
    s += Sysutils::IntToStr(m_Numbers[6] >> 8) + "." + Sysutils::IntToStr(m_Numbers[6] & 0xFF) + "." +
         Sysutils::IntToStr(m_Numbers[7] >> 8) + "." + Sysutils::IntToStr(m_Numbers[7] & 0xFF);
    if (m_ScopeId != 0) s += "%" + Sysutils::IntToStr(m_ScopeId);
    return s;
}

int TIPAddress::GetHashCode() const {
    if (m_Family == AddressFamily::InterNetwork) return static_cast<int>(static_cast<std::uint32_t>(m_Address));
    if (m_HashCode == 0) {
        std::uint32_t h = 0;
        const UnicodeString text = ToString().UpperCase();
        for (char16_t c : text.u16()) h = h * 2 + c;
        m_HashCode = static_cast<int>(h);
    }
    return m_HashCode;
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
    m_ToString = UnicodeString();
    m_HashCode = 0;
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
