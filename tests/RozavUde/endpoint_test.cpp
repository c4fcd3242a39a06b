#include "RozavUde/IPEndPoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "RozavUde/OptionRecords.h"
#include "RozavUde/SocketAddress.h"
#include "RozavUde/ValidationHelper.h"
#include "tests/support.h"

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;
using testing::HasSubstr;
using testing_support::message_of;

namespace {
std::vector<int> items(const gc_ptr<TSocketAddress>& sa) {
    std::vector<int> v;
    for (int i = 0; i < sa->GetSize(); ++i) v.push_back(sa->GetItem(i));
    return v;
}
std::int32_t slot_of(const gc_ptr<TSocketAddress>& sa) {
    std::int32_t s;
    std::memcpy(&s, sa->GetBuffer().data() + sa->GetAddressSizeOffset(), sizeof s);
    return s;
}
} // namespace

TEST(SocketAddress, BufferIsTheAddressBytesThenTheSizeSlot) {
    struct Case {
        AddressFamily::Enum family;
        int size, buffer;
    };
    const Case cases[] = {
        {AddressFamily::InterNetwork, 16, 24},
        {AddressFamily::InterNetworkV6, 28, 36},
        {AddressFamily::Unspecified, 32, 40},
        {AddressFamily::InterNetwork, 2, 8},
        {AddressFamily::InterNetwork, 19, 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        gc_ptr<TSocketAddress> sa = gcnew<TSocketAddress>(c.family, c.size);
        EXPECT_EQ(sa->GetBuffer().Length(), c.buffer);
        EXPECT_EQ(sa->GetAddressSizeOffset(), c.buffer - 4);
        EXPECT_EQ(sa->GetFamily(), c.family);
        sa->CopyAddressSizeIntoBuffer();
        EXPECT_EQ(slot_of(sa), c.size);
    }
    gc_ptr<TSocketAddress> v6 = gcnew<TSocketAddress>(AddressFamily::InterNetworkV6);
    EXPECT_EQ(v6->GetSize(), TSocketAddress::MaxSize);
    EXPECT_EQ(v6->GetItem(0), 23);
    EXPECT_EQ(v6->GetItem(1), 0);
}

TEST(SocketAddress, SizeAndOffsetsAreChecked) {
    EXPECT_THAT(message_of<EArgumentOutOfRange>([] { gcnew<TSocketAddress>(AddressFamily::InterNetwork, 1); }),
                HasSubstr("'size'"));
    gc_ptr<TSocketAddress> sa = gcnew<TSocketAddress>(AddressFamily::InterNetwork, 16);
    for (int bad : {-1, 16}) {
        EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { sa->GetItem(bad); }), HasSubstr("'offset'"));
        EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { sa->SetItem(bad, 1); }), HasSubstr("'offset'"));
    }
    // A reported length is taken only when the buffer holds it.
    std::int32_t reported = 8;
    sa->SetSize(&reported);
    EXPECT_EQ(sa->GetSize(), 8);
    for (std::int32_t bad : {1, 21}) {
        EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { sa->SetSize(&bad); }), HasSubstr("'size'"));
        EXPECT_EQ(sa->GetSize(), 8);
    }
    reported = 20;
    sa->SetSize(&reported);
    EXPECT_EQ(sa->GetSize(), 20);
}

TEST(SocketAddress, HashAndEqualityFollowTheMeaningfulBytes) {
    gc_ptr<TSocketAddress> a = gcnew<TSocketAddress>(AddressFamily::InterNetwork, 7);
    gc_ptr<TSocketAddress> b = gcnew<TSocketAddress>(AddressFamily::InterNetwork, 7);
    // 02 00 00 00 | 00 00 00 -> 0x00000002
    EXPECT_EQ(a->GetHashCode(), 2);
    a->SetItem(5, 0xAB); // the rest word: 00 AB 00 -> 0x0000AB00
    EXPECT_EQ(a->GetHashCode(), 0xAB02);
    EXPECT_FALSE(a->Equals(gc_ptr<TObject>(b)));
    b->SetItem(5, 0xAB);
    EXPECT_TRUE(a->Equals(gc_ptr<TObject>(b)));
    a->SetItem(2, 0x10);
    EXPECT_EQ(a->GetHashCode(), 0x10AB02);
    EXPECT_FALSE(a->Equals(gc_ptr<TObject>(gcnew<TSocketAddress>(AddressFamily::InterNetwork, 8))));
    EXPECT_FALSE(a->Equals(gc_ptr<TObject>(TIPAddress::Loopback)));
}

TEST(SocketAddress, TextNamesTheFamilyAndListsTheWritableBytes) {
    gc_ptr<TSocketAddress> sa = gcnew<TIPEndPoint>(TIPAddress::Loopback, 8998)->Serialize();
    EXPECT_EQ(sa->ToString(), "InterNetwork:16:{35,38,127,0,0,1,0,0,0,0,0,0,0,0}");
    EXPECT_EQ(gcnew<TSocketAddress>(AddressFamily::Irda, 4)->ToString(), "26:4:{0,0}");
}

TEST(IPEndPoint, SerializeOfLoopback8998IsTheDesignedBytesAndCreateInvertsIt) {
    gc_ptr<TIPEndPoint> ep = gcnew<TIPEndPoint>(TIPAddress::Loopback, 8998);
    gc_ptr<TSocketAddress> sa = ep->Serialize();
    EXPECT_EQ(sa->GetSize(), 16);
    EXPECT_EQ(items(sa), (std::vector<int>{0x02, 0x00, 0x23, 0x26, 0x7F, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    gc_ptr<TIPEndPoint> back = TIPEndPoint::Create(sa);
    EXPECT_EQ(back->GetPort(), 8998);
    EXPECT_TRUE(back->GetAddress()->Equals(gc_ptr<TObject>(TIPAddress::Loopback)));
    EXPECT_EQ(back->GetAddressFamily(), AddressFamily::InterNetwork);
}

TEST(IPEndPoint, IPv6SerializationCarriesPortAddressAndScope) {
    gc_ptr<TIPEndPoint> ep = gcnew<TIPEndPoint>(TIPAddress::Parse("fe80::102:304%4294967294"), 65535);
    gc_ptr<TSocketAddress> sa = ep->Serialize();
    EXPECT_EQ(sa->GetSize(), 28);
    EXPECT_EQ(items(sa), (std::vector<int>{23, 0, 0xFF, 0xFF, 0, 0, 0, 0,                              //
                                           0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4,      //
                                           0xFE, 0xFF, 0xFF, 0xFF}));
    gc_ptr<TIPEndPoint> back = TIPEndPoint::Create(sa);
    EXPECT_EQ(back->GetPort(), 65535);
    EXPECT_TRUE(back->GetAddress()->Equals(gc_ptr<TObject>(ep->GetAddress())));
    EXPECT_EQ(back->GetAddress()->GetScopeId(), 4294967294ll);
}

TEST(IPEndPoint, CreateRefusesAddressesTooShortForTheirFamily) {
    EXPECT_THAT(message_of<EArgumentNull>([] { TIPEndPoint::Create(gc_ptr<TSocketAddress>()); }),
                HasSubstr("'socketAddress'"));
    struct Case {
        AddressFamily::Enum family;
        int size;
        bool ok;
    };
    const Case cases[] = {
        {AddressFamily::InterNetwork, 7, false},
        {AddressFamily::InterNetwork, 8, true},
        {AddressFamily::InterNetworkV6, 27, false},
        {AddressFamily::InterNetworkV6, 28, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        gc_ptr<TSocketAddress> sa = gcnew<TSocketAddress>(c.family, c.size);
        const std::string msg = message_of<EArgument>([&] { TIPEndPoint::Create(sa); });
        if (c.ok) EXPECT_EQ(msg, "no exception");
        else EXPECT_EQ(msg, "Invalid value for argument 'socketAddress' - IPEndPoint::Create - Invalid SocketAddress Size");
    }
}

TEST(IPEndPoint, PortsOutsideZeroTo65535AreRefusedEverywhere) {
    for (int port : {0, 65535}) {
        EXPECT_EQ(gcnew<TIPEndPoint>(TIPAddress::Any, port)->GetPort(), port);
        EXPECT_EQ(gcnew<TIPEndPoint>(std::int64_t{0x0100007F}, port)->GetPort(), port);
    }
    gc_ptr<TIPEndPoint> ep = gcnew<TIPEndPoint>(TIPAddress::Loopback, 1);
    for (int port : {65536, -1}) {
        SCOPED_TRACE(port);
        EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { gcnew<TIPEndPoint>(TIPAddress::Any, port); }),
                    HasSubstr("'port'"));
        EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { gcnew<TIPEndPoint>(std::int64_t{1}, port); }),
                    HasSubstr("'port'"));
        EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { ep->SetPortW(port); }), HasSubstr("'value'"));
        EXPECT_EQ(ep->GetPort(), 1);
        EXPECT_FALSE(ValidationHelper::ValidateTcpPort(port));
    }
    EXPECT_THAT(message_of<EArgumentNull>([] { gcnew<TIPEndPoint>(gc_ptr<TIPAddress>(), 80); }),
                HasSubstr("'address'"));
    EXPECT_THAT(message_of<EArgumentOutOfRange>([] { gcnew<TIPEndPoint>(std::int64_t{-1}, 80); }),
                HasSubstr("'newAddress'"));
}

TEST(IPEndPoint, SnapshotAndStatics) {
    gc_ptr<TIPEndPoint> ep = gcnew<TIPEndPoint>(TIPAddress::Parse("fe80::1%3"), 77);
    gc_ptr<TIPEndPoint> s = ep->Snapshot();
    EXPECT_FALSE(s == ep);
    EXPECT_FALSE(s->GetAddress() == ep->GetAddress());
    EXPECT_TRUE(s->GetAddress()->Equals(gc_ptr<TObject>(ep->GetAddress())));
    EXPECT_EQ(s->GetPort(), 77);
    EXPECT_TRUE(TIPEndPoint::Any->GetAddress() == TIPAddress::Any);
    EXPECT_EQ(TIPEndPoint::Any->GetPort(), 0);
    EXPECT_TRUE(TIPEndPoint::IPv6Any->GetAddress() == TIPAddress::IPv6Any);
    EXPECT_EQ(TIPEndPoint::IPv6Any->GetAddressFamily(), AddressFamily::InterNetworkV6);
}

TEST(OptionRecords, MulticastDefaultsAndIPv6Checks) {
    gc_ptr<TIPAddress> group = TIPAddress::Parse("239.1.2.3");
    EXPECT_TRUE(gcnew<TMulticastOption>(group)->GetLocalAddress() == TIPAddress::Any);
    gc_ptr<TMulticastOption> byIndex = gcnew<TMulticastOption>(group, 3);
    EXPECT_EQ(byIndex->GetInterfaceIndex(), 3);
    EXPECT_FALSE(byIndex->GetLocalAddress());
    EXPECT_TRUE(gcnew<TMulticastOption>(group, TIPAddress::Loopback)->GetLocalAddress() == TIPAddress::Loopback);

    gc_ptr<TIPAddress> g6 = TIPAddress::Parse("ff02::1");
    EXPECT_EQ(gcnew<TIPv6MulticastOption>(g6)->GetInterfaceIndex(), 0);
    gc_ptr<TIPv6MulticastOption> o = gcnew<TIPv6MulticastOption>(g6, std::int64_t{0xFFFFFFFF});
    EXPECT_EQ(o->GetInterfaceIndex(), 0xFFFFFFFFll);
    EXPECT_THAT(message_of<EArgumentNull>([] { gcnew<TIPv6MulticastOption>(gc_ptr<TIPAddress>()); }),
                HasSubstr("'group'"));
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { gcnew<TIPv6MulticastOption>(g6, std::int64_t{-1}); }),
                HasSubstr("'ifindex'"));
    EXPECT_THAT(message_of<EArgumentNull>([&] { o->SetGroup(gc_ptr<TIPAddress>()); }), HasSubstr("'value'"));
    EXPECT_THAT(message_of<EArgumentOutOfRange>([&] { o->SetInterfaceIndex(0x100000000); }), HasSubstr("'value'"));
    EXPECT_EQ(o->GetInterfaceIndex(), 0xFFFFFFFFll);
}
