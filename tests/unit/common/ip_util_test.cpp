// Address values: their order, their text forms and the parser.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

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

TEST(IpAddr, OrderIsIpv4ByValueThenIpv6Bytewise)
{
    ip_addr_t a = ip_addr_v4(0x0A000001);  // 10.0.0.1
    ip_addr_t b = ip_addr_v4(0xC0A80001);  // 192.168.0.1
    EXPECT_EQ(ip_addr_cmp(&a, &b), -1);
    EXPECT_EQ(ip_addr_cmp(&b, &a), 1);
    EXPECT_EQ(ip_addr_cmp(&a, &a), 0);

    // Unsigned: 255.x sorts after 1.x although its top bit is set.
    ip_addr_t high = ip_addr_v4(0xFF000001);
    ip_addr_t low = ip_addr_v4(0x01000001);
    EXPECT_EQ(ip_addr_cmp(&low, &high), -1);

    // Every IPv4 address before every IPv6 address.
    ip_addr_t zero6 = v6("::");
    ip_addr_t max4 = ip_addr_v4(0xFFFFFFFF);
    EXPECT_EQ(ip_addr_cmp(&max4, &zero6), -1);
    EXPECT_EQ(ip_addr_cmp(&zero6, &max4), 1);

    // IPv6 bytewise, unsigned: 8000:: after 7fff:ffff::.
    ip_addr_t x = v6("7fff:ffff::");
    ip_addr_t y = v6("8000::");
    ip_addr_t z = v6("8000::1");
    EXPECT_EQ(ip_addr_cmp(&x, &y), -1);
    EXPECT_EQ(ip_addr_cmp(&y, &z), -1);
    EXPECT_EQ(ip_addr_cmp(&z, &z), 0);

    // Padding and the unused IPv4 value bytes do not take part.
    ip_addr_t c = a;
    c.pad = 7;
    c.u.v6[8] = 9;
    EXPECT_EQ(ip_addr_cmp(&a, &c), 0);
    EXPECT_TRUE(ip_addr_equal(&a, &c));
    EXPECT_FALSE(ip_addr_equal(&a, &b));
    EXPECT_FALSE(ip_addr_equal(&a, &zero6));
}

TEST(IpAddr, CompareOfAnUnknownFamilyIsAnAssertion)
{
    zt::ChildResult r = zt::run_in_child([] {
        ip_addr_t a = ip_addr_v4(1);
        ip_addr_t bad{};
        ip_addr_cmp(&a, &bad);
    });
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("common/ip_util:[0-9]+: failed assertion `b->family == IP_AF_INET \\|\\| "
                          "b->family == IP_AF_INET6'\n")))
        << r.out;
}

TEST(IpAddr, TextForms)
{
    EXPECT_EQ(str(ip_addr_v4(0x0A010203)), "10.1.2.3");
    EXPECT_EQ(str(ip_addr_v4(0)), "0.0.0.0");
    EXPECT_EQ(str(ip_addr_v4(0xFFFFFFFF)), "255.255.255.255");
    EXPECT_EQ(str(v6("2001:db8::1")), "2001:db8::1");
    EXPECT_EQ(str(v6("::ffff:10.1.2.3")), "::ffff:10.1.2.3");
    EXPECT_EQ(str(v6("fe80:0:0:0:1:2:3:4")), "fe80::1:2:3:4");

    // A short buffer gets a cut, terminated text.
    char small[6];
    ip_addr_t a = ip_addr_v4(0x0A010203);
    EXPECT_STREQ(ip_addr_to_str(&a, small, sizeof(small)), "10.1.");

    ip_addr_port_t ap{};
    ap.addr = ip_addr_v4(0xC0A80101);
    ap.port = 4565;
    char buf[160];
    EXPECT_STREQ(ip_addr_port_to_str(&ap, buf, sizeof(buf)), "192.168.1.1:4565");
    ap.addr = v6("2001:db8::5");
    ap.port = 65535;
    EXPECT_STREQ(ip_addr_port_to_str(&ap, buf, sizeof(buf)), "2001:db8::5:65535");
}

TEST(IpAddr, TlocText)
{
    tloc_key_t t{};
    t.addr = ip_addr_v4(0x0A010101);
    t.color = 4;
    t.encap = 2;
    char buf[128];
    EXPECT_STREQ(tloc_to_str(&t, buf, sizeof(buf)), "10.1.1.1 : biz-internet : ipsec");
    t.color = 30;
    EXPECT_STREQ(tloc_to_str(&t, buf, sizeof(buf)), "10.1.1.1 : -- : ipsec");
    t.color = 22;
    t.encap = 1;
    EXPECT_STREQ(tloc_to_str(&t, buf, sizeof(buf)), "10.1.1.1 : private6 : gre");
    t.encap = 0;
    EXPECT_STREQ(tloc_to_str(&t, buf, sizeof(buf)), "10.1.1.1 : private6 : --");
    t.addr = v6("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    t.color = 3;
    t.encap = 2;
    EXPECT_STREQ(tloc_to_str(&t, buf, sizeof(buf)),
                 "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff : metro-ethernet : ipsec");
}

TEST(IpAddr, ParserUsesTheNetworkNumberConversionThenIpv6)
{
    struct Case {
        const char *text;
        uint32_t v4;
    } v4_cases[] = {
        {"10.1.2.3", 0x0A010203},
        {"0.0.0.0", 0},
        {"255.255.255.254", 0xFFFFFFFE},
        // Fewer than four parts fill the value from the low end.
        {"10.1", 0x00000A01},
        {"10.1.2", 0x000A0102},
        {"10", 0x0000000A},
        // Hex and octal parts.
        {"0x0a.1.2.3", 0x0A010203},
        {"012.1.2.3", 0x0A010203},
    };
    for (const Case &c : v4_cases) {
        ip_addr_t a;
        memset(&a, 0xEE, sizeof(a));
        ASSERT_EQ(ip_addr_from_str(c.text, &a), 1) << c.text;
        EXPECT_EQ(a.family, static_cast<uint32_t>(IP_AF_INET)) << c.text;
        EXPECT_EQ(a.u.v4, c.v4) << c.text;
        EXPECT_EQ(a.pad, 0u);
    }

    ip_addr_t a;
    ASSERT_EQ(ip_addr_from_str("2001:db8::7", &a), 1);
    EXPECT_EQ(a.family, static_cast<uint32_t>(IP_AF_INET6));
    ip_addr_t expect = v6("2001:db8::7");
    EXPECT_EQ(ip_addr_cmp(&a, &expect), 0);

    // The all-ones address is the conversion's error value and no IPv6 text.
    for (const char *bad : {"255.255.255.255", "", "1.2.3.4.5", "256.1.1.1", "10.1.1.1x", "zord", "2001:db8::g"}) {
        memset(&a, 0xEE, sizeof(a));
        EXPECT_EQ(ip_addr_from_str(bad, &a), 0) << bad;
        EXPECT_EQ(a.family, 0u) << bad;
        EXPECT_EQ(a.u.align[0], 0u) << bad;
        EXPECT_EQ(a.u.align[1], 0u) << bad;
    }
    EXPECT_EQ(ip_addr_from_str(nullptr, &a), 0);
    EXPECT_EQ(a.family, 0u);
}

}  // namespace
