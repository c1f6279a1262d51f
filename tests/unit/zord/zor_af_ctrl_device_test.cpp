// The control-device families on a real daemon with peers on real sockets:
// what the clients receive, the compare rule, the owner rule, the region-id
// limit and the show texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "test_support.h"
#include "zor_af_ctrl_device.h"
#include "zor_af_test_harness.h"
#include "zor_client.h"

namespace {

constexpr uint32_t k_box = OST_MODULE_CTLAGENT;    // "ctlagent"
constexpr uint32_t k_host = OST_MODULE_SETKEEPER;  // "setkeeper"
constexpr zor_af_t k_v4 = ZOR_AF_CTRL_DEVICE_IPV4;

using Ids = std::vector<uint16_t>;

struct Device {
    std::string ip;
    uint32_t type;
    uint32_t state;
    uint8_t staging;
    Ids regions;
};

zor_msg_t device_msg(const Device &d, bool is_delete = false, zor_af_t af = k_v4)
{
    zor_msg_t msg{};
    msg.type = is_delete ? ZOR_MSG_CTRL_DEVICE_DEL : ZOR_MSG_CTRL_DEVICE_ADD;
    msg.family = af;
    zor_msg_ctrl_device_t &b = msg.body.ctrl_device;
    b.addr = zt::addr(d.ip.c_str());
    b.type = d.type;
    b.state = d.state;
    b.staging = d.staging;
    b.region_count = static_cast<uint16_t>(d.regions.size());
    std::copy(d.regions.begin(), d.regions.end(), b.region_ids);
    return msg;
}

// A received message carries every field of the device.
void expect_body(const zt::SentMsg &s, uint32_t type, const Device &d)
{
    const zor_msg_t want = device_msg(d, type == ZOR_MSG_CTRL_DEVICE_DEL);
    EXPECT_EQ(s.msg.type, type);
    EXPECT_EQ(memcmp(&s.msg.body, &want.body, sizeof(want.body)), 0) << d.ip;
}

class ZorAfCtrlDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(h_.init_rc(), 0); }
    void TearDown() override
    {
        h_.teardown();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_db_entry *send(uint32_t from, const Device &d, bool is_delete = false)
    {
        h_.send(from, device_msg(d, is_delete));
        return find(d.ip);
    }
    t_zor_db_entry *find(const std::string &ip, zor_af_t af = k_v4)
    {
        zor_msg_t msg = device_msg({ip, 0, 0, 0, {}}, false, af);
        return zor_af_find(af, h_.ctx(), &msg, nullptr);
    }
    zt::FamilyHarness h_;
};

TEST_F(ZorAfCtrlDevice, OnlyTypeStateOrStagingMakeAnUpdate)
{
    h_.client(k_box, {k_v4});
    h_.client(k_host);  // registered for nothing
    Device d{"10.1.0.1", 1, 1, 0, {7, 300}};
    t_zor_db_entry *e = send(k_box, d);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(find(d.ip, ZOR_AF_CTRL_DEVICE_IPV6), nullptr) << "each family has its own tree";
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 1u);
    expect_body(sent[0], ZOR_MSG_CTRL_DEVICE_ADD, d);

    // Other region ids alone: not taken, nothing sent.
    EXPECT_EQ(send(k_box, {d.ip, 1, 1, 0, {9}}), e);
    EXPECT_TRUE(h_.deliver().empty());
    // Each of type, state and staging counts, and takes the region ids along.
    for (const Device &next : {Device{d.ip, 3, 1, 0, {1}}, Device{d.ip, 3, 2, 0, {2, 3}}, Device{d.ip, 3, 2, 1, {}}}) {
        EXPECT_EQ(send(k_box, next), e);
        sent = h_.deliver();
        ASSERT_EQ(sent.size(), 1u) << next.type << next.state << int(next.staging);
        expect_body(sent[0], ZOR_MSG_CTRL_DEVICE_ADD, next);
    }
}

TEST_F(ZorAfCtrlDevice, RegionIdsPastTheSixtySixthAreDroppedWithALogLine)
{
    h_.client(k_box, {k_v4});
    Device d{"10.1.0.2", 1, 1, 0, {}};
    for (uint16_t i = 0; i < 100; i++) {
        d.regions.push_back(static_cast<uint16_t>(1000 + i));
    }
    zt::LogCapture log;
    ASSERT_NE(send(k_box, d), nullptr);
    EXPECT_EQ(log.count("Device 10.1.0.2 from ctlagent: 100 region ids, keeping the first 66"), 1u) << log.dump();
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 1u);
    d.regions.resize(66);
    expect_body(sent[0], ZOR_MSG_CTRL_DEVICE_ADD, d);
}

TEST_F(ZorAfCtrlDevice, OnlyTheOwnerDeletesAndTheDeletionCarriesTheWholeRecord)
{
    h_.client(k_box, {k_v4});
    t_zor_client *host = h_.client(k_host, {k_v4});
    const Device d{"10.1.0.1", 4, 1, 1, {11, 12}};
    t_zor_db_entry *e = send(k_box, d);
    ASSERT_NE(e, nullptr);
    ASSERT_EQ(h_.deliver().size(), 2u);

    zt::LogCapture log;
    send(k_host, d, true);
    zor_af_withdraw(k_v4, h_.ctx(), host, e);
    EXPECT_EQ(log.count("CTRL-DEVICE-IPV4 withdraw from setkeeper ignored: the entry belongs to ctlagent"), 2u)
        << log.dump();
    send(k_box, {"10.1.0.9", 0, 0, 0, {}}, true);  // unknown
    zor_msg_t bad = device_msg(d, true);
    bad.body.ctrl_device.addr.family = 7;
    h_.send(k_box, bad);
    EXPECT_EQ(find(d.ip), e);
    EXPECT_FALSE(h_.walk_pending());

    // The owner's delete (its body has no fields but the address).
    EXPECT_EQ(send(k_box, {d.ip, 0, 0, 0, {}}, true), nullptr);
    std::vector<zt::SentMsg> sent = h_.deliver();
    ASSERT_EQ(sent.size(), 2u);
    for (const zt::SentMsg &s : sent) {
        expect_body(s, ZOR_MSG_CTRL_DEVICE_DEL, d);
    }
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);

    // An address of no known family is dropped with a log line.
    zor_msg_t odd = device_msg(d);
    odd.body.ctrl_device.addr.family = 0;
    h_.send(k_box, odd);
    EXPECT_TRUE(log.contains("CTRL-DEVICE-IPV4 add from ctlagent dropped: address family 0")) << log.dump();
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);
}

TEST_F(ZorAfCtrlDevice, ShowInAddressOrder)
{
    h_.client(k_box);
    send(k_box, {"10.1.0.2", 1, 1, 0, {7, 300, 65535}});
    send(k_box, {"9.255.255.255", 6, 2, 1, {}});
    send(k_box, {"10.1.0.1", 9, 0, 0, Ids(66, 65535)});
    send(k_box, {"2001:db8::1", 3, 1, 7, {1}});
    std::string ids66 = "65535";
    for (int i = 1; i < 66; i++) {
        ids66 += " 65535";
    }
    maapi_cli_capture cli(31, 32);
    zor_af_show_all(k_v4, h_.ctx(), cli.uinfo());
    EXPECT_EQ(cli.text(), "    Device: 9.255.255.255, Type: ZTP, State: DOWN, Staging: yes\n"
                          "    Region-id-set: NA\n"
                          "    Device: 10.1.0.1, Type: Unknown, State: DOWN, Staging: no\n"
                          "    Region-id-set: " + ids66 + "\n"
                          "    Device: 10.1.0.2, Type: Brink, State: UP, Staging: no\n"
                          "    Region-id-set: 7 300 65535\n"
                          "    Device: 2001:db8::1, Type: Solon, State: UP, Staging: yes\n"
                          "    Region-id-set: 1\n");

    // A set that does not fit its buffer.
    t_zor_af_ctrl_device r{};
    r.region_count = 3;
    r.region_ids[0] = 1000;
    r.region_ids[1] = 2000;
    r.region_ids[2] = 3000;
    char buf[16];
    EXPECT_STREQ(zor_af_ctrl_device_regions_str(&r, buf, 15), "1000 2000 3000");
    EXPECT_STREQ(zor_af_ctrl_device_regions_str(&r, buf, 14), "TRUNCATED");
}

}  // namespace
