#include "RozavUde/NetworkStartup.h"

#include <atomic>

#include "RozavUde/IPAddress.h"
#include "RozavUde/IPEndPoint.h"
#include "RozavUde/SocketEnums.h"
#include "platform/inet_text.h"
#include "platform/startup_order.h"

namespace System::Net::Sockets {

namespace {
// Written once by the start-up, before any caller can run.
bool g_supportsIPv4 = false;
bool g_supportsIPv6 = false;
std::atomic<int> g_state{0}; // 0 never started, 1 started, 2 cleaned up
} // namespace

bool TSocket::GetOSSupportsIPv4() noexcept { return g_supportsIPv4; }
bool TSocket::GetOSSupportsIPv6() noexcept { return g_supportsIPv6; }

} // namespace System::Net::Sockets

namespace System::Net {

using namespace Sockets;

// There is no Winsock to start and no platform version to check on Linux:
// what remains are the statics and the two probes.
void SocketStartup() {
    int expected = 0;
    if (!g_state.compare_exchange_strong(expected, 1)) return;
    TIPAddress::Any = gcnew<Internal::TInternalIPAddress>(TIPAddress::HostToNetworkOrder(0));
    TIPAddress::Broadcast = gcnew<Internal::TInternalIPAddress>(TIPAddress::HostToNetworkOrder(-1));
    TIPAddress::Loopback = gcnew<Internal::TInternalIPAddress>(TIPAddress::HostToNetworkOrder(0x7F000001));
    TIPAddress::None = gcnew<Internal::TInternalIPAddress>(TIPAddress::HostToNetworkOrder(-1));
    TIPAddress::IPv6Any = TIPAddress::InternalGetIPv6Any();
    TIPAddress::IPv6Loopback = TIPAddress::InternalGetIPv6Loopback();
    TIPAddress::IPv6None = TIPAddress::InternalGetIPv6None();
    TIPEndPoint::Any = gcnew<TIPEndPoint>(TIPAddress::Any, 0);
    TIPEndPoint::IPv6Any = gcnew<TIPEndPoint>(TIPAddress::IPv6Any, 0);

    g_supportsIPv4 = platform::can_create_datagram_socket(AddressFamily::InterNetwork);
    g_supportsIPv6 = platform::can_create_datagram_socket(AddressFamily::InterNetworkV6);
}

void SocketCleanup() noexcept {
    int expected = 1;
    if (!g_state.compare_exchange_strong(expected, 2)) return;
    TIPEndPoint::Any = nullptr;
    TIPEndPoint::IPv6Any = nullptr;
    TIPAddress::Any = nullptr;
    TIPAddress::Broadcast = nullptr;
    TIPAddress::Loopback = nullptr;
    TIPAddress::None = nullptr;
    TIPAddress::IPv6Any = nullptr;
    TIPAddress::IPv6Loopback = nullptr;
    TIPAddress::IPv6None = nullptr;
}

} // namespace System::Net

// The socket start-up is the last of the library's units at load.
NORVANE_STARTUP(platform::startup::socket_startup) static void norvane_socket_startup() { System::Net::SocketStartup(); }
NORVANE_UNLOAD(platform::startup::socket_startup) static void norvane_socket_cleanup() { System::Net::SocketCleanup(); }
