// The data-device families on a real daemon with peers on real sockets:
// devices derived from TLOC events, options moving with BFD, deletion of
// options and devices, and the on-demand state pushed onto the TLOCs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "ost_util.h"
#include "zor_af_data_device.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::tloc_add_msg;
using zt::tloc_del_msg;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

zor_tloc_key_t key(const std::string &ip, uint8_t color)
{
    return zt::tloc_key(ip, color, k_ipsec);
}

class ZorAfDataDevice : public zt::PeerFixture {
protected:
    void SetUp() override
    {
        PeerFixture::SetUp();
        owner = connect(OST_MODULE_CTLAGENT);
        obs = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4, ZOR_AF_DATA_DEVICE_IPV4, ZOR_AF_DATA_DEVICE_IPV6});
        ASSERT_TRUE(owner != nullptr && obs != nullptr);
    }
    t_zor_db_entry *device(const std::string &ip)
    {
        zor_msg_t msg = tloc_add_msg(key(ip, 1), 2);
        return zor_af_find(zor_af_data_device_family(msg.family), ctx(), &msg, nullptr);
    }
    std::string show(const std::string &ip)
    {
        t_zor_db_entry *entry = device(ip);
        EXPECT_NE(entry, nullptr) << ip;
        return entry != nullptr ? zt::show_text(entry->family, ctx(), entry) : std::string();
    }
    // The first show line of a device.
    std::string state(const std::string &ip)
    {
        const std::string text = show(ip);
        return text.substr(0, text.find('\n'));
    }
    // The options of a device in list order: colour and U(p) or D(own).
    std::string options(const std::string &ip)
    {
        t_zor_db_entry *entry = device(ip);
        if (entry == nullptr) {
            return "no device";
        }
        std::string out;
        for (const t_zor_data_device_opt &o : zor_af_data_device_of(entry)->options) {
            out += std::to_string(o.color) + (o.status == ZOR_DATA_DEVICE_STATUS_UP ? "U " : "D ");
        }
        return out;
    }
    // Sends, and returns what the observer received once everything settled.
    Strings exchange(FakePeer *from, std::initializer_list<zor_msg_t> msgs)
    {
        send(from, msgs);
        return zt::msg_strs(obs->take());
    }

    FakePeer *owner = nullptr;
    FakePeer *obs = nullptr;
};

TEST_F(ZorAfDataDevice, ANewDeviceIsUpWhenItsFirstTlocIsUpLocalOrOnSolon)
{
    const struct {
        const char *ip;
        uint8_t origin;
        uint32_t tloc_status;
        uint32_t personality;
        const char *sent;
    } rows[] = {
        {"10.0.0.2", 2, 0, 0, "DATA-DEVICE-ADD 10.0.0.2 2"},
        {"10.0.0.1", 1, 0, 0, "DATA-DEVICE-ADD 10.0.0.1 1"},
        {"10.0.0.3", 2, ZOR_TLOC_STATUS_UP, 0, "DATA-DEVICE-ADD 10.0.0.3 1"},
        {"10.0.0.4", 2, 0, ZOR_PERSONALITY_SOLON, "DATA-DEVICE-ADD 10.0.0.4 1"},
        {"2001:db8::5", 2, 0, ZOR_PERSONALITY_SOLON, "DATA-DEVICE-ADD 2001:db8::5 1"},  // the observer has no TLOC-IPV6
    };
    for (const auto &r : rows) {
        env.daemon()->personality = r.personality;
        zor_msg_t add = tloc_add_msg(key(r.ip, 4), r.origin);
        add.body.tloc.status = r.tloc_status;
        Strings got = exchange(owner, {add});
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), r.sent);
    }
    t_zor_db_entry *v6 = device("2001:db8::5");
    ASSERT_NE(v6, nullptr);
    EXPECT_EQ(v6->family, ZOR_AF_DATA_DEVICE_IPV6);

    maapi_cli_capture cli(23, 24);
    zor_af_show_all(ZOR_AF_DATA_DEVICE_IPV4, ctx(), cli.uinfo());
    EXPECT_EQ(cli.text(), "    System IP: 10.0.0.1, On-demand state : Unknown\n"
                          "          color: 4 encap: 2 status: UP\n"
                          "    System IP: 10.0.0.2, On-demand state : Unknown\n"
                          "          color: 4 encap: 2 status: DOWN\n"
                          "    System IP: 10.0.0.3, On-demand state : Unknown\n"
                          "          color: 4 encap: 2 status: UP\n"
                          "    System IP: 10.0.0.4, On-demand state : Unknown\n"
                          "          color: 4 encap: 2 status: UP\n");
}

TEST_F(ZorAfDataDevice, OptionsMoveWithBfdAndTheHeadGivesTheStatus)
{
    const zor_tloc_key_t a = key("10.0.0.2", 4);
    const zor_tloc_key_t b = key("10.0.0.2", 5);
    exchange(owner, {tloc_add_msg(a, 2), tloc_add_msg(b, 2)});
    zor_msg_t update = tloc_add_msg(a, 2);
    update.body.tloc.status = ZOR_TLOC_STATUS_UP;
    update.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
    update.body.tloc.attr.preference = 3;
    const struct {
        zor_msg_t msg;
        const char *sent;
        const char *options;
    } steps[] = {
        {zt::bfd_msg(a, 1), "DATA-DEVICE-ADD 10.0.0.2 1", "4U 5D "},
        {zt::bfd_msg(a, 0), "DATA-DEVICE-ADD 10.0.0.2 2", "5D 4D "},
        {zt::bfd_msg(b, 1), "DATA-DEVICE-ADD 10.0.0.2 1", "5U 4D "},
        // A TLOC update re-sends the device but leaves the option's status.
        {update, "DATA-DEVICE-ADD 10.0.0.2 1", "5U 4D "},
    };
    for (const auto &st : steps) {
        Strings got = exchange(owner, {st.msg});
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), st.sent);
        EXPECT_EQ(options("10.0.0.2"), st.options);
    }

    // A BFD status for a pair the device does not have yet adds it; the
    // path timer's sweep reports a TLOC's status the same way.
    zor_msg_t new_pair = zt::bfd_msg(key("10.0.0.2", 6), 1);
    t_zor_client *owner_client = client(OST_MODULE_CTLAGENT);
    EXPECT_EQ(zor_af_data_device_tloc_update(ZOR_AF_TLOC_IPV4, ctx(), owner_client, &new_pair), device("10.0.0.2"));
    zor_af_data_device_tloc_state(ZOR_AF_TLOC_IPV4, ctx(), owner_client,
                                  zor_af_tloc_of(zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &a, nullptr)), 1);
    EXPECT_EQ(options("10.0.0.2"), "4U 6U 5U ");
    EXPECT_EQ(exchange(owner, {}), (Strings{"DATA-DEVICE-ADD 10.0.0.2 1"}));
}

TEST_F(ZorAfDataDevice, DeletingOptionsAndTheDevice)
{
    const zor_tloc_key_t a = key("10.0.0.2", 4);
    const zor_tloc_key_t b = key("10.0.0.2", 5);
    exchange(owner, {tloc_add_msg(a, 2), tloc_add_msg(b, 2)});
    // One of two options goes: nothing is sent for the device.
    EXPECT_EQ(exchange(owner, {tloc_del_msg(a)}), (Strings{"TLOC-DEL 10.0.0.2 : biz-internet : ipsec"}));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_OPT), 1u);
    // The owner's delete of the last option: each holder gets the deletion.
    EXPECT_EQ(exchange(owner, {tloc_del_msg(b)}),
              (Strings{"TLOC-DEL 10.0.0.2 : public-internet : ipsec", "DATA-DEVICE-DEL 10.0.0.2 2"}));
    EXPECT_EQ(device("10.0.0.2"), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 0u);

    // The last option removed through another client: the device stays,
    // empty and down, until its owner goes away.
    FakePeer *other = env.connect(OST_MODULE_MCASTD);
    ASSERT_NE(other, nullptr);
    exchange(owner, {tloc_add_msg(key("10.0.0.4", 4), 2)});
    exchange(other, {tloc_add_msg(key("10.0.0.4", 5), 2)});
    exchange(owner, {tloc_del_msg(key("10.0.0.4", 4))});
    EXPECT_EQ(exchange(other, {tloc_del_msg(key("10.0.0.4", 5))}),
              (Strings{"TLOC-DEL 10.0.0.4 : public-internet : ipsec"}));
    EXPECT_EQ(show("10.0.0.4"), "    System IP: 10.0.0.4, On-demand state : Unknown\n");
    env.drop(owner);
    EXPECT_EQ(exchange(other, {}), (Strings{"DATA-DEVICE-DEL 10.0.0.4 2"}));
    EXPECT_EQ(device("10.0.0.4"), nullptr);
}

TEST_F(ZorAfDataDevice, OnDemandStateGoesOntoTheDevicesTlocs)
{
    exchange(owner, {tloc_add_msg(key("10.0.0.2", 4), 2), tloc_add_msg(key("10.0.0.2", 5), 2),
                     tloc_add_msg(key("10.0.0.3", 4), 2)});
    // The inactive flags of the TLOCs the observer receives.
    auto inactive = [this](const zor_msg_t &state) {
        send(owner, {state});
        std::string out;
        for (const zor_msg_t &m : obs->take()) {
            out += zt::msg_str(m) + " " + std::to_string(m.body.tloc.inactive) + ";";
        }
        return out;
    };
    const std::string a = "TLOC-ADD 10.0.0.2 : biz-internet : ipsec ";
    const std::string b = "TLOC-ADD 10.0.0.2 : public-internet : ipsec ";
    EXPECT_EQ(inactive(zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.9", 2)), "") << "unknown device";
    EXPECT_EQ(inactive(zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 1)), a + "0;" + b + "0;");
    EXPECT_EQ(inactive(zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 1)), "") << "the same state";
    EXPECT_EQ(inactive(zt::dd_state_msg(ZOR_AF_TLOC_IPV6, "10.0.0.2", 2)), "") << "not a device of TLOC-IPV6";

    // A new TLOC of an active device starts active.
    const zor_tloc_key_t c = key("10.0.0.2", 6);
    ASSERT_FALSE(exchange(owner, {tloc_add_msg(c, 2)}).empty());
    EXPECT_EQ(zor_af_tloc_of(zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &c, nullptr))->inactive, 0u);
    // Inactive, named by the data-device family itself: all three go
    // inactive, in the device's option order. Any value but 1 counts as
    // inactive, and shows as such.
    const std::string all3 = a + "1;" + b + "1;TLOC-ADD 10.0.0.2 : lte : ipsec 1;";
    EXPECT_EQ(inactive(zt::dd_state_msg(ZOR_AF_DATA_DEVICE_IPV4, "10.0.0.2", 2)), all3);
    EXPECT_EQ(state("10.0.0.2"), "    System IP: 10.0.0.2, On-demand state : Inactive");
    EXPECT_EQ(inactive(zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 7)), all3);
    EXPECT_EQ(state("10.0.0.2"), "    System IP: 10.0.0.2, On-demand state : NOMATCH");
}

TEST_F(ZorAfDataDevice, MessagesThatNameNoDeviceAreIgnoredWithALogLine)
{
    exchange(owner, {tloc_add_msg(key("10.0.0.2", 4), 2)});
    zor_msg_t ctrl = zt::msg_of(ZOR_MSG_CTRL_DEVICE_ADD, ZOR_AF_DATA_DEVICE_IPV4);
    ctrl.body.ctrl_device.addr = ip_addr_v4(0x0a000002);
    EXPECT_EQ(zor_af_add(ZOR_AF_DATA_DEVICE_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &ctrl), nullptr);
    zor_af_delete(ZOR_AF_DATA_DEVICE_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &ctrl);
    EXPECT_EQ(zor_af_find(ZOR_AF_DATA_DEVICE_IPV4, ctx(), &ctrl, nullptr), nullptr);
    EXPECT_EQ(log.count("]: Ignored CTRL-DEVICE-ADD for family DATA-DEVICE-IPV4: it names no data device"), 3u);

    zor_msg_t odd = zt::bfd_msg(key("10.0.0.2", 4), 1);
    odd.body.bfd.key.addr.family = 0;
    EXPECT_EQ(zor_af_add(ZOR_AF_DATA_DEVICE_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &odd), nullptr);
    EXPECT_EQ(log.count("]: Ignored TLOC-BFD-STATUS for a device of address family 0"), 1u);
    zor_msg_t link = zt::dd_state_msg(ZOR_AF_LINK, "10.0.0.2", 1);
    zor_af_data_device_state_msg(ZOR_AF_LINK, ctx(), &link);
    EXPECT_EQ(log.count("]: Ignored a device state for family LINK, address family 2"), 1u);

    EXPECT_EQ(options("10.0.0.2"), "4D ");
    EXPECT_EQ(state("10.0.0.2"), "    System IP: 10.0.0.2, On-demand state : Unknown");
    EXPECT_FALSE(zor_af_data_device_is_active(nullptr));
}

}  // namespace
