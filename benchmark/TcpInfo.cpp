#include "benchmark/TcpInfo.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include "platform/socket_engine.h"

namespace Benchmark {

std::int64_t TcpRetransmits(const gc_disposable<System::Net::Sockets::TAsyncSocket>& socket) {
    if (!socket || gc_disposable<System::Net::Sockets::TAsyncSocket>::is_disposed(socket.get())) return -1;
    const int fd = platform::winsock::descriptor_of(socket.get()->GetHandle());
    if (fd < 0) return -1;
    tcp_info info{};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
    return info.tcpi_total_retrans;
}

std::int64_t ProcessCpuMicroseconds() {
    rusage u{};
    if (getrusage(RUSAGE_SELF, &u) != 0) return 0;
    return (std::int64_t(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000000 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

} // namespace Benchmark
