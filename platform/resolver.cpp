#include "platform/resolver.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/socket_errors.h"
#include "platform/socket_values.h"

namespace platform {

namespace {
// RFC 6761: resolver libraries should answer names under "invalid" with an
// immediate negative response; asking a name server could mean a time-out.
bool is_special_invalid(const std::string& name) {
    std::string n = name;
    if (!n.empty() && n.back() == '.') n.pop_back();
    for (char& c : n) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    static const std::string suffix = ".invalid";
    return n == "invalid" || (n.size() > suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0);
}
} // namespace

int resolve_name(const std::string& name, name_lookup& out) {
    out = name_lookup{};
    if (name.empty() || name.find('\0') != std::string::npos || is_special_invalid(name)) return WSAHOST_NOT_FOUND;
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    // One record per address, as the designed resolver gives; any socket
    // type would list every address once per type.
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) return winsock_error_from_gai(rc);
    for (const addrinfo* r = list; r; r = r->ai_next) {
        if (out.canonical_name.empty() && r->ai_canonname) out.canonical_name = r->ai_canonname;
        if (r->ai_family != AF_INET && r->ai_family != AF_INET6) continue;
        resolved_address a{};
        int len = static_cast<int>(sizeof a.designed);
        if (!winsock::to_winsock_address(r->ai_addr, r->ai_addrlen, a.designed, &len)) continue;
        a.size = len;
        out.addresses.push_back(a);
    }
    ::freeaddrinfo(list);
    return 0;
}

int resolve_address(const unsigned char* designed, int size, std::string& name) {
    name.clear();
    sockaddr_storage ss{};
    socklen_t len = 0;
    int error = 0;
    if (!winsock::to_linux_address(designed, size, &ss, &len, &error)) return error;
    char host[NI_MAXHOST];
    const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&ss), len, host, sizeof host, nullptr, 0,
                                 NI_NAMEREQD);
    if (rc != 0) return winsock_error_from_gai(rc);
    name = host;
    return 0;
}

int local_host_name(std::string& name) {
    char buf[256];
    if (::gethostname(buf, sizeof buf) != 0) return winsock_error_from_errno(errno);
    buf[sizeof buf - 1] = '\0';
    name = buf;
    return 0;
}

} // namespace platform
