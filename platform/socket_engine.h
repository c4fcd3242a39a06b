// Winsock-style sockets on Linux. Kernel descriptors are non-blocking and
// registered once with an edge-triggered epoll set; a poller thread carries
// out queued operations on readiness. Overlapped operations complete through
// the completion port their socket is associated with; the synchronous
// calls wait on the same queues, so callers still see blocking sockets.
//
// Handles are the descriptor number with a reuse count in the high bits, so
// a stale handle of a closed socket fails with WSAENOTSOCK instead of
// reaching a newer socket that got the same descriptor.
#pragma once
#include <cstdint>

#include "platform/completion_port.h"
#include "platform/socket_errors.h"
#include "platform/socket_values.h"

namespace platform {
namespace winsock {

using SOCKET = std::uint32_t;
inline constexpr SOCKET INVALID_SOCKET = ~0u;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr std::uint32_t WSA_FLAG_OVERLAPPED = 0x01;

struct WSABUF {
    std::uint32_t len;
    char* buf;
};

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
inline constexpr GUID WSAID_CONNECTEX = {0x25a207b9, 0xddf3, 0x4660, {0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e}};
inline constexpr GUID WSAID_ACCEPTEX = {0xb5367df1, 0xcbac, 0x11cf, {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
inline constexpr std::uint32_t SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006;
inline constexpr std::uint32_t FIONREAD_ = 0x4004667F;
inline constexpr std::uint32_t FIONBIO_ = 0x8004667E;

// The thread's last Winsock error (the same slot as GetLastError).
int WSAGetLastError() noexcept;
void WSASetLastError(int error) noexcept;

// Families 2 and 23, types and protocols as in Winsock. IPv6 sockets start
// IPv6-only, as on Windows.
SOCKET WSASocketW(int af, int type, int protocol, void* protocol_info, std::uint32_t group,
                  std::uint32_t flags) noexcept;
// Completes every queued operation: overlapped ones with
// WSA_OPERATION_ABORTED through the port, blocked synchronous callers with
// WSAEINTR. The descriptor is closed at once.
int closesocket(SOCKET s) noexcept;

int bind(SOCKET s, const void* name, int namelen) noexcept;
int listen(SOCKET s, int backlog) noexcept;
int shutdown(SOCKET s, int how) noexcept;
// An unbound socket has no name: WSAEINVAL.
int getsockname(SOCKET s, void* name, int* namelen) noexcept;
int getpeername(SOCKET s, void* name, int* namelen) noexcept;
int getsockopt(SOCKET s, int level, int optname, void* optval, int* optlen) noexcept;
int setsockopt(SOCKET s, int level, int optname, const void* optval, int optlen) noexcept;
int ioctlsocket(SOCKET s, std::uint32_t cmd, std::uint32_t* arg) noexcept;

// Blocking calls. A receive or send time-out set with SO_RCVTIMEO or
// SO_SNDTIMEO ends them with WSAETIMEDOUT; a synchronous send returns once
// every byte is handed to the kernel.
int WSAConnect(SOCKET s, const void* name, int namelen, void* caller_data, void* callee_data, void* sqos,
               void* gqos) noexcept;
SOCKET accept(SOCKET s, void* addr, int* addrlen) noexcept;

// With an OVERLAPPED: 0 when the operation finished at once (its completion
// still arrives through the port), SOCKET_ERROR with WSA_IO_PENDING when it
// was queued, SOCKET_ERROR with any other error when it failed at once (no
// completion comes). An overlapped send completes when every byte is handed
// to the kernel. Without one: the blocking call. One buffer per call.
int WSASend(SOCKET s, WSABUF* buffers, std::uint32_t count, std::uint32_t* sent, std::uint32_t flags,
            OVERLAPPED* overlapped, void* completion_routine) noexcept;
int WSARecv(SOCKET s, WSABUF* buffers, std::uint32_t count, std::uint32_t* received, std::uint32_t* flags,
            OVERLAPPED* overlapped, void* completion_routine) noexcept;
int WSASendTo(SOCKET s, WSABUF* buffers, std::uint32_t count, std::uint32_t* sent, std::uint32_t flags,
              const void* to, int tolen, OVERLAPPED* overlapped, void* completion_routine) noexcept;
// The sender's address is written (Winsock layout) when the receive
// completes; `from` and `*fromlen` must stay valid until then.
int WSARecvFrom(SOCKET s, WSABUF* buffers, std::uint32_t count, std::uint32_t* received, std::uint32_t* flags,
                void* from, std::int32_t* fromlen, OVERLAPPED* overlapped, void* completion_routine) noexcept;

// Accepts a connection into `accept_socket`, a socket made for it and not
// used otherwise: its handle then stands for the new connection. The local
// and remote addresses go (Winsock layout) to the start of the two areas of
// `output`. No data is received with the connection (receive length 0).
bool AcceptEx(SOCKET listen_socket, SOCKET accept_socket, void* output, std::uint32_t receive_length,
              std::uint32_t local_length, std::uint32_t remote_length, std::uint32_t* received,
              OVERLAPPED* overlapped) noexcept;
// A bound socket's connect, finished on writability and SO_ERROR. No data
// is sent with it.
bool ConnectEx(SOCKET s, const void* name, int namelen, void* send_buffer, std::uint32_t send_length,
               std::uint32_t* sent, OVERLAPPED* overlapped) noexcept;
using LPFN_CONNECTEX = bool (*)(SOCKET, const void*, int, void*, std::uint32_t, std::uint32_t*,
                                OVERLAPPED*) noexcept;
using LPFN_ACCEPTEX = bool (*)(SOCKET, SOCKET, void*, std::uint32_t, std::uint32_t, std::uint32_t,
                               std::uint32_t*, OVERLAPPED*) noexcept;

// SIO_GET_EXTENSION_FUNCTION_POINTER for WSAID_CONNECTEX and WSAID_ACCEPTEX
// (the output is a function pointer), FIONREAD.
int WSAIoctl(SOCKET s, std::uint32_t code, void* in, std::uint32_t in_len, void* out, std::uint32_t out_len,
             std::uint32_t* returned, OVERLAPPED* overlapped, void* completion_routine) noexcept;

// Associates the socket with a port (once); completions carry `key`.
bool associate_with_port(SOCKET s, completion_port* port, std::uintptr_t key) noexcept;

// Operations queued on the socket (receive and send side), 0 for a handle
// that is not an open socket: for tests and diagnostics.
std::uint32_t pending_operation_count(SOCKET s) noexcept;

// The kernel descriptor behind a handle, -1 when it is not an open socket.
int descriptor_of(SOCKET s) noexcept;

} // namespace winsock
} // namespace platform
