#include "RozavUde/OptionRecords.h"

namespace System::Net::Sockets {

#define NORVANE_NET_CLASS(C)                                                              \
    TClass C::StaticClass() {                                                            \
        static const TMetaClass cls = TClassBuilder<C, TLockableObject>(#C, "System.Net").Build(); \
        return &cls;                                                                     \
    }
NORVANE_NET_CLASS(TLingerOption)
NORVANE_NET_CLASS(TMulticastOption)
NORVANE_NET_CLASS(TIPv6MulticastOption)
#undef NORVANE_NET_CLASS

namespace {
bool valid_index(std::int64_t v) { return v >= 0 && v <= 0xFFFFFFFFll; }
} // namespace

TMulticastOption::TMulticastOption(const gc_ptr<TIPAddress>& group) : group_(group) {
    localAddress_ = TIPAddress::Any;
}
TMulticastOption::TMulticastOption(const gc_ptr<TIPAddress>& group, int interfaceIndex)
    : group_(group), ifIndex_(interfaceIndex) {}
TMulticastOption::TMulticastOption(const gc_ptr<TIPAddress>& group, const gc_ptr<TIPAddress>& mcint)
    : group_(group), localAddress_(mcint) {}

TIPv6MulticastOption::TIPv6MulticastOption(const gc_ptr<TIPAddress>& group) {
    if (!group) throw EArgumentNull("group");
    group_ = group;
}
TIPv6MulticastOption::TIPv6MulticastOption(const gc_ptr<TIPAddress>& group, std::int64_t ifindex) {
    if (!group) throw EArgumentNull("group");
    if (!valid_index(ifindex)) throw EArgumentOutOfRange("ifindex");
    group_ = group;
    interface_ = ifindex;
}
void TIPv6MulticastOption::SetGroup(const gc_ptr<TIPAddress>& value) {
    if (!value) throw EArgumentNull("value");
    group_ = value;
}
void TIPv6MulticastOption::SetInterfaceIndex(std::int64_t value) {
    if (!valid_index(value)) throw EArgumentOutOfRange("value");
    interface_ = value;
}

} // namespace System::Net::Sockets
