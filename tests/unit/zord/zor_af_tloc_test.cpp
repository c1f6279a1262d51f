// The TLOC families on a real daemon: the filter, index allocation, create
// and update with the xfwd rules, BFD status and when it applies, status
// from paths, regions, group registration with the border bookkeeping,
// activity and the message fill. Messages come from fake peers over real
// sockets where the behaviour shows on the wire, and through the family's
// dispatcher where the state is what counts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "confd_value.h"
#include "ost_util.h"
#include "test_support.h"
#include "zor_af_data_device.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_group.h"
#include "zor_path.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::msg_strs;
using zt::tloc_add_msg;
using zt::tloc_del_msg;
using zt::tloc_key;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

zor_msg_t with_groups(zor_msg_t msg, const std::vector<uint32_t> &groups, bool border = false)
{
    zor_tloc_attr_t &a = msg.body.tloc.attr;
    a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    a.group_count = static_cast<uint16_t>(groups.size());
    for (size_t i = 0; i < groups.size(); i++) {
        a.groups[i] = groups[i];
    }
    if (border) {
        a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER);
        a.border = 1;
    }
    return msg;
}

class ZorAfTloc : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(env.init_rc(), 0); }
    void TearDown() override
    {
        g_zor_debug = 0;
        env.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_context *ctx() { return env.ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }
    // An add through the dispatcher, filter first, as the receive path does.
    t_zor_db_entry *add(uint32_t from, zor_msg_t msg)
    {
        if (!zor_af_filter(msg.family, &msg)) {
            return nullptr;
        }
        return zor_af_add(msg.family, ctx(), client(from), &msg);
    }
    void del(uint32_t from, const zor_tloc_key_t &key)
    {
        zor_msg_t msg = tloc_del_msg(key);
        zor_af_delete(msg.family, ctx(), client(from), &msg);
    }
    t_zor_db_entry *find(const zor_tloc_key_t &key)
    {
        return zor_af_tloc_find(zt::tloc_af(key), ctx(), &key, nullptr);
    }
    t_zor_af_tloc *rec(const zor_tloc_key_t &key)
    {
        t_zor_db_entry *e = find(key);
        return e != nullptr ? zor_af_tloc_of(e) : nullptr;
    }
    std::vector<uint32_t> groups_of(const zor_tloc_key_t &key)
    {
        const zor_tloc_attr_t &a = rec(key)->attr;
        return std::vector<uint32_t>(a.groups, a.groups + a.group_count);
    }
    // The members of a group as key texts; "-" when the group does not exist.
    std::string members(uint32_t group_id)
    {
        t_zor_group *g = zor_group_find(ctx(), group_id, nullptr);
        if (g == nullptr) {
            return "-";
        }
        std::string out;
        for (auto *m = static_cast<t_zor_group_tloc *>(avl_first(&g->members)); m != nullptr;
             m = static_cast<t_zor_group_tloc *>(avl_walk(&g->members, m, AVL_AFTER))) {
            char text[128];
            out += std::string(out.empty() ? "" : ", ") + tloc_to_str(&m->key, text, sizeof(text));
        }
        return out;
    }
    bool applies(const zor_tloc_key_t &key, const zor_msg_t *msg)
    {
        return zor_af_tloc_bfd_applies(ctx(), rec(key), msg);
    }

    zt::LogCapture log;
    zt::PeerEnv env;
};

TEST_F(ZorAfTloc, FilterBounds)
{
    const zor_msg_t base = tloc_add_msg(tloc_key("10.0.0.1", 4, k_ipsec), 2);
    struct {
        const char *what;
        void (*change)(zor_msg_t &);
        bool accepted;
    } cases[] = {
        {"as built", [](zor_msg_t &) {}, true},
        {"colour 0", [](zor_msg_t &m) { m.body.tloc.key.color = 0; }, false},
        {"colour 1", [](zor_msg_t &m) { m.body.tloc.key.color = 1; }, true},
        {"colour 22", [](zor_msg_t &m) { m.body.tloc.key.color = 22; }, true},
        {"colour 23", [](zor_msg_t &m) { m.body.tloc.key.color = 23; }, false},
        {"carrier 0", [](zor_msg_t &m) { m.body.tloc.attr.carrier = 0; }, false},
        {"carrier 9", [](zor_msg_t &m) { m.body.tloc.attr.carrier = 9; }, true},
        {"carrier 10", [](zor_msg_t &m) { m.body.tloc.attr.carrier = 10; }, false},
        {"weight 255", [](zor_msg_t &m) { m.body.tloc.attr.weight = 255; }, true},
        {"weight 256", [](zor_msg_t &m) { m.body.tloc.attr.weight = 256; }, false},
        // Checked whatever the presence bits say.
        {"carrier 0 without its bit",
         [](zor_msg_t &m) {
             m.body.tloc.attr.flags = 0;
             m.body.tloc.attr.carrier = 0;
         },
         false},
    };
    for (const auto &c : cases) {
        zor_msg_t m = base;
        c.change(m);
        EXPECT_EQ(zor_af_filter(m.family, &m), c.accepted) << c.what;
        EXPECT_EQ(zor_af_filter(ZOR_AF_TLOC_IPV6, &m), c.accepted) << c.what;
    }

    // Over the wire: rejected adds create and send nothing.
    FakePeer *owner = env.connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = env.connect(OST_MODULE_POLICYD);
    ASSERT_NE(obs, nullptr);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    zor_msg_t bad_weight = base;
    bad_weight.body.tloc.attr.weight = 256;
    zor_msg_t bad_colour = base;
    bad_colour.body.tloc.key.color = 23;
    zor_msg_t good = base;
    good.body.tloc.attr.carrier = 9;
    good.body.tloc.attr.weight = 255;
    for (const zor_msg_t &m : {bad_weight, bad_colour, good}) {
        ASSERT_EQ(owner->send(m), 0);
    }
    ASSERT_TRUE(env.settle());
    std::vector<zor_msg_t> got = obs->take();
    ASSERT_EQ(msg_strs(got), (Strings{"TLOC-ADD 10.0.0.1 : biz-internet : ipsec"}));
    EXPECT_EQ(got[0].body.tloc.attr.weight, 255u);
    EXPECT_EQ(got[0].body.tloc.attr.carrier, 9);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
}

TEST_F(ZorAfTloc, IndicesFromTheFirstToExhaustionAndAround)
{
    // 44 TLOCs per address: 22 colours, 2 encapsulations.
    auto key_of = [](uint32_t i) {
        zor_tloc_key_t key{};
        key.addr = ip_addr_v4(0x0a100000 + i / 44);
        key.color = static_cast<uint8_t>(1 + (i % 44) / 2);
        key.encap = static_cast<uint8_t>(1 + i % 2);
        return key;
    };
    t_zor_db_entry *first = add(OST_MODULE_CTLAGENT, tloc_add_msg(key_of(0), 2));
    t_zor_db_entry *second = add(OST_MODULE_CTLAGENT, tloc_add_msg(key_of(1), 2));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(zor_af_tloc_of(first)->index, 32770u);
    EXPECT_EQ(zor_af_tloc_of(second)->index, 32771u);

    std::vector<bool> seen(65536, false);
    seen[32770] = seen[32771] = true;
    uint32_t created = 2;
    for (uint32_t i = 2; i < 32765; i++) {
        t_zor_db_entry *e = add(OST_MODULE_CTLAGENT, tloc_add_msg(key_of(i), 2));
        ASSERT_NE(e, nullptr) << i;
        uint32_t index = zor_af_tloc_of(e)->index;
        ASSERT_GE(index, 32770u);
        ASSERT_LE(index, 65534u);
        ASSERT_FALSE(seen[index]) << index;
        seen[index] = true;
        created++;
    }
    EXPECT_EQ(created, 32765u);
    EXPECT_EQ(zor_af_tloc_of(find(key_of(32764)))->index, 65534u);
    EXPECT_EQ(ctx()->last_tloc_index, 32765u);

    // Every index is taken: the next TLOC is not created.
    EXPECT_EQ(add(OST_MODULE_CTLAGENT, tloc_add_msg(key_of(40000), 2)), nullptr);
    EXPECT_EQ(find(key_of(40000)), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 32765u);
    char text[128];
    const zor_tloc_key_t refused = key_of(40000);
    EXPECT_EQ(log.count(std::string("]: No free TLOC index: TLOC ") + tloc_to_str(&refused, text, sizeof(text)) +
                        " not created"),
              1u);

    // Released indices come back from the lowest after the wrap.
    del(OST_MODULE_CTLAGENT, key_of(1));
    del(OST_MODULE_CTLAGENT, key_of(0));
    t_zor_db_entry *again = add(OST_MODULE_CTLAGENT, tloc_add_msg(key_of(40000), 2));
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(zor_af_tloc_of(again)->index, 32770u);
    t_zor_db_entry *next = add(OST_MODULE_CTLAGENT, tloc_add_msg(key_of(40001), 2));
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(zor_af_tloc_of(next)->index, 32771u);
}

TEST_F(ZorAfTloc, AReannouncementSendsOnlyWhenSomethingChanged)
{
    FakePeer *owner = env.connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = env.connect(OST_MODULE_POLICYD);
    ASSERT_NE(obs, nullptr);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    const zor_tloc_key_t key = tloc_key("10.0.0.1", 4, k_ipsec);
    zor_msg_t msg = with_groups(tloc_add_msg(key, 2), {3});
    msg.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_QOS_GROUP) | ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BANDWIDTH);
    strcpy(msg.body.tloc.qos_group, "gold");
    msg.body.tloc.attr.bandwidth = 100;
    msg.body.tloc.lr_enabled = 1;
    msg.body.tloc.lr_hold_time = 10;
    ASSERT_EQ(owner->send(msg), 0);
    ASSERT_TRUE(env.settle());
    ASSERT_EQ(obs->take().size(), 1u);

    ASSERT_EQ(owner->send(msg), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(obs->take().empty()) << "identical: nothing is sent";

    msg.body.tloc.lr_hold_time = 5;
    ASSERT_EQ(owner->send(msg), 0);
    ASSERT_TRUE(env.settle());
    std::vector<zor_msg_t> got = obs->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body.tloc.lr_hold_time, 5u);
    EXPECT_EQ(got[0].body.tloc.lr_enabled, 1);
    EXPECT_STREQ(got[0].body.tloc.qos_group, "gold");

    // The QoS name and the bandwidth count as well.
    strcpy(msg.body.tloc.qos_group, "silver");
    ASSERT_EQ(owner->send(msg), 0);
    msg.body.tloc.attr.bandwidth = 200;
    ASSERT_EQ(owner->send(msg), 0);
    ASSERT_TRUE(env.settle());
    got = obs->take();
    ASSERT_EQ(got.size(), 1u) << "both changes in one loop run reach the client once";
    EXPECT_EQ(got[0].body.tloc.attr.bandwidth, 200u);
    EXPECT_EQ(rec(key)->bandwidth, 200u);

    // In memory every byte of the block counts, presence bit or not.
    zor_msg_t hidden = msg;
    hidden.body.tloc.attr.site_id = 77;
    ASSERT_TRUE(env.settle());
    ASSERT_EQ(add(OST_MODULE_CTLAGENT, hidden), find(key));
    EXPECT_TRUE(event_pending(ctx()->walk_event, EV_TIMEOUT, nullptr));
    EXPECT_EQ(rec(key)->attr.site_id, 77u);
}

TEST_F(ZorAfTloc, XfwdRefreshesLocalTlocsForTheirOwnerButNeverCreatesThem)
{
    const zor_tloc_key_t local = tloc_key("10.0.0.1", 4, k_ipsec);
    zor_msg_t msg = tloc_add_msg(local, 1);
    EXPECT_EQ(add(OST_MODULE_XFWD, msg), nullptr);
    EXPECT_EQ(find(local), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 0u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 0u);

    // A remote TLOC from xfwd is an ordinary one.
    const zor_tloc_key_t remote = tloc_key("10.0.0.2", 4, k_ipsec);
    t_zor_db_entry *r = add(OST_MODULE_XFWD, tloc_add_msg(remote, 2));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->client_p, client(OST_MODULE_XFWD));

    t_zor_db_entry *e = add(OST_MODULE_CTLAGENT, msg);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->client_p, client(OST_MODULE_CTLAGENT));
    EXPECT_EQ(zor_af_tloc_of(e)->index, 32771u) << "the refused TLOC took no index";

    // Re-announced by xfwd: the same entry, updated, owner kept, and the
    // message goes on as if from ctlagent_0.
    msg.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_INSTALLED);
    msg.body.tloc.attr.installed = 1;
    msg.sender = OST_MODULE_XFWD;
    EXPECT_EQ(zor_af_add(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_XFWD), &msg), e);
    EXPECT_EQ(msg.sender, 35u);
    EXPECT_STREQ(ost_module_str(msg.sender), "ctlagent_0");
    EXPECT_EQ(e->client_p, client(OST_MODULE_CTLAGENT));
    EXPECT_EQ(zor_af_tloc_of(e)->attr.installed, 1);
    // The device was created and is refreshed on behalf of the owner too.
    zor_msg_t dd{};
    dd.type = ZOR_MSG_TLOC_ADD;
    dd.body.tloc.key = local;
    t_zor_db_entry *device = zor_af_find(ZOR_AF_DATA_DEVICE_IPV4, ctx(), &dd, nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->client_p, client(OST_MODULE_CTLAGENT));

    // The TLOC family withdraws for any client.
    del(OST_MODULE_XFWD, local);
    EXPECT_EQ(find(local), nullptr);
}

TEST_F(ZorAfTloc, BfdAppliesInEachOfItsFiveSteps)
{
    const zor_tloc_key_t outside = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t inside = tloc_key("10.0.0.3", 4, k_ipsec);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(outside, 2), {5, 6})), nullptr);
    zor_msg_t up = zt::bfd_msg(outside, 1);
    zor_msg_t down = zt::bfd_msg(outside, 0);

    // 3: no local TLOC at all.
    EXPECT_TRUE(applies(outside, nullptr));
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(tloc_key("10.0.0.1", 4, k_ipsec), 1), {1, 2})),
              nullptr);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(inside, 2), {2, 3})), nullptr);
    // 4: a local TLOC in the same region.
    EXPECT_TRUE(applies(inside, nullptr));
    // 5: outside every local region only a "down" while up counts.
    EXPECT_FALSE(applies(outside, nullptr));
    EXPECT_FALSE(applies(outside, &up));
    EXPECT_EQ(rec(outside)->bfd_status, 0);
    EXPECT_FALSE(applies(outside, &down));
    rec(outside)->bfd_status = 1;
    EXPECT_TRUE(applies(outside, &down));
    EXPECT_FALSE(applies(outside, &up));
    rec(outside)->bfd_status = 0;
    // 1 and 2: advd or klxd originating links.
    for (uint32_t id : {static_cast<uint32_t>(OST_MODULE_ADVD), static_cast<uint32_t>(OST_MODULE_KLXD)}) {
        ASSERT_EQ(zor_client_register(ctx(), id, ZOR_AF_LINK, 1, 1), 0);
        EXPECT_TRUE(applies(outside, nullptr)) << id;
        EXPECT_TRUE(applies(outside, &up)) << id;
        ASSERT_EQ(zor_client_register(ctx(), id, ZOR_AF_LINK, 1, 0), 0);
        EXPECT_FALSE(applies(outside, nullptr)) << id;
    }
    // Another family's originate flag does not count.
    ASSERT_EQ(zor_client_register(ctx(), OST_MODULE_ADVD, ZOR_AF_TLOC_IPV4, 1, 1), 0);
    EXPECT_FALSE(applies(outside, nullptr));
}

TEST_F(ZorAfTloc, BfdStatusMessagesMoveTheStatusWhenTheyApply)
{
    g_zor_debug = 1;
    FakePeer *owner = env.connect(OST_MODULE_CTLAGENT);
    FakePeer *adv = env.connect(OST_MODULE_ADVD);
    FakePeer *obs = env.connect(OST_MODULE_POLICYD);
    ASSERT_NE(obs, nullptr);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    const zor_tloc_key_t outside = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t inside = tloc_key("10.0.0.3", 4, k_ipsec);
    ASSERT_EQ(owner->send(with_groups(tloc_add_msg(tloc_key("10.0.0.1", 4, k_ipsec), 1), {1})), 0);
    ASSERT_EQ(owner->send(with_groups(tloc_add_msg(outside, 2), {5})), 0);
    ASSERT_EQ(owner->send(with_groups(tloc_add_msg(inside, 2), {1})), 0);
    ASSERT_TRUE(env.settle());
    obs->take();
    auto status_sent = [&](const zor_tloc_key_t &key) -> std::string {
        std::string out;
        for (const zor_msg_t &m : obs->take()) {
            if (memcmp(&m.body.tloc.key, &key, sizeof(key)) == 0) {
                out += std::to_string(m.body.tloc.status);
            }
        }
        return out;
    };

    // Outside the region: an "up" is not taken.
    ASSERT_EQ(owner->send(zt::bfd_msg(outside, 1)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(status_sent(outside), "");
    EXPECT_EQ(rec(outside)->status, ZOR_TLOC_STATUS_DOWN);
    EXPECT_TRUE(log.contains("]: BFD message: tloc 10.0.0.2 : biz-internet : ipsec status is 1"));
    // With advd originating links, it is.
    ASSERT_EQ(adv->send_register(ZOR_AF_LINK, 1, 1), 0);
    ASSERT_EQ(owner->send(zt::bfd_msg(outside, 1)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(status_sent(outside), "1");
    EXPECT_EQ(rec(outside)->bfd_status, 1);
    // advd stops: a "down" is still taken while the TLOC is up, not after.
    ASSERT_EQ(adv->send_register(ZOR_AF_LINK, 1, 0), 0);
    ASSERT_EQ(owner->send(zt::bfd_msg(outside, 0)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(status_sent(outside), "2");
    ASSERT_EQ(owner->send(zt::bfd_msg(outside, 1)), 0);
    ASSERT_EQ(owner->send(zt::bfd_msg(outside, 0)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(status_sent(outside), "");

    // Inside the region every change is taken; the same state twice is none.
    for (uint32_t state : {1u, 1u, 2u, 0u}) {
        ASSERT_EQ(owner->send(zt::bfd_msg(inside, state)), 0);
        ASSERT_TRUE(env.settle());
    }
    EXPECT_EQ(rec(inside)->status, ZOR_TLOC_STATUS_DOWN);
    ASSERT_EQ(owner->send(zt::bfd_msg(inside, 2)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(rec(inside)->status, ZOR_TLOC_STATUS_NO_PATH);
    EXPECT_EQ(status_sent(inside), "1323");

    // An unknown TLOC: one debug line, nothing else.
    ASSERT_EQ(owner->send(zt::bfd_msg(tloc_key("10.0.0.9", 4, k_ipsec), 1)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(log.contains("]: \n BFD message: tloc 10.0.0.9 : biz-internet : ipsec not found"));
    EXPECT_TRUE(obs->take().empty());
}

TEST_F(ZorAfTloc, StatusFromPathsAndPathDescriptors)
{
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(tloc_key("10.0.0.1", 4, k_ipsec), 1), {1})), nullptr);
    const zor_tloc_key_t outside = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t inside = tloc_key("10.0.0.3", 4, k_ipsec);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(outside, 2), {5})), nullptr);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(inside, 2), {1})), nullptr);
    t_zor_af_tloc *out = rec(outside);
    t_zor_af_tloc *in = rec(inside);

    // No path, outside every local region: no-path.
    zor_af_tloc_status_from_paths(ctx(), out);
    EXPECT_EQ(out->bfd_status, ZOR_BFD_STATE_NO_PATH);
    EXPECT_EQ(out->status, ZOR_TLOC_STATUS_NO_PATH);
    // Inside a region BFD decides.
    zor_af_tloc_status_from_paths(ctx(), in);
    EXPECT_EQ(in->bfd_status, 0);
    EXPECT_EQ(in->status, ZOR_TLOC_STATUS_DOWN);

    // Paths built by hand: the best ones go into the add message.
    t_zor_af_link links[4] = {};
    for (uint32_t i = 0; i < 4; i++) {
        links[i].local_index = 32770 + i;
        links[i].remote_index = 32800 + i;
        links[i].label = 40000 + i;
    }
    t_zor_path paths[10] = {};
    for (int i = 0; i < 10; i++) {
        paths[i].status = ZOR_PATH_STATUS_UP;
        paths[i].flags = ZOR_PATH_FLAG_BEST;
        paths[i].mtu = 1400 + static_cast<uint32_t>(i);
        paths[i].link_count = i == 1 ? 3 : 2;
        paths[i].links[0].link_p = &links[0];
        paths[i].links[1].link_p = &links[1];
        paths[i].links[2].link_p = &links[2];
        paths[i].next_p = i < 9 ? &paths[i + 1] : nullptr;
    }
    out->path_list = &paths[0];
    zor_af_tloc_status_from_paths(ctx(), out);
    EXPECT_EQ(out->bfd_status, ZOR_BFD_STATE_UP);
    EXPECT_EQ(out->status, ZOR_TLOC_STATUS_UP);

    zor_msg_t msg{};
    zor_af_fill_msg(ZOR_AF_TLOC_IPV4, out->entry_p, &msg, 0);
    const zor_msg_tloc_t &t = msg.body.tloc;
    EXPECT_EQ(t.path_count, 8) << "at most eight";
    EXPECT_EQ(t.paths[0].local_index, 32770u);
    EXPECT_EQ(t.paths[0].border_index, 32800u);
    EXPECT_EQ(t.paths[0].mtu, 1400u);
    EXPECT_EQ(t.paths[0].label_count, 1);
    EXPECT_EQ(t.paths[0].labels[0], 40001u);
    EXPECT_EQ(t.paths[1].label_count, 2);
    EXPECT_EQ(t.paths[1].labels[0], 40001u);
    EXPECT_EQ(t.paths[1].labels[1], 40002u);
    EXPECT_EQ(t.paths[7].mtu, 1407u);
    EXPECT_EQ(t.key.addr.u.v4, outside.addr.u.v4);
    EXPECT_EQ(t.origin, 2);
    EXPECT_EQ(t.index, out->index);
    EXPECT_EQ(t.status, ZOR_TLOC_STATUS_UP);
    EXPECT_EQ(t.inactive, 1u);
    EXPECT_EQ(t.attr.groups[0], 5u);
    // A path that is not best ends the descriptors; so does a down one.
    paths[3].flags = 0;
    msg = zor_msg_t{};
    zor_af_fill_msg(ZOR_AF_TLOC_IPV4, out->entry_p, &msg, 0);
    EXPECT_EQ(msg.body.tloc.path_count, 3);
    paths[2].status = ZOR_PATH_STATUS_DOWN;
    msg = zor_msg_t{};
    zor_af_fill_msg(ZOR_AF_TLOC_IPV4, out->entry_p, &msg, 0);
    EXPECT_EQ(msg.body.tloc.path_count, 2);
    // The key-only form has no attributes and no paths.
    msg = zor_msg_t{};
    zor_af_fill_msg(ZOR_AF_TLOC_IPV4, out->entry_p, &msg, 1);
    EXPECT_EQ(msg.body.tloc.path_count, 0);
    EXPECT_EQ(msg.body.tloc.attr.flags, 0u);
    EXPECT_EQ(msg.body.tloc.index, out->index);

    // The best path down: BFD state 0.
    paths[0].status = ZOR_PATH_STATUS_DOWN;
    zor_af_tloc_status_from_paths(ctx(), out);
    EXPECT_EQ(out->bfd_status, ZOR_BFD_STATE_DOWN);
    EXPECT_EQ(out->status, ZOR_TLOC_STATUS_DOWN);

    // A best path of one link is a programming error.
    paths[0].status = ZOR_PATH_STATUS_UP;
    paths[0].link_count = 1;
    zt::ChildResult r = zt::run_in_child([&] {
        zor_msg_t m{};
        zor_af_fill_msg(ZOR_AF_TLOC_IPV4, out->entry_p, &m, 0);
    });
    EXPECT_FALSE(r.exited);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("zord/zor_af_tloc:[0-9]+: failed assertion `path_p->link_count > 1'\n")))
        << r.out;
    out->path_list = nullptr;
}

TEST_F(ZorAfTloc, RegionOverlap)
{
    auto attr = [](std::vector<uint32_t> groups, bool border) {
        zor_tloc_attr_t a{};
        a.group_count = static_cast<uint16_t>(groups.size());
        for (size_t i = 0; i < groups.size(); i++) {
            a.groups[i] = groups[i];
        }
        a.border = border ? 1 : 0;
        return a;
    };
    struct {
        zor_tloc_attr_t a;
        zor_tloc_attr_t b;
        bool overlap;
    } cases[] = {
        {attr({}, false), attr({}, false), true},
        {attr({0}, false), attr({5}, false), true},
        {attr({5}, false), attr({0}, false), true},
        {attr({0}, true), attr({5}, false), false},  // group 0 of a border TLOC is no wildcard
        {attr({1}, true), attr({1}, false), false},
        {attr({1}, true), attr({2}, true), true},
        {attr({1, 2}, false), attr({2, 3}, false), true},
        {attr({1, 2}, false), attr({3}, false), false},
        {attr({0, 1}, false), attr({0, 2}, false), false},
        {attr({}, false), attr({3}, false), false},
    };
    int i = 0;
    for (const auto &c : cases) {
        EXPECT_EQ(zor_groups_overlap(&c.a, &c.b), c.overlap) << "case " << i;
        EXPECT_EQ(zor_groups_overlap(&c.b, &c.a), c.overlap) << "case " << i << " reversed";
        i++;
    }
    // Presence bits are not looked at; a count above the list is read as 9.
    zor_tloc_attr_t big = attr({1, 2, 3, 4, 5, 6, 7, 8, 9}, false);
    big.group_count = 500;
    EXPECT_TRUE(zor_groups_overlap(&big, &cases[6].b));
}

TEST_F(ZorAfTloc, GroupRegistrationAndBorderBookkeeping)
{
    const zor_tloc_key_t r1 = tloc_key("10.9.0.1", 4, k_ipsec);
    const zor_tloc_key_t r2 = tloc_key("10.9.0.2", 4, k_ipsec);
    const zor_tloc_key_t l1 = tloc_key("10.0.0.1", 1, k_ipsec);
    const zor_tloc_key_t l2 = tloc_key("10.0.0.1", 2, k_ipsec);
    const zor_tloc_key_t b = tloc_key("10.0.0.1", 4, k_ipsec);
    const zor_tloc_key_t l9 = tloc_key("10.0.0.1", 5, k_ipsec);

    // Remote: registered only with group 0 among two or more groups.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(r1, 2), {0, 5, 6})), nullptr);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(r2, 2), {5, 7})), nullptr);
    EXPECT_EQ(members(5), "10.9.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(6), "10.9.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(7), "-");
    EXPECT_EQ(members(0), "-");
    del(OST_MODULE_CTLAGENT, r1);
    EXPECT_EQ(members(5), "-");

    // Local without a border TLOC on the device: not registered.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(l1, 1), {1})), nullptr);
    EXPECT_EQ(groups_of(l1), (std::vector<uint32_t>{1}));
    EXPECT_EQ(members(1), "-");
    EXPECT_EQ(ctx()->local_border_count, 0);

    // The first local border TLOC joins, and brings the others with it.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(b, 1), {1, 2}, true)), nullptr);
    EXPECT_EQ(ctx()->local_border_count, 1);
    EXPECT_EQ(groups_of(b), (std::vector<uint32_t>{0, 1, 2}));
    EXPECT_EQ(groups_of(l1), (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(members(1), "10.0.0.1 : default : ipsec, 10.0.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(2), "10.0.0.1 : biz-internet : ipsec");

    // While a border TLOC is there, a new local TLOC joins at once.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(l2, 1), {3})), nullptr);
    EXPECT_EQ(groups_of(l2), (std::vector<uint32_t>{0, 3}));
    EXPECT_EQ(members(3), "10.0.0.1 : mpls : ipsec");

    // Nine groups leave no room for group 0: not registered, list unchanged.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(l9, 1), {11, 12, 13, 14, 15, 16, 17, 18, 19})),
              nullptr);
    EXPECT_EQ(groups_of(l9), (std::vector<uint32_t>{11, 12, 13, 14, 15, 16, 17, 18, 19}));
    EXPECT_EQ(members(11), "-");
    EXPECT_EQ(log.count("]: TLOC 10.0.0.1 : public-internet : ipsec has 9 groups, no room for group 0: not registered "
                        "in its groups"),
              1u);

    // A change of groups leaves the old ones and joins the new.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(l1, 1), {4})), nullptr);
    EXPECT_EQ(groups_of(l1), (std::vector<uint32_t>{0, 4}));
    EXPECT_EQ(members(1), "10.0.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(4), "10.0.0.1 : default : ipsec");

    // The last border TLOC goes: everybody leaves.
    del(OST_MODULE_CTLAGENT, b);
    EXPECT_EQ(ctx()->local_border_count, 0);
    EXPECT_EQ(groups_of(l1), (std::vector<uint32_t>{4}));
    EXPECT_EQ(groups_of(l2), (std::vector<uint32_t>{3}));
    EXPECT_EQ(groups_of(l9), (std::vector<uint32_t>{11, 12, 13, 14, 15, 16, 17, 18, 19}));
    for (uint32_t g : {1u, 2u, 3u, 4u}) {
        EXPECT_EQ(members(g), "-") << g;
    }
    EXPECT_EQ(avl_numnodes(ctx()->group_db), 0u);

    // Without the GROUP bit, or on Solon, nothing is registered.
    zor_msg_t no_bit = with_groups(tloc_add_msg(r1, 2), {0, 8, 9});
    no_bit.body.tloc.attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, no_bit), nullptr);
    EXPECT_EQ(members(8), "-");
    env.daemon()->personality = ZOR_PERSONALITY_SOLON;
    ASSERT_NE(add(OST_MODULE_CTLAGENT, with_groups(tloc_add_msg(tloc_key("10.9.0.3", 4, k_ipsec), 2), {0, 8})),
              nullptr);
    EXPECT_EQ(members(8), "-");
}

TEST_F(ZorAfTloc, InitialStateActivityAndOperationalKeys)
{
    const zor_tloc_key_t remote = tloc_key("10.0.0.2", 4, k_ipsec);
    const zor_tloc_key_t local = tloc_key("10.0.0.1", 4, k_ipsec);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(remote, 2)), nullptr);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(local, 1)), nullptr);
    EXPECT_EQ(rec(remote)->status, ZOR_TLOC_STATUS_DOWN);
    EXPECT_EQ(rec(remote)->bfd_status, 0);
    EXPECT_EQ(rec(remote)->inactive, 1u);
    EXPECT_EQ(rec(local)->status, ZOR_TLOC_STATUS_UP);
    EXPECT_EQ(rec(local)->bfd_status, 1);
    EXPECT_EQ(rec(local)->inactive, 0u);
    EXPECT_EQ(avl_numnodes(ctx()->local_tloc_db_p), 1u);

    // On Solon every TLOC is up and active from the start.
    env.daemon()->personality = ZOR_PERSONALITY_SOLON;
    const zor_tloc_key_t solon = tloc_key("10.0.0.3", 4, k_ipsec);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(solon, 2)), nullptr);
    EXPECT_EQ(rec(solon)->status, ZOR_TLOC_STATUS_UP);
    EXPECT_EQ(rec(solon)->inactive, 0u);

    g_zor_debug = 1;
    zor_af_tloc_set_activity(ctx(), &remote, true);
    EXPECT_EQ(rec(remote)->inactive, 0u);
    EXPECT_TRUE(log.contains("]: TLOC 10.0.0.2 : biz-internet : ipsec, state set: Active"));
    zor_af_tloc_set_activity(ctx(), &remote, false);
    EXPECT_EQ(rec(remote)->inactive, 1u);
    EXPECT_TRUE(log.contains("]: TLOC 10.0.0.2 : biz-internet : ipsec, state set: Inactive"));
    const zor_tloc_key_t unknown = tloc_key("10.0.0.9", 4, k_ipsec);
    zor_af_tloc_set_activity(ctx(), &unknown, true);
    EXPECT_EQ(find(unknown), nullptr);

    confd_value_t keys[3] = {};
    zor_af_tloc_oper_keys(find(remote), keys);
    EXPECT_EQ(keys[0].type, static_cast<uint32_t>(C_IPV4));
    EXPECT_EQ(keys[0].val.ip.s_addr, inet_addr("10.0.0.2"));
    EXPECT_EQ(keys[1].type, static_cast<uint32_t>(C_ENUM_VALUE));
    EXPECT_EQ(keys[1].val.enumvalue, 4);
    EXPECT_EQ(keys[2].val.enumvalue, 2);
    const zor_tloc_key_t v6 = tloc_key("2001:db8::7", 9, OST_ENCAP_GRE);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(v6, 2)), nullptr);
    zor_af_tloc_oper_keys(find(v6), keys);
    EXPECT_EQ(keys[0].type, static_cast<uint32_t>(C_IPV6));
    EXPECT_EQ(memcmp(&keys[0].val.ip6, v6.addr.u.v6, 16), 0);
    EXPECT_EQ(keys[1].val.enumvalue, 9);
    EXPECT_EQ(keys[2].val.enumvalue, 1);
}

TEST_F(ZorAfTloc, KeyOrderAndTheTreesThatHoldThem)
{
    const zor_tloc_key_t keys[] = {
        tloc_key("10.0.0.1", 1, 1),    tloc_key("10.0.0.1", 1, 2),    tloc_key("10.0.0.1", 2, 1),
        tloc_key("10.0.0.2", 1, 1),    tloc_key("192.168.0.1", 1, 1), tloc_key("2001:db8::1", 1, 1),
        tloc_key("2001:db8::2", 1, 1),
    };
    for (size_t i = 0; i + 1 < std::size(keys); i++) {
        EXPECT_LT(zor_af_tloc_key_cmp(&keys[i], &keys[i + 1]), 0) << i;
        EXPECT_GT(zor_af_tloc_key_cmp(&keys[i + 1], &keys[i]), 0) << i;
        EXPECT_EQ(zor_af_tloc_key_cmp(&keys[i], &keys[i]), 0) << i;
    }
    // Any address family orders without stopping the daemon.
    zor_tloc_key_t odd{};
    EXPECT_LT(zor_af_tloc_key_cmp(&odd, &keys[0]), 0) << "family 0 before IPv4";
    odd.addr.family = 99;
    EXPECT_GT(zor_af_tloc_key_cmp(&odd, &keys[6]), 0) << "family 99 after IPv6";
    EXPECT_FALSE(zor_af_tloc_key_fits(ZOR_AF_TLOC_IPV4, &odd));
    EXPECT_FALSE(zor_af_tloc_key_fits(ZOR_AF_TLOC_IPV6, &keys[0]));
    EXPECT_TRUE(zor_af_tloc_key_fits(ZOR_AF_TLOC_IPV6, &keys[5]));
    EXPECT_EQ(zor_af_tloc_find(ZOR_AF_LINK, ctx(), &keys[0], nullptr), nullptr);

    // The tree of local TLOCs is one for both families.
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(keys[5], 1)), nullptr);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(keys[0], 1)), nullptr);
    ASSERT_NE(add(OST_MODULE_CTLAGENT, tloc_add_msg(keys[3], 2)), nullptr);
    EXPECT_EQ(avl_numnodes(ctx()->local_tloc_db_p), 2u);
    auto *first = static_cast<t_zor_db_entry *>(avl_first(ctx()->local_tloc_db_p));
    EXPECT_EQ(first->family, ZOR_AF_TLOC_IPV4);
    EXPECT_EQ(avl_numnodes(ctx()->trees[ZOR_AF_TLOC_IPV6]), 1u);
    del(OST_MODULE_CTLAGENT, keys[5]);
    EXPECT_EQ(avl_numnodes(ctx()->local_tloc_db_p), 1u);
}

TEST_F(ZorAfTloc, ALocalTlocAlreadyInTheLocalTreeIsAProgrammingError)
{
    const zor_tloc_key_t key = tloc_key("10.0.0.1", 4, k_ipsec);
    zt::ChildResult r = zt::run_in_child([&] {
        // A stray entry with the key, left in the local tree by mistake.
        static t_zor_af_tloc stray{};
        static t_zor_db_entry entry{};
        stray.key = key;
        entry.record = &stray;
        avl_index_t where = 0;
        avl_find(ctx()->local_tloc_db_p, &entry, &where);
        avl_insert(ctx()->local_tloc_db_p, &entry, where);
        add(OST_MODULE_CTLAGENT, tloc_add_msg(key, 1));
    });
    EXPECT_FALSE(r.exited);
    EXPECT_TRUE(std::regex_match(
        r.out, std::regex("zord/zor_af_tloc:[0-9]+: failed assertion `avl_find\\(ctx_p->local_tloc_db_p, db_entry_p, "
                          "&where\\) == \\(\\(void \\*\\)0\\)'\n")))
        << r.out;
}

}  // namespace
