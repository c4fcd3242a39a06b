// A serialized socket address: the designed (Winsock) socket-address bytes
// followed by a 4-byte size slot that platform calls report a length into.
//
//   IPv4 (size 16, buffer 24): family LE | port BE | 4 octets | 8 zero | pad | slot
//   IPv6 (size 28, buffer 36): family LE | port BE | flow | 16 address bytes |
//                              scope LE | pad | slot
#pragma once
#include <cstdint>

#include "GC/gcarray.h"
#include "RozavUde/SocketEnums.h"
#include "core/Objects.h"

namespace System::Net {

class TSocketAddress : public TLockableObject {
public:
    NORVANE_CLASS_INFO();

    static constexpr int IPv4AddressSize = 16;
    static constexpr int IPv6AddressSize = 28;
    static constexpr int MaxSize = 32;
    static constexpr int WriteableOffset = 2;

    explicit TSocketAddress(Sockets::AddressFamily::Enum family);
    // EArgumentOutOfRange "size" below 2.
    TSocketAddress(Sockets::AddressFamily::Enum family, int size);

    Sockets::AddressFamily::Enum GetFamily() const;
    int GetSize() const { return m_Size; }
    // EArgumentOutOfRange "offset" outside 0 to size - 1.
    unsigned char GetItem(int offset) const;
    void SetItem(int offset, unsigned char value);

    // The size into the slot, before a call that reports a length into it.
    void CopyAddressSizeIntoBuffer();
    int GetAddressSizeOffset() const { return m_Buffer.Length() - 4; }
    // The size read back from where the platform reported it.
    // EArgumentOutOfRange "size" below 2 or beyond the address bytes.
    void SetSize(const std::int32_t* size);

    // The bytes themselves, for the calls that fill or read them.
    const gc_array<unsigned char>& GetBuffer() const { return m_Buffer; }
    // The most address bytes the buffer holds in front of the size slot.
    int GetCapacity() const { return m_Buffer.Length() - 4; }

    bool Equals(const gc_ptr<TObject>& comparand) const override;
    int GetHashCode() const override;
    // "InterNetwork:16:{35,38,127,0,0,1,0,0,0,0,0,0,0,0}": the family's
    // name (its number when it has none), the size, and the bytes from
    // WriteableOffset on.
    virtual UnicodeString ToString() const;

private:
    void Init(Sockets::AddressFamily::Enum family, int size);

    gc_array<unsigned char> m_Buffer;
    mutable bool m_changed = true;
    mutable int m_hash = 0;
    int m_Size = 0;
};

} // namespace System::Net
