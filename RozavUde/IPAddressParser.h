// Address text to value and back, without managed objects: the work of
// TIPAddress::InternalParse and ToString, kept apart so that it can be
// exercised on its own (the address fuzzer links only this).
#pragma once
#include <cstdint>

#include "rtl/UnicodeString.h"

namespace System::Net::Sockets::Internal {

struct TParsedIPAddress {
    bool ipv6 = false;
    std::uint32_t ipv4 = 0;        // the first octet in the lowest byte
    unsigned short groups[8] = {}; // most significant first
    std::uint32_t scope = 0;
};

// Each returns null when the text is an address (filled into `out`), and
// otherwise the message of the failure.
// One to four decimal, octal or hex parts; all ones only in its three
// exact spellings.
const char* ParseIPv4Text(const UnicodeString& text, TParsedIPAddress& out);
// The platform's converter: plain, bracketed, with "%scope" and "[...]:port".
const char* ParseIPv6TextWithPlatform(const UnicodeString& text, TParsedIPAddress& out);
// The library's own validator and parser.
const char* ParseIPv6TextWithoutPlatform(const UnicodeString& text, TParsedIPAddress& out);

UnicodeString FormatIPv4(std::uint32_t address);
UnicodeString FormatIPv6WithPlatform(const unsigned short* groups, std::uint32_t scope);
// Six groups as four upper-case hex digits, the last two as a dotted quad.
UnicodeString FormatIPv6WithoutPlatform(const unsigned short* groups, std::uint32_t scope);

} // namespace System::Net::Sockets::Internal
