// What the kernel knows about a TCP connection that the socket class does
// not offer.
#pragma once
#include <cstdint>

#include "GC/gcptr.h"
#include "RozavUde/AsyncSocket.h"

namespace Benchmark {

// Segments retransmitted over the connection's life (TCP_INFO); -1 when
// the socket is gone or the kernel does not say.
std::int64_t TcpRetransmits(const gc_disposable<System::Net::Sockets::TAsyncSocket>& socket);

// CPU time (user + system) of this process in microseconds.
std::int64_t ProcessCpuMicroseconds();

} // namespace Benchmark
