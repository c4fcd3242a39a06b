// The records the socket's option calls take and return: plain data with
// a getter and setter per field. Only TIPv6MulticastOption checks its
// values; the socket checks the others when it applies them.
#pragma once
#include <cstdint>

#include "RozavUde/IPAddress.h"

namespace System::Net::Sockets {

class TLingerOption : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    TLingerOption(bool enable, int seconds) : m_enabled(enable), m_lingerTime(seconds) {}
    bool GetEnabled() const { return m_enabled; }
    void SetEnabled(bool value) { m_enabled = value; }
    int GetLingerTime() const { return m_lingerTime; }
    void SetLingerTime(int value) { m_lingerTime = value; }
private:
    bool m_enabled;
    int m_lingerTime;
};

class TMulticastOption : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    // The local address is TIPAddress::Any.
    explicit TMulticastOption(const gc_ptr<TIPAddress>& group);
    // By interface index; no local address.
    TMulticastOption(const gc_ptr<TIPAddress>& group, int interfaceIndex);
    TMulticastOption(const gc_ptr<TIPAddress>& group, const gc_ptr<TIPAddress>& mcint);
    const gc_ptr<TIPAddress>& GetGroup() const { return group_; }
    void SetGroup(const gc_ptr<TIPAddress>& value) { group_ = value; }
    int GetInterfaceIndex() const { return ifIndex_; }
    void SetInterfaceIndex(int value) { ifIndex_ = value; }
    const gc_ptr<TIPAddress>& GetLocalAddress() const { return localAddress_; }
    void SetLocalAddress(const gc_ptr<TIPAddress>& value) { localAddress_ = value; }
private:
    gc_ptr<TIPAddress> group_;
    int ifIndex_ = 0;
    gc_ptr<TIPAddress> localAddress_;
};

class TIPv6MulticastOption : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    // EArgumentNull "group"; EArgumentOutOfRange "ifindex" outside 0 to 0xFFFFFFFF.
    explicit TIPv6MulticastOption(const gc_ptr<TIPAddress>& group);
    TIPv6MulticastOption(const gc_ptr<TIPAddress>& group, std::int64_t ifindex);
    const gc_ptr<TIPAddress>& GetGroup() const { return group_; }
    void SetGroup(const gc_ptr<TIPAddress>& value); // EArgumentNull "value"
    std::int64_t GetInterfaceIndex() const { return interface_; }
    void SetInterfaceIndex(std::int64_t value); // EArgumentOutOfRange "value"
private:
    gc_ptr<TIPAddress> group_;
    std::int64_t interface_ = 0;
};

} // namespace System::Net::Sockets
