// The control-device families on a real daemon context: adds and updates
// as peers send them (through the codec), distribution to the registered
// clients, the owner rule, deletions, the region-id limit and the show texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "test_support.h"
#include "zor_af_ctrl_device.h"
#include "zor_af_test_harness.h"
#include "zor_client.h"

namespace {

// Peers of zord: their module names appear in log and show lines.
constexpr uint32_t k_box = OST_MODULE_CTLAGENT;     // "ctlagent"
constexpr uint32_t k_host = OST_MODULE_SETKEEPER;   // "setkeeper"
constexpr uint32_t k_tether = OST_MODULE_POLICYD;   // "policyd"

using zt::addr;

// A control-device message as a peer sends it (before the codec).
zor_msg_t device_msg(zor_af_t af, const char *ip, uint32_t type, uint32_t state, uint8_t staging,
                     const std::vector<uint16_t> &regions, bool is_delete = false)
{
    zor_msg_t msg{};
    msg.type = is_delete ? ZOR_MSG_CTRL_DEVICE_DEL : ZOR_MSG_CTRL_DEVICE_ADD;
    msg.sender = k_box;
    msg.family = af;
    zor_msg_ctrl_device_t &b = msg.body.ctrl_device;
    b.addr = addr(ip);
    b.type = type;
    b.state = state;
    b.staging = staging;
    b.region_count = static_cast<uint16_t>(regions.size());
    for (size_t i = 0; i < regions.size(); i++) {
        b.region_ids[i] = regions[i];
    }
    return msg;
}

std::vector<uint16_t> regions_of(const zor_msg_ctrl_device_t &b)
{
    return std::vector<uint16_t>(b.region_ids, b.region_ids + b.region_count);
}

std::vector<uint16_t> regions_of(const t_zor_db_entry *entry)
{
    auto *r = static_cast<const t_zor_af_ctrl_device *>(entry->record);
    return std::vector<uint16_t>(r->region_ids, r->region_ids + r->region_count);
}

class ZorAfCtrlDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(h_.init_rc(), 0); }
    void TearDown() override
    {
        h_.teardown();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    // An add or delete sent by the client's peer; the entry of its address
    // afterwards.
    t_zor_db_entry *add(zor_af_t af, t_zor_client *client, const zor_msg_t &msg)
    {
        h_.send(client->id, msg);
        return zor_af_find(af, h_.ctx(), &msg, nullptr);
    }
    void del(zor_af_t af, t_zor_client *client, const char *ip)
    {
        h_.send(client->id, device_msg(af, ip, 0, 0, 0, {}, true));
    }
    t_zor_db_entry *find(zor_af_t af, const char *ip)
    {
        zor_msg_t msg = device_msg(af, ip, 0, 0, 0, {});
        return zor_af_find(af, h_.ctx(), &msg, nullptr);
    }
    zt::FamilyHarness h_;
};

TEST_F(ZorAfCtrlDevice, AddIsSentToEveryRegisteredClientAndOnlyTypeStateOrStagingUpdate)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_CTRL_DEVICE_IPV4});
    h_.client(k_tether, {ZOR_AF_CTRL_DEVICE_IPV4});
    h_.client(k_host);  // registered for nothing: receives nothing

    t_zor_db_entry *e = add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 1, 1, 0, {7, 300}));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->client_p, box);
    EXPECT_EQ(e->family, ZOR_AF_CTRL_DEVICE_IPV4);
    EXPECT_EQ(find(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1"), e);
    EXPECT_EQ(find(ZOR_AF_CTRL_DEVICE_IPV6, "10.1.0.1"), nullptr) << "each family has its own tree";
    EXPECT_TRUE(h_.walk_pending());

    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].client, k_box) << "the owner receives its own entry too";
    EXPECT_EQ(sent[1].client, k_tether);
    for (const zt::SentMsg &s : sent) {
        EXPECT_EQ(s.msg.type, static_cast<uint32_t>(ZOR_MSG_CTRL_DEVICE_ADD));
        EXPECT_EQ(s.msg.family, ZOR_AF_CTRL_DEVICE_IPV4);
        EXPECT_EQ(s.msg.sender, static_cast<uint32_t>(OST_MODULE_ZORD));
        const zor_msg_ctrl_device_t &b = s.msg.body.ctrl_device;
        ip_addr_t want = addr("10.1.0.1");
        EXPECT_TRUE(ip_addr_equal(&b.addr, &want));
        EXPECT_EQ(b.type, 1u);
        EXPECT_EQ(b.state, 1u);
        EXPECT_EQ(b.staging, 0u);
        EXPECT_EQ(regions_of(b), (std::vector<uint16_t>{7, 300}));
    }
    EXPECT_TRUE(zor_bitmap_test(e->sent_bitmap, k_box));
    EXPECT_TRUE(zor_bitmap_test(e->sent_bitmap, k_tether));
    EXPECT_FALSE(zor_bitmap_test(e->sent_bitmap, k_host));

    // The same device again with other region ids only: not taken, not sent.
    EXPECT_EQ(add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 1, 1, 0, {9})), e);
    EXPECT_FALSE(h_.walk_pending());
    EXPECT_TRUE(h_.deliver().empty());
    EXPECT_EQ(regions_of(e), (std::vector<uint16_t>{7, 300}));

    // Each of type, state and staging is compared; a change takes the region
    // ids along.
    struct {
        uint32_t type;
        uint32_t state;
        uint8_t staging;
        std::vector<uint16_t> regions;
    } const steps[] = {{3, 1, 0, {1}}, {3, 2, 0, {2, 3}}, {3, 2, 1, {}}};
    for (const auto &st : steps) {
        EXPECT_EQ(add(ZOR_AF_CTRL_DEVICE_IPV4, box,
                      device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", st.type, st.state, st.staging, st.regions)),
                  e);
        sent = h_.deliver();
        ASSERT_EQ(sent.size(), 2u) << st.type << " " << st.state << " " << int(st.staging);
        const zor_msg_ctrl_device_t &b = sent[1].msg.body.ctrl_device;
        EXPECT_EQ(b.type, st.type);
        EXPECT_EQ(b.state, st.state);
        EXPECT_EQ(b.staging, st.staging);
        EXPECT_EQ(regions_of(b), st.regions);
        EXPECT_EQ(regions_of(e), st.regions);
    }

    // The IPv6 family is a tree of its own; nobody registered it here.
    t_zor_db_entry *e6 =
        add(ZOR_AF_CTRL_DEVICE_IPV6, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV6, "2001:db8::1", 5, 1, 0, {4}));
    ASSERT_NE(e6, nullptr);
    EXPECT_EQ(find(ZOR_AF_CTRL_DEVICE_IPV6, "2001:db8::1"), e6);
    EXPECT_TRUE(h_.deliver().empty());
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 2u);
}

TEST_F(ZorAfCtrlDevice, RegionIdsPastTheSixtySixthAreDroppedWithALogLine)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_CTRL_DEVICE_IPV4});
    std::vector<uint16_t> hundred;
    for (uint16_t i = 0; i < 100; i++) {
        hundred.push_back(static_cast<uint16_t>(1000 + i));
    }
    zt::LogCapture log;
    t_zor_db_entry *e = add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.2", 1, 1, 0, hundred));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(log.count("Device 10.1.0.2 from ctlagent: 100 region ids, keeping the first 66"), 1u) << log.dump();
    const std::vector<uint16_t> first66(hundred.begin(), hundred.begin() + 66);
    EXPECT_EQ(regions_of(e), first66);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(regions_of(sent[0].msg.body.ctrl_device), first66);

    // A message built in-process may hold a count above even the codec's
    // limit: only the first 66 ids are ever read.
    zor_msg_t big = device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.3", 1, 1, 0, hundred);
    big.body.ctrl_device.region_count = 60000;
    e = zor_af_add(ZOR_AF_CTRL_DEVICE_IPV4, h_.ctx(), box, &big);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(regions_of(e), first66);
    EXPECT_TRUE(log.contains("Device 10.1.0.3 from ctlagent: 60000 region ids, keeping the first 66"));
}

TEST_F(ZorAfCtrlDevice, OnlyTheOwnerWithdrawsAndTheDeletionCarriesTheWholeRecord)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_CTRL_DEVICE_IPV4});
    t_zor_client *host = h_.client(k_host, {ZOR_AF_CTRL_DEVICE_IPV4});
    t_zor_db_entry *e = add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 4, 1, 1, {11, 12}));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 2u);

    // Another client's delete and withdraw leave the entry alone.
    zt::LogCapture log;
    del(ZOR_AF_CTRL_DEVICE_IPV4, host, "10.1.0.1");
    zor_af_withdraw(ZOR_AF_CTRL_DEVICE_IPV4, h_.ctx(), host, e);
    EXPECT_EQ(log.count("CTRL-DEVICE-IPV4 withdraw from setkeeper ignored: the entry belongs to ctlagent"), 2u)
        << log.dump();
    EXPECT_EQ(find(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1"), e);
    EXPECT_EQ(e->flags & ZOR_ENTRY_WITHDRAWN, 0u);
    EXPECT_FALSE(h_.walk_pending());

    // Deletes of unknown devices and of bad addresses change nothing.
    del(ZOR_AF_CTRL_DEVICE_IPV4, box, "10.1.0.9");
    zor_msg_t bad = device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 0, 0, 0, {}, true);
    bad.body.ctrl_device.addr.family = 7;
    h_.send(k_box, bad);
    EXPECT_EQ(find(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1"), e);

    // The owner's delete: out of the tree at once, the deletion with the
    // whole record to both holders, then freed.
    del(ZOR_AF_CTRL_DEVICE_IPV4, box, "10.1.0.1");
    EXPECT_EQ(find(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1"), nullptr);
    EXPECT_NE(e->flags & ZOR_ENTRY_WITHDRAWN, 0u);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    for (const zt::SentMsg &s : sent) {
        EXPECT_EQ(s.msg.type, static_cast<uint32_t>(ZOR_MSG_CTRL_DEVICE_DEL));
        const zor_msg_ctrl_device_t &b = s.msg.body.ctrl_device;
        ip_addr_t want = addr("10.1.0.1");
        EXPECT_TRUE(ip_addr_equal(&b.addr, &want));
        EXPECT_EQ(b.type, 4u);
        EXPECT_EQ(b.state, 1u);
        EXPECT_EQ(b.staging, 1u);
        EXPECT_EQ(regions_of(b), (std::vector<uint16_t>{11, 12}));
    }
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);
    EXPECT_TRUE(h_.deliver().empty());

    // Withdrawn before any client was sent it: freed at once, never sent.
    e = add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.5", 1, 1, 0, {}));
    ASSERT_NE(e, nullptr);
    del(ZOR_AF_CTRL_DEVICE_IPV4, box, "10.1.0.5");
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);
    EXPECT_TRUE(h_.deliver().empty());
}

TEST_F(ZorAfCtrlDevice, AnAddressOfAnotherFamilyIsDroppedWithALogLine)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_CTRL_DEVICE_IPV4});
    zor_msg_t msg = device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 1, 1, 0, {});
    msg.body.ctrl_device.addr.family = 0;
    zt::LogCapture log;
    h_.send(box->id, msg);
    EXPECT_TRUE(log.contains("CTRL-DEVICE-IPV4 add from ctlagent dropped: address family 0")) << log.dump();
    EXPECT_EQ(zor_af_add(ZOR_AF_CTRL_DEVICE_IPV4, h_.ctx(), box, &msg), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);
    EXPECT_FALSE(h_.walk_pending());
}

TEST_F(ZorAfCtrlDevice, ShowLinesAndAddressOrder)
{
    t_zor_client *box = h_.client(k_box);
    std::vector<uint16_t> max66(66, 65535);
    add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.2", 1, 1, 0, {7, 300, 65535}));
    add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "9.255.255.255", 6, 2, 1, {}));
    add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 9, 0, 0, max66));
    add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "2001:db8::1", 3, 1, 7, {1}));

    std::string ids66 = "65535";
    for (int i = 1; i < 66; i++) {
        ids66 += " 65535";
    }
    maapi_cli_capture cli(31, 32);
    zor_af_show_all(ZOR_AF_CTRL_DEVICE_IPV4, h_.ctx(), cli.uinfo());
    EXPECT_EQ(zt::split_lines(cli.text()), (std::vector<std::string>{
                                               "    Device: 9.255.255.255, Type: ZTP, State: DOWN, Staging: yes",
                                               "    Region-id-set: NA",
                                               "    Device: 10.1.0.1, Type: Unknown, State: DOWN, Staging: no",
                                               "    Region-id-set: " + ids66,
                                               "    Device: 10.1.0.2, Type: Brink, State: UP, Staging: no",
                                               "    Region-id-set: 7 300 65535",
                                               "    Device: 2001:db8::1, Type: Solon, State: UP, Staging: yes",
                                               "    Region-id-set: 1",
                                           }));
    EXPECT_EQ(cli.text().back(), '\n');

    // The region-id text and its cut.
    t_zor_af_ctrl_device r{};
    r.region_count = 3;
    r.region_ids[0] = 1000;
    r.region_ids[1] = 2000;
    r.region_ids[2] = 3000;
    char buf[32];
    EXPECT_STREQ(zor_af_ctrl_device_regions_str(&r, buf, 15), "1000 2000 3000");
    EXPECT_STREQ(zor_af_ctrl_device_regions_str(&r, buf, 14), "TRUNCATED");
    r.region_count = 0;
    EXPECT_STREQ(zor_af_ctrl_device_regions_str(&r, buf, sizeof(buf)), "NA");
}

TEST_F(ZorAfCtrlDevice, DatabaseDumpShowsEntriesAndMarkers)
{
    t_zor_client *box = h_.client(k_box, {ZOR_AF_CTRL_DEVICE_IPV4});
    t_zor_db_entry *e = add(ZOR_AF_CTRL_DEVICE_IPV4, box, device_msg(ZOR_AF_CTRL_DEVICE_IPV4, "10.1.0.1", 5, 1, 0, {2}));
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 1u);

    maapi_cli_capture cli(31, 33);
    zor_db_dump(cli.uinfo());
    std::vector<std::string> lines = zt::split_lines(cli.text());
    char entry_line[128];
    char marker_line[128];
    snprintf(entry_line, sizeof(entry_line), "ZOR-Entry: (%p), CTRL-DEVICE-IPV4, Owner: ctlagent, Flags: (0x0) ",
             static_cast<void *>(e));
    snprintf(marker_line, sizeof(marker_line), "ZOR-Entry: (%p), CTRL-DEVICE-IPV4, Owner: ctlagent, Flags: (0x1) MARKER ",
             static_cast<void *>(box->marker[ZOR_AF_CTRL_DEVICE_IPV4]));
    const std::vector<std::string> want = {
        "CTRL-DEVICE-IPV4",
        "=============",
        "",
        entry_line,
        "    Device: 10.1.0.1, Type: Steward, State: UP, Staging: no",
        "    Region-id-set: 2",
        "",
        marker_line,
        "",
        "CTRL-DEVICE-IPV6",
    };
    auto at = std::find(lines.begin(), lines.end(), "CTRL-DEVICE-IPV4");
    ASSERT_NE(at, lines.end()) << cli.text();
    ASSERT_GE(static_cast<size_t>(lines.end() - at), want.size());
    EXPECT_EQ(std::vector<std::string>(at, at + static_cast<long>(want.size())), want);
}

}  // namespace
