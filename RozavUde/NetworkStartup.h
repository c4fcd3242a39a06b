// The socket start-up of the library: the well-known address statics and
// the probes that record whether IPv4 and IPv6 sockets can be created.
#pragma once

namespace System::Net::Sockets {

// The platform's socket support, as recorded at start-up.
class TSocket {
public:
    static bool GetOSSupportsIPv4() noexcept;
    static bool GetOSSupportsIPv6() noexcept;
};

} // namespace System::Net::Sockets

namespace System::Net {
// Runs once, when the library loads (repeated calls do nothing): builds the
// address and endpoint statics, then probes IPv4 and IPv6.
void SocketStartup();
// Releases the statics; runs once, when the library unloads.
void SocketCleanup() noexcept;
} // namespace System::Net
