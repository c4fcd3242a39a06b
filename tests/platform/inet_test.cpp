#include "platform/inet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

TEST(PlatformInet, DesignedAndNativeSocketAddressesConvertBothWays) {
    // 127.0.0.1:8998 in the designed layout.
    const unsigned char v4[16] = {2, 0, 0x23, 0x26, 127, 0, 0, 1};
    sockaddr_storage ss{};
    socklen_t len = 0;
    ASSERT_TRUE(platform::sockaddr_to_native(v4, 16, ss, len));
    EXPECT_EQ(len, sizeof(sockaddr_in));
    const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in->sin_port), 8998);
    EXPECT_EQ(ntohl(in->sin_addr.s_addr), 0x7F000001u);

    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(443);
    six.sin6_scope_id = 7;
    inet_pton(AF_INET6, "fe80::1", &six.sin6_addr);
    unsigned char designed[32] = {};
    ASSERT_EQ(platform::sockaddr_from_native(reinterpret_cast<sockaddr*>(&six), sizeof six, designed, 32), 28);
    EXPECT_EQ(designed[0], 23);
    EXPECT_EQ(designed[1], 0);
    EXPECT_EQ(designed[2] << 8 | designed[3], 443);
    EXPECT_EQ(designed[8], 0xFE);
    EXPECT_EQ(designed[23], 1);
    EXPECT_EQ(designed[24], 7);
    ASSERT_TRUE(platform::sockaddr_to_native(designed, 28, ss, len));
    EXPECT_EQ(std::memcmp(&ss, &six, sizeof six), 0);
}

TEST(PlatformInet, ConversionsRefuseWhatTheyCannotHold) {
    const unsigned char v6short[16] = {23, 0};
    const unsigned char unix_family[16] = {1, 0};
    sockaddr_storage ss{};
    socklen_t len = 0;
    EXPECT_FALSE(platform::sockaddr_to_native(v6short, 16, ss, len));
    EXPECT_FALSE(platform::sockaddr_to_native(unix_family, 16, ss, len));
    EXPECT_FALSE(platform::sockaddr_to_native(unix_family, 1, ss, len));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    unsigned char small[8];
    EXPECT_EQ(platform::sockaddr_from_native(reinterpret_cast<sockaddr*>(&in), sizeof in, small, 8), -1);
    EXPECT_EQ(platform::sockaddr_from_native(reinterpret_cast<sockaddr*>(&in), 4, small, 8), -1);
}

TEST(PlatformInet, IPv6TextFormsOfThePlatformConverter) {
    unsigned char b[16];
    std::uint32_t scope = 0;
    std::uint16_t port = 0;
    ASSERT_TRUE(platform::ipv6_from_text(u"[fe80::1%12]:8080", b, scope, port));
    EXPECT_EQ(scope, 12u);
    EXPECT_EQ(port, 8080);
    EXPECT_EQ(platform::ipv6_to_text(b, scope), "fe80::1%12");
    using namespace std::literals;
    for (std::u16string_view bad : {u""sv, u"[]"sv, u"[::1]:"sv, u"[::1]:x"sv, u"::1%"sv, u"::1%-1"sv, u"::1\0x"sv,
                                    u"\u00e9::1"sv}) {
        SCOPED_TRACE(bad.size());
        EXPECT_FALSE(platform::ipv6_from_text(bad, b, scope, port));
    }
    EXPECT_EQ(platform::inet_addr_text("1.2.3.4"), 0x04030201u);
    EXPECT_EQ(platform::inet_addr_text("+1"), 0xFFFFFFFFu);
}
