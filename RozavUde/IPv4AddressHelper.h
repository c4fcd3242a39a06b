// The library's own dotted-quad validator and parser, used for the IPv4
// part of IPv6 texts.
#pragma once
#include "rtl/UnicodeString.h"

namespace System {

class IPv4AddressHelper {
public:
    // Whether name[start..end) begins with a dotted quad: exactly three
    // dots, each part at least one decimal digit of value at most 255. The
    // scan stops at the host's end: in IPv6 mode at ']', '/' or '%';
    // otherwise at '/' or '\\' and, with notImplicitFile, also at ':', '?'
    // and '#'. When valid, end becomes the position where the quad ended.
    static bool IsValid(const char16_t* name, int start, int& end, bool notImplicitFile, bool allowIPv6);
    // The four dot- or colon-separated decimal parts of str[start..end) into
    // numbers[0..3] in text order; true when the first is 127. For text that
    // passed IsValid.
    static bool Parse(const UnicodeString& str, unsigned char* numbers, int start, int end);
    // The same four parts as one 32-bit value, the first part highest.
    static int ParseHostNumber(const UnicodeString& str, int start, int end);
};

} // namespace System
