#include "RozavUde/SocketAddress.h"

#include <cstring>

#include "rtl/Conversions.h"

namespace System::Net {

using Sockets::AddressFamily::Enum;

TClass TSocketAddress::StaticClass() {
    static const TMetaClass cls =
        TClassBuilder<TSocketAddress, TLockableObject>("TSocketAddress", "System.Net").Build();
    return &cls;
}

TSocketAddress::TSocketAddress(Enum family) { Init(family, MaxSize); }
TSocketAddress::TSocketAddress(Enum family, int size) { Init(family, size); }

void TSocketAddress::Init(Enum family, int size) {
    if (size < 2) throw EArgumentOutOfRange("size");
    m_Size = size;
    m_Buffer = gcnew_array<unsigned char>((size / 4) * 4 + 8);
    m_Buffer[0] = static_cast<unsigned char>(family & 0xFF);
    m_Buffer[1] = static_cast<unsigned char>((family >> 8) & 0xFF);
    m_changed = true;
}

Enum TSocketAddress::GetFamily() const { return static_cast<Enum>(m_Buffer[0] | m_Buffer[1] << 8); }

unsigned char TSocketAddress::GetItem(int offset) const {
    if (offset < 0 || offset >= m_Size) throw EArgumentOutOfRange("offset");
    return m_Buffer[offset];
}

void TSocketAddress::SetItem(int offset, unsigned char value) {
    if (offset < 0 || offset >= m_Size) throw EArgumentOutOfRange("offset");
    if (m_Buffer[offset] != value) m_changed = true;
    m_Buffer[offset] = value;
}

void TSocketAddress::CopyAddressSizeIntoBuffer() {
    const std::int32_t s = m_Size;
    std::memcpy(m_Buffer.data() + GetAddressSizeOffset(), &s, sizeof s);
}

void TSocketAddress::SetSize(const std::int32_t* size) {
    const std::int32_t s = *size;
    // A length beyond the buffer would make GetItem read the size slot.
    if (s < 2 || s > GetCapacity()) throw EArgumentOutOfRange("size");
    if (s != m_Size) m_changed = true;
    m_Size = s;
}

bool TSocketAddress::Equals(const gc_ptr<TObject>& comparand) const {
    const auto* other = dynamic_cast<const TSocketAddress*>(comparand.get());
    if (!other || other->m_Size != m_Size) return false;
    return std::memcmp(other->m_Buffer.data(), m_Buffer.data(), static_cast<std::size_t>(m_Size)) == 0;
}

int TSocketAddress::GetHashCode() const {
    if (m_changed) {
        m_changed = false;
        const int whole = m_Size & ~3;
        std::uint32_t h = 0;
        for (int i = 0; i < whole; i += 4)
            h ^= static_cast<std::uint32_t>(m_Buffer[i]) | static_cast<std::uint32_t>(m_Buffer[i + 1]) << 8 |
                 static_cast<std::uint32_t>(m_Buffer[i + 2]) << 16 | static_cast<std::uint32_t>(m_Buffer[i + 3]) << 24;
        if (whole < m_Size) {
            std::uint32_t rest = 0;
            for (int i = whole; i < m_Size; ++i) rest |= static_cast<std::uint32_t>(m_Buffer[i]) << (8 * (i - whole));
            h ^= rest;
        }
        m_hash = static_cast<int>(h);
    }
    return m_hash;
}

UnicodeString TSocketAddress::ToString() const {
    UnicodeString s;
    switch (GetFamily()) {
    case Sockets::AddressFamily::Unspecified: s = "Unspecified"; break;
    case Sockets::AddressFamily::InterNetwork: s = "InterNetwork"; break;
    case Sockets::AddressFamily::InterNetworkV6: s = "InterNetworkV6"; break;
    default: s = Sysutils::IntToStr(static_cast<int>(GetFamily())); break;
    }
    s += ":" + Sysutils::IntToStr(m_Size) + ":{";
    for (int i = WriteableOffset; i < m_Size; ++i) {
        if (i > WriteableOffset) s += u',';
        s += Sysutils::IntToStr(static_cast<int>(m_Buffer[i]));
    }
    return s + "}";
}

} // namespace System::Net
