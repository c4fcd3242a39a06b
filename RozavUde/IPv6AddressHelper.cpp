#include "RozavUde/IPv6AddressHelper.h"

#include "RozavUde/IPv4AddressHelper.h"

namespace System {

namespace {
constexpr int kGroups = 8;

bool is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool is_hex(char16_t c) { return is_digit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }
int hex_value(char16_t c) {
    if (is_digit(c)) return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return c - u'A' + 10;
}
} // namespace

bool IPv6AddressHelper::InternalIsValid(const char16_t* name, int start, int& end, bool strict) {
    int groups = 0;         // completed groups
    int groupLength = 0;    // digits of the current group
    bool haveCompressor = false;
    bool haveIPv4 = false;
    bool havePrefix = false;
    bool expectingNumber = true;
    int closedAt = -1;      // position of the closing ']'
    for (int i = start; i < end && closedAt < 0; ++i) {
        char16_t ch = name[i];
        if (havePrefix ? is_digit(ch) : is_hex(ch)) {
            ++groupLength;
            expectingNumber = false;
            continue;
        }
        if (groupLength > 4) return false;
        if (groupLength != 0) ++groups;
        if (ch == u'%') {
            // The scope runs to the next ']' or '/', which is handled below.
            do {
                if (++i == end) return false;
            } while (name[i] != u']' && name[i] != u'/');
            ch = name[i];
        }
        switch (ch) {
        case u']':
            closedAt = i;
            continue; // the group length stays for the final checks
        case u':':
            if (i > start && name[i - 1] == u':') {
                if (haveCompressor) return false;
                haveCompressor = true;
                expectingNumber = false;
            } else {
                // A lone ':' cannot open an address (":1::2").
                if (i == start && !(i + 1 < end && name[i + 1] == u':')) return false;
                expectingNumber = true;
            }
            break;
        case u'/':
            if (strict || groups == 0 || havePrefix) return false;
            havePrefix = true;
            expectingNumber = true;
            break;
        case u'.': {
            if (haveIPv4) return false;
            int quadEnd = end;
            if (!IPv4AddressHelper::IsValid(name, i - groupLength, quadEnd, false, true)) return false;
            haveIPv4 = true;
            ++groups; // the quad fills two groups; its first part was counted above
            i = quadEnd - 1;
            break;
        }
        default:
            return false;
        }
        groupLength = 0;
    }
    if (closedAt < 0) return false;
    if (havePrefix && (groupLength < 1 || groupLength > 2)) return false;
    if (expectingNumber || groupLength > 4) return false;
    const int full = havePrefix ? kGroups - 1 : kGroups;
    if (haveCompressor ? groups >= full : groups != full) return false;
    end = closedAt + 1;
    return true;
}

bool IPv6AddressHelper::Parse(const UnicodeString& address, unsigned short* numbers, int start,
                              UnicodeString& scopeId) {
    const int n = address.Length();
    int count = 0;
    int compressorAt = -1;
    int number = 0;
    bool open = false; // digits read since the last separator
    // Validated text never holds more than eight; the guard keeps other
    // text from writing past the caller's array.
    auto store = [&](int value) {
        if (count < kGroups) numbers[count] = static_cast<unsigned short>(value);
        ++count;
    };
    for (int k = 0; k < kGroups; ++k) numbers[k] = 0;
    scopeId = UnicodeString();

    int i = start;
    if (i < n && address[i] == u'[') ++i;
    while (i < n && address[i] != u']') {
        const char16_t ch = address[i];
        if (ch == u'%') {
            if (open) store(number);
            number = 0;
            open = false;
            const int s = i;
            while (i < n && address[i] != u']' && address[i] != u'/') ++i;
            scopeId = address.SubString(s, i - s);
            while (i < n && address[i] != u']') ++i;
        } else if (ch == u':') {
            store(number);
            number = 0;
            open = false;
            ++i;
            bool compressorNow = false;
            if (i < n && address[i] == u':') {
                compressorAt = count;
                compressorNow = true;
                ++i;
            }
            if (!compressorNow && compressorAt < 0 && count < 6) continue;
            for (int j = i; j < n && j < i + 4; ++j) {
                const char16_t c = address[j];
                if (c == u']' || c == u':' || c == u'%' || c == u'/') break;
                if (c == u'.') {
                    int q = j;
                    while (q < n && address[q] != u']' && address[q] != u'/' && address[q] != u'%') ++q;
                    const unsigned v = static_cast<unsigned>(IPv4AddressHelper::ParseHostNumber(address, i, q));
                    store(static_cast<int>(v >> 16));
                    store(static_cast<int>(v & 0xFFFF));
                    i = q;
                    break;
                }
            }
        } else if (ch == u'/') {
            if (open) store(number);
            number = 0;
            open = false;
            // The prefix length is read past; nobody uses it.
            while (i < n && address[i] != u']') ++i;
        } else {
            if (is_hex(ch)) {
                number = ((number << 4) | hex_value(ch)) & 0xFFFF;
                open = true;
            }
            ++i;
        }
    }
    if (open) store(number);
    if (count > kGroups) count = kGroups;

    if (compressorAt >= 0 && compressorAt <= count) {
        const int tail = count - compressorAt;
        unsigned short moved[kGroups];
        for (int k = 0; k < tail; ++k) moved[k] = numbers[compressorAt + k];
        for (int k = compressorAt; k < kGroups; ++k) numbers[k] = 0;
        for (int k = 0; k < tail; ++k) numbers[kGroups - tail + k] = moved[k];
    }

    bool zeroHead = true;
    for (int k = 0; k < 5; ++k) zeroHead = zeroHead && numbers[k] == 0;
    if (!zeroHead) return false;
    if (numbers[5] == 0 && numbers[6] == 0 && numbers[7] == 1) return true;
    return (numbers[5] == 0 || numbers[5] == 0xFFFF) && numbers[6] == 0x7F00 && numbers[7] == 1;
}

} // namespace System
