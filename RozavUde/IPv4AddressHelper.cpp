#include "RozavUde/IPv4AddressHelper.h"

#include <cstdint>

namespace System {

namespace {
bool ends_host(char16_t ch, bool notImplicitFile, bool allowIPv6) {
    if (allowIPv6) return ch == u']' || ch == u'/' || ch == u'%';
    return ch == u'/' || ch == u'\\' || (notImplicitFile && (ch == u':' || ch == u'?' || ch == u'#'));
}

// Reads up to four decimal parts, each followed by one separator.
void read_parts(const UnicodeString& str, int start, int end, unsigned parts[4]) {
    int i = start;
    const int stop = end < str.Length() ? end : str.Length();
    for (int p = 0; p < 4; ++p) {
        unsigned v = 0;
        while (i < stop && str[i] >= u'0' && str[i] <= u'9') {
            v = v * 10 + static_cast<unsigned>(str[i] - u'0');
            if (v > 0xFFFF) v = 0xFFFF; // no wrap on text that did not pass validation
            ++i;
        }
        parts[p] = v & 0xFF;
        if (i < stop) ++i; // the separator
    }
}
} // namespace

bool IPv4AddressHelper::IsValid(const char16_t* name, int start, int& end, bool notImplicitFile, bool allowIPv6) {
    int dots = 0;
    int number = 0;
    bool haveNumber = false;
    int i = start;
    for (; i < end; ++i) {
        const char16_t ch = name[i];
        if (ends_host(ch, notImplicitFile, allowIPv6)) break;
        if (ch >= u'0' && ch <= u'9') {
            haveNumber = true;
            number = number * 10 + (ch - u'0');
            if (number > 255) return false;
        } else if (ch == u'.') {
            if (!haveNumber) return false;
            ++dots;
            haveNumber = false;
            number = 0;
        } else {
            return false;
        }
    }
    if (dots != 3 || !haveNumber) return false;
    end = i;
    return true;
}

bool IPv4AddressHelper::Parse(const UnicodeString& str, unsigned char* numbers, int start, int end) {
    unsigned parts[4];
    read_parts(str, start, end, parts);
    for (int p = 0; p < 4; ++p) numbers[p] = static_cast<unsigned char>(parts[p]);
    return numbers[0] == 127;
}

int IPv4AddressHelper::ParseHostNumber(const UnicodeString& str, int start, int end) {
    unsigned parts[4];
    read_parts(str, start, end, parts);
    const std::uint32_t v = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
    return static_cast<int>(v);
}

} // namespace System
