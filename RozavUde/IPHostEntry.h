// The outcome of a name lookup: the host's name, its aliases and addresses.
#pragma once
#include "GC/gcarray.h"
#include "RozavUde/IPAddress.h"

namespace System::Net {

class TIPHostEntry : public TLockableObject {
public:
    NORVANE_CLASS_INFO();
    const gc_array<gc_ptr<Sockets::TIPAddress>>& GetAddressList() const { return m_AddressList; }
    void SetAddressList(const gc_array<gc_ptr<Sockets::TIPAddress>>& value) { m_AddressList = value; }
    const gc_array<UnicodeString>& GetAliases() const { return m_Aliases; }
    void SetAliases(const gc_array<UnicodeString>& value) { m_Aliases = value; }
    const UnicodeString& GetHostName() const { return m_HostName; }
    void SetHostName(const UnicodeString& value) { m_HostName = value; }

private:
    gc_array<gc_ptr<Sockets::TIPAddress>> m_AddressList;
    gc_array<UnicodeString> m_Aliases;
    UnicodeString m_HostName;
};

} // namespace System::Net
