#include "platform/inet_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

TEST(PlatformInetText, IPv6TextFormsOfThePlatformConverter) {
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
