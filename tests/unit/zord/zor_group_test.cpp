// The group database on a real daemon context, observed through its dump.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "test_support.h"
#include "zor_group.h"
#include "zor_test_daemon.h"

namespace {

zor_tloc_key_t key(const char *addr, uint8_t color, uint8_t encap)
{
    zor_tloc_key_t k{};
    EXPECT_EQ(ip_addr_from_str(addr, &k.addr), 1) << addr;
    k.color = color;
    k.encap = encap;
    return k;
}

const std::vector<std::string> k_header = {
    "",
    "   ================================",
    "         ZOR Group Database        ",
    "   ================================",
};

std::vector<std::string> dump()
{
    maapi_cli_capture cli(11, 12);
    zor_group_dump(cli.uinfo());
    return zt::split_lines(cli.text());
}

std::vector<std::string> with_header(std::vector<std::string> body)
{
    std::vector<std::string> out = k_header;
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

class ZorGroup : public ::testing::Test {
protected:
    void SetUp() override
    {
        daemon_ = std::make_unique<zt::TestDaemon>();
        ASSERT_EQ(daemon_->init_rc(), 0);
        ctx_ = daemon_->ctx();
    }
    void TearDown() override
    {
        daemon_.reset();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    std::unique_ptr<zt::TestDaemon> daemon_;
    t_zor_context *ctx_ = nullptr;
};

TEST_F(ZorGroup, EmptyDatabase)
{
    EXPECT_NE(ctx_->group_db, nullptr);
    EXPECT_EQ(dump(), k_header);
    EXPECT_EQ(zor_group_find(ctx_, 0, nullptr), nullptr);
}

TEST_F(ZorGroup, MembersAndGroupsInOrder)
{
    // Added in scrambled order: groups come out by number, members by
    // address (IPv4 numerically, before IPv6; IPv6 bytewise), then colour,
    // then encapsulation.
    const zor_tloc_key_t keys[] = {
        key("::1", 4, 2),          key("192.168.0.1", 4, 2), key("10.0.0.1", 4, 2),
        key("10.0.0.1", 2, 2),     key("fe80::1", 4, 2),     key("10.0.0.1", 4, 1),
        key("9.255.255.255", 4, 2),
    };
    for (const zor_tloc_key_t &k : keys) {
        EXPECT_EQ(zor_group_tloc_add(ctx_, 7, &k), 0);
    }
    for (uint32_t g : {4294967295u, 0u, 2147483648u, 3u}) {
        zor_tloc_key_t k = key("10.1.1.1", 1, 2);
        EXPECT_EQ(zor_group_tloc_add(ctx_, g, &k), 0);
    }
    EXPECT_EQ(dump(), with_header({
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
    EXPECT_EQ(zor_group_find(ctx_, 5, &where), nullptr);
    EXPECT_NE(where, 0u);
    t_zor_group *g7 = zor_group_find(ctx_, 7, &where);
    ASSERT_NE(g7, nullptr);
    EXPECT_EQ(g7->group_id, 7u);
    EXPECT_EQ(where, 0u);
}

TEST_F(ZorGroup, AddingTwiceLeavesOneMember)
{
    zor_tloc_key_t k = key("10.1.1.1", 4, 2);
    EXPECT_EQ(zor_group_tloc_add(ctx_, 1, &k), 0);
    EXPECT_EQ(zor_group_tloc_add(ctx_, 1, &k), 0);
    // Bytes beyond an IPv4 address are not part of the key.
    zor_tloc_key_t noisy = k;
    noisy.addr.u.v6[9] = 0x5a;
    noisy.pad[2] = 7;
    EXPECT_EQ(zor_group_tloc_add(ctx_, 1, &noisy), 0);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP_TLOC), 1u);
    EXPECT_EQ(dump(), with_header({"Group: 1, TLOC-count: 1", "    TLOC: 10.1.1.1 : biz-internet : ipsec"}));
}

TEST_F(ZorGroup, RemovingTheLastMemberRemovesTheGroup)
{
    zor_tloc_key_t a = key("10.1.1.1", 4, 2);
    zor_tloc_key_t b = key("2001:db8::1", 4, 2);
    ASSERT_EQ(zor_group_tloc_add(ctx_, 1, &a), 0);
    ASSERT_EQ(zor_group_tloc_add(ctx_, 1, &b), 0);
    ASSERT_EQ(zor_group_tloc_add(ctx_, 2, &a), 0);
    const std::vector<std::string> before = dump();

    // Unknown group, non-member, and a key that differs only in colour or
    // encapsulation: nothing changes.
    zor_tloc_key_t other_color = key("10.1.1.1", 5, 2);
    zor_tloc_key_t other_encap = key("10.1.1.1", 4, 1);
    zor_group_tloc_del(ctx_, 3, &a);
    zor_group_tloc_del(ctx_, 2, &b);
    zor_group_tloc_del(ctx_, 1, &other_color);
    zor_group_tloc_del(ctx_, 1, &other_encap);
    EXPECT_EQ(dump(), before);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP), 2u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP_TLOC), 3u);

    zor_group_tloc_del(ctx_, 1, &a);
    EXPECT_EQ(dump(), with_header({"Group: 1, TLOC-count: 1", "    TLOC: 2001:db8::1 : biz-internet : ipsec",
                                   "Group: 2, TLOC-count: 1", "    TLOC: 10.1.1.1 : biz-internet : ipsec"}));
    zor_group_tloc_del(ctx_, 2, &a);
    EXPECT_EQ(zor_group_find(ctx_, 2, nullptr), nullptr);
    EXPECT_EQ(dump(), with_header({"Group: 1, TLOC-count: 1", "    TLOC: 2001:db8::1 : biz-internet : ipsec"}));
    zor_group_tloc_del(ctx_, 1, &b);
    EXPECT_EQ(dump(), k_header);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP), 0u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP_TLOC), 0u);

    // A group can come back after it went.
    ASSERT_EQ(zor_group_tloc_add(ctx_, 1, &a), 0);
    EXPECT_EQ(dump(), with_header({"Group: 1, TLOC-count: 1", "    TLOC: 10.1.1.1 : biz-internet : ipsec"}));
}

TEST(ZorGroupLifecycle, TeardownFreesGroupsAndMembers)
{
    {
        zt::TestDaemon d;
        ASSERT_EQ(d.init_rc(), 0);
        for (uint32_t g = 0; g < 20; g++) {
            for (uint32_t i = 0; i < 10; i++) {
                zor_tloc_key_t k{};
                k.addr = ip_addr_v4(0x0a000000 + i);
                k.color = static_cast<uint8_t>(1 + g % 22);
                k.encap = 2;
                ASSERT_EQ(zor_group_tloc_add(d.ctx(), g, &k), 0);
            }
        }
        EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP), 20u);
        EXPECT_EQ(zt::mem_current(ZOR_MEM_GROUP_TLOC), 200u);
        d.free();
        // Without a context the dump prints nothing.
        maapi_cli_capture cli(1, 2);
        zor_group_dump(cli.uinfo());
        EXPECT_EQ(cli.text(), "");
    }
    EXPECT_EQ(zt::mem_unbalanced(), "");
}

}  // namespace
