// The control-device families on a real daemon with peers on real sockets:
// what the clients receive, the compare rule, the owner rule, the region-id
// limit and the show texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "zor_af_ctrl_device.h"
#include "zor_client.h"
#include "zor_fake_peer.h"

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

class ZorAfCtrlDevice : public zt::PeerFixture {
protected:
    t_zor_db_entry *send(zt::FakePeer *from, const Device &d, bool is_delete = false)
    {
        PeerFixture::send(from, {device_msg(d, is_delete)});
        return find(d.ip);
    }
    t_zor_db_entry *find(const std::string &ip, zor_af_t af = k_v4)
    {
        zor_msg_t msg = device_msg({ip, 0, 0, 0, {}}, false, af);
        return zor_af_find(af, ctx(), &msg, nullptr);
    }
    // What the peers received: n messages of the type, each carrying every
    // field of the device.
    void expect_sent(size_t n, uint32_t type, const Device &d)
    {
        const std::vector<zor_msg_t> sent = deliver();
        ASSERT_EQ(sent.size(), n) << d.ip;
        const zor_msg_t want = device_msg(d, type == ZOR_MSG_CTRL_DEVICE_DEL);
        for (const zor_msg_t &m : sent) {
            EXPECT_EQ(m.type, type);
            EXPECT_EQ(memcmp(&m.body, &want.body, sizeof(want.body)), 0) << d.ip;
        }
    }
};

TEST_F(ZorAfCtrlDevice, OnlyTypeStateOrStagingMakeAnUpdateAndRegionIdsStopAt66)
{
    zt::FakePeer *box = connect(k_box, {k_v4});
    connect(k_host);  // registered for nothing
    Device d{"10.1.0.1", 1, 1, 0, {7, 300}};
    t_zor_db_entry *e = send(box, d);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(find(d.ip, ZOR_AF_CTRL_DEVICE_IPV6), nullptr) << "each family has its own tree";
    expect_sent(1, ZOR_MSG_CTRL_DEVICE_ADD, d);

    // Other region ids alone: not taken, nothing sent.
    EXPECT_EQ(send(box, {d.ip, 1, 1, 0, {9}}), e);
    expect_sent(0, ZOR_MSG_CTRL_DEVICE_ADD, d);
    // Each of type, state and staging counts, and takes the region ids along.
    for (const Device &next : {Device{d.ip, 3, 1, 0, {1}}, Device{d.ip, 3, 2, 0, {2, 3}}, Device{d.ip, 3, 2, 1, {}}}) {
        EXPECT_EQ(send(box, next), e);
        expect_sent(1, ZOR_MSG_CTRL_DEVICE_ADD, next);
    }

    Device many{"10.1.0.2", 1, 1, 0, {}};
    for (uint16_t i = 0; i < 100; i++) {
        many.regions.push_back(static_cast<uint16_t>(1000 + i));
    }
    ASSERT_NE(send(box, many), nullptr);
    EXPECT_EQ(log.count("Device 10.1.0.2 from ctlagent: 100 region ids, keeping the first 66"), 1u) << log.dump();
    many.regions.resize(66);
    expect_sent(1, ZOR_MSG_CTRL_DEVICE_ADD, many);
}

TEST_F(ZorAfCtrlDevice, OnlyTheOwnerDeletesAndTheDeletionCarriesTheWholeRecord)
{
    zt::FakePeer *box = connect(k_box, {k_v4});
    zt::FakePeer *host = connect(k_host, {k_v4});
    const Device d{"10.1.0.1", 4, 1, 1, {11, 12}};
    t_zor_db_entry *e = send(box, d);
    ASSERT_NE(e, nullptr);
    expect_sent(2, ZOR_MSG_CTRL_DEVICE_ADD, d);

    send(host, d, true);
    zor_af_withdraw(k_v4, ctx(), client(k_host), e);
    EXPECT_EQ(log.count("CTRL-DEVICE-IPV4 withdraw from setkeeper ignored: the entry belongs to ctlagent"), 2u)
        << log.dump();
    send(box, {"10.1.0.9", 0, 0, 0, {}}, true);  // unknown
    zor_msg_t bad = device_msg(d, true);
    bad.body.ctrl_device.addr.family = 7;
    PeerFixture::send(box, {bad});
    EXPECT_EQ(find(d.ip), e);
    expect_sent(0, ZOR_MSG_CTRL_DEVICE_DEL, d);

    // The owner's delete (its body has no fields but the address).
    EXPECT_EQ(send(box, {d.ip, 0, 0, 0, {}}, true), nullptr);
    expect_sent(2, ZOR_MSG_CTRL_DEVICE_DEL, d);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);

    // An address of no known family is dropped with a log line.
    zor_msg_t odd = device_msg(d);
    odd.body.ctrl_device.addr.family = 0;
    PeerFixture::send(box, {odd});
    EXPECT_TRUE(log.contains("CTRL-DEVICE-IPV4 add from ctlagent dropped: address family 0")) << log.dump();
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CTRL_DEVICE_NLRI), 0u);
}

TEST_F(ZorAfCtrlDevice, ShowInAddressOrder)
{
    zt::FakePeer *box = connect(k_box);
    send(box, {"10.1.0.2", 1, 1, 0, {7, 300, 65535}});
    send(box, {"9.255.255.255", 6, 2, 1, {}});
    send(box, {"10.1.0.1", 9, 0, 0, Ids(66, 65535)});
    send(box, {"2001:db8::1", 3, 1, 7, {1}});
    std::string ids66 = "65535";
    for (int i = 1; i < 66; i++) {
        ids66 += " 65535";
    }
    maapi_cli_capture cli(31, 32);
    zor_af_show_all(k_v4, ctx(), cli.uinfo());
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
