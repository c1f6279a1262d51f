// Address values: their order, their text forms and the parser.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <string>

#include "ip_util.h"
#include "test_support.h"

namespace {

ip_addr_t v6(const char *text)
{
    ip_addr_t a{};
    a.family = IP_AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, text, a.u.v6), 1) << text;
    return a;
}

std::string str(const ip_addr_t &a)
{
    char buf[64];
    return ip_addr_to_str(&a, buf, sizeof(buf));
}

TEST(IpAddr, OrderIsIpv4ByUnsignedValueThenIpv6Bytewise)
{
    // Each address sorts before the next one.
    const ip_addr_t ordered[] = {ip_addr_v4(0x01000001), ip_addr_v4(0x0A000001), ip_addr_v4(0xC0A80001),
                                 ip_addr_v4(0xFF000001), ip_addr_v4(0xFFFFFFFF), v6("::"),
                                 v6("7fff:ffff::"),      v6("8000::"),          v6("8000::1")};
    for (size_t i = 0; i < std::size(ordered); i++) {
        EXPECT_EQ(ip_addr_cmp(&ordered[i], &ordered[i]), 0) << i;
        for (size_t j = i + 1; j < std::size(ordered); j++) {
            EXPECT_EQ(ip_addr_cmp(&ordered[i], &ordered[j]), -1) << i << " " << j;
            EXPECT_EQ(ip_addr_cmp(&ordered[j], &ordered[i]), 1) << j << " " << i;
        }
    }

    // Padding and the unused IPv4 value bytes do not take part.
    ip_addr_t a = ordered[1];
    ip_addr_t c = a;
    c.pad = 7;
    c.u.v6[8] = 9;
    EXPECT_EQ(ip_addr_cmp(&a, &c), 0);
    EXPECT_TRUE(ip_addr_equal(&a, &c));
    EXPECT_FALSE(ip_addr_equal(&a, &ordered[2]));
    EXPECT_FALSE(ip_addr_equal(&a, &ordered[5]));

    EXPECT_TRUE(zt::stops_on_assertion(
        [] {
            ip_addr_t v4 = ip_addr_v4(1);
            ip_addr_t bad{};
            ip_addr_cmp(&v4, &bad);
        },
        "common/ip_util", "b->family == IP_AF_INET || b->family == IP_AF_INET6"));
}

TEST(IpAddr, TextForms)
{
    EXPECT_EQ(str(ip_addr_v4(0x0A010203)), "10.1.2.3");
    EXPECT_EQ(str(ip_addr_v4(0xFFFFFFFF)), "255.255.255.255");
    EXPECT_EQ(str(v6("::ffff:10.1.2.3")), "::ffff:10.1.2.3");
    EXPECT_EQ(str(v6("fe80:0:0:0:1:2:3:4")), "fe80::1:2:3:4");
    char small[6];
    ip_addr_t a = ip_addr_v4(0x0A010203);
    EXPECT_STREQ(ip_addr_to_str(&a, small, sizeof(small)), "10.1.");

    char buf[160];
    ip_addr_port_t ap{ip_addr_v4(0xC0A80101), 4565};
    EXPECT_STREQ(ip_addr_port_to_str(&ap, buf, sizeof(buf)), "192.168.1.1:4565");
    ap = {v6("2001:db8::5"), 65535};
    EXPECT_STREQ(ip_addr_port_to_str(&ap, buf, sizeof(buf)), "2001:db8::5:65535");

    struct {
        ip_addr_t addr;
        uint8_t color, encap;
        const char *text;
    } tlocs[] = {
        {ip_addr_v4(0x0A010101), 4, 2, "10.1.1.1 : biz-internet : ipsec"},
        {ip_addr_v4(0x0A010101), 30, 2, "10.1.1.1 : -- : ipsec"},
        {ip_addr_v4(0x0A010101), 22, 1, "10.1.1.1 : private6 : gre"},
        {ip_addr_v4(0x0A010101), 22, 0, "10.1.1.1 : private6 : --"},
        {v6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), 3, 2,
         "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff : metro-ethernet : ipsec"},
    };
    for (const auto &t : tlocs) {
        tloc_key_t key{};
        key.addr = t.addr;
        key.color = t.color;
        key.encap = t.encap;
        EXPECT_STREQ(tloc_to_str(&key, buf, sizeof(buf)), t.text);
    }
}

TEST(IpAddr, ParserUsesTheNetworkNumberConversionThenIpv6)
{
    struct {
        const char *text;
        uint32_t v4;
    } v4_cases[] = {
        {"10.1.2.3", 0x0A010203}, {"255.255.255.254", 0xFFFFFFFE},
        // Fewer than four parts fill the value from the low end; hex and octal parts.
        {"10.1", 0x00000A01},     {"10.1.2", 0x000A0102},       {"10", 0x0000000A},
        {"0x0a.1.2.3", 0x0A010203}, {"012.1.2.3", 0x0A010203},
    };
    for (const auto &c : v4_cases) {
        ip_addr_t a;
        memset(&a, 0xEE, sizeof(a));
        ASSERT_EQ(ip_addr_from_str(c.text, &a), 1) << c.text;
        EXPECT_EQ(a.family, uint32_t{IP_AF_INET}) << c.text;
        EXPECT_EQ(a.u.v4, c.v4) << c.text;
        EXPECT_EQ(a.pad, 0u);
    }

    ip_addr_t a;
    ASSERT_EQ(ip_addr_from_str("2001:db8::7", &a), 1);
    ip_addr_t expect = v6("2001:db8::7");
    EXPECT_EQ(ip_addr_cmp(&a, &expect), 0);

    // The all-ones address is the conversion's error value and no IPv6 text.
    for (const char *bad : {"255.255.255.255", "", "1.2.3.4.5", "256.1.1.1", "10.1.1.1x", "zord", "2001:db8::g"}) {
        memset(&a, 0xEE, sizeof(a));
        EXPECT_EQ(ip_addr_from_str(bad, &a), 0) << bad;
        ip_addr_t zero{};
        EXPECT_EQ(memcmp(&a, &zero, sizeof(a)), 0) << bad;
    }
    EXPECT_EQ(ip_addr_from_str(nullptr, &a), 0);
}

}  // namespace
