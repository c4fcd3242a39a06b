// A free TCP port on 127.0.0.1, for tests, benchmarks and tools that start a
// listener of their own. No test framework here: tools include it too.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace testing_support {

// `preferred` when it is free, otherwise a port the kernel just handed out
// and took back (the classes under test refuse port 0); -1 if neither binds.
inline int FreeLoopbackPort(int preferred = 0) {
    for (const int want : {preferred, 0}) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(want));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = -1;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        if (port > 0) return port;
    }
    return -1;
}

} // namespace testing_support
