#include "net/IPv6Address.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>

#include <cstring>

namespace {

struct Good {
    const char* Text;
    const char* Canonical; // as formatted again
};

TEST(IPv6Address, AcceptsEveryFormAndFormatsItCanonically) {
    const Good cases[] = {
        {"::", "::"},
        {"::1", "::1"},
        {"1::", "1::"},
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"}, // ties: the first
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                 // no single-group ::
        {"0:0:1:0:0:0:1:0", "0:0:1::1:0"},                                // the longest run
        {"1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:0"},
        {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
        {"fd00:77::1", "fd00:77::1"},
        {"::ffff:10.0.0.1", "::ffff:10.0.0.1"},
        {"::FFFF:a00:1", "::ffff:10.0.0.1"},
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
        {"::1.2.3.4", "::102:304"},
        {"[::1]", "::1"},
        {"fe80::1%eth0", "fe80::1%eth0"},
        {"[fe80::1%2]", "fe80::1%2"},
        {"fe80::a:b%veth-far.1", "fe80::a:b%veth-far.1"},
    };
    for (const auto& c : cases) {
        TIPv6Address address;
        std::string reason;
        ASSERT_TRUE(ParseIPv6Address(c.Text, address, reason)) << c.Text << ": " << reason;
        const std::string plain(c.Text);
        if (plain.find_first_of("[%") == std::string::npos) {
            in6_addr expected{};
            ASSERT_EQ(inet_pton(AF_INET6, c.Text, &expected), 1) << c.Text;
            EXPECT_EQ(std::memcmp(&expected, address.Bytes.data(), 16), 0) << c.Text;
        }
        EXPECT_EQ(FormatIPv6Address(address), c.Canonical) << c.Text;
        TIPv6Address again;
        ASSERT_TRUE(ParseIPv6Address(FormatIPv6Address(address), again, reason)) << reason;
        EXPECT_EQ(again, address) << c.Text;
    }
}

struct Bad {
    const char* Text;
    const char* Reason; // a word the reason must hold
};

TEST(IPv6Address, RefusesMalformedFormsAndSaysWhy) {
    const Bad cases[] = {
        {"", "empty"},
        {":::", ":::"},
        {"1::2::3", "more than one"},
        {"1:2:3:4:5:6:7:8:9", "eight"},
        {"1:2:3:4:5:6:7", "fewer"},
        {"1:2:3:4:5:6:7:8::", "eight already"},
        {"12345::", "four hex digits"},
        {"1::g", "bad hex digit 'g'"},
        {":1::", "single ':'"},
        {"1::2:", "single ':'"},
        {"::1 ", "bad hex digit ' '"},
        {"::1x", "bad hex digit 'x'"},
        {"::1.2.3", "four numbers"},
        {"::1.2.3.256", "0 to 255"},
        {"::1.2.3.04", "leading zero"},
        {"::1.2.3.4.5", "after the IPv4"},
        {"1:2:3:4:5:6:7:1.2.3.4", "IPv4"},
        {"fe80::1%", "zone"},
        {"fe80::1%eth\t0", "byte 0x09"},
        {"fe80::1%a/b", "'/'"},
        {"fe80::1%0123456789abcdef", "longer"},
        {"[::1", "without its ']'"},
        {"::1]", "unbalanced"},
        {"[::1]:80", "after ']'"},
        {"[[::1]]", "]"},
        {"1.2.3.4", "fewer"},
    };
    for (const auto& c : cases) {
        TIPv6Address address;
        address.Zone = "kept";
        std::string reason;
        EXPECT_FALSE(ParseIPv6Address(c.Text, address, reason)) << c.Text;
        EXPECT_NE(reason.find(c.Reason), std::string::npos) << c.Text << ": " << reason;
        EXPECT_EQ(address.Zone, "kept") << "a refused text changed the address: " << c.Text;
    }
}

TEST(IPv6Address, ZonesResolveToScopeIds) {
    EXPECT_EQ(IPv6ZoneIndex("7"), 7u);
    EXPECT_EQ(IPv6ZoneIndex("lo"), if_nametoindex("lo"));
    EXPECT_EQ(IPv6ZoneIndex("no-such-if"), 0u);
    EXPECT_EQ(IPv6ZoneIndex("99999999999"), 0u);
    EXPECT_TRUE(LooksLikeIPv6("::1"));
    EXPECT_TRUE(LooksLikeIPv6("[x"));
    EXPECT_FALSE(LooksLikeIPv6("host.example"));
}

} // namespace
