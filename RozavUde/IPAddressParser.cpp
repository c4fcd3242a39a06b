#include "RozavUde/IPAddressParser.h"

#include "RozavUde/IPv6AddressHelper.h"
#include "platform/inet_text.h"
#include "rtl/Conversions.h"

namespace System::Net::Sockets::Internal {

namespace {
constexpr const char* kBadAddress = "Bad IP address";
constexpr const char* kInvalidArgument = "Invalid argument";

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool is_hex(char16_t c) { return is_digit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

// The spellings of 255.255.255.255 the converter cannot tell from a failure.
bool is_all_ones_spelling(const UnicodeString& t) {
    return t == "255.255.255.255" || t == "0xff.0xff.0xff.0xff" || t == "0377.0377.0377.0377";
}
} // namespace

const char* ParseIPv4Text(const UnicodeString& text, TParsedIPAddress& out) {
    out = TParsedIPAddress{};
    if (text.IsEmpty()) return kBadAddress;
    std::uint32_t value = 0xFFFFFFFFu;
    // The converter is only asked about texts that can be numbers at all.
    if (is_digit(text[0]) && is_hex(text[text.Length() - 1])) value = platform::inet_addr_text(text.ToUtf8());
    if (value == 0xFFFFFFFFu && !is_all_ones_spelling(text)) return kBadAddress;
    out.ipv4 = value;
    return nullptr;
}

const char* ParseIPv6TextWithPlatform(const UnicodeString& text, TParsedIPAddress& out) {
    out = TParsedIPAddress{};
    unsigned char bytes[16];
    std::uint16_t port = 0;
    if (!platform::ipv6_from_text(text.u16(), bytes, out.scope, port)) return kBadAddress;
    out.ipv6 = true;
    for (int i = 0; i < 8; ++i) out.groups[i] = static_cast<unsigned short>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    return nullptr;
}

const char* ParseIPv6TextWithoutPlatform(const UnicodeString& text, TParsedIPAddress& out) {
    out = TParsedIPAddress{};
    if (text.IsEmpty()) return kInvalidArgument;
    UnicodeString t = text;
    int start = 0;
    if (t[0] == u'[') start = 1;
    else t += u']';
    int end = t.Length();
    // The address must fill the text: the validator stops at the first ']'.
    if (!IPv6AddressHelper::IsValidStrict(t.c_str(), start, end) || end != t.Length()) return kInvalidArgument;
    UnicodeString scopeText;
    IPv6AddressHelper::Parse(t, out.groups, 0, scopeText);
    if (!scopeText.IsEmpty()) {
        // An interface index: decimal digits up to 0xFFFFFFFF.
        const int n = scopeText.Length();
        if (n < 2 || n > 11) return kInvalidArgument;
        std::uint64_t scope = 0;
        for (int i = 1; i < n; ++i) {
            if (!is_digit(scopeText[i])) return kInvalidArgument;
            scope = scope * 10 + static_cast<unsigned>(scopeText[i] - u'0');
        }
        if (scope > 0xFFFFFFFFu) return kInvalidArgument;
        out.scope = static_cast<std::uint32_t>(scope);
    }
    out.ipv6 = true;
    return nullptr;
}

UnicodeString FormatIPv4(std::uint32_t address) {
    UnicodeString s;
    for (int i = 0; i < 4; ++i) {
        if (i) s += u'.';
        s += Sysutils::IntToStr(static_cast<int>((address >> (8 * i)) & 0xFF));
    }
    return s;
}

UnicodeString FormatIPv6WithPlatform(const unsigned short* groups, std::uint32_t scope) {
    unsigned char bytes[16];
    for (int i = 0; i < 8; ++i) {
        bytes[2 * i] = static_cast<unsigned char>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<unsigned char>(groups[i] & 0xFF);
    }
    return UnicodeString(platform::ipv6_to_text(bytes, scope));
}

UnicodeString FormatIPv6WithoutPlatform(const unsigned short* groups, std::uint32_t scope) {
    UnicodeString s;
    for (int i = 0; i < 6; ++i) s += Sysutils::IntToHex(groups[i], 4) + ":";
    s += Sysutils::IntToStr(groups[6] >> 8) + "." + Sysutils::IntToStr(groups[6] & 0xFF) + "." +
         Sysutils::IntToStr(groups[7] >> 8) + "." + Sysutils::IntToStr(groups[7] & 0xFF);
    if (scope != 0) s += "%" + Sysutils::IntToStr(static_cast<std::int64_t>(scope));
    return s;
}

} // namespace System::Net::Sockets::Internal
