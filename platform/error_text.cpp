#include "platform/error_text.h"

#include <netdb.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {
struct mapping { std::uint32_t code; int err; };
// Win32 and Winsock numbers with a Linux errno counterpart.
constexpr mapping kMap[] = {
    {2, ENOENT}, {3, ENOENT}, {4, EMFILE}, {5, EACCES}, {6, EBADF}, {8, ENOMEM},
    {14, ENOMEM}, {32, EBUSY}, {80, EEXIST}, {87, EINVAL}, {109, EPIPE}, {112, ENOSPC},
    {183, EEXIST}, {995, ECANCELED}, {1460, ETIMEDOUT},
    {10004, EINTR}, {10009, EBADF}, {10013, EACCES}, {10014, EFAULT}, {10022, EINVAL},
    {10024, EMFILE}, {10035, EWOULDBLOCK}, {10036, EINPROGRESS}, {10037, EALREADY},
    {10038, ENOTSOCK}, {10039, EDESTADDRREQ}, {10040, EMSGSIZE}, {10041, EPROTOTYPE},
    {10042, ENOPROTOOPT}, {10043, EPROTONOSUPPORT}, {10044, ESOCKTNOSUPPORT},
    {10045, EOPNOTSUPP}, {10046, EPFNOSUPPORT}, {10047, EAFNOSUPPORT}, {10048, EADDRINUSE},
    {10049, EADDRNOTAVAIL}, {10050, ENETDOWN}, {10051, ENETUNREACH}, {10052, ENETRESET},
    {10053, ECONNABORTED}, {10054, ECONNRESET}, {10055, ENOBUFS}, {10056, EISCONN},
    {10057, ENOTCONN}, {10058, ESHUTDOWN}, {10060, ETIMEDOUT}, {10061, ECONNREFUSED},
    {10064, EHOSTDOWN}, {10065, EHOSTUNREACH},
};
} // namespace

int errno_of_system_error(std::uint32_t code) noexcept {
    for (const auto& m : kMap)
        if (m.code == code) return m.err;
    return 0;
}

std::string GetSystemErrorMessage(std::uint32_t code) {
    switch (code) {
    case 0: return "Success";
    case 11001: return gai_strerror(EAI_NONAME);
    case 11002: return gai_strerror(EAI_AGAIN);
    case 11003: return gai_strerror(EAI_FAIL);
    case 11004: return gai_strerror(EAI_NODATA);
    default: break;
    }
    int e = errno_of_system_error(code);
    if (e == 0) return "Unknown error";
    char buf[256];
    return std::string(strerror_r(e, buf, sizeof buf));
}

} // namespace platform
