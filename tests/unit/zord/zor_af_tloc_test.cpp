// The TLOC families on a real daemon: the filter, index allocation, create
// and update with the xfwd rules, BFD status and when it applies, status
// from paths, regions, group registration with the border bookkeeping, the
// links a TLOC gets, activity and the message fill. Messages come from fake
// peers over real sockets where the behaviour shows on the wire, and through
// the family's dispatcher where the state is what counts.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "confd_value.h"
#include "ost_util.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_group.h"
#include "zor_path.h"

namespace {

using Strings = std::vector<std::string>;
using Groups = std::vector<uint32_t>;
using zt::FakePeer;
using zt::msg_strs;
using zt::tloc_add_msg;

// TLOC 10.0.0.<n> : biz-internet : ipsec.
zor_tloc_key_t key(int n, uint8_t color = 4)
{
    return zt::tloc_key("10.0.0." + std::to_string(n), color, OST_ENCAP_IPSEC);
}

zor_msg_t with_groups(zor_msg_t msg, const Groups &groups, bool border = false)
{
    zor_tloc_attr_t &a = msg.body.tloc.attr;
    a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    a.group_count = static_cast<uint16_t>(groups.size());
    std::copy(groups.begin(), groups.end(), a.groups);
    if (border) {
        a.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER);
        a.border = 1;
    }
    return msg;
}

class ZorAfTloc : public zt::PeerFixture {
protected:
    // An add through the dispatcher, filter first, as the receive path does.
    t_zor_db_entry *add(zor_msg_t msg, uint32_t from = OST_MODULE_CTLAGENT)
    {
        return zor_af_filter(msg.family, &msg) ? zor_af_add(msg.family, ctx(), client(from), &msg) : nullptr;
    }
    void del(const zor_tloc_key_t &k, uint32_t from = OST_MODULE_CTLAGENT)
    {
        zor_msg_t msg = zt::tloc_del_msg(k);
        zor_af_delete(msg.family, ctx(), client(from), &msg);
    }
    Groups groups_of(const zor_tloc_key_t &k)
    {
        const zor_tloc_attr_t &a = rec(k)->attr;
        return Groups(a.groups, a.groups + a.group_count);
    }
    // The members of a group as key texts; "-" when the group does not exist.
    std::string members(uint32_t group_id)
    {
        t_zor_group *g = zor_group_find(ctx(), group_id, nullptr);
        if (g == nullptr) {
            return "-";
        }
        std::string out;
        char text[128];
        for (auto *m = static_cast<t_zor_group_tloc *>(avl_first(&g->members)); m != nullptr;
             m = static_cast<t_zor_group_tloc *>(avl_walk(&g->members, m, AVL_AFTER))) {
            out += std::string(out.empty() ? "" : ", ") + tloc_to_str(&m->key, text, sizeof(text));
        }
        return out;
    }
    bool applies(const zor_tloc_key_t &k, const zor_msg_t *msg) { return zor_af_tloc_bfd_applies(ctx(), rec(k), msg); }
};

TEST(ZorAfTlocFilter, ColourCarrierAndWeightBoundsWhateverThePresenceBits)
{
    const struct {
        uint8_t color;
        uint8_t carrier;
        uint32_t weight;
        bool accepted;
    } cases[] = {{1, 1, 0, true},   {22, 9, 255, true}, {0, 1, 0, false},
                 {23, 1, 0, false}, {4, 0, 0, false},   {4, 10, 0, false}, {4, 1, 256, false}};
    for (const auto &c : cases) {
        zor_msg_t m = tloc_add_msg(key(1, c.color), 2);
        m.body.tloc.attr.flags = 0;
        m.body.tloc.attr.carrier = c.carrier;
        m.body.tloc.attr.weight = c.weight;
        for (zor_af_t af : {ZOR_AF_TLOC_IPV4, ZOR_AF_TLOC_IPV6}) {
            EXPECT_EQ(zor_af_tloc_filter(af, &m), c.accepted) << int{c.color} << " " << int{c.carrier} << " " << c.weight;
        }
    }
}

TEST_F(ZorAfTloc, IndicesFromTheFirstToExhaustionAndAround)
{
    // 44 TLOCs per address: 22 colours, 2 encapsulations.
    auto key_of = [](uint32_t i) {
        zor_tloc_key_t k{};
        k.addr = ip_addr_v4(0x0a100000 + i / 44);
        k.color = static_cast<uint8_t>(1 + (i % 44) / 2);
        k.encap = static_cast<uint8_t>(1 + i % 2);
        return k;
    };
    for (uint32_t i = 0; i < 32765; i++) {
        t_zor_db_entry *e = add(tloc_add_msg(key_of(i), 2));
        ASSERT_NE(e, nullptr) << i;
        const uint32_t index = zor_af_tloc_of(e)->index;
        ASSERT_EQ(index, 32770 + i) << "each next one the next higher";
    }
    EXPECT_EQ(ctx()->last_tloc_index, 32765u);

    // Every index is taken: the next TLOC is not created.
    const zor_tloc_key_t refused = key_of(40000);
    EXPECT_EQ(add(tloc_add_msg(refused, 2)), nullptr);
    EXPECT_EQ(tloc(refused), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 32765u);
    char text[128];
    EXPECT_EQ(log.count(std::string("]: No free TLOC index: TLOC ") + tloc_to_str(&refused, text, sizeof(text)) +
                        " not created"),
              1u);

    // Released indices come back from the lowest after the wrap.
    del(key_of(1));
    del(key_of(0));
    EXPECT_EQ(zor_af_tloc_of(add(tloc_add_msg(refused, 2)))->index, 32770u);
    EXPECT_EQ(zor_af_tloc_of(add(tloc_add_msg(key_of(40001), 2)))->index, 32771u);
}

TEST_F(ZorAfTloc, AReannouncementSendsOnlyWhenSomethingChanged)
{
    FakePeer *obs = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4});
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    zor_msg_t msg = with_groups(tloc_add_msg(key(1), 2), {3});
    msg.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_QOS_GROUP) | ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BANDWIDTH);
    strcpy(msg.body.tloc.qos_group, "gold");
    msg.body.tloc.attr.bandwidth = 100;
    msg.body.tloc.lr_enabled = 1;
    msg.body.tloc.lr_hold_time = 10;
    send(owner, {msg});
    ASSERT_EQ(obs->take().size(), 1u);
    send(owner, {msg});
    EXPECT_TRUE(obs->take().empty()) << "identical: nothing is sent";

    msg.body.tloc.lr_hold_time = 5;
    send(owner, {msg});
    std::vector<zor_msg_t> got = obs->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body.tloc.lr_hold_time, 5u);
    EXPECT_STREQ(got[0].body.tloc.qos_group, "gold");

    // The QoS name and the bandwidth count as well; two changes in one loop
    // run reach the client once.
    zor_msg_t qos = msg;
    strcpy(qos.body.tloc.qos_group, "silver");
    msg.body.tloc.attr.bandwidth = 200;
    send(owner, {qos, msg});
    got = obs->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body.tloc.attr.bandwidth, 200u);

    // In memory every byte of the block counts, presence bit or not (the
    // codec carries only the fields whose bit is set).
    msg.body.tloc.attr.site_id = 77;
    EXPECT_EQ(add(msg), tloc(key(1)));
    EXPECT_TRUE(event_pending(ctx()->walk_event, EV_TIMEOUT, nullptr));
    EXPECT_EQ(rec(key(1))->attr.site_id, 77u);
}

TEST_F(ZorAfTloc, XfwdRefreshesLocalTlocsForTheirOwnerButNeverCreatesThem)
{
    zor_msg_t msg = tloc_add_msg(key(1), 1);
    EXPECT_EQ(add(msg, OST_MODULE_XFWD), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 0u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 0u);
    // A remote TLOC from xfwd is an ordinary one.
    EXPECT_EQ(add(tloc_add_msg(key(2), 2), OST_MODULE_XFWD)->client_p, client(OST_MODULE_XFWD));

    t_zor_db_entry *e = add(msg);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(zor_af_tloc_of(e)->index, 32771u) << "the refused TLOC took no index";
    // Re-announced by xfwd: the same entry, updated, owner kept, and the
    // message goes on as if from ctlagent_0.
    msg.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_INSTALLED);
    msg.body.tloc.attr.installed = 1;
    msg.sender = OST_MODULE_XFWD;
    EXPECT_EQ(zor_af_add(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_XFWD), &msg), e);
    EXPECT_STREQ(ost_module_str(msg.sender), "ctlagent_0");
    EXPECT_EQ(e->client_p, client(OST_MODULE_CTLAGENT));
    EXPECT_EQ(zor_af_tloc_of(e)->attr.installed, 1);
    // The device is refreshed on behalf of the owner too.
    t_zor_db_entry *device = zor_af_find(ZOR_AF_DATA_DEVICE_IPV4, ctx(), &msg, nullptr);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->client_p, client(OST_MODULE_CTLAGENT));
    // The TLOC family withdraws for any client.
    del(key(1), OST_MODULE_XFWD);
    EXPECT_EQ(tloc(key(1)), nullptr);
}

TEST_F(ZorAfTloc, BfdStatusMessagesMoveTheStatusWhenTheyApply)
{
    g_zor_debug = 1;
    FakePeer *obs = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4});
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    const zor_tloc_key_t outside = key(2);
    const zor_tloc_key_t inside = key(3);
    send(owner, {with_groups(tloc_add_msg(outside, 2), {5, 6})});
    EXPECT_TRUE(applies(outside, nullptr)) << "no local TLOC at all";
    send(owner, {with_groups(tloc_add_msg(key(1), 1), {1, 2}), with_groups(tloc_add_msg(inside, 2), {2, 3})});
    EXPECT_TRUE(applies(inside, nullptr)) << "a local TLOC in the same region";
    EXPECT_FALSE(applies(outside, nullptr));
    obs->take();
    auto statuses_sent = [&] {
        std::string out;
        for (const zor_msg_t &m : obs->take()) {
            out += std::to_string(m.body.tloc.status);
        }
        return out;
    };
    // Outside every local region an "up" is not taken, a "down" only while up.
    send(owner, {zt::bfd_msg(outside, 1), zt::bfd_msg(outside, 0)});
    EXPECT_EQ(statuses_sent(), "");
    EXPECT_TRUE(log.contains("]: BFD message: tloc 10.0.0.2 : biz-internet : ipsec status is 1"));
    const zor_msg_t up = zt::bfd_msg(outside, 1);
    const zor_msg_t down = zt::bfd_msg(outside, 0);
    EXPECT_FALSE(applies(outside, &down)) << "a down while down, which the wire cannot show";
    rec(outside)->bfd_status = 1;
    EXPECT_FALSE(applies(outside, &up));
    send(owner, {zt::bfd_msg(outside, 0)});
    EXPECT_EQ(statuses_sent(), "2");

    // Inside the region every change is taken; the same state twice is none.
    for (uint32_t state : {1u, 1u, 2u, 0u}) {
        send(owner, {zt::bfd_msg(inside, state)});
    }
    EXPECT_EQ(statuses_sent(), "132");
    EXPECT_EQ(rec(inside)->bfd_status, 0);

    // An unknown TLOC: one debug line, nothing else.
    send(owner, {zt::bfd_msg(key(9), 1)});
    EXPECT_TRUE(log.contains("]: \n BFD message: tloc 10.0.0.9 : biz-internet : ipsec not found"));
    EXPECT_TRUE(obs->take().empty());

    // advd or klxd originating links: always; another family's flag: no.
    for (uint32_t id : {uint32_t{OST_MODULE_ADVD}, uint32_t{OST_MODULE_KLXD}}) {
        ASSERT_EQ(zor_client_register(ctx(), id, ZOR_AF_LINK, 1, 1), 0);
        EXPECT_TRUE(applies(outside, &up)) << id;
        ASSERT_EQ(zor_client_register(ctx(), id, ZOR_AF_LINK, 1, 0), 0);
        EXPECT_FALSE(applies(outside, nullptr)) << id;
    }
    ASSERT_EQ(zor_client_register(ctx(), OST_MODULE_ADVD, ZOR_AF_TLOC_IPV4, 1, 1), 0);
    EXPECT_FALSE(applies(outside, nullptr));
}

// How paths are built and which are best is the path tests' business; here
// what of a path list goes into the add message.
TEST_F(ZorAfTloc, PathDescriptorsInTheAddMessage)
{
    ASSERT_NE(add(with_groups(tloc_add_msg(key(2), 2), {5})), nullptr);
    t_zor_af_tloc *r = rec(key(2));
    t_zor_af_link links[3] = {};
    for (uint32_t i = 0; i < 3; i++) {
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
        for (int l = 0; l < 3; l++) {
            paths[i].links[l].link_p = &links[l];
        }
        paths[i].next_p = i < 9 ? &paths[i + 1] : nullptr;
    }
    r->path_list = &paths[0];
    auto fill = [&](uint8_t key_only) {
        zor_msg_t msg{};
        zor_af_fill_msg(ZOR_AF_TLOC_IPV4, r->entry_p, &msg, key_only);
        return msg.body.tloc;
    };
    zor_msg_tloc_t t = fill(0);
    EXPECT_EQ(t.path_count, 8) << "at most eight";
    EXPECT_EQ(std::vector<uint32_t>({t.paths[0].local_index, t.paths[0].border_index, t.paths[0].mtu,
                                     t.paths[0].label_count, t.paths[0].labels[0]}),
              std::vector<uint32_t>({32770, 32800, 1400, 1, 40001}));
    EXPECT_EQ(std::vector<uint32_t>({t.paths[1].label_count, t.paths[1].labels[0], t.paths[1].labels[1]}),
              std::vector<uint32_t>({2, 40001, 40002}));
    EXPECT_EQ(t.paths[7].mtu, 1407u);
    EXPECT_EQ(t.attr.groups[0], 5u);
    // A path that is not best ends the descriptors; so does a down one.
    paths[3].flags = 0;
    EXPECT_EQ(fill(0).path_count, 3);
    paths[2].status = ZOR_PATH_STATUS_DOWN;
    EXPECT_EQ(fill(0).path_count, 2);
    // The key-only form: key, origin, status, inactive, index; nothing else.
    t = fill(1);
    EXPECT_EQ(std::vector<uint32_t>({t.origin, t.status, t.inactive, t.index, t.path_count}),
              std::vector<uint32_t>({2, r->status, 1, r->index, 0}));
    EXPECT_EQ(t.attr.flags, 0u);

    // A best path of one link is a programming error.
    paths[0].link_count = 1;
    EXPECT_TRUE(zt::stops_on_assertion([&] { fill(0); }, "zord/zor_af_tloc", "path_p->link_count > 1"));
    r->path_list = nullptr;
}

TEST_F(ZorAfTloc, RegionOverlap)
{
    auto attr = [](Groups groups, bool border) {
        return with_groups(zor_msg_t{}, groups, border).body.tloc.attr;
    };
    struct {
        zor_tloc_attr_t a;
        zor_tloc_attr_t b;
        bool overlap;
    } cases[] = {
        {attr({}, false), attr({}, false), true},
        {attr({0}, false), attr({5}, false), true},
        {attr({0}, true), attr({5}, false), false},  // group 0 of a border TLOC is no wildcard
        {attr({1}, true), attr({1}, false), false},
        {attr({1}, true), attr({2}, true), true},
        {attr({1, 2}, false), attr({2, 3}, false), true},
        {attr({1, 2}, false), attr({3}, false), false},
        {attr({0, 1}, false), attr({0, 2}, false), false},
        {attr({}, false), attr({3}, false), false},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        EXPECT_EQ(zor_groups_overlap(&cases[i].a, &cases[i].b), cases[i].overlap) << i;
        EXPECT_EQ(zor_groups_overlap(&cases[i].b, &cases[i].a), cases[i].overlap) << i << " reversed";
    }
    // Presence bits are not looked at; a count above the list is read as 9.
    zor_tloc_attr_t big = attr({1, 2, 3, 4, 5, 6, 7, 8, 9}, false);
    big.group_count = 500;
    big.flags = 0;
    EXPECT_TRUE(zor_groups_overlap(&big, &cases[5].b));
}

TEST_F(ZorAfTloc, GroupRegistrationAndBorderBookkeeping)
{
    const zor_tloc_key_t r1 = zt::tloc_key("10.9.0.1", 4, OST_ENCAP_IPSEC);
    const zor_tloc_key_t l1 = key(1, 1);
    const zor_tloc_key_t l2 = key(1, 2);
    const zor_tloc_key_t b = key(1, 4);
    const zor_tloc_key_t l9 = key(1, 5);

    // Remote: registered only with group 0 among two or more groups.
    ASSERT_NE(add(with_groups(tloc_add_msg(r1, 2), {0, 5, 6})), nullptr);
    ASSERT_NE(add(with_groups(tloc_add_msg(zt::tloc_key("10.9.0.2", 4, OST_ENCAP_IPSEC), 2), {5, 7})), nullptr);
    EXPECT_EQ(members(5), "10.9.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(6), "10.9.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(7), "-");
    EXPECT_EQ(members(0), "-");
    del(r1);
    EXPECT_EQ(members(5), "-");

    // Local without a border TLOC on the device: not registered.
    ASSERT_NE(add(with_groups(tloc_add_msg(l1, 1), {1})), nullptr);
    EXPECT_EQ(groups_of(l1), (Groups{1}));
    EXPECT_EQ(members(1), "-");
    // The first local border TLOC joins, and brings the others with it.
    ASSERT_NE(add(with_groups(tloc_add_msg(b, 1), {1, 2}, true)), nullptr);
    EXPECT_EQ(ctx()->local_border_count, 1);
    EXPECT_EQ(groups_of(b), (Groups{0, 1, 2}));
    EXPECT_EQ(groups_of(l1), (Groups{0, 1}));
    EXPECT_EQ(members(1), "10.0.0.1 : default : ipsec, 10.0.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(2), "10.0.0.1 : biz-internet : ipsec");
    // While a border TLOC is there, a new local TLOC joins at once.
    ASSERT_NE(add(with_groups(tloc_add_msg(l2, 1), {3})), nullptr);
    EXPECT_EQ(groups_of(l2), (Groups{0, 3}));
    EXPECT_EQ(members(3), "10.0.0.1 : mpls : ipsec");
    // Nine groups leave no room for group 0: not registered, list unchanged.
    const Groups nine = {11, 12, 13, 14, 15, 16, 17, 18, 19};
    ASSERT_NE(add(with_groups(tloc_add_msg(l9, 1), nine)), nullptr);
    EXPECT_EQ(groups_of(l9), nine);
    EXPECT_EQ(members(11), "-");
    EXPECT_EQ(log.count("]: TLOC 10.0.0.1 : public-internet : ipsec has 9 groups, no room for group 0: not registered "
                        "in its groups"),
              1u);
    // A change of groups leaves the old ones and joins the new.
    ASSERT_NE(add(with_groups(tloc_add_msg(l1, 1), {4})), nullptr);
    EXPECT_EQ(groups_of(l1), (Groups{0, 4}));
    EXPECT_EQ(members(1), "10.0.0.1 : biz-internet : ipsec");
    EXPECT_EQ(members(4), "10.0.0.1 : default : ipsec");
    // The last border TLOC goes: everybody leaves.
    del(b);
    EXPECT_EQ(ctx()->local_border_count, 0);
    EXPECT_EQ(groups_of(l1), (Groups{4}));
    EXPECT_EQ(groups_of(l2), (Groups{3}));
    EXPECT_EQ(groups_of(l9), nine);
    EXPECT_EQ(avl_numnodes(ctx()->group_db), 0u);

    // A border TLOC that was never counted (no GROUP bit when it came; the bit
    // alone changes no registration) goes without touching the others: l1
    // keeps its link to a remote TLOC of its region.
    ASSERT_NE(add(with_groups(tloc_add_msg(zt::tloc_key("10.9.0.4", 4, OST_ENCAP_IPSEC), 2), {4, 6})), nullptr);
    zor_msg_t link = zt::msg_of(ZOR_MSG_LINK_ADD, ZOR_AF_LINK);
    link.body.link.local = l1;
    link.body.link.remote = zt::tloc_key("10.9.0.4", 4, OST_ENCAP_IPSEC);
    ASSERT_NE(zor_af_link_find(ZOR_AF_LINK, ctx(), &link, nullptr), nullptr);
    zor_msg_t uncounted = with_groups(tloc_add_msg(b, 1), {1}, true);
    uncounted.body.tloc.attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    ASSERT_NE(add(uncounted), nullptr);
    uncounted.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    ASSERT_NE(add(uncounted), nullptr);
    del(b);
    EXPECT_EQ(ctx()->local_border_count, 0);
    EXPECT_NE(zor_af_link_find(ZOR_AF_LINK, ctx(), &link, nullptr), nullptr);

    // Without the GROUP bit, or on Solon, nothing is registered.
    zor_msg_t no_bit = with_groups(tloc_add_msg(r1, 2), {0, 8, 9});
    no_bit.body.tloc.attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
    ASSERT_NE(add(no_bit), nullptr);
    EXPECT_EQ(members(8), "-");
    env.daemon()->personality = ZOR_PERSONALITY_SOLON;
    ASSERT_NE(add(with_groups(tloc_add_msg(zt::tloc_key("10.9.0.3", 4, OST_ENCAP_IPSEC), 2), {0, 8})), nullptr);
    EXPECT_EQ(members(8), "-");
}

TEST_F(ZorAfTloc, OnlyLocalTlocsCountAsLocalInTheLinksTheyGet)
{
    // Origin 3 is neither local nor remote: it is linked like a remote TLOC,
    // to the local one only.
    for (int n : {5, 2, 1, 6}) {
        ASSERT_NE(add(tloc_add_msg(key(n), n == 1 ? 1 : (n == 2 ? 2 : 3))), nullptr);
    }
    Strings links;
    char a[128];
    char b[128];
    avl_tree_t *tree = ctx()->trees[ZOR_AF_LINK];
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
        const t_zor_af_link *l = zor_af_link_of(e);
        links.push_back(std::string(tloc_to_str(&l->local_key, a, sizeof(a))) + " ==> " +
                        tloc_to_str(&l->remote_key, b, sizeof(b)));
    }
    EXPECT_EQ(links, (Strings{"10.0.0.1 : biz-internet : ipsec ==> 10.0.0.2 : biz-internet : ipsec",
                              "10.0.0.1 : biz-internet : ipsec ==> 10.0.0.5 : biz-internet : ipsec",
                              "10.0.0.1 : biz-internet : ipsec ==> 10.0.0.6 : biz-internet : ipsec"}));
}

TEST_F(ZorAfTloc, InitialStateActivityAndOperationalKeys)
{
    ASSERT_NE(add(tloc_add_msg(key(2), 2)), nullptr);
    ASSERT_NE(add(tloc_add_msg(key(1), 1)), nullptr);
    const t_zor_af_tloc *remote = rec(key(2));
    const t_zor_af_tloc *local = rec(key(1));
    EXPECT_EQ(std::vector<uint32_t>({remote->status, remote->bfd_status, remote->inactive}),
              std::vector<uint32_t>({ZOR_TLOC_STATUS_DOWN, 0, 1}));
    EXPECT_EQ(std::vector<uint32_t>({local->status, local->bfd_status, local->inactive}),
              std::vector<uint32_t>({ZOR_TLOC_STATUS_UP, 1, 0}));
    // On Solon every TLOC is up and active from the start.
    env.daemon()->personality = ZOR_PERSONALITY_SOLON;
    ASSERT_NE(add(tloc_add_msg(key(3), 2)), nullptr);
    EXPECT_EQ(rec(key(3))->status, ZOR_TLOC_STATUS_UP);
    EXPECT_EQ(rec(key(3))->inactive, 0u);

    g_zor_debug = 1;
    const zor_tloc_key_t k2 = key(2);
    zor_af_tloc_set_activity(ctx(), &k2, true);
    EXPECT_EQ(remote->inactive, 0u);
    EXPECT_TRUE(log.contains("]: TLOC 10.0.0.2 : biz-internet : ipsec, state set: Active"));
    zor_af_tloc_set_activity(ctx(), &k2, false);
    EXPECT_EQ(remote->inactive, 1u);
    EXPECT_TRUE(log.contains("]: TLOC 10.0.0.2 : biz-internet : ipsec, state set: Inactive"));

    confd_value_t keys[3] = {};
    zor_af_tloc_oper_keys(tloc(k2), keys);
    EXPECT_EQ(keys[0].type, static_cast<uint32_t>(C_IPV4));
    EXPECT_EQ(keys[0].val.ip.s_addr, inet_addr("10.0.0.2"));
    EXPECT_EQ(keys[1].type, static_cast<uint32_t>(C_ENUM_VALUE));
    EXPECT_EQ(keys[1].val.enumvalue, 4);
    EXPECT_EQ(keys[2].val.enumvalue, 2);
    const zor_tloc_key_t v6 = zt::tloc_key("2001:db8::7", 9, OST_ENCAP_GRE);
    ASSERT_NE(add(tloc_add_msg(v6, 2)), nullptr);
    zor_af_tloc_oper_keys(tloc(v6), keys);
    EXPECT_EQ(keys[0].type, static_cast<uint32_t>(C_IPV6));
    EXPECT_EQ(memcmp(&keys[0].val.ip6, v6.addr.u.v6, 16), 0);
    EXPECT_EQ(keys[1].val.enumvalue, 9);
    EXPECT_EQ(keys[2].val.enumvalue, 1);
}

TEST_F(ZorAfTloc, KeyOrderAndTheTreesThatHoldThem)
{
    const zor_tloc_key_t keys[] = {
        zt::tloc_key("10.0.0.1", 1, 1),    zt::tloc_key("10.0.0.1", 1, 2),    zt::tloc_key("10.0.0.1", 2, 1),
        zt::tloc_key("10.0.0.2", 1, 1),    zt::tloc_key("192.168.0.1", 1, 1), zt::tloc_key("2001:db8::1", 1, 1),
        zt::tloc_key("2001:db8::2", 1, 1),
    };
    for (size_t i = 0; i + 1 < std::size(keys); i++) {
        EXPECT_LT(zor_af_tloc_key_cmp(&keys[i], &keys[i + 1]), 0) << i;
        EXPECT_GT(zor_af_tloc_key_cmp(&keys[i + 1], &keys[i]), 0) << i;
        EXPECT_EQ(zor_af_tloc_key_cmp(&keys[i], &keys[i]), 0) << i;
    }
    // Any address family orders without stopping the daemon, but only the
    // family's own kind of address goes into its tree.
    zor_tloc_key_t odd{};
    odd.addr.family = 99;
    EXPECT_GT(zor_af_tloc_key_cmp(&odd, &keys[6]), 0);
    EXPECT_FALSE(zor_af_tloc_key_fits(ZOR_AF_TLOC_IPV4, &odd));
    EXPECT_FALSE(zor_af_tloc_key_fits(ZOR_AF_TLOC_IPV6, &keys[0]));
    EXPECT_TRUE(zor_af_tloc_key_fits(ZOR_AF_TLOC_IPV6, &keys[5]));
    EXPECT_EQ(zor_af_tloc_find(ZOR_AF_LINK, ctx(), &keys[0], nullptr), nullptr);

    // One tree of local TLOCs for both families.
    for (const zor_msg_t &m : {tloc_add_msg(keys[5], 1), tloc_add_msg(keys[0], 1), tloc_add_msg(keys[3], 2)}) {
        ASSERT_NE(add(m), nullptr);
    }
    EXPECT_EQ(avl_numnodes(ctx()->local_tloc_db_p), 2u);
    EXPECT_EQ(static_cast<t_zor_db_entry *>(avl_first(ctx()->local_tloc_db_p))->family, ZOR_AF_TLOC_IPV4);
    del(keys[5]);
    EXPECT_EQ(avl_numnodes(ctx()->local_tloc_db_p), 1u);

    // A local TLOC already in the local tree is a programming error.
    EXPECT_TRUE(zt::stops_on_assertion(
        [&] {
            static t_zor_af_tloc stray{};
            static t_zor_db_entry entry{};
            stray.key = keys[2];
            entry.record = &stray;
            avl_index_t where = 0;
            avl_find(ctx()->local_tloc_db_p, &entry, &where);
            avl_insert(ctx()->local_tloc_db_p, &entry, where);
            add(tloc_add_msg(keys[2], 1));
        },
        "zord/zor_af_tloc", "avl_find(ctx_p->local_tloc_db_p, db_entry_p, &where) == ((void *)0)"));
}

}  // namespace
