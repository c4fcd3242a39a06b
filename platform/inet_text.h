// Internet address texts as the platform's converters read and write
// them, and the start-up probes. Families and socket addresses are
// translated in platform/socket_values.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

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

// Whether a datagram socket of the Winsock family (2 or 23) can be created.
bool can_create_datagram_socket(int wsaFamily) noexcept;

} // namespace platform
