#include "RozavUde/IPAddress.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "RozavUde/NetworkStartup.h"
#include "RozavUde/SocketException.h"
#include "tests/support.h"

using namespace System;
using namespace System::Net::Sockets;
using testing::HasSubstr;
using testing_support::message_of;

namespace {

gc_array<unsigned char> bytes_of(std::vector<int> v) {
    gc_array<unsigned char> a = gcnew_array<unsigned char>(static_cast<int>(v.size()));
    for (int i = 0; i < static_cast<int>(v.size()); ++i) a[i] = static_cast<unsigned char>(v[i]);
    return a;
}

std::vector<int> groups_of(const gc_ptr<TIPAddress>& a) {
    std::vector<int> g;
    for (unsigned short n : a->GetNumbers()) g.push_back(n);
    return g;
}

std::vector<int> bytes_vector(const gc_array<unsigned char>& a) { return std::vector<int>(a.begin(), a.end()); }

bool same(const gc_ptr<TIPAddress>& a, const gc_ptr<TIPAddress>& b, bool scope = true) {
    return a->Equals(gc_ptr<TObject>(b), scope);
}

} // namespace

struct IPv4Case {
    const char* text;
    const char* formatted; // nullptr: refused
};

TEST(IPAddressParse, IPv4TextsFollowTheClassicConverterAndItsThreeAllOnesSpellings) {
    const IPv4Case cases[] = {
        {"127.0.0.1", "127.0.0.1"},
        {"10", "0.0.0.10"},                  // one part fills the address
        {"0x7f.1", "127.0.0.1"},             // hex, then the last part fills three bytes
        {"1.2.65535", "1.2.255.255"},
        {"017.0.0.1", "15.0.0.1"},           // octal
        {"255.255.255.255", "255.255.255.255"},
        {"0xff.0xff.0xff.0xff", "255.255.255.255"},
        {"0377.0377.0377.0377", "255.255.255.255"},
        {"0XFF.0XFF.0XFF.0XFF", nullptr},    // all ones, but not one of the spellings
        {"4294967295", nullptr},             // likewise
        {"a.b.c.d", nullptr},                // does not start with a digit
        {"1.2.3.4x", nullptr},               // does not end with a hex digit
        {"1.2.3.4 5", nullptr},              // the converter would stop at the blank
        {"1.2.3.4.5", nullptr},
        {"256.1.1.1", nullptr},
        {"08.1.1.1", nullptr},               // 8 is no octal digit
        {"1..2", nullptr},
        {"1.2.3.\xD9\xA3", nullptr},         // a non-ASCII digit
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        gc_ptr<TIPAddress> a;
        const bool ok = TIPAddress::TryParse(c.text, a);
        if (c.formatted) {
            ASSERT_TRUE(ok);
            EXPECT_EQ(a->GetAddressFamily(), AddressFamily::InterNetwork);
            EXPECT_EQ(a->ToString(), c.formatted);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_FALSE(a);
            EXPECT_EQ(message_of<ESocketException>([&] { TIPAddress::Parse(c.text); }), "Bad IP address");
        }
    }
}

TEST(IPAddressParse, LoopbackTextHasTheDesignedValueBytesAndText) {
    gc_ptr<TIPAddress> a = TIPAddress::Parse("127.0.0.1");
    EXPECT_EQ(a->GetAddress(), 0x0100007F);
    EXPECT_EQ(bytes_vector(a->GetAddressBytes()), (std::vector<int>{127, 0, 0, 1}));
    EXPECT_EQ(a->GetHashCode(), 0x0100007F);
    EXPECT_TRUE(same(a, TIPAddress::Loopback));
}

struct IPv6Case {
    const char* text;
    std::vector<int> groups; // empty: refused
    std::int64_t scope;
    const char* formatted;
};

TEST(IPAddressParse, IPv6TextsThroughThePlatformConverter) {
    ASSERT_TRUE(TSocket::GetOSSupportsIPv6()) << "these texts need the platform's IPv6 converter";
    const IPv6Case cases[] = {
        {"fe80::1%4", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, 4, "fe80::1%4"},
        {"[::1]", {0, 0, 0, 0, 0, 0, 0, 1}, 0, "::1"},
        {"[fe80::2%7]:8998", {0xFE80, 0, 0, 0, 0, 0, 0, 2}, 7, "fe80::2%7"},
        {"::ffff:1.2.3.4", {0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}, 0, "::ffff:1.2.3.4"},
        {"1:2:3:4:5:6:7:8", {1, 2, 3, 4, 5, 6, 7, 8}, 0, "1:2:3:4:5:6:7:8"},
        {"FE80::A%4294967295", {0xFE80, 0, 0, 0, 0, 0, 0, 0xA}, 0xFFFFFFFFll, "fe80::a%4294967295"},
        {"1:2:3:4:5:6:7:8:9", {}, 0, nullptr},
        {"fe80::1%4294967296", {}, 0, nullptr},
        {"fe80::1%eth0", {}, 0, nullptr},
        {"[::1", {}, 0, nullptr},
        {"[::1]:65536", {}, 0, nullptr},
        {"[::1]x", {}, 0, nullptr},
        {"1.2.3.4:80", {}, 0, nullptr},
        {":::", {}, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        gc_ptr<TIPAddress> a;
        const bool ok = TIPAddress::TryParse(c.text, a);
        if (c.groups.empty()) {
            EXPECT_FALSE(ok);
            EXPECT_EQ(message_of<ESocketException>([&] { TIPAddress::Parse(c.text); }), "Bad IP address");
            continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_EQ(a->GetAddressFamily(), AddressFamily::InterNetworkV6);
        EXPECT_EQ(groups_of(a), c.groups);
        EXPECT_EQ(a->GetScopeId(), c.scope);
        EXPECT_EQ(a->ToString(), c.formatted);
        // The text reads back as the same address.
        EXPECT_TRUE(same(TIPAddress::Parse(a->ToString()), a));
    }
}

TEST(IPAddressParse, EmptyTextIsAnArgumentErrorEvenForTryParse) {
    gc_ptr<TIPAddress> a;
    EXPECT_THAT(message_of<EArgumentNull>([&] { TIPAddress::TryParse("", a); }), HasSubstr("'ipString'"));
    EXPECT_THAT(message_of<EArgumentNull>([] { TIPAddress::Parse(""); }), HasSubstr("'ipString'"));
    a = TIPAddress::Loopback;
    EXPECT_FALSE(TIPAddress::TryParse("bogus", a));
    EXPECT_FALSE(a) << "a failed TryParse stores the empty result";
}

TEST(IPAddressParse, OwnIPv6ParserAcceptsAndRefusesTheSameAddressesAsThePlatform) {
    const IPv6Case cases[] = {
        {"fe80::1%4", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, 4, nullptr},
        {"[::1]", {0, 0, 0, 0, 0, 0, 0, 1}, 0, nullptr},
        {"::ffff:1.2.3.4", {0, 0, 0, 0, 0, 0xFFFF, 0x0102, 0x0304}, 0, nullptr},
        {"1:2:3:4:5:6:7:8", {1, 2, 3, 4, 5, 6, 7, 8}, 0, nullptr},
        {"1::", {1, 0, 0, 0, 0, 0, 0, 0}, 0, nullptr},
        {"::2:3:4:5:6:7:8", {0, 2, 3, 4, 5, 6, 7, 8}, 0, nullptr},
        {"1:2:3:4:5:6:1.2.3.4", {1, 2, 3, 4, 5, 6, 0x0102, 0x0304}, 0, nullptr},
        {"[fe80::1%4294967295]", {0xFE80, 0, 0, 0, 0, 0, 0, 1}, 0xFFFFFFFFll, nullptr},
        {"1:2:3:4:5:6:7:8:9", {}, 0, nullptr},
        {"::1]junk", {}, 0, nullptr},   // the validator alone would stop at the ']'
        {"[::1]junk", {}, 0, nullptr},
        {":1::2", {}, 0, nullptr},
        {"fe80::1%x", {}, 0, nullptr},
        {"fe80::1%", {}, 0, nullptr},
        {"fe80::1%4294967296", {}, 0, nullptr},
        {"1::2::3", {}, 0, nullptr},
        {"12345::1", {}, 0, nullptr},
        {"::1/64", {}, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        gc_ptr<TIPAddress> own = TIPAddress::ParseIPv6WithoutPlatform(c.text, true);
        if (c.groups.empty()) {
            EXPECT_FALSE(own);
            EXPECT_EQ(message_of<ESocketException>([&] { TIPAddress::ParseIPv6WithoutPlatform(c.text, false); }),
                      "Invalid argument");
            continue;
        }
        ASSERT_TRUE(own);
        EXPECT_EQ(groups_of(own), c.groups);
        EXPECT_EQ(own->GetScopeId(), c.scope);
        gc_ptr<TIPAddress> platform;
        ASSERT_TRUE(TIPAddress::TryParse(c.text, platform));
        EXPECT_TRUE(same(own, platform));
    }
}

TEST(IPAddressFormat, OwnIPv6TextSpellsOutEveryGroupAndTheLastTwoAsAQuad) {
    EXPECT_EQ(TIPAddress::IPv6Loopback->FormatIPv6WithoutPlatform(), "0000:0000:0000:0000:0000:0000:0.0.0.1");
    gc_ptr<TIPAddress> a = TIPAddress::ParseIPv6WithoutPlatform("fe80::ab:1.2.3.4%12", false);
    EXPECT_EQ(a->FormatIPv6WithoutPlatform(), "FE80:0000:0000:0000:0000:00AB:1.2.3.4%12");
}

TEST(IPAddressFormat, TextFollowsAChangedScope) {
    gc_ptr<TIPAddress> a = TIPAddress::Parse("fe80::1%4");
    EXPECT_EQ(a->ToString(), "fe80::1%4");
    const int h4 = a->GetHashCode();
    a->SetScopeId(9);
    EXPECT_EQ(a->ToString(), "fe80::1%9");
    EXPECT_NE(a->GetHashCode(), h4);
    a->SetScopeId(0);
    EXPECT_EQ(a->ToString(), "fe80::1");
}

TEST(IPAddressFormat, ThreadsFormattingOneAddressTogetherAllGetItsText) {
    // The text is cached on first use by whichever thread comes first.
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::atomic<int> wrong{0};
    for (int round = 0; round < kRounds; ++round) {
        gc_ptr<TIPAddress> shared = round % 2 ? TIPAddress::Parse("fe80::1:2%7") : TIPAddress::Parse("10.1.2.3");
        const std::string expected = round % 2 ? "fe80::1:2%7" : "10.1.2.3";
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&] {
                ready.fetch_add(1);
                while (ready.load() < kThreads) {
                }
                if (shared->ToString().ToUtf8() != expected || (round % 2 && shared->GetHashCode() == 0)) ++wrong;
            });
        for (auto& th : threads) th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST(IPAddressEquality, OneIPv4ValueFromTextBytesAndNumberIsOneAddress) {
    gc_ptr<TIPAddress> fromText = TIPAddress::Parse("192.168.1.200");
    gc_ptr<TIPAddress> fromBytes = gcnew<TIPAddress>(bytes_of({192, 168, 1, 200}));
    gc_ptr<TIPAddress> fromNumber = gcnew<TIPAddress>(std::int64_t{0xC801A8C0});
    gc_ptr<TIPAddress> copy = fromText->Snapshot();
    for (const auto& other : {fromBytes, fromNumber, copy}) {
        EXPECT_TRUE(same(fromText, other));
        EXPECT_EQ(fromText->GetHashCode(), other->GetHashCode());
        EXPECT_EQ(other->ToString(), "192.168.1.200");
    }
    EXPECT_FALSE(same(fromText, TIPAddress::Loopback));
    EXPECT_FALSE(fromText->Equals(gc_ptr<TObject>(gcnew<TLockableObject>())));
    EXPECT_FALSE(fromText->Equals(gc_ptr<TObject>()));
    EXPECT_FALSE(same(TIPAddress::Any, TIPAddress::IPv6Any)) << "families differ";
}

TEST(IPAddressEquality, ScopeCountsOnlyWhenAsked) {
    gc_ptr<TIPAddress> a = TIPAddress::Parse("fe80::1%4");
    gc_ptr<TIPAddress> b = TIPAddress::Parse("fe80::1%5");
    EXPECT_FALSE(a->Equals(gc_ptr<TObject>(b)));
    EXPECT_FALSE(same(a, b, true));
    EXPECT_TRUE(same(a, b, false));
    gc_ptr<TIPAddress> c = TIPAddress::Parse("FE80:0:0::1%4");
    EXPECT_TRUE(a->Equals(gc_ptr<TObject>(c)));
    EXPECT_EQ(a->GetHashCode(), c->GetHashCode());
    EXPECT_NE(a->GetHashCode(), 0);
}

TEST(IPAddressEquality, SnapshotOfIPv6KeepsGroupsAndAFullWidthScope) {
    gc_ptr<TIPAddress> a = TIPAddress::Parse("fe80::1%4294967295");
    gc_ptr<TIPAddress> s = a->Snapshot();
    EXPECT_TRUE(same(a, s));
    EXPECT_EQ(s->GetScopeId(), 0xFFFFFFFFll);
    EXPECT_TRUE(s->GetNumbers() == a->GetNumbers()) << "the group array is shared";
}

TEST(IPAddressEquality, RawComparandIsNotSupported) {
    const TObject* raw = TIPAddress::Loopback.get();
    EXPECT_THROW(TIPAddress::Loopback->Equals(raw), ENotImplemented);
}

TEST(IPAddressConstruction, BadArgumentsAreRefusedWithTheirParameter) {
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* param;
    };
    const Case cases[] = {
        {"negative number", [] { gcnew<TIPAddress>(std::int64_t{-1}); }, "'newAddress'"},
        {"33-bit number", [] { gcnew<TIPAddress>(std::int64_t{0x100000000}); }, "'newAddress'"},
        {"no bytes", [] { gcnew<TIPAddress>(gc_array<unsigned char>()); }, "'address'"},
        {"five bytes", [] { gcnew<TIPAddress>(bytes_of({1, 2, 3, 4, 5})); }, "'address'"},
        {"four bytes with a scope", [] { gcnew<TIPAddress>(bytes_of({1, 2, 3, 4}), std::int64_t{0}); }, "'address'"},
        {"negative scope", [] { gcnew<TIPAddress>(gcnew_array<unsigned char>(16), std::int64_t{-1}); }, "'scopeid'"},
        {"33-bit scope",
         [] { gcnew<TIPAddress>(gcnew_array<unsigned char>(16), std::int64_t{0x100000000}); }, "'scopeid'"},
        {"seven groups", [] { gcnew<TIPAddress>(gcnew_array<unsigned short>(7), 0); }, "'numbers'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_THAT(message_of<EArgument>(c.make), HasSubstr(c.param));
    }
    EXPECT_THAT(message_of<EArgument>([] { gcnew<TIPAddress>(bytes_of({1, 2, 3})); }), HasSubstr("Bad IP address"));
    EXPECT_EQ(gcnew<TIPAddress>(std::int64_t{0xFFFFFFFF})->ToString(), "255.255.255.255");
}

TEST(IPAddressConstruction, FamilySpecificMembersRefuseTheOtherFamily) {
    gc_ptr<TIPAddress> v4 = TIPAddress::Loopback;
    gc_ptr<TIPAddress> v6 = TIPAddress::Parse("::2");
    const std::function<void()> refused[] = {
        [&] { v6->GetAddress(); },
        [&] { v4->GetNumbers(); },
        [&] { v4->GetScopeId(); },
        [&] { v4->SetScopeId(1); },
    };
    for (const auto& f : refused) EXPECT_EQ(message_of<ESocketException>(f), "Operation not supported");
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { v6->SetScopeId(0x100000000); }), HasSubstr("'value'"));
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { v6->SetScopeId(-1); }), HasSubstr("'value'"));
    EXPECT_EQ(bytes_vector(v6->GetAddressBytes()), (std::vector<int>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}));
}

TEST(IPAddressClassification, LoopbackBroadcastAndIPv6Ranges) {
    struct Case {
        const char* text;
        std::int64_t scope;
        bool loopback, broadcast, linkLocal, siteLocal, multicast, teredo;
    };
    const Case cases[] = {
        {"127.255.0.1", 0, true, false, false, false, false, false},
        {"128.0.0.1", 0, false, false, false, false, false, false},
        {"255.255.255.255", 0, false, true, false, false, false, false},
        {"::1", 0, true, false, false, false, false, false},
        {"::1", 5, false, false, false, false, false, false},
        {"fe80::1", 0, false, false, true, false, false, false},
        {"febf::1", 0, false, false, true, false, false, false},
        {"fec0::1", 0, false, false, false, true, false, false},
        {"ff02::1", 0, false, false, false, false, true, false},
        {"2001:0:4136::1", 0, false, false, false, false, false, true},
        {"2001:1::1", 0, false, false, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " scope " + std::to_string(c.scope));
        gc_ptr<TIPAddress> a = TIPAddress::Parse(c.text);
        if (c.scope) a->SetScopeId(c.scope);
        EXPECT_EQ(TIPAddress::IsLoopback(a), c.loopback);
        EXPECT_EQ(a->GetIsBroadcast(), c.broadcast);
        EXPECT_EQ(a->GetIsIPv6LinkLocal(), c.linkLocal);
        EXPECT_EQ(a->GetIsIPv6SiteLocal(), c.siteLocal);
        EXPECT_EQ(a->GetIsIPv6Multicast(), c.multicast);
        EXPECT_EQ(a->GetIsIPv6Teredo(), c.teredo);
    }
}

TEST(IPAddressByteOrder, AllThreeWidthsReverseTheirBytes) {
    EXPECT_EQ(TIPAddress::HostToNetworkOrder(short{0x1234}), short{0x3412});
    EXPECT_EQ(TIPAddress::HostToNetworkOrder(0x7F000001), 0x0100007F);
    EXPECT_EQ(TIPAddress::HostToNetworkOrder(std::int64_t{0x0102030405060708}), std::int64_t{0x0807060504030201});
    EXPECT_EQ(TIPAddress::NetworkToHostOrder(-2), static_cast<int>(0xFEFFFFFFu));
}

TEST(IPAddressStatics, WellKnownAddressesHaveTheirValues) {
    EXPECT_EQ(TIPAddress::Any->ToString(), "0.0.0.0");
    EXPECT_EQ(TIPAddress::Loopback->ToString(), "127.0.0.1");
    EXPECT_EQ(TIPAddress::Broadcast->ToString(), "255.255.255.255");
    EXPECT_TRUE(same(TIPAddress::None, TIPAddress::Broadcast));
    EXPECT_FALSE(TIPAddress::None == TIPAddress::Broadcast) << "two separate objects";
    EXPECT_EQ(TIPAddress::IPv6Any->ToString(), "::");
    EXPECT_EQ(TIPAddress::IPv6Loopback->ToString(), "::1");
    EXPECT_TRUE(same(TIPAddress::IPv6None, TIPAddress::IPv6Any));
    EXPECT_EQ(TIPAddress::IPv6Any->GetScopeId(), 0);
    EXPECT_TRUE(TSocket::GetOSSupportsIPv4());
}
