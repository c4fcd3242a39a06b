// libFuzzer target for address texts: the IPv4 converter, the platform's
// IPv6 converter and the library's own IPv6 validator and parser, as
// TIPAddress::TryParse runs them. Whatever the bytes, nothing reads or
// writes out of bounds; an accepted text formats to one that reads back as
// the same address; and a text both IPv6 paths accept means the same
// address to both. Built and run by scripts/fuzz.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "RozavUde/IPAddressParser.h"
#include "RozavUde/IPv4AddressHelper.h"
#include "RozavUde/IPv6AddressHelper.h"

using namespace System::Net::Sockets::Internal;
using System::IPv4AddressHelper;
using System::IPv6AddressHelper;

namespace {

void Check(bool ok, const char* what, const UnicodeString& text) {
    if (!ok) {
        std::fprintf(stderr, "address_fuzz: %s: \"%s\"\n", what, text.ToUtf8().c_str());
        std::abort();
    }
}

bool SameAddress(const TParsedIPAddress& a, const TParsedIPAddress& b) {
    return a.ipv6 == b.ipv6 && a.ipv4 == b.ipv4 && a.scope == b.scope &&
           std::memcmp(a.groups, b.groups, sizeof a.groups) == 0;
}

void RawHelpers(const std::u16string& s) {
    const int n = static_cast<int>(s.size());
    for (bool strict : {false, true}) {
        for (int start : {0, 1}) {
            if (start > n) continue;
            int end = n;
            if (IPv6AddressHelper::InternalIsValid(s.c_str(), start, end, strict)) {
                Check(end > start && end <= n && s[end - 1] == u']', "validator end outside the text", s);
                unsigned short groups[8];
                UnicodeString scope;
                IPv6AddressHelper::Parse(s, groups, 0, scope);
            }
        }
    }
    int end = n;
    if (IPv4AddressHelper::IsValid(s.c_str(), 0, end, true, false)) {
        Check(end >= 7 && end <= n, "quad end outside the text", s);
        unsigned char bytes[4];
        IPv4AddressHelper::Parse(s, bytes, 0, end);
        (void)IPv4AddressHelper::ParseHostNumber(s, 0, end);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256) return 0;
    std::u16string s;
    for (size_t i = 0; i < size; ++i) s += static_cast<char16_t>(data[i]);
    const UnicodeString text(s);
    RawHelpers(s);
    if (text.IsEmpty()) return 0;

    TParsedIPAddress p, again;
    if (text.Pos(":") < 0) {
        if (!ParseIPv4Text(text, p)) {
            Check(!ParseIPv4Text(FormatIPv4(p.ipv4), again) && SameAddress(p, again), "IPv4 text does not read back",
                  text);
        }
        return 0;
    }

    const bool platformOk = !ParseIPv6TextWithPlatform(text, p);
    if (platformOk) {
        const UnicodeString f = FormatIPv6WithPlatform(p.groups, p.scope);
        Check(!ParseIPv6TextWithPlatform(f, again) && SameAddress(p, again), "IPv6 text does not read back", text);
    }
    TParsedIPAddress own;
    if (!ParseIPv6TextWithoutPlatform(text, own)) {
        const UnicodeString f = FormatIPv6WithoutPlatform(own.groups, own.scope);
        Check(!ParseIPv6TextWithoutPlatform(f, again) && SameAddress(own, again),
              "own IPv6 text does not read back", text);
        if (platformOk) Check(SameAddress(p, own), "the two IPv6 parsers disagree", text);
    }
    return 0;
}
