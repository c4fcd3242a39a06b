// The library's own IPv6 text validator and parser, for a platform
// without an IPv6 stack.
#pragma once
#include "rtl/UnicodeString.h"

namespace System {

class IPv6AddressHelper {
public:
    // Whether name[start..end) holds an IPv6 address closed by ']': up to
    // eight groups of at most four hexadecimal digits, at most one "::",
    // an optional trailing dotted quad, an optional "%scope" and, when not
    // strict, a "/prefix" of 1 or 2 digits. On success end becomes the
    // position after the ']'; what follows it is not examined.
    static bool InternalIsValid(const char16_t* name, int start, int& end, bool strict);
    static bool IsValid(const char16_t* name, int start, int& end) { return InternalIsValid(name, start, end, false); }
    static bool IsValidStrict(const char16_t* name, int start, int& end) {
        return InternalIsValid(name, start, end, true);
    }
    // Fills numbers[0..7] from a text that passed validation (a leading '['
    // is skipped) and returns the scope text ("%..." or empty) in scopeId.
    // True when the address is ::1, ::127.0.0.1 or ::ffff:127.0.0.1.
    static bool Parse(const UnicodeString& address, unsigned short* numbers, int start, UnicodeString& scopeId);
};

} // namespace System
