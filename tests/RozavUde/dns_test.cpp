#include "RozavUde/Dns.h"

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "RozavUde/SocketException.h"
#include "platform/error_text.h"
#include "tests/support.h"

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;
using testing::HasSubstr;
using testing_support::message_of;

namespace {

// Generous: a resolver time-out is 5 s or more; a hermetic failure is
// immediate.
constexpr auto kNoResolverWait = std::chrono::seconds(3);

bool contains(const gc_array<gc_ptr<TIPAddress>>& list, const gc_ptr<TIPAddress>& a) {
    for (const auto& x : list)
        if (x->Equals(gc_ptr<TObject>(a))) return true;
    return false;
}

std::string host_not_found_text() { return "SocketException: " + platform::GetSystemErrorMessage(11001); }

} // namespace

TEST(DnsLiterals, AddressLiteralsGiveThemselvesWithoutALookup) {
    for (const char* text : {"127.0.0.1", "::1", "10.1.2.3", "fe80::1%3"}) {
        SCOPED_TRACE(text);
        gc_array<gc_ptr<TIPAddress>> list = TDns::GetHostAddresses(text);
        ASSERT_EQ(list.Length(), 1);
        EXPECT_TRUE(list[0]->Equals(gc_ptr<TObject>(TIPAddress::Parse(text))));
    }
    EXPECT_TRUE(TDns::GetHostAddresses("127.0.0.1")[0]->Equals(gc_ptr<TObject>(TIPAddress::Loopback)));
}

TEST(DnsLiterals, WildcardsAndEmptyTextsAreRefused) {
    for (const char* wildcard : {"0.0.0.0", "::", "0"}) {
        SCOPED_TRACE(wildcard);
        EXPECT_EQ(message_of<EArgument>([&] { TDns::GetHostAddresses(wildcard); }),
                  "Invalid value for argument 'hostNameOrAddress' - Invalid IP address");
        EXPECT_EQ(message_of<EArgument>([&] { TDns::GetHostEntry(UnicodeString(wildcard)); }),
                  "Invalid value for argument 'hostNameOrAddress' - Invalid IP address");
    }
    for (const auto& wildcard : {TIPAddress::Any, TIPAddress::IPv6Any}) {
        EXPECT_EQ(message_of<EArgument>([&] { TDns::GetHostEntry(wildcard); }),
                  "Invalid value for argument 'address' - Invalid IP address");
    }
    EXPECT_THAT(message_of<EArgumentNull>([] { TDns::GetHostAddresses(""); }), HasSubstr("'hostNameOrAddress'"));
    EXPECT_THAT(message_of<EArgumentNull>([] { TDns::GetHostEntry(UnicodeString()); }),
                HasSubstr("'hostNameOrAddress'"));
    EXPECT_THAT(message_of<EArgumentNull>([] { TDns::GetHostEntry(gc_ptr<TIPAddress>()); }), HasSubstr("'address'"));
}

TEST(DnsNames, OverLongNamesAreRefusedBeforeAnyLookup) {
    const std::string tooLong = "Host name must not be more than 255 characters long";
    const std::string label(63, 'a');
    // 4 x 63 + 3 dots = 255; the last form fails in the resolver instead.
    const std::string name255 = label + "." + label + "." + label + "." + label;
    const std::string name254dot = label + "." + label + "." + label + "." + std::string(54, 'b') + ".invalid.";
    ASSERT_EQ(name255.size(), 255u);
    ASSERT_EQ(name254dot.size(), 255u);
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { TDns::GetHostAddresses(name255); }), HasSubstr(tooLong));
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { TDns::GetHostAddresses(name255 + "x"); }), HasSubstr(tooLong));
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { TDns::GetHostEntry(UnicodeString(name255)); }),
                HasSubstr("'hostName'"));
    EXPECT_EQ(message_of<ESocketException>([&] { TDns::GetHostAddresses(name254dot); }), host_not_found_text());
}

TEST(DnsNames, LocalhostResolvesToLoopback) {
    gc_ptr<TIPHostEntry> e = TDns::GetHostEntry(UnicodeString("localhost"));
    EXPECT_FALSE(e->GetHostName().IsEmpty());
    EXPECT_EQ(e->GetAliases().Length(), 0);
    ASSERT_GT(e->GetAddressList().Length(), 0);
    for (const auto& a : e->GetAddressList()) EXPECT_TRUE(TIPAddress::IsLoopback(a)) << a->ToString();
    EXPECT_TRUE(contains(TDns::GetHostAddresses("localhost"), TIPAddress::Loopback) ||
                contains(TDns::GetHostAddresses("localhost"), TIPAddress::IPv6Loopback));
}

TEST(DnsNames, MissingNamesFailAtOnceWithHostNotFound) {
    for (const char* name : {"no-such-host.invalid", "NO.SUCH.HOST.INVALID.", "invalid"}) {
        SCOPED_TRACE(name);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(message_of<ESocketException>([&] { TDns::GetHostAddresses(name); }), host_not_found_text());
        EXPECT_EQ(message_of<ESocketException>([&] { TDns::GetHostEntry(UnicodeString(name)); }),
                  host_not_found_text());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, kNoResolverWait);
    }
    // Without an exception: the entry keeps the name and has no addresses.
    gc_ptr<TIPHostEntry> e;
    EXPECT_EQ(TDns::TryGetAddrInfo("x.invalid", e), SocketError::HostNotFound);
    EXPECT_EQ(e->GetHostName(), "x.invalid");
    EXPECT_EQ(e->GetAddressList().Length(), 0);
    // A NUL would cut the name short.
    EXPECT_EQ(TDns::TryGetAddrInfo(UnicodeString(std::u16string(u"localhost\0x", 11)), e), SocketError::HostNotFound);
}

TEST(DnsReverse, LoopbackHasAName) {
    gc_ptr<TIPHostEntry> e = TDns::GetHostEntry(TIPAddress::Loopback);
    EXPECT_FALSE(e->GetHostName().IsEmpty());
    gc_ptr<TIPHostEntry> byText = TDns::GetHostEntry(UnicodeString("127.0.0.1"));
    EXPECT_EQ(byText->GetHostName(), e->GetHostName());
}

TEST(DnsLocal, HostNameIsTheKernelsAndAnswerForALiteralIsTheLiteral) {
    char buf[256] = {};
    ASSERT_EQ(gethostname(buf, sizeof buf - 1), 0);
    EXPECT_EQ(TDns::GetHostName(), buf);

    gc_ptr<TIPHostEntry> e = TDns::GetUnresolveAnswer(TIPAddress::Parse("10.0.0.7"));
    EXPECT_EQ(e->GetHostName(), "10.0.0.7");
    EXPECT_EQ(e->GetAliases().Length(), 0);
    ASSERT_EQ(e->GetAddressList().Length(), 1);
    EXPECT_EQ(e->GetAddressList()[0]->ToString(), "10.0.0.7");
}
