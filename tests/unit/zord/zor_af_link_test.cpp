// The LINK family on a real daemon: which TLOC pairs get a link, in which
// address family, labels, links of peers and their owners, link status
// messages, what a peer receives over its socket, the show lines and
// show-support.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "ip_util.h"
#include "maapi_cli_capture.h"
#include "ost_util.h"
#include "test_support.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"
#include "zor_log.h"

namespace {

using Strings = std::vector<std::string>;
using zt::kname;
using zt::link_msg;
using zt::link_status_msg;
using zt::tloc_key;
using zt::TlocSpec;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;
constexpr uint8_t k_biz = 4;

const zor_tloc_key_t k_l1 = tloc_key("10.0.0.1", k_biz, k_ipsec);
const zor_tloc_key_t k_l2 = tloc_key("10.0.0.1", 2, k_ipsec);
const zor_tloc_key_t k_r1 = tloc_key("10.0.9.1", k_biz, k_ipsec);
const zor_tloc_key_t k_r2 = tloc_key("10.0.9.2", k_biz, k_ipsec);
const zor_tloc_key_t k_r3 = tloc_key("10.0.9.3", k_biz, k_ipsec);

std::string state(const t_zor_af_link *l)
{
    char text[256];
    snprintf(text, sizeof(text), "origin %u bfd %u status %u mtu %u label %u pref %u stale %u %u/%u/%u tun %u idx %u/%u",
             l->origin, l->bfd_status, l->status, l->mtu, l->label, l->preference, l->stale, l->loss, l->latency,
             l->jitter, l->tun_rec_index, l->local_index, l->remote_index);
    return text;
}

// A received LINK message in the same form, with its type and ends.
std::string state(const zor_msg_t &m)
{
    const zor_msg_link_t &b = m.body.link;
    char text[320];
    snprintf(text, sizeof(text), "%s %s>%s origin %u status %u mtu %u label %u pref %u stale %u %u/%u/%u tun %u idx %u/%u",
             m.type == ZOR_MSG_LINK_ADD ? "ADD" : "DEL", kname(b.local).c_str(), kname(b.remote).c_str(), b.origin,
             b.status, b.mtu, b.label, b.preference, b.stale, b.loss, b.latency, b.jitter, b.tun_rec_index,
             b.local_index, b.remote_index);
    return text;
}

class ZorAfLink : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(env.init_rc(), 0); }
    void TearDown() override
    {
        env.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_context *ctx() { return env.ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }
    t_zor_db_entry *add(uint32_t from, zor_msg_t msg)
    {
        return zor_af_filter(msg.family, &msg) ? zor_af_add(msg.family, ctx(), client(from), &msg) : nullptr;
    }
    // A TLOC add: a local one from ctlagent, any other origin from advd.
    t_zor_db_entry *tloc_add(const zor_tloc_key_t &key, uint8_t origin, const TlocSpec &spec = {})
    {
        return add(origin == 1 ? OST_MODULE_CTLAGENT : OST_MODULE_ADVD, zt::tloc_msg(key, origin, spec));
    }
    void del_tloc(const zor_tloc_key_t &key)
    {
        zor_msg_t msg = zt::tloc_del_msg(key);
        zor_af_delete(msg.family, ctx(), client(OST_MODULE_CTLAGENT), &msg);
    }
    t_zor_af_tloc *tloc(const zor_tloc_key_t &key)
    {
        t_zor_db_entry *e = zor_af_tloc_find(zt::tloc_af(key), ctx(), &key, nullptr);
        return e != nullptr ? zor_af_tloc_of(e) : nullptr;
    }
    t_zor_af_link *link(const zor_tloc_key_t &l, const zor_tloc_key_t &r) { return zor_af_link_lookup(ctx(), &l, &r); }
    // Every link in tree order as "local > remote".
    Strings links()
    {
        Strings out;
        zt::for_each_entry<t_zor_af_link>(ctx()->trees[ZOR_AF_LINK], [&](const t_zor_af_link *l) {
            out.push_back(kname(l->local_key) + " > " + kname(l->remote_key));
        });
        return out;
    }
    void force(uint32_t id, uint8_t on) { ASSERT_EQ(zor_client_register(ctx(), id, ZOR_AF_LINK, 1, on), 0); }
    // A peer registered for LINK whose messages sent() reads.
    zt::FakePeer *watch(uint32_t id)
    {
        zt::FakePeer *p = env.connect(id);
        EXPECT_NE(p, nullptr);
        if (p != nullptr) {
            p->send_register(ZOR_AF_LINK);
            EXPECT_TRUE(env.settle());
        }
        return p;
    }
    Strings sent(zt::FakePeer *p)
    {
        EXPECT_TRUE(env.settle());
        Strings out;
        for (const zor_msg_t &m : p->take()) {
            out.push_back(state(m));
        }
        return out;
    }

    zt::LogCapture log;
    zt::PeerEnv env;
};

TEST_F(ZorAfLink, WhichTlocPairsGetALink)
{
    // a is 10.0.0.1:4 when local, else 10.0.9.1:4; b is 10.0.0.1:2 when
    // local, else 10.0.9.2:4.
    struct Case {
        const char *what;
        uint8_t origin_a;
        TlocSpec a;
        uint8_t origin_b;
        TlocSpec b;
        uint8_t force;
        Strings want;
    };
    const Strings local_remote{"10.0.0.1:4 > 10.0.9.2:4"};
    const Case cases[] = {
        {"two remote, forced", 2, {{1, 2}}, 2, {{1, 2}}, 1, {}},
        {"origins 3 and 0 are remote", 3, {{1, 2}}, 0, {{1, 2}}, 1, {}},
        {"origins 2 and 3", 2, {{1, 2}}, 3, {{1, 2}}, 1, {}},
        {"two local, no border", 1, {{1}}, 1, {{1}}, 1, {}},
        {"two local, both border", 1, {{1}, true}, 1, {{1}, true}, 0, {}},
        {"two local, one border: both ways", 1, {{1}}, 1, {{1}, true}, 0,
         {"10.0.0.1:2 > 10.0.0.1:4", "10.0.0.1:4 > 10.0.0.1:2"}},
        {"one region", 1, {{1, 5}}, 2, {{5, 7}, false, 9}, 0, local_remote},
        {"one region, remote of origin 3", 1, {{1, 5}}, 3, {{5, 7}}, 0, local_remote},
        {"one region, local second with one group", 2, {{3, 7}}, 1, {{3}}, 0, {"10.0.0.1:2 > 10.0.9.1:4"}},
        {"different regions", 1, {{1, 5}}, 2, {{2, 6}}, 0, {}},
        {"different regions, forced", 1, {{1, 5}}, 2, {{2, 6}}, 1, local_remote},
        {"one group each", 1, {{3}}, 2, {{3}}, 0, {}},
        {"one group each, forced", 1, {{3}}, 2, {{3}}, 1, local_remote},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const zor_tloc_key_t &ka = c.origin_a == 1 ? k_l1 : k_r1;
        const zor_tloc_key_t &kb = c.origin_b == 1 ? k_l2 : k_r2;
        force(OST_MODULE_ADVD, c.force);
        ASSERT_NE(tloc_add(ka, c.origin_a, c.a), nullptr);
        ASSERT_NE(tloc_add(kb, c.origin_b, c.b), nullptr);
        EXPECT_EQ(links(), c.want);
        // The rules themselves, whichever end comes first; a TLOC paired
        // with itself is ignored.
        for (t_zor_af_tloc *a : {tloc(ka), tloc(kb)}) {
            for (t_zor_af_tloc *b : {tloc(ka), tloc(kb)}) {
                zor_af_link_update(ctx(), a, b, false);
            }
        }
        EXPECT_EQ(links(), c.want);
        // zord's links: advd's, origin 1, the TLOCs' indices, the remote
        // end's preference; up at once only with both ends on this device.
        for (const auto &[l, r] : {std::pair{ka, kb}, std::pair{kb, ka}}) {
            if (const t_zor_af_link *x = link(l, r)) {
                EXPECT_EQ(x->entry_p->client_p, client(OST_MODULE_ADVD));
                const bool same = ip_addr_equal(&l.addr, &r.addr);
                const std::string s = state(x);
                EXPECT_EQ(s.substr(0, s.find(" label")), same ? "origin 1 bfd 1 status 1 mtu 0" : "origin 1 bfd 0 status 2 mtu 0");
                EXPECT_EQ(x->preference, tloc(r)->attr.preference);
                EXPECT_EQ(x->local_index, tloc(l)->index);
                EXPECT_EQ(x->remote_index, tloc(r)->index);
            }
        }
        // A withdrawn TLOC takes its links with it.
        del_tloc(ka);
        EXPECT_EQ(links(), Strings{});
        del_tloc(kb);
        force(OST_MODULE_ADVD, 0);
    }
}

TEST_F(ZorAfLink, LinksStayWithinAnAddressFamilyAndForcingFollowsRegistration)
{
    // IPv4 and IPv6 TLOCs on this device and on peers: l1 shares a region
    // with r2 but not with r1, and so does l6 with r6. r1 and r2, added after
    // both local TLOCs, meet the local TLOCs of both families and are linked
    // to those of their own only.
    const zor_tloc_key_t l6 = tloc_key("fd00::1", k_biz, k_ipsec);
    const zor_tloc_key_t r6 = tloc_key("fd00::9:1", k_biz, k_ipsec);
    ASSERT_NE(tloc_add(r6, 2, {{5, 7}}), nullptr);
    ASSERT_NE(tloc_add(k_l1, 1, {{1, 5}}), nullptr);
    ASSERT_NE(tloc_add(l6, 1, {{1, 5}}), nullptr);
    ASSERT_NE(tloc_add(k_r1, 2, {{2, 6}}), nullptr);
    ASSERT_NE(tloc_add(k_r2, 2, {{5, 7}}), nullptr);
    const Strings unforced{"10.0.0.1:4 > 10.0.9.2:4", "fd00::1:4 > fd00::9:1:4"};
    EXPECT_EQ(links(), unforced);
    // The register that switches forcing on pairs every local TLOC, the IPv6
    // one too, with every IPv4 TLOC; switching it off removes advd's links
    // that this walk reaches, also the unforced ones, which come back with
    // the next update of their TLOC. The IPv6 pair keeps its link.
    for (uint32_t id : {OST_MODULE_ADVD, OST_MODULE_KLXD}) {
        force(id, 1);
        EXPECT_EQ(links(), (Strings{"10.0.0.1:4 > 10.0.9.1:4", "10.0.0.1:4 > 10.0.9.2:4", "fd00::1:4 > 10.0.9.1:4",
                                    "fd00::1:4 > 10.0.9.2:4", "fd00::1:4 > fd00::9:1:4"}))
            << id;
        // Any originate byte other than the stored one counts as a change:
        // 5 after 1 builds the links again, one that advd deleted too.
        zor_msg_t del = zt::link_msg(ZOR_MSG_LINK_DEL, k_l1, k_r1);
        zor_af_delete(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &del);
        ASSERT_EQ(link(k_l1, k_r1), nullptr) << id;
        force(id, 5);
        EXPECT_NE(link(k_l1, k_r1), nullptr) << id;
        EXPECT_EQ(client(id)->originate[ZOR_AF_LINK], 1u) << id;
        force(id, 0);
        EXPECT_EQ(links(), Strings{"fd00::1:4 > fd00::9:1:4"}) << id;
    }
    ASSERT_NE(tloc_add(k_r2, 2, {{5, 7}, false, 7}), nullptr);
    EXPECT_EQ(links(), unforced);

    // Without klxd in the client table nothing is linked.
    t_zor_client *klxd = ctx()->clients[OST_MODULE_KLXD];
    ctx()->clients[OST_MODULE_KLXD] = nullptr;
    ASSERT_NE(tloc_add(k_r3, 2, {{1, 6}}), nullptr);
    EXPECT_EQ(link(k_l1, k_r3), nullptr);
    ctx()->clients[OST_MODULE_KLXD] = klxd;
    ASSERT_NE(tloc_add(k_r3, 2, {{1, 7}}), nullptr);
    EXPECT_NE(link(k_l1, k_r3), nullptr);
}

TEST_F(ZorAfLink, LabelsFromTheFirstAroundTheEndAndKeptAcrossUpdates)
{
    ASSERT_NE(tloc_add(k_l1, 1, {{1, 5}}), nullptr);
    ASSERT_NE(tloc_add(k_r1, 2, {{1, 6}, false, 10}), nullptr);
    ASSERT_NE(tloc_add(k_r2, 2, {{1, 6}}), nullptr);
    t_zor_af_link *a = link(k_l1, k_r1);
    ASSERT_TRUE(a != nullptr && link(k_l1, k_r2) != nullptr);
    EXPECT_EQ(a->label, 32770u) << "the first label of a fresh daemon";
    EXPECT_EQ(link(k_l1, k_r2)->label, 32771u);
    // A preference change of the remote end, or the update run again, keeps
    // the link and its label and takes no new one.
    ASSERT_NE(tloc_add(k_r1, 2, {{1, 6}, false, 20}), nullptr);
    zor_af_link_update(ctx(), tloc(k_l1), tloc(k_r1), false);
    EXPECT_EQ(link(k_l1, k_r1), a);
    EXPECT_EQ(a->label, 32770u);
    EXPECT_EQ(a->preference, 20u);
    EXPECT_EQ(ctx()->last_link_label, 32771u);
    // Without its PREF bit the remote end's preference does not count.
    tloc(k_r1)->attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
    zor_af_link_update(ctx(), tloc(k_l1), tloc(k_r1), false);
    EXPECT_EQ(a->preference, 0u);

    // After 65536 the search starts again at 32769 and skips labels in use;
    // a label given back is handed out again; values outside the range are
    // ignored by the release.
    uint8_t *bitmap = env.daemon()->link_label_bitmap;
    ctx()->last_link_label = 65534;
    for (uint32_t label : {65535u, 65536u, 32769u, 32772u}) {
        EXPECT_EQ(zor_link_label_alloc(ctx()), label);
    }
    for (uint32_t label : {65535u, 65537u, 32768u}) {
        zor_link_label_free(ctx(), label);
    }
    EXPECT_TRUE(zor_bitmap_test(bitmap, 0)) << "32768 is not 32769";
    ctx()->last_link_label = 65534;
    EXPECT_EQ(zor_link_label_alloc(ctx()), 65535u);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 32773u);

    // All taken: the allocation fails and the pair is skipped with a log
    // line.
    memset(bitmap, 0xff, ZOR_BITMAP_BYTES);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 0u);
    ASSERT_NE(tloc_add(k_r3, 2, {{1, 6}}), nullptr);
    EXPECT_EQ(link(k_l1, k_r3), nullptr);
    EXPECT_EQ(log.count("]: No free link label: link [10.0.0.1 : biz-internet : ipsec] ==> [10.0.9.3 : biz-internet : "
                        "ipsec] not built"),
              1u);
}

TEST_F(ZorAfLink, PeerLinksOwnersAndStatusMessages)
{
    g_zor_debug = 1;
    zt::FakePeer *watcher = watch(OST_MODULE_XFWD);
    ASSERT_NE(watcher, nullptr);
    // A peer's link: everything but the tunnel record index from the add.
    zor_msg_t m = zt::peer_link_msg(k_r1, k_r2, 1, 1400, 500, 7);
    zor_msg_link_t &body = m.body.link;
    body.stale = 1;
    body.loss = 1;
    body.latency = 2;
    body.jitter = 3;
    body.remote_index = 11;
    body.local_index = 12;
    body.tun_rec_index = 99;
    t_zor_db_entry *e = add(OST_MODULE_PROBED, m);
    ASSERT_NE(e, nullptr);
    t_zor_af_link *l = zor_af_link_of(e);
    EXPECT_EQ(e->client_p, client(OST_MODULE_PROBED));
    EXPECT_EQ(state(l), "origin 2 bfd 1 status 1 mtu 1400 label 500 pref 7 stale 1 1/2/3 tun 0 idx 12/11");
    EXPECT_EQ(l->label_held, 0u) << "a peer's label is not zord's to give back";
    EXPECT_EQ(sent(watcher),
              Strings{"ADD 10.0.9.1:4>10.0.9.2:4 origin 2 status 1 mtu 1400 label 500 pref 7 stale 1 1/2/3 tun 0 idx 12/11"});

    // The same add again sends nothing; any one figure changed sends it.
    EXPECT_EQ(add(OST_MODULE_PROBED, m), e);
    EXPECT_EQ(sent(watcher), Strings{});
    for (uint32_t *field : {&body.mtu, &body.status, &body.label, &body.preference, &body.loss, &body.latency,
                            &body.jitter}) {
        (*field)++;
        EXPECT_EQ(add(OST_MODULE_PROBED, m), e);
        EXPECT_EQ(sent(watcher).size(), 1u);
        (*field)--;
        EXPECT_EQ(add(OST_MODULE_PROBED, m), e);
        EXPECT_EQ(sent(watcher).size(), 1u);
    }
    // The whole status word counts, not only the byte that is kept.
    body.status = 0x101;
    EXPECT_EQ(add(OST_MODULE_PROBED, m), e);
    EXPECT_EQ(sent(watcher).size(), 1u);
    body.status = 1;
    body.stale = 0;
    EXPECT_EQ(add(OST_MODULE_PROBED, m), e);
    EXPECT_EQ(sent(watcher).size(), 1u);
    body.stale = 1;
    // An update from another client changes all but origin and indices and
    // keeps the owner.
    body.status = 0;
    body.origin = 1;
    body.local_index = 77;
    body.mtu = 1300;
    EXPECT_EQ(add(OST_MODULE_XFWD, m), e);
    EXPECT_EQ(e->client_p, client(OST_MODULE_PROBED));
    EXPECT_EQ(state(l), "origin 2 bfd 0 status 2 mtu 1300 label 500 pref 7 stale 1 1/2/3 tun 0 idx 12/11");
    EXPECT_EQ(sent(watcher).size(), 1u);

    // Status messages from any client; the tunnel record index comes only
    // from them; an unchanged one and one for an unknown link do nothing.
    zor_msg_t st = link_status_msg(k_r1, k_r2, 1, 1500);
    st.body.link_status.tun_rec_index = 42;
    st.body.link_status.loss = 4;
    st.body.link_status.latency = 5;
    st.body.link_status.jitter = 6;
    zor_msg_t unknown = link_status_msg(k_r2, k_r1, 1, 1500);
    for (zor_msg_t *msg : {&st, &st, &unknown}) {
        zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), msg);
    }
    EXPECT_EQ(state(l), "origin 2 bfd 1 status 1 mtu 1500 label 500 pref 7 stale 1 4/5/6 tun 42 idx 12/11");
    EXPECT_EQ(sent(watcher),
              Strings{"ADD 10.0.9.1:4>10.0.9.2:4 origin 2 status 1 mtu 1500 label 500 pref 7 stale 1 4/5/6 tun 42 idx 12/11"});
    st.body.link_status.bfd_status = 0x101;
    zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &st);
    EXPECT_EQ(sent(watcher).size(), 1u) << "the whole BFD word counts";
    EXPECT_EQ(links(), Strings{"10.0.9.1:4 > 10.0.9.2:4"});

    // Only the owner deletes; the delete goes out key only.
    zor_msg_t del = link_msg(ZOR_MSG_LINK_DEL, k_r1, k_r2);
    zor_af_delete(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &del);
    EXPECT_EQ(links().size(), 1u);
    sent(watcher);
    zor_af_delete(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &del);
    EXPECT_EQ(links(), Strings{});
    EXPECT_EQ(sent(watcher),
              Strings{"DEL 10.0.9.1:4>10.0.9.2:4 origin 2 status 0 mtu 0 label 0 pref 0 stale 0 0/0/0 tun 0 idx 12/11"});

    // advd's own link between two remote TLOCs goes with the TLOC at its
    // remote end, as zord's links do.
    ASSERT_TRUE(tloc_add(k_r1, 2) != nullptr && tloc_add(k_r2, 2) != nullptr);
    ASSERT_NE(add(OST_MODULE_ADVD, zt::peer_link_msg(k_r1, k_r2, 1, 0, 7, 0)), nullptr);
    del_tloc(k_r2);
    EXPECT_EQ(links(), Strings{});

    // A key of neither address family cannot name a TLOC: dropped.
    zor_msg_t bad = link_msg(ZOR_MSG_LINK_ADD, k_r1, k_r2);
    bad.body.link.remote.addr.family = 7;
    EXPECT_EQ(add(OST_MODULE_PROBED, bad), nullptr);
    EXPECT_EQ(log.count("]: Dropped a link add with address families 2 and 7"), 1u);
    EXPECT_EQ(links(), Strings{});

    // The path hooks of TLOCs and links compute nothing; each writes its
    // debug line, and only while debugging.
    ASSERT_NE(tloc_add(k_l1, 1), nullptr);
    const std::string text = log.dump();
    for (const std::string hook : {"zor_path_compute_schedule\\[[0-9]+\\]: Skip compute schedule",
                                   "zor_path_compute_schedule_all\\[[0-9]+\\]: Skip compute all schedule",
                                   "zor_path_link_add\\[[0-9]+\\]: Skip LINK path add",
                                   "zor_path_link_update\\[[0-9]+\\]: Skip LINK path update",
                                   "zor_path_link_delete\\[[0-9]+\\]: Skip LINK path del"}) {
        EXPECT_TRUE(std::regex_search(text, std::regex("(^|\n)" + hook + "\n"))) << hook;
    }
    g_zor_debug = 0;
    ASSERT_NE(tloc_add(k_r2, 2), nullptr);
    del_tloc(k_l1);
    EXPECT_EQ(log.dump(), text);
}

TEST_F(ZorAfLink, AClientThatGoesTakesItsLinksAlongAndLabelsComeBackAfterTheDelete)
{
    zt::FakePeer *probed = env.connect(OST_MODULE_PROBED);
    zt::FakePeer *watcher = watch(OST_MODULE_XFWD);
    ASSERT_TRUE(probed && watcher);
    ASSERT_NE(tloc_add(k_l1, 1, {{1, 5}}), nullptr);
    ASSERT_NE(tloc_add(k_r1, 2, {{1, 6}}), nullptr);
    // probed announces a link of origin 1 with the label zord gave its own.
    zor_msg_t m = zt::peer_link_msg(k_r1, k_r2, 1, 0, 32770, 0);
    m.body.link.origin = ZOR_LINK_ORIGIN_ZORD;
    ASSERT_EQ(probed->send(m), 0);
    EXPECT_EQ(sent(watcher).size(), 2u);
    // probed goes: its link is withdrawn and the delete goes out; zord's
    // own link stays and keeps its label.
    env.drop(probed);
    EXPECT_EQ(sent(watcher).at(0).substr(0, 29), "DEL 10.0.9.1:4>10.0.9.2:4 ori");
    EXPECT_EQ(links(), Strings{"10.0.0.1:4 > 10.0.9.1:4"});
    EXPECT_TRUE(zor_bitmap_test(env.daemon()->link_label_bitmap, 32770 - 32769));
    // A withdrawn link that a client holds keeps its label until the
    // client was sent the delete.
    del_tloc(k_r1);
    EXPECT_EQ(links(), Strings{});
    EXPECT_TRUE(zor_bitmap_test(env.daemon()->link_label_bitmap, 32770 - 32769));
    ASSERT_TRUE(env.settle());
    EXPECT_FALSE(zor_bitmap_test(env.daemon()->link_label_bitmap, 32770 - 32769));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_LINK_NLRI), 0u);
}

TEST_F(ZorAfLink, ShowLinesAndShowAll)
{
    ASSERT_NE(tloc_add(k_l1, 1, {{1, 5}}), nullptr);
    ASSERT_NE(tloc_add(k_r1, 2, {{1, 6}, false, 9}), nullptr);
    t_zor_af_link *l = link(k_l1, k_r1);
    ASSERT_NE(l, nullptr);
    zor_msg_t st = link_status_msg(k_l1, k_r1, 1, 1400);
    st.body.link_status.tun_rec_index = 3;
    st.body.link_status.loss = 10;
    st.body.link_status.latency = 20;
    st.body.link_status.jitter = 30;
    zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &st);
    zor_bitmap_set(l->entry_p->sent_bitmap, OST_MODULE_XFWD);
    zor_bitmap_set(l->entry_p->sent_bitmap, OST_MODULE_ADVD);
    // A down link of a peer that sorts first.
    zor_msg_t m = link_msg(ZOR_MSG_LINK_ADD, tloc_key("9.0.0.1", k_biz, k_ipsec), k_r1);
    m.body.link.origin = ZOR_LINK_ORIGIN_PEER;
    m.body.link.label = 5;
    t_zor_db_entry *e = add(OST_MODULE_PROBED, m);
    ASSERT_NE(e, nullptr);

    maapi_cli_capture cli(3, 4);
    zor_af_show_all(ZOR_AF_LINK, ctx(), cli.uinfo());
    EXPECT_EQ(cli.text(), "    [9.0.0.1 : biz-internet : ipsec] [0] ==> [10.0.9.1 : biz-internet : ipsec] [0] (" +
                              zt::ptr_text(zor_af_link_of(e)) +
                              ")\n"
                              "    Origin: remote, MTU: 0, Label: 5, Preference: 0, Stale: 0\n"
                              "    Status: Down, BFD Handle: 0, BFD Status: Down\n"
                              "    Local index: 0, Remote index: 0, Tun Rec: 0\n"
                              "    Loss: 0, Latency: 0, Jitter: 0\n"
                              "    Advertised to: \n\n"
                              "    [10.0.0.1 : biz-internet : ipsec] [32770] ==> [10.0.9.1 : biz-internet : ipsec] [32771] (" +
                              zt::ptr_text(l) +
                              ")\n"
                              "    Origin: local, MTU: 1400, Label: 32770, Preference: 9, Stale: 0\n"
                              "    Status: Up, BFD Handle: 0, BFD Status: Up\n"
                              "    Local index: 32770, Remote index: 32771, Tun Rec: 3\n"
                              "    Loss: 10, Latency: 20, Jitter: 30\n"
                              "    Advertised to: advd xfwd \n\n");
}

TEST_F(ZorAfLink, ShowSupportArgumentsAndMessages)
{
    const zor_tloc_key_t l2 = tloc_key("10.0.0.2", k_biz, k_ipsec);
    for (const zor_tloc_key_t *k : {&k_l1, &l2}) {
        ASSERT_NE(tloc_add(*k, 1, {{1, 5}}), nullptr);
    }
    for (const zor_tloc_key_t *k : {&k_r1, &k_r2}) {
        ASSERT_NE(tloc_add(*k, 2, {{1, 6}}), nullptr);
    }
    // Labels: a1 32770, b1 32771, a2 32772, b2 32773; a peer's link p with
    // label 32770 as well.
    ASSERT_NE(add(OST_MODULE_PROBED, zt::peer_link_msg(k_r1, k_r2, 0, 0, 32770, 0)), nullptr);

    maapi_cli_capture cli(5, 6);
    // The first line of each link shown (without the record address), and
    // every other line that is not part of a link.
    auto run = [&](std::vector<std::string> args) {
        cli.clear();
        std::vector<char *> argv;
        for (std::string &a : args) {
            argv.push_back(a.data());
        }
        EXPECT_EQ(zor_show_support_links(cli.uinfo(), static_cast<int>(argv.size()), argv.data()), 0);
        Strings heads;
        for (const std::string &line : zt::split_lines(cli.text())) {
            if (line.rfind("    [", 0) == 0) {
                heads.push_back(line.substr(0, line.find(" (")));
            } else if (line.rfind("    ", 0) != 0 && !line.empty()) {
                heads.push_back(line);
            }
        }
        return heads;
    };
    auto head = [](const char *l, int li, const char *r, int ri) {
        return "    [" + std::string(l) + " : biz-internet : ipsec] [" + std::to_string(li) + "] ==> [" + r +
               " : biz-internet : ipsec] [" + std::to_string(ri) + "]";
    };
    const std::string a1 = head("10.0.0.1", 32770, "10.0.9.1", 32772);
    const std::string a2 = head("10.0.0.1", 32770, "10.0.9.2", 32773);
    const std::string b1 = head("10.0.0.2", 32771, "10.0.9.1", 32772);
    const std::string b2 = head("10.0.0.2", 32771, "10.0.9.2", 32773);
    const std::string p = head("10.0.9.1", 0, "10.0.9.2", 0);
    const Strings all{a1, a2, b1, b2, p};
    const std::string usage = "Usage show support zor links local-tloc-ip:color:encap remote-tloc-ip:color:encap";
    const std::string lo1 = "--localtlocip=10.0.0.1:biz-internet:ipsec";
    const std::string lo2 = "--localtlocip=10.0.0.2:biz-internet:ipsec";
    const std::string re2 = "--remotetlocip=10.0.9.2:biz-internet:ipsec";
    const std::pair<std::vector<std::string>, Strings> cases[] = {
        {{}, {usage}},
        {{"links"}, all},
        {{"links", lo2}, {b1, b2}},
        {{"links", lo1, re2}, {a2}},
        {{"links", "--localtlocip=10.0.9.2:biz-internet:ipsec", "--remotetlocip=10.0.9.1:biz-internet:ipsec"},
         {"Link not found"}},
        // A remote TLOC alone only sets where the walk starts: after (zero,
        // remote), which is before every link.
        {{"links", re2}, all},
        {{"links", "--label=32770"}, {a1, p}},
        {{"links", lo2, "--label=32771"}, {b1}},
        {{"links", lo1, "--label=32771"}, {}},
        // Out of order, or after an argument of no kind: not looked at.
        {{"links", re2, lo2}, all},
        {{"links", "--color=biz-internet", "--label=32773"}, all},
        {{"links", "--localtlocip=10.0.0.1:biz-internet"}, {usage}},
        {{"links", "--localtlocip=10.0.0.1"}, {usage}},
        {{"links", "--remotetlocip=300.0.0.1:biz-internet:ipsec"}, {"Bad IP address 300.0.0.1"}},
        {{"links", "--localtlocip=10.0.1:biz-internet:ipsec"}, {"Bad IP address 10.0.1"}},
        {{"links", "--localtlocip=10.0.0.1:purple:ipsec"}, {"Bad color purple"}},
        {{"links", "--localtlocip=10.0.0.1:biz-internet:vxlan"}, {"Bad encap vxlan"}},
        {{"links", lo1, "--remotetlocip=10.0.9.1:mauve:ipsec"}, {"Bad color mauve"}},
    };
    for (const auto &[args, want] : cases) {
        EXPECT_EQ(run(args), want) << (args.size() > 1 ? args[1] : "") << (args.size() > 2 ? " " + args[2] : "");
    }
    t_zor_context *saved = g_zor_context;
    g_zor_context = nullptr;
    EXPECT_EQ(run({"links"}), Strings{"ZOR context not UP"});
    g_zor_context = saved;
}

}  // namespace
