#include "RozavUde/IPv6AddressHelper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RozavUde/IPv4AddressHelper.h"

using System::IPv4AddressHelper;
using System::IPv6AddressHelper;

namespace {

struct Validated {
    bool valid;
    int end;
};

Validated validate(const std::u16string& text, bool strict, int start = 0) {
    int end = static_cast<int>(text.size());
    const bool ok = IPv6AddressHelper::InternalIsValid(text.c_str(), start, end, strict);
    return {ok, end};
}

std::vector<int> parse_groups(const std::u16string& text, bool* loopback = nullptr, UnicodeString* scope = nullptr) {
    unsigned short n[8];
    UnicodeString s;
    const bool lb = IPv6AddressHelper::Parse(UnicodeString(text), n, 0, s);
    if (loopback) *loopback = lb;
    if (scope) *scope = s;
    return std::vector<int>(n, n + 8);
}

} // namespace

TEST(IPv6AddressHelperValidation, StrictAcceptsAddressesClosedByABracket) {
    struct Case {
        std::u16string text;
        int end; // position after the ']'
    };
    const Case cases[] = {
        {u"::1]", 4},
        {u"::]", 3},
        {u"1:2:3:4:5:6:7:8]", 16},
        {u"1::8]", 5},
        {u"fe80::1%4]", 10},
        {u"fe80::1%eth0]", 13},        // the scope text is the parser's business
        {u"::ffff:1.2.3.4]", 15},
        {u"1:2:3:4:5:6:1.2.3.4]", 20},
        {u"::1.2.3.4%3]", 12},
        {u"abcd:EF01::]", 12},
        {u"::1]tail", 4},              // what follows the ']' is not examined
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(UnicodeString(c.text).ToUtf8());
        const Validated v = validate(c.text, true);
        EXPECT_TRUE(v.valid);
        EXPECT_EQ(v.end, c.end);
    }
    // From position 1, after an opening bracket.
    const Validated bracketed = validate(u"[::1]", true, 1);
    EXPECT_TRUE(bracketed.valid);
    EXPECT_EQ(bracketed.end, 5);
}

TEST(IPv6AddressHelperValidation, StrictRefusesMalformedAddresses) {
    const std::u16string refused[] = {
        u"::1",                  // no closing bracket
        u"1:2:3:4:5:6:7:8:9]",   // nine groups
        u"1:2:3:4:5:6:7]",       // seven groups without a compressor
        u"1:2:3:4:5:6:7:8::]",   // eight groups and a compressor
        u"1::2::3]",             // two compressors
        u":::]",
        u":1::2]",               // a lone leading colon
        u"1:2:3:4:5:6:7:]",      // a number is missing at the end
        u"12345::1]",            // five digits
        u"::g]",
        u"fe80::1%4",            // the scope runs to the end
        u"::1/64]",              // no prefix in strict mode
        u"::1.2.3]",             // three parts
        u"::1.2.3.256]",
        u"::1.2.3.4.5]",
        u"::.1.2.3]",
        u"::1.2.3.4:5]",         // nothing but the end after the quad
        u"::1.2.3.4::1.2.3.4]",
        u"1:2:3:4:5:6:7:1.2.3.4]", // the quad makes nine groups
        u"]",
        u"",
    };
    for (const auto& text : refused) {
        SCOPED_TRACE(UnicodeString(text).ToUtf8());
        EXPECT_FALSE(validate(text, true).valid);
    }
}

TEST(IPv6AddressHelperValidation, PrefixIsAllowedOnlyWhenNotStrictWithOneOrTwoDigits) {
    EXPECT_TRUE(validate(u"::1/64]", false).valid);
    EXPECT_TRUE(validate(u"1::/8]", false).valid);
    EXPECT_FALSE(validate(u"::1/128]", false).valid);
    EXPECT_FALSE(validate(u"::1/]", false).valid);
    EXPECT_FALSE(validate(u"::1/6a]", false).valid);  // decimal only after the '/'
    EXPECT_FALSE(validate(u"::1/6/4]", false).valid);
    EXPECT_FALSE(validate(u"::/64]", false).valid);    // no group before the prefix
    int end = 7;
    EXPECT_TRUE(IPv6AddressHelper::IsValid(u"::1/64]", 0, end));
    end = 7;
    EXPECT_FALSE(IPv6AddressHelper::IsValidStrict(u"::1/64]", 0, end));
}

TEST(IPv6AddressHelperParse, GroupsCompressorQuadAndScope) {
    struct Case {
        std::u16string text;
        std::vector<int> groups;
        bool loopback;
        const char* scope;
    };
    const Case cases[] = {
        {u"::1]", {0, 0, 0, 0, 0, 0, 0, 1}, true, ""},
        {u"[::1]", {0, 0, 0, 0, 0, 0, 0, 1}, true, ""},
        {u"::127.0.0.1]", {0, 0, 0, 0, 0, 0, 0x7F00, 1}, true, ""},
        {u"::ffff:127.0.0.1]", {0, 0, 0, 0, 0, 0xFFFF, 0x7F00, 1}, true, ""},
        {u"::ffff:1.2.3.4]", {0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}, false, ""},
        {u"fe80::1%4]", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, false, "%4"},
        {u"fe80::%4]", {0xFE80, 0, 0, 0, 0, 0, 0, 0}, false, "%4"},
        {u"1:2:3:4:5:6:7:8]", {1, 2, 3, 4, 5, 6, 7, 8}, false, ""},
        {u"1:2::7:8]", {1, 2, 0, 0, 0, 0, 7, 8}, false, ""},
        {u"1:2:3:4:5:6:9.8.7.6]", {1, 2, 3, 4, 5, 6, 0x0908, 0x0706}, false, ""},
        {u"::1/64]", {0, 0, 0, 0, 0, 0, 0, 1}, true, ""},
        {u"abcd:EF01::]", {0xABCD, 0xEF01, 0, 0, 0, 0, 0, 0}, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(UnicodeString(c.text).ToUtf8());
        bool loopback = false;
        UnicodeString scope;
        EXPECT_EQ(parse_groups(c.text, &loopback, &scope), c.groups);
        EXPECT_EQ(loopback, c.loopback);
        EXPECT_EQ(scope, c.scope);
    }
}

TEST(IPv6AddressHelperParse, UnvalidatedTextNeverWritesPastEightGroups) {
    // Parse expects validated text; anything else may give nonsense but
    // must stay inside the caller's array.
    unsigned short n[10];
    for (auto& x : n) x = 0xBEEF;
    UnicodeString scope;
    IPv6AddressHelper::Parse(UnicodeString("1:2:3:4:5:6:7:8:9:10:11:12::1.2.3.4"), n, 0, scope);
    EXPECT_EQ(n[8], 0xBEEF);
    EXPECT_EQ(n[9], 0xBEEF);
}

TEST(IPv4AddressHelper, ValidQuadsAndWhereTheyEnd) {
    struct Case {
        std::u16string text;
        bool notImplicitFile, allowIPv6, valid;
        int end;
    };
    const Case cases[] = {
        {u"1.2.3.4", true, false, true, 7},
        {u"255.255.255.255", true, false, true, 15},
        {u"001.02.3.4", true, false, true, 10},   // leading zeros are decimal here
        {u"1.2.3.4]x", false, true, true, 7},
        {u"1.2.3.4%5", false, true, true, 7},
        {u"1.2.3.4/8", false, true, true, 7},
        {u"1.2.3.4:80", true, false, true, 7},
        {u"1.2.3.4:80", false, false, false, 0},  // ':' ends a host only with notImplicitFile
        {u"1.2.3.4:80", false, true, false, 0},
        {u"1.2.3.4\\x", false, false, true, 7},
        {u"1.2.3.256", true, false, false, 0},
        {u"1.2.3", true, false, false, 0},
        {u"1.2.3.", true, false, false, 0},
        {u"1..3.4", true, false, false, 0},
        {u"1.2.3.4.5", true, false, false, 0},
        {u"1.2.3.a", true, false, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(UnicodeString(c.text).ToUtf8());
        int end = static_cast<int>(c.text.size());
        EXPECT_EQ(IPv4AddressHelper::IsValid(c.text.c_str(), 0, end, c.notImplicitFile, c.allowIPv6), c.valid);
        if (c.valid) {
            EXPECT_EQ(end, c.end);
        }
    }
}

TEST(IPv4AddressHelper, PartsAsBytesAndAsOneNumber) {
    unsigned char b[4];
    EXPECT_TRUE(IPv4AddressHelper::Parse("127.1.2.3", b, 0, 9));
    EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{127, 1, 2, 3}));
    EXPECT_FALSE(IPv4AddressHelper::Parse("x10:20:30:40", b, 1, 12));
    EXPECT_EQ(std::vector<int>(b, b + 4), (std::vector<int>{10, 20, 30, 40}));
    EXPECT_EQ(IPv4AddressHelper::ParseHostNumber("1.2.3.4", 0, 7), 0x01020304);
    EXPECT_EQ(static_cast<unsigned>(IPv4AddressHelper::ParseHostNumber("::255.254.0.1]", 2, 13)), 0xFFFE0001u);
}
