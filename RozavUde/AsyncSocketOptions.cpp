// Socket options of TAsyncSocket: raw and typed, with their refusals.
// They work on the handle directly, take no lock and check no state.
#include <cstring>

#include "RozavUde/AsyncSocket.h"
#include "RozavUde/IPAddress.h"
#include "platform/error_text.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

namespace ws = platform::winsock;
using Sysutils::EInvalidOperation;
using Sysutils::ERangeError;

namespace {

[[noreturn]] void option_failed(const char* prefix) {
    throw EAsyncSocketIoException(
        UnicodeString(prefix) +
        UnicodeString(platform::GetSystemErrorMessage(static_cast<std::uint32_t>(ws::WSAGetLastError()))));
}

bool is_membership(SocketOptionName::Enum name) {
    return name == SocketOptionName::AddMembership || name == SocketOptionName::DropMembership;
}

void get_raw(TAsyncSocket::SOCKET h, int level, int name, void* value, int* len) {
    if (ws::getsockopt(h, level, name, value, len) != 0) option_failed("GetSocketOption failed: ");
}

void set_raw(TAsyncSocket::SOCKET h, int level, int name, const void* value, int len) {
    if (ws::setsockopt(h, level, name, value, len) != 0) option_failed("SetSocketOption failed: ");
}

} // namespace

int TAsyncSocket::GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name) {
    if (level == SocketOptionLevel::Socket && name == SocketOptionName::Linger)
        throw EInvalidOperation("GetSocketOption: Invalid overload for getting Linger option.");
    if (level == SocketOptionLevel::IP && is_membership(name))
        throw EInvalidOperation("GetSocketOption: Invalid overload for getting multicast option.");
    if (level == SocketOptionLevel::IPv6 && is_membership(name))
        throw EInvalidOperation("GetSocketOption: Invalid overload for getting IPv6 multicast option.");
    std::int32_t v = 0;
    int len = 4;
    get_raw(handle, level, name, &v, &len);
    return v;
}

void TAsyncSocket::GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, gc_ptr<TObject>& value) {
    if (level == SocketOptionLevel::Socket && name == SocketOptionName::Linger) value = GetLingerOpt();
    else if (level == SocketOptionLevel::IP && is_membership(name)) value = GetMulticastOpt(name);
    else if (level == SocketOptionLevel::IPv6 && is_membership(name)) value = GetIPv6MulticastOpt(name);
    else throw EInvalidOperation("GetSocketOption: Invalid overload for getting integer-typed option.");
}

void TAsyncSocket::GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                                   const gc_array<unsigned char> optionValue) {
    if (!optionValue) return;
    int len = optionValue.Length();
    get_raw(handle, level, name, optionValue.data(), &len);
}

gc_array<unsigned char> TAsyncSocket::GetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                                                      int optionLength) {
    if (optionLength < 0) throw EArgumentOutOfRange("optionLength");
    gc_array<unsigned char> value = gcnew_array<unsigned char>(optionLength);
    int len = optionLength;
    get_raw(handle, level, name, value.data(), &len);
    if (len != optionLength) {
        gc_array<unsigned char> shorter = gcnew_array<unsigned char>(len);
        std::memcpy(shorter.data(), value.data(), static_cast<std::size_t>(len));
        return shorter;
    }
    return value;
}

gc_ptr<TLingerOption> TAsyncSocket::GetLingerOpt() {
    std::uint16_t l[2] = {0, 0};
    int len = 4;
    get_raw(handle, SocketOptionLevel::Socket, SocketOptionName::Linger, l, &len);
    return gcnew<TLingerOption>(l[0] != 0, static_cast<int>(l[1]));
}

gc_ptr<TMulticastOption> TAsyncSocket::GetMulticastOpt(SocketOptionName::Enum name) {
    std::uint32_t m[2] = {0, 0}; // group, interface; network order
    int len = 8;
    get_raw(handle, SocketOptionLevel::IP, name, m, &len);
    return gcnew<TMulticastOption>(gcnew<TIPAddress>(static_cast<std::int64_t>(m[0])),
                                   gcnew<TIPAddress>(static_cast<std::int64_t>(m[1])));
}

gc_ptr<TIPv6MulticastOption> TAsyncSocket::GetIPv6MulticastOpt(SocketOptionName::Enum name) {
    unsigned char m[20] = {};
    int len = 20;
    get_raw(handle, SocketOptionLevel::IPv6, name, m, &len);
    gc_array<unsigned char> group = gcnew_array<unsigned char>(16);
    std::memcpy(group.data(), m, 16);
    std::uint32_t index;
    std::memcpy(&index, m + 16, 4);
    return gcnew<TIPv6MulticastOption>(gcnew<TIPAddress>(group, 0), static_cast<std::int64_t>(index));
}

void TAsyncSocket::SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, bool optionValue) {
    SetSocketOption(level, name, optionValue ? 1 : 0);
}

void TAsyncSocket::SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, int optionValue) {
    SetSocketOption(level, name, optionValue, false);
}

void TAsyncSocket::SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name, int optionValue,
                                   bool silent) {
    const std::int32_t v = optionValue;
    if (ws::setsockopt(handle, level, name, &v, 4) != 0 && !silent) option_failed("SetSocketOption failed: ");
}

void TAsyncSocket::SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                                   const gc_array<unsigned char> optionValue) {
    set_raw(handle, level, name, optionValue ? optionValue.data() : nullptr, optionValue ? optionValue.Length() : 0);
}

void TAsyncSocket::SetSocketOption(SocketOptionLevel::Enum level, SocketOptionName::Enum name,
                                   const gc_ptr<TObject> optionValue) {
    if (!optionValue) throw EArgumentNull("optionValue");
    if (level == SocketOptionLevel::Socket && name == SocketOptionName::Linger) {
        auto* l = dynamic_cast<TLingerOption*>(optionValue.get());
        if (!l) throw EArgument("SetSocketOption: Invalid optionValue for LingerOption", "optionValue");
        if (l->GetLingerTime() < 0 || l->GetLingerTime() > 0xFFFF)
            throw EArgumentOutOfRange("Argument out of range - value must be between 0 and 0xffff",
                                      "optionValue.LingerTime");
        SetLingerOption(gc_ptr<TLingerOption>(l));
    } else if (level == SocketOptionLevel::IP && is_membership(name)) {
        auto* m = dynamic_cast<TMulticastOption*>(optionValue.get());
        if (!m) throw EArgument("SetSocketOption: Invalid optionValue for MulticastOption", "optionValue");
        SetMulticastOption(name, gc_ptr<TMulticastOption>(m));
    } else if (level == SocketOptionLevel::IPv6 && is_membership(name)) {
        auto* m = dynamic_cast<TIPv6MulticastOption*>(optionValue.get());
        if (!m) throw EArgument("SetSocketOption: Invalid optionValue for IPv6MulticastOption", "optionValue");
        SetIPv6MulticastOption(name, gc_ptr<TIPv6MulticastOption>(m));
    } else {
        throw EArgument("SetSocketOption: Invalid optionName for this method overload", "optionName");
    }
}

void TAsyncSocket::SetLingerOption(const gc_ptr<TLingerOption> lref) {
    const std::uint16_t l[2] = {static_cast<std::uint16_t>(lref->GetEnabled() ? 1 : 0),
                                static_cast<std::uint16_t>(lref->GetLingerTime())};
    set_raw(handle, SocketOptionLevel::Socket, SocketOptionName::Linger, l, 4);
}

void TAsyncSocket::SetMulticastOption(SocketOptionName::Enum name, const gc_ptr<TMulticastOption> mr) {
    std::uint32_t m[2];
    m[0] = static_cast<std::uint32_t>(mr->GetGroup()->GetAddress());
    if (mr->GetLocalAddress()) m[1] = static_cast<std::uint32_t>(mr->GetLocalAddress()->GetAddress());
    else m[1] = static_cast<std::uint32_t>(TIPAddress::HostToNetworkOrder(mr->GetInterfaceIndex()));
    set_raw(handle, SocketOptionLevel::IP, name, m, 8);
}

void TAsyncSocket::SetIPv6MulticastOption(SocketOptionName::Enum name, const gc_ptr<TIPv6MulticastOption> mr) {
    unsigned char m[20];
    gc_array<unsigned char> group = mr->GetGroup()->GetAddressBytes();
    std::memcpy(m, group.data(), 16);
    const std::uint32_t index = static_cast<std::uint32_t>(mr->GetInterfaceIndex());
    std::memcpy(m + 16, &index, 4);
    set_raw(handle, SocketOptionLevel::IPv6, name, m, 20);
}

// --- typed accessors -------------------------------------------------------

int TAsyncSocket::GetIntOption(int level, int name) {
    std::int32_t v = 0;
    int len = 4;
    get_raw(handle, level, name, &v, &len);
    return v;
}

void TAsyncSocket::SetIntOption(int level, int name, int value, bool silent) {
    const std::int32_t v = value;
    if (ws::setsockopt(handle, level, name, &v, 4) != 0 && !silent) option_failed("SetSocketOption failed: ");
}

namespace {
constexpr int kSocket = SocketOptionLevel::Socket;
void check_internetwork(AddressFamily::Enum f) {
    if (f != AddressFamily::InterNetwork)
        throw EInvalidOperation("Don't fragment is not valid on non InterNetwork address families");
}
} // namespace

int TAsyncSocket::GetSendBufferSize() { return GetIntOption(kSocket, SocketOptionName::SendBuffer); }
void TAsyncSocket::SetSendBufferSize(int value) { SetIntOption(kSocket, SocketOptionName::SendBuffer, value, false); }
int TAsyncSocket::GetReceiveBufferSize() { return GetIntOption(kSocket, SocketOptionName::ReceiveBuffer); }
void TAsyncSocket::SetReceiveBufferSize(int value) {
    SetIntOption(kSocket, SocketOptionName::ReceiveBuffer, value, false);
}
int TAsyncSocket::GetReceiveTimeout() { return GetIntOption(kSocket, SocketOptionName::ReceiveTimeout); }
void TAsyncSocket::SetReceiveTimeout(int value) {
    if (value < -1) throw ERangeError("SetReceiveTimeout: Argument val must be -1 or greater");
    SetIntOption(kSocket, SocketOptionName::ReceiveTimeout, value == -1 ? 0 : value, false);
}
int TAsyncSocket::GetSendTimeout() { return GetIntOption(kSocket, SocketOptionName::SendTimeout); }
void TAsyncSocket::SetSendTimeout(int value) {
    if (value < -1) throw ERangeError("SetSendTimeout: Argument val must be -1 or greater");
    SetIntOption(kSocket, SocketOptionName::SendTimeout, value == -1 ? 0 : value, false);
}
bool TAsyncSocket::GetNoDelay() { return GetIntOption(SocketOptionLevel::Tcp, SocketOptionName::NoDelay) != 0; }
void TAsyncSocket::SetNoDelay(bool value) {
    SetIntOption(SocketOptionLevel::Tcp, SocketOptionName::NoDelay, value ? 1 : 0, false);
}
bool TAsyncSocket::GetDontFragment() {
    check_internetwork(addressFamily);
    return GetIntOption(SocketOptionLevel::IP, SocketOptionName::DontFragment) != 0;
}
void TAsyncSocket::SetDontFragment(bool value) {
    check_internetwork(addressFamily);
    SetIntOption(SocketOptionLevel::IP, SocketOptionName::DontFragment, value ? 1 : 0, false);
}
bool TAsyncSocket::GetEnableBroadcast() { return GetIntOption(kSocket, SocketOptionName::Broadcast) != 0; }
void TAsyncSocket::SetEnableBroadcast(bool value) { SetIntOption(kSocket, SocketOptionName::Broadcast, value ? 1 : 0, false); }
int TAsyncSocket::GetMaxMessageSize() { return GetIntOption(kSocket, SocketOptionName::MaxMessageSize); }

} // namespace System::Net::Sockets
