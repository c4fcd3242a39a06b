#include "platform/inet_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "platform/socket_values.h"

namespace platform {

std::uint32_t inet_addr_text(std::string_view text) noexcept {
    constexpr std::uint32_t none = 0xFFFFFFFFu;
    if (text.empty() || text.size() > 64) return none;
    char buf[65];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == 'x' ||
                        c == 'X' || c == '.';
        if (!ok) return none;
        buf[i] = c;
    }
    buf[text.size()] = '\0';
    in_addr a{};
    if (inet_aton(buf, &a) == 0) return none;
    return a.s_addr; // network order: the first octet is the lowest byte
}

namespace {
// Digits only, at most 0xFFFFFFFF.
bool decimal_u32(std::u16string_view s, std::uint32_t& out) noexcept {
    if (s.empty() || s.size() > 10) return false;
    std::uint64_t v = 0;
    for (char16_t c : s) {
        if (c < u'0' || c > u'9') return false;
        v = v * 10 + static_cast<unsigned>(c - u'0');
    }
    if (v > 0xFFFFFFFFu) return false;
    out = static_cast<std::uint32_t>(v);
    return true;
}
} // namespace

bool ipv6_from_text(std::u16string_view text, unsigned char bytes[16], std::uint32_t& scope,
                    std::uint16_t& port) noexcept {
    scope = 0;
    port = 0;
    std::u16string_view addr = text;
    if (!addr.empty() && addr.front() == u'[') {
        const std::size_t close = addr.find(u']');
        if (close == std::u16string_view::npos) return false;
        std::u16string_view rest = addr.substr(close + 1);
        addr = addr.substr(1, close - 1);
        if (!rest.empty()) {
            std::uint32_t p = 0;
            if (rest.front() != u':' || !decimal_u32(rest.substr(1), p) || p > 0xFFFF) return false;
            port = static_cast<std::uint16_t>(p);
        }
    }
    const std::size_t pct = addr.find(u'%');
    if (pct != std::u16string_view::npos) {
        if (!decimal_u32(addr.substr(pct + 1), scope)) return false;
        addr = addr.substr(0, pct);
    }
    // INET6_ADDRSTRLEN covers the longest valid text.
    char buf[INET6_ADDRSTRLEN + 1];
    if (addr.empty() || addr.size() >= sizeof buf) return false;
    for (std::size_t i = 0; i < addr.size(); ++i) {
        if (addr[i] > 0x7F || addr[i] == 0) return false;
        buf[i] = static_cast<char>(addr[i]);
    }
    buf[addr.size()] = '\0';
    in6_addr a{};
    if (inet_pton(AF_INET6, buf, &a) != 1) return false;
    std::memcpy(bytes, &a, 16);
    return true;
}

std::string ipv6_to_text(const unsigned char bytes[16], std::uint32_t scope) {
    in6_addr a{};
    std::memcpy(&a, bytes, 16);
    char buf[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, &a, buf, sizeof buf)) return std::string();
    std::string s(buf);
    if (scope > 0) s += "%" + std::to_string(scope);
    return s;
}

bool can_create_datagram_socket(int wsaFamily) noexcept {
    const int fam = winsock::linux_family(wsaFamily);
    if (fam < 0) return false;
    const int fd = ::socket(fam, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

} // namespace platform
