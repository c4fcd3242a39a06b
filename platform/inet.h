// Internet addresses between the library's designed (Winsock) forms and
// Linux: family numbers, the serialized socket-address bytes, address
// texts and the start-up probes. The designed IPv4 and IPv6 socket-address
// layouts match Linux's sockaddr_in and sockaddr_in6 byte for byte except
// for the family number (23 for IPv6 against AF_INET6 = 10), so a
// conversion copies and rewrites the first two bytes.
#pragma once
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

constexpr int wsa_af_inet = 2;
constexpr int wsa_af_inet6 = 23;

// AF_INET / AF_INET6 for the designed numbers, -1 for any other.
int native_family(int wsaFamily) noexcept;
// The designed number of a Linux family, -1 for any other.
int wsa_family(int nativeFamily) noexcept;

// The designed bytes (family little-endian at 0, size meaningful bytes) as
// a Linux socket address. False for an unknown family or a size too small
// for it.
bool sockaddr_to_native(const unsigned char* designed, int size, sockaddr_storage& out, socklen_t& len) noexcept;
// A Linux IPv4 or IPv6 socket address in the designed bytes; the number of
// bytes written, or -1 for another family, a short address or a buffer
// smaller than the address.
int sockaddr_from_native(const sockaddr* sa, socklen_t len, unsigned char* designed, int capacity) noexcept;

// The classic IPv4 text converter: one to four dot-separated parts, each
// decimal, octal (leading 0) or hexadecimal (leading 0x); the last part
// fills the remaining bytes. The address has the first octet in its lowest
// byte. 0xFFFFFFFF both for failure and for 255.255.255.255, as the
// converter it stands for. Only the characters of those forms are taken;
// anything else (blanks, signs, text after the number) fails.
std::uint32_t inet_addr_text(std::string_view text) noexcept;

// An IPv6 text as the platform's converter takes it: "addr", "addr%scope",
// "[addr]", "[addr%scope]" and either bracketed form followed by ":port".
// The scope is a decimal interface index up to 0xFFFFFFFF.
bool ipv6_from_text(std::u16string_view text, unsigned char bytes[16], std::uint32_t& scope,
                    std::uint16_t& port) noexcept;
// The standard text of an IPv6 address (RFC 5952 compression, embedded
// IPv4 for mapped and compatible forms), with "%scope" when scope > 0.
std::string ipv6_to_text(const unsigned char bytes[16], std::uint32_t scope);

// Whether a datagram socket of the designed family can be created here.
bool can_create_datagram_socket(int wsaFamily) noexcept;

} // namespace platform
