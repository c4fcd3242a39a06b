// The Winsock public values the library keeps (address families 2 and 23,
// option level 0xFFFF, option names, socket addresses with family 23 for
// IPv6) and their translation to and from the Linux ones.
#pragma once
#include <sys/socket.h>

#include <cstdint>

namespace platform {
namespace winsock {

inline constexpr int WS_AF_INET = 2;
inline constexpr int WS_AF_INET6 = 23;
inline constexpr int WS_AF_UNSPEC = 0;

inline constexpr int WS_SOCK_STREAM = 1;
inline constexpr int WS_SOCK_DGRAM = 2;
inline constexpr int WS_SOCK_RAW = 3;

inline constexpr int WS_IPPROTO_IP = 0;
inline constexpr int WS_IPPROTO_TCP = 6;
inline constexpr int WS_IPPROTO_UDP = 17;
inline constexpr int WS_IPPROTO_IPV6 = 41;
inline constexpr int WS_SOL_SOCKET = 0xFFFF;

// Option names of level SOL_SOCKET.
inline constexpr int WS_SO_DEBUG = 0x0001;
inline constexpr int WS_SO_ACCEPTCONN = 0x0002;
inline constexpr int WS_SO_REUSEADDR = 0x0004;
inline constexpr int WS_SO_KEEPALIVE = 0x0008;
inline constexpr int WS_SO_DONTROUTE = 0x0010;
inline constexpr int WS_SO_BROADCAST = 0x0020;
inline constexpr int WS_SO_LINGER = 0x0080;
inline constexpr int WS_SO_OOBINLINE = 0x0100;
inline constexpr int WS_SO_SNDBUF = 0x1001;
inline constexpr int WS_SO_RCVBUF = 0x1002;
inline constexpr int WS_SO_SNDLOWAT = 0x1003;
inline constexpr int WS_SO_RCVLOWAT = 0x1004;
inline constexpr int WS_SO_SNDTIMEO = 0x1005;
inline constexpr int WS_SO_RCVTIMEO = 0x1006;
inline constexpr int WS_SO_ERROR = 0x1007;
inline constexpr int WS_SO_TYPE = 0x1008;
inline constexpr int WS_SO_MAX_MSG_SIZE = 0x2003;
inline constexpr int WS_SO_UPDATE_ACCEPT_CONTEXT = 0x700B;
inline constexpr int WS_SO_UPDATE_CONNECT_CONTEXT = 0x7010;
// Level IPPROTO_IP.
inline constexpr int WS_IP_OPTIONS = 1;
inline constexpr int WS_IP_HDRINCL = 2;
inline constexpr int WS_IP_TOS = 3;
inline constexpr int WS_IP_TTL = 4;
inline constexpr int WS_IP_MULTICAST_IF = 9;
inline constexpr int WS_IP_MULTICAST_TTL = 10;
inline constexpr int WS_IP_MULTICAST_LOOP = 11;
inline constexpr int WS_IP_ADD_MEMBERSHIP = 12;
inline constexpr int WS_IP_DROP_MEMBERSHIP = 13;
inline constexpr int WS_IP_DONTFRAGMENT = 14;
inline constexpr int WS_IP_PKTINFO = 19;
// Level IPPROTO_IPV6.
inline constexpr int WS_IPV6_UNICAST_HOPS = 4;
inline constexpr int WS_IPV6_MULTICAST_IF = 9;
inline constexpr int WS_IPV6_MULTICAST_HOPS = 10;
inline constexpr int WS_IPV6_MULTICAST_LOOP = 11;
inline constexpr int WS_IPV6_ADD_MEMBERSHIP = 12;
inline constexpr int WS_IPV6_DROP_MEMBERSHIP = 13;
inline constexpr int WS_IPV6_PKTINFO = 19;
inline constexpr int WS_IPV6_V6ONLY = 27;
// Level IPPROTO_TCP.
inline constexpr int WS_TCP_NODELAY = 1;
inline constexpr int WS_TCP_KEEPIDLE = 3;
inline constexpr int WS_TCP_KEEPCNT = 16;
inline constexpr int WS_TCP_KEEPINTVL = 17;

// Message flags.
inline constexpr std::uint32_t WS_MSG_OOB = 0x1;
inline constexpr std::uint32_t WS_MSG_PEEK = 0x2;
inline constexpr std::uint32_t WS_MSG_DONTROUTE = 0x4;
inline constexpr std::uint32_t WS_MSG_WAITALL = 0x8;

inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

inline constexpr int kSockaddrIn6Size = 28;
inline constexpr int kSockaddrInSize = 16;

// Linux values for Winsock ones; -1 when there is none.
int linux_family(int winsock_family) noexcept;
int winsock_family(int linux_family) noexcept;
int linux_msg_flags(std::uint32_t winsock_flags) noexcept; // -1 for an unknown bit

// A Winsock socket address (family 2 or 23 in its first two bytes, host
// order) into a Linux one; false (WSAEFAULT/WSAEAFNOSUPPORT in *error) when
// too short or of another family.
bool to_linux_address(const void* ws, int ws_len, sockaddr_storage* out, socklen_t* out_len, int* error) noexcept;
// A Linux address into Winsock layout; *len is the room on entry, the size
// written on return. False (WSAEFAULT) when it does not fit.
bool to_winsock_address(const sockaddr* in, socklen_t in_len, void* ws, int* len) noexcept;

} // namespace winsock
} // namespace platform
