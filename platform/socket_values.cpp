#include "platform/socket_values.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/socket_errors.h"

namespace platform {
namespace winsock {

int linux_family(int f) noexcept {
    switch (f) {
    case WS_AF_INET: return AF_INET;
    case WS_AF_INET6: return AF_INET6;
    case WS_AF_UNSPEC: return AF_UNSPEC;
    default: return -1;
    }
}

int winsock_family(int f) noexcept {
    switch (f) {
    case AF_INET: return WS_AF_INET;
    case AF_INET6: return WS_AF_INET6;
    case AF_UNSPEC: return WS_AF_UNSPEC;
    default: return -1;
    }
}

int linux_msg_flags(std::uint32_t w) noexcept {
    if (w & ~(WS_MSG_OOB | WS_MSG_PEEK | WS_MSG_DONTROUTE | WS_MSG_WAITALL)) return -1;
    int f = 0;
    if (w & WS_MSG_OOB) f |= MSG_OOB;
    if (w & WS_MSG_PEEK) f |= MSG_PEEK;
    if (w & WS_MSG_DONTROUTE) f |= MSG_DONTROUTE;
    if (w & WS_MSG_WAITALL) f |= MSG_WAITALL;
    return f;
}

bool to_linux_address(const void* ws, int ws_len, sockaddr_storage* out, socklen_t* out_len, int* error) noexcept {
    if (!ws || ws_len < 2) {
        *error = WSAEFAULT;
        return false;
    }
    std::uint16_t fam;
    std::memcpy(&fam, ws, 2);
    std::memset(out, 0, sizeof *out);
    if (fam == WS_AF_INET) {
        if (ws_len < kSockaddrInSize) {
            *error = WSAEFAULT;
            return false;
        }
        std::memcpy(out, ws, sizeof(sockaddr_in));
        out->ss_family = AF_INET;
        *out_len = sizeof(sockaddr_in);
        return true;
    }
    if (fam == WS_AF_INET6) {
        if (ws_len < kSockaddrIn6Size) {
            *error = WSAEFAULT;
            return false;
        }
        std::memcpy(out, ws, sizeof(sockaddr_in6));
        out->ss_family = AF_INET6;
        *out_len = sizeof(sockaddr_in6);
        return true;
    }
    *error = WSAEAFNOSUPPORT;
    return false;
}

bool to_winsock_address(const sockaddr* in, socklen_t in_len, void* ws, int* len) noexcept {
    int need;
    std::uint16_t fam;
    if (in->sa_family == AF_INET) {
        need = kSockaddrInSize;
        fam = WS_AF_INET;
    } else if (in->sa_family == AF_INET6) {
        need = kSockaddrIn6Size;
        fam = WS_AF_INET6;
    } else {
        return false;
    }
    if (!ws || !len || *len < need || static_cast<int>(in_len) < need) return false;
    std::memcpy(ws, in, static_cast<std::size_t>(need));
    std::memcpy(ws, &fam, 2);
    *len = need;
    return true;
}

} // namespace winsock
} // namespace platform
