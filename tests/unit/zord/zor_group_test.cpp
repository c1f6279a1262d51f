// The group database on a real daemon context, observed through its dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "test_support.h"
#include "zor_group.h"
#include "zor_fake_peer.h"

namespace {

using Strings = std::vector<std::string>;

zor_tloc_key_t key(const char *addr, uint8_t color = 4, uint8_t encap = 2)
{
    return zt::tloc_key(addr, color, encap);
}

// The dump below its header (checked here too).
Strings dump()
{
    maapi_cli_capture cli(11, 12);
    zor_group_dump(cli.uinfo());
    Strings lines = zt::split_lines(cli.text());
    const Strings header = {"", "   ================================", "         ZOR Group Database        ",
                            "   ================================"};
    EXPECT_EQ(Strings(lines.begin(), lines.begin() + std::min(lines.size(), header.size())), header);
    return Strings(lines.begin() + std::min(lines.size(), header.size()), lines.end());
}

class ZorGroup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(daemon_.init_rc(), 0); }
    void TearDown() override
    {
        daemon_.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    void add(uint32_t group, const zor_tloc_key_t &k) { EXPECT_EQ(zor_group_tloc_add(daemon_.ctx(), group, &k), 0); }
    void del(uint32_t group, const zor_tloc_key_t &k) { zor_group_tloc_del(daemon_.ctx(), group, &k); }

    zt::TestDaemon daemon_;
};

TEST_F(ZorGroup, GroupsByNumberMembersByAddressColourAndEncap)
{
    EXPECT_EQ(dump(), Strings{});
    // Added in scrambled order: members by address (IPv4 numerically, before
    // IPv6; IPv6 bytewise), then colour, then encapsulation.
    for (const zor_tloc_key_t &k : {key("::1"), key("192.168.0.1"), key("10.0.0.1"), key("10.0.0.1", 2),
                                    key("fe80::1"), key("10.0.0.1", 4, 1), key("9.255.255.255")}) {
        add(7, k);
    }
    for (uint32_t g : {4294967295u, 0u, 2147483648u, 3u}) {
        add(g, key("10.1.1.1", 1));
    }
    EXPECT_EQ(dump(), (Strings{
                          "Group: 0, TLOC-count: 1",
                          "    TLOC: 10.1.1.1 : default : ipsec",
                          "Group: 3, TLOC-count: 1",
                          "    TLOC: 10.1.1.1 : default : ipsec",
                          "Group: 7, TLOC-count: 7",
                          "    TLOC: 9.255.255.255 : biz-internet : ipsec",
                          "    TLOC: 10.0.0.1 : mpls : ipsec",
                          "    TLOC: 10.0.0.1 : biz-internet : gre",
                          "    TLOC: 10.0.0.1 : biz-internet : ipsec",
                          "    TLOC: 192.168.0.1 : biz-internet : ipsec",
                          "    TLOC: ::1 : biz-internet : ipsec",
                          "    TLOC: fe80::1 : biz-internet : ipsec",
                          "Group: 2147483648, TLOC-count: 1",
                          "    TLOC: 10.1.1.1 : default : ipsec",
                          "Group: 4294967295, TLOC-count: 1",
                          "    TLOC: 10.1.1.1 : default : ipsec",
                      }));
    avl_index_t where = 0;
    EXPECT_EQ(zor_group_find(daemon_.ctx(), 5, &where), nullptr);
    EXPECT_NE(where, 0u);
    ASSERT_NE(zor_group_find(daemon_.ctx(), 7, nullptr), nullptr);
    EXPECT_EQ(zor_group_find(daemon_.ctx(), 7, nullptr)->group_id, 7u);

    // Teardown frees the groups and their members (checked by TearDown);
    // without a context the dump prints nothing.
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP_TLOC), 11u);
    daemon_.free();
    maapi_cli_capture cli(1, 2);
    zor_group_dump(cli.uinfo());
    EXPECT_EQ(cli.text(), "");
}

TEST_F(ZorGroup, OneMemberPerKeyAndAGroupGoesWithItsLastMember)
{
    const zor_tloc_key_t a = key("10.1.1.1");
    const zor_tloc_key_t b = key("2001:db8::1");
    // Twice, and once with bytes beyond the IPv4 address set: one member.
    zor_tloc_key_t noisy = a;
    noisy.addr.u.v6[9] = 0x5a;
    noisy.pad[2] = 7;
    for (const zor_tloc_key_t &k : {a, a, noisy, b}) {
        add(1, k);
    }
    add(2, a);
    const Strings both = {"Group: 1, TLOC-count: 2", "    TLOC: 10.1.1.1 : biz-internet : ipsec",
                          "    TLOC: 2001:db8::1 : biz-internet : ipsec", "Group: 2, TLOC-count: 1",
                          "    TLOC: 10.1.1.1 : biz-internet : ipsec"};
    EXPECT_EQ(dump(), both);

    // An unknown group, a non-member, and keys that differ only in colour or
    // encapsulation: nothing changes.
    del(3, a);
    del(2, b);
    del(1, key("10.1.1.1", 5));
    del(1, key("10.1.1.1", 4, 1));
    EXPECT_EQ(dump(), both);

    del(2, a);
    EXPECT_EQ(zor_group_find(daemon_.ctx(), 2, nullptr), nullptr);
    del(1, a);
    EXPECT_EQ(dump(), (Strings{"Group: 1, TLOC-count: 1", "    TLOC: 2001:db8::1 : biz-internet : ipsec"}));
    del(1, b);
    EXPECT_EQ(dump(), Strings{});
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP) + zt::mem_current(ZOR_MEM_GROUP_TLOC), 0u);
    add(1, a);  // and it can come back
    EXPECT_EQ(dump(), (Strings{"Group: 1, TLOC-count: 1", "    TLOC: 10.1.1.1 : biz-internet : ipsec"}));
}

}  // namespace
