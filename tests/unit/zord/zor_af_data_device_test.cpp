// The data-device families on a real daemon: devices derived from TLOC
// events, their options moving with BFD, deletion of options and devices,
// the on-demand state pushed onto the device's TLOCs, and what the clients
// receive of all that over real sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "ost_util.h"
#include "test_support.h"
#include "zor_af_data_device.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::msg_strs;
using zt::tloc_add_msg;
using zt::tloc_del_msg;
using zt::tloc_key;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

class ZorAfDataDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(env.init_rc(), 0);
        owner = env.connect(OST_MODULE_CTLAGENT);
        obs = env.connect(OST_MODULE_POLICYD);
        ASSERT_NE(owner, nullptr);
        ASSERT_NE(obs, nullptr);
        ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
        ASSERT_EQ(obs->send_register(ZOR_AF_DATA_DEVICE_IPV4), 0);
        ASSERT_EQ(obs->send_register(ZOR_AF_DATA_DEVICE_IPV6), 0);
        ASSERT_TRUE(env.settle());
    }
    void TearDown() override
    {
        g_zor_debug = 0;
        env.free();
        // Devices still holding options at teardown give them back too.
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_context *ctx() { return env.ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }
    t_zor_db_entry *device(const std::string &ip)
    {
        zor_msg_t msg = tloc_add_msg(tloc_key(ip, 1, 1), 2);
        return zor_af_find(zor_af_data_device_family(msg.family), ctx(), &msg, nullptr);
    }
    std::string show(t_zor_db_entry *entry)
    {
        maapi_cli_capture cli(21, 22);
        zor_af_show(entry->family, ctx(), entry, cli.uinfo());
        return cli.text();
    }
    // Sends and waits until zord has handled everything and the observer
    // has read what came of it.
    std::vector<std::string> exchange(FakePeer *from, const std::vector<zor_msg_t> &msgs)
    {
        for (const zor_msg_t &m : msgs) {
            EXPECT_EQ(from->send(m), 0);
        }
        EXPECT_TRUE(env.settle());
        return msg_strs(obs->take());
    }

    zt::LogCapture log;
    zt::PeerEnv env;
    FakePeer *owner = nullptr;
    FakePeer *obs = nullptr;
};

TEST_F(ZorAfDataDevice, ANewDeviceAndItsFirstStatus)
{
    EXPECT_EQ(exchange(owner, {tloc_add_msg(tloc_key("10.0.0.2", 4, k_ipsec), 2)}),
              (Strings{"TLOC-ADD 10.0.0.2 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.2 2"}));
    t_zor_db_entry *dev = device("10.0.0.2");
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->client_p, client(OST_MODULE_CTLAGENT));
    EXPECT_EQ(zor_af_data_device_of(dev)->on_demand_state, ZOR_DATA_DEVICE_STATE_UNKNOWN);
    EXPECT_EQ(show(dev), "    System IP: 10.0.0.2, On-demand state : Unknown\n"
                         "          color: 4 encap: 2 status: DOWN\n");

    // A local TLOC's option is up whatever its status says.
    EXPECT_EQ(exchange(owner, {tloc_add_msg(tloc_key("10.0.0.1", 4, k_ipsec), 1)}),
              (Strings{"TLOC-ADD 10.0.0.1 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.1 1"}));
    // A remote TLOC whose add says up.
    zor_msg_t up = tloc_add_msg(tloc_key("10.0.0.3", 4, k_ipsec), 2);
    up.body.tloc.status = ZOR_TLOC_STATUS_UP;
    EXPECT_EQ(exchange(owner, {up}), (Strings{"TLOC-ADD 10.0.0.3 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.3 1"}));
    // On Solon every option is up.
    env.daemon()->personality = ZOR_PERSONALITY_SOLON;
    EXPECT_EQ(exchange(owner, {tloc_add_msg(tloc_key("10.0.0.4", 4, k_ipsec), 2)}),
              (Strings{"TLOC-ADD 10.0.0.4 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.4 1"}));

    // IPv6 TLOCs make IPv6 devices.
    std::vector<std::string> v6 = exchange(owner, {tloc_add_msg(tloc_key("2001:db8::5", 4, k_ipsec), 2)});
    EXPECT_EQ(v6, (Strings{"DATA-DEVICE-ADD 2001:db8::5 1"})) << "the observer has no TLOC-IPV6";
    t_zor_db_entry *dev6 = device("2001:db8::5");
    ASSERT_NE(dev6, nullptr);
    EXPECT_EQ(dev6->family, ZOR_AF_DATA_DEVICE_IPV6);

    // The whole family in address order.
    maapi_cli_capture cli(23, 24);
    zor_af_show_all(ZOR_AF_DATA_DEVICE_IPV4, ctx(), cli.uinfo());
    EXPECT_EQ(zt::split_lines(cli.text()), (Strings{
                                                "    System IP: 10.0.0.1, On-demand state : Unknown",
                                                "          color: 4 encap: 2 status: UP",
                                                "    System IP: 10.0.0.2, On-demand state : Unknown",
                                                "          color: 4 encap: 2 status: DOWN",
                                                "    System IP: 10.0.0.3, On-demand state : Unknown",
                                                "          color: 4 encap: 2 status: UP",
                                                "    System IP: 10.0.0.4, On-demand state : Unknown",
                                                "          color: 4 encap: 2 status: UP",
                                            }));
}

TEST_F(ZorAfDataDevice, OptionsMoveWithBfdAndTheHeadGivesTheStatus)
{
    const zor_tloc_key_t a = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t b = tloc_key("10.0.0.2", 5, k_ipsec);
    exchange(owner, {tloc_add_msg(a, 2), tloc_add_msg(b, 2)});
    t_zor_db_entry *dev = device("10.0.0.2");
    ASSERT_NE(dev, nullptr);

    // No local TLOC: BFD decides.
    EXPECT_EQ(exchange(owner, {zt::bfd_msg(a, 1)}),
              (Strings{"TLOC-ADD 10.0.0.2 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.2 1"}));
    EXPECT_EQ(show(dev), "    System IP: 10.0.0.2, On-demand state : Unknown\n"
                         "          color: 4 encap: 2 status: UP\n"
                         "          color: 5 encap: 2 status: DOWN\n");
    EXPECT_EQ(exchange(owner, {zt::bfd_msg(a, 0)}),
              (Strings{"TLOC-ADD 10.0.0.2 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.2 2"}));
    EXPECT_EQ(show(dev), "    System IP: 10.0.0.2, On-demand state : Unknown\n"
                         "          color: 5 encap: 2 status: DOWN\n"
                         "          color: 4 encap: 2 status: DOWN\n");
    EXPECT_EQ(exchange(owner, {zt::bfd_msg(b, 1)}),
              (Strings{"TLOC-ADD 10.0.0.2 : public-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.2 1"}));
    EXPECT_EQ(show(dev), "    System IP: 10.0.0.2, On-demand state : Unknown\n"
                         "          color: 5 encap: 2 status: UP\n"
                         "          color: 4 encap: 2 status: DOWN\n");

    // A TLOC update re-sends the device but leaves the option's status.
    zor_msg_t pref = tloc_add_msg(a, 2);
    pref.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
    pref.body.tloc.attr.preference = 3;
    pref.body.tloc.status = ZOR_TLOC_STATUS_UP;
    EXPECT_EQ(exchange(owner, {pref}),
              (Strings{"TLOC-ADD 10.0.0.2 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.0.0.2 1"}));
    EXPECT_NE(show(dev).find("color: 4 encap: 2 status: DOWN"), std::string::npos);

    // A BFD status for a pair the device does not have yet adds it.
    zor_msg_t new_pair = zt::bfd_msg(tloc_key("10.0.0.2", 6, k_ipsec), 1);
    EXPECT_EQ(zor_af_data_device_tloc_update(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &new_pair), dev);
    // The path timer's sweep reports a TLOC's status the same way.
    zor_af_data_device_tloc_state(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT),
                                  zor_af_tloc_of(zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &a, nullptr)), 1);
    EXPECT_EQ(show(dev), "    System IP: 10.0.0.2, On-demand state : Unknown\n"
                         "          color: 4 encap: 2 status: UP\n"
                         "          color: 6 encap: 2 status: UP\n"
                         "          color: 5 encap: 2 status: UP\n");
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(obs->take()), (Strings{"DATA-DEVICE-ADD 10.0.0.2 1"}));
}

TEST_F(ZorAfDataDevice, DeletingOptionsAndTheDevice)
{
    const zor_tloc_key_t a = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t b = tloc_key("10.0.0.2", 5, k_ipsec);
    exchange(owner, {tloc_add_msg(a, 2), tloc_add_msg(b, 2)});

    // One of two options goes: nothing is sent for the device.
    EXPECT_EQ(exchange(owner, {tloc_del_msg(a)}), (Strings{"TLOC-DEL 10.0.0.2 : biz-internet : ipsec"}));
    ASSERT_NE(device("10.0.0.2"), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_OPT), 1u);
    // The owner's delete of the last option: each holder gets the deletion.
    EXPECT_EQ(exchange(owner, {tloc_del_msg(b)}),
              (Strings{"TLOC-DEL 10.0.0.2 : public-internet : ipsec", "DATA-DEVICE-DEL 10.0.0.2 2"}));
    EXPECT_EQ(device("10.0.0.2"), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 0u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_OPT), 0u);

    // A device nobody was sent goes at once.
    const zor_tloc_key_t c = tloc_key("10.0.0.3", 4, k_ipsec);
    ASSERT_EQ(owner->send(tloc_add_msg(c, 2)), 0);
    ASSERT_EQ(owner->send(tloc_del_msg(c)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(obs->take().empty());
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 0u);

    // The last option removed through another client: the device stays,
    // empty and down, until its owner takes it away.
    FakePeer *other = env.connect(OST_MODULE_MCASTD);
    ASSERT_NE(other, nullptr);
    const zor_tloc_key_t d1 = tloc_key("10.0.0.4", 4, k_ipsec);
    const zor_tloc_key_t d2 = tloc_key("10.0.0.4", 5, k_ipsec);
    exchange(owner, {tloc_add_msg(d1, 2)});
    exchange(other, {tloc_add_msg(d2, 2)});
    EXPECT_EQ(exchange(owner, {tloc_del_msg(d1)}), (Strings{"TLOC-DEL 10.0.0.4 : biz-internet : ipsec"}));
    EXPECT_EQ(exchange(other, {tloc_del_msg(d2)}), (Strings{"TLOC-DEL 10.0.0.4 : public-internet : ipsec"}));
    t_zor_db_entry *dev = device("10.0.0.4");
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->client_p, client(OST_MODULE_CTLAGENT));
    EXPECT_EQ(show(dev), "    System IP: 10.0.0.4, On-demand state : Unknown\n");
    zor_msg_t filled{};
    zor_af_fill_msg(ZOR_AF_DATA_DEVICE_IPV4, dev, &filled, 0);
    EXPECT_EQ(filled.body.data_device.status, ZOR_DATA_DEVICE_STATUS_DOWN);
    env.drop(owner);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(obs->take()), (Strings{"DATA-DEVICE-DEL 10.0.0.4 2"}));
    EXPECT_EQ(device("10.0.0.4"), nullptr);
}

TEST_F(ZorAfDataDevice, OnDemandStateGoesOntoTheDevicesTlocs)
{
    const zor_tloc_key_t a = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t b = tloc_key("10.0.0.2", 5, k_ipsec);
    exchange(owner, {tloc_add_msg(a, 2), tloc_add_msg(b, 2), tloc_add_msg(tloc_key("10.0.0.3", 4, k_ipsec), 2)});
    auto inactive = [this](const std::vector<zor_msg_t> &msgs) {
        std::string out;
        for (const zor_msg_t &m : msgs) {
            out += std::to_string(m.body.tloc.inactive);
        }
        return out;
    };

    // Unknown device: nothing.
    EXPECT_TRUE(exchange(owner, {zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.9", 2)}).empty());
    // Active: both TLOCs of the device are re-sent active.
    ASSERT_EQ(owner->send(zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 1)), 0);
    ASSERT_TRUE(env.settle());
    std::vector<zor_msg_t> got = obs->take();
    EXPECT_EQ(msg_strs(got),
              (Strings{"TLOC-ADD 10.0.0.2 : biz-internet : ipsec", "TLOC-ADD 10.0.0.2 : public-internet : ipsec"}));
    EXPECT_EQ(inactive(got), "00");
    EXPECT_EQ(zt::split_lines(show(device("10.0.0.2")))[0], "    System IP: 10.0.0.2, On-demand state : Active");
    // The same state again changes nothing.
    EXPECT_TRUE(exchange(owner, {zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 1)}).empty());
    // A new TLOC of an active device starts active.
    const zor_tloc_key_t c = tloc_key("10.0.0.2", 6, k_ipsec);
    ASSERT_EQ(owner->send(tloc_add_msg(c, 2)), 0);
    ASSERT_TRUE(env.settle());
    got = obs->take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].body.tloc.inactive, 0u);
    EXPECT_EQ(zor_af_tloc_of(zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &c, nullptr))->inactive, 0u);

    // Inactive, named by the data-device family itself: all three go inactive.
    ASSERT_EQ(owner->send(zt::dd_state_msg(ZOR_AF_DATA_DEVICE_IPV4, "10.0.0.2", 2)), 0);
    ASSERT_TRUE(env.settle());
    got = obs->take();
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(inactive(got), "111");
    EXPECT_EQ(zor_af_data_device_of(device("10.0.0.2"))->on_demand_state, ZOR_DATA_DEVICE_STATE_INACTIVE);
    // The IPv4 device is not in the IPv6 family.
    EXPECT_TRUE(exchange(owner, {zt::dd_state_msg(ZOR_AF_TLOC_IPV6, "10.0.0.2", 1)}).empty());
    // Any other state value counts as inactive, and shows as such.
    EXPECT_EQ(exchange(owner, {zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 7)}).size(), 3u);
    EXPECT_EQ(zt::split_lines(show(device("10.0.0.2")))[0], "    System IP: 10.0.0.2, On-demand state : NOMATCH");
}

TEST_F(ZorAfDataDevice, MessagesThatNameNoDeviceAreIgnoredWithALogLine)
{
    exchange(owner, {tloc_add_msg(tloc_key("10.0.0.2", 4, k_ipsec), 2)});
    zor_msg_t ctrl{};
    ctrl.type = ZOR_MSG_CTRL_DEVICE_ADD;
    ctrl.family = ZOR_AF_DATA_DEVICE_IPV4;
    ctrl.body.ctrl_device.addr = ip_addr_v4(0x0a000002);
    t_zor_client *c = client(OST_MODULE_CTLAGENT);
    EXPECT_EQ(zor_af_add(ZOR_AF_DATA_DEVICE_IPV4, ctx(), c, &ctrl), nullptr);
    zor_af_delete(ZOR_AF_DATA_DEVICE_IPV4, ctx(), c, &ctrl);
    EXPECT_EQ(zor_af_find(ZOR_AF_DATA_DEVICE_IPV4, ctx(), &ctrl, nullptr), nullptr);
    EXPECT_EQ(log.count("]: Ignored CTRL-DEVICE-ADD for family DATA-DEVICE-IPV4: it names no data device"), 3u);
    ASSERT_NE(device("10.0.0.2"), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_OPT), 1u);

    // A device address of no known family, and a state message of another
    // family, are ignored too.
    zor_msg_t odd = zt::bfd_msg(tloc_key("10.0.0.2", 4, k_ipsec), 1);
    odd.body.bfd.key.addr.family = 0;
    EXPECT_EQ(zor_af_add(ZOR_AF_DATA_DEVICE_IPV4, ctx(), c, &odd), nullptr);
    EXPECT_EQ(log.count("]: Ignored TLOC-BFD-STATUS for a device of address family 0"), 1u);
    zor_msg_t state = zt::dd_state_msg(ZOR_AF_LINK, "10.0.0.2", 2);
    zor_af_data_device_state_msg(ZOR_AF_LINK, ctx(), &state);
    EXPECT_EQ(log.count("]: Ignored a device state for family LINK, address family 2"), 1u);
    EXPECT_EQ(zor_af_data_device_of(device("10.0.0.2"))->on_demand_state, ZOR_DATA_DEVICE_STATE_UNKNOWN);

    EXPECT_EQ(zor_af_data_device_family(ZOR_AF_TLOC_IPV4), ZOR_AF_DATA_DEVICE_IPV4);
    EXPECT_EQ(zor_af_data_device_family(ZOR_AF_TLOC_IPV6), ZOR_AF_DATA_DEVICE_IPV6);
    EXPECT_EQ(zor_af_data_device_family(ZOR_AF_TRACKER), ZOR_AF_TRACKER);
    EXPECT_FALSE(zor_af_data_device_is_active(nullptr));
}

}  // namespace
