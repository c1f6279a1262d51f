// The LINK family on a real daemon: the rules that decide which TLOC pairs
// get a link, labels, links announced by peers with their ownership, link
// status messages, the stale test, the message fill as peers receive it over
// real sockets, the show lines and the show-support command.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ip_util.h"
#include "maapi_cli.h"
#include "ost_util.h"
#include "test_support.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"
#include "zor_path.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::tloc_key;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;
constexpr uint8_t k_biz = 4;
constexpr uint8_t k_mpls = 2;
constexpr uint8_t k_default = 1;

using zt::kname;
using zt::link_msg;
using zt::link_status_msg;
using zt::ptr_text;
using zt::tloc_msg;
using zt::TlocSpec;

class ZorAfLink : public ::testing::Test {
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
    t_zor_db_entry *add(uint32_t from, zor_msg_t msg)
    {
        if (!zor_af_filter(msg.family, &msg)) {
            return nullptr;
        }
        return zor_af_add(msg.family, ctx(), client(from), &msg);
    }
    t_zor_db_entry *local(const zor_tloc_key_t &key, const TlocSpec &spec = {})
    {
        return add(OST_MODULE_CTLAGENT, tloc_msg(key, 1, spec));
    }
    t_zor_db_entry *remote(const zor_tloc_key_t &key, const TlocSpec &spec = {})
    {
        return add(OST_MODULE_ADVD, tloc_msg(key, 2, spec));
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
        avl_tree_t *tree = ctx()->trees[ZOR_AF_LINK];
        for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
             e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
            out.push_back(kname(zor_af_link_of(e)->local_key) + " > " + kname(zor_af_link_of(e)->remote_key));
        }
        return out;
    }
    void force(uint32_t id, uint8_t on) { ASSERT_EQ(zor_client_register(ctx(), id, ZOR_AF_LINK, 1, on), 0); }
    FakePeer *connect(uint32_t id)
    {
        FakePeer *p = env.connect(id);
        EXPECT_NE(p, nullptr) << "peer " << id << " did not come up";
        return p;
    }

    zt::LogCapture log;
    zt::PeerEnv env;
};

const zor_tloc_key_t k_l1 = tloc_key("10.0.0.1", k_biz, k_ipsec);
const zor_tloc_key_t k_l2 = tloc_key("10.0.0.1", k_mpls, k_ipsec);
const zor_tloc_key_t k_l3 = tloc_key("10.0.0.1", k_default, k_ipsec);
const zor_tloc_key_t k_r1 = tloc_key("10.0.9.1", k_biz, k_ipsec);
const zor_tloc_key_t k_r2 = tloc_key("10.0.9.2", k_biz, k_ipsec);

TEST_F(ZorAfLink, TwoRemoteTlocsAreNeverLinkedTwoLocalOnlyAcrossOneBorder)
{
    // Remote pairs: not even when forced and in one region.
    force(OST_MODULE_ADVD, 1);
    ASSERT_NE(remote(k_r1, {{1, 2}}), nullptr);
    ASSERT_NE(remote(k_r2, {{1, 2}}), nullptr);
    EXPECT_EQ(links(), Strings{});
    del_tloc(k_r1);
    del_tloc(k_r2);
    force(OST_MODULE_ADVD, 0);

    // Two local TLOCs without a border: no link.
    ASSERT_NE(local(k_l1, {{1}}), nullptr);
    ASSERT_NE(local(k_l2, {{1}}), nullptr);
    EXPECT_EQ(links(), Strings{});

    // A border TLOC joins: each of the others gets a link to it and one
    // back, owned by advd, origin zord, up at once (both ends on this
    // device).
    ASSERT_NE(local(k_l3, {{1}, true}), nullptr);
    EXPECT_EQ(links(), (Strings{"10.0.0.1:1 > 10.0.0.1:2", "10.0.0.1:1 > 10.0.0.1:4", "10.0.0.1:2 > 10.0.0.1:1",
                                "10.0.0.1:4 > 10.0.0.1:1"}));
    t_zor_af_link *lb = link(k_l2, k_l3);
    ASSERT_NE(lb, nullptr);
    EXPECT_EQ(lb->entry_p->client_p, client(OST_MODULE_ADVD));
    EXPECT_EQ(lb->origin, ZOR_LINK_ORIGIN_ZORD);
    EXPECT_EQ(lb->bfd_status, ZOR_BFD_STATE_UP);
    EXPECT_EQ(lb->status, ZOR_LINK_STATUS_UP);
    EXPECT_EQ(lb->local_index, tloc(k_l2)->index);
    EXPECT_EQ(lb->remote_index, tloc(k_l3)->index);

    // Towards a TLOC of another device a link starts down, MTU unknown. The
    // border TLOC and the remote one are in different regions (one border,
    // one not): no link between them.
    ASSERT_NE(remote(k_r1, {{1, 2}}), nullptr);
    EXPECT_EQ(links(), (Strings{"10.0.0.1:1 > 10.0.0.1:2", "10.0.0.1:1 > 10.0.0.1:4", "10.0.0.1:2 > 10.0.0.1:1",
                                "10.0.0.1:2 > 10.0.9.1:4", "10.0.0.1:4 > 10.0.0.1:1", "10.0.0.1:4 > 10.0.9.1:4"}));
    t_zor_af_link *lr = link(k_l1, k_r1);
    ASSERT_NE(lr, nullptr);
    EXPECT_EQ(lr->bfd_status, ZOR_BFD_STATE_DOWN);
    EXPECT_EQ(lr->status, ZOR_LINK_STATUS_DOWN);
    EXPECT_EQ(lr->mtu, 0u);
    EXPECT_EQ(lr->local_index, tloc(k_l1)->index);
    EXPECT_EQ(lr->remote_index, tloc(k_r1)->index);

    // Two border TLOCs: no link between them. The second border loses its
    // old links and gains its own towards the non-border TLOC.
    ASSERT_NE(local(k_l2, {{1}, true}), nullptr);
    EXPECT_EQ(links(), (Strings{"10.0.0.1:1 > 10.0.0.1:4", "10.0.0.1:2 > 10.0.0.1:4", "10.0.0.1:4 > 10.0.0.1:1",
                                "10.0.0.1:4 > 10.0.0.1:2", "10.0.0.1:4 > 10.0.9.1:4"}));

    // A withdrawn TLOC takes its links with it.
    del_tloc(k_l1);
    EXPECT_EQ(links(), Strings{});
}

TEST_F(ZorAfLink, AnyOriginOtherThanLocalCountsAsRemote)
{
    // Origins 0 and 3 are remote ones: never linked to each other or to a
    // TLOC of origin 2, not even when forced; a local TLOC gets a link to
    // each, with them as the remote end.
    force(OST_MODULE_ADVD, 1);
    const zor_tloc_key_t r3 = tloc_key("10.0.9.3", k_biz, k_ipsec);
    ASSERT_NE(remote(k_r1, {{1, 2}}), nullptr);
    ASSERT_NE(add(OST_MODULE_ADVD, tloc_msg(k_r2, 3, {{1, 2}})), nullptr);
    ASSERT_NE(add(OST_MODULE_ADVD, tloc_msg(r3, 0, {{1, 2}})), nullptr);
    for (const zor_tloc_key_t *a : {&k_r1, &k_r2, &r3}) {
        for (const zor_tloc_key_t *b : {&k_r1, &k_r2, &r3}) {
            zor_af_link_update(ctx(), tloc(*a), tloc(*b), false);
        }
    }
    EXPECT_EQ(links(), Strings{});
    ASSERT_NE(local(k_l1, {{1, 2}}), nullptr);
    EXPECT_EQ(links(), (Strings{"10.0.0.1:4 > 10.0.9.1:4", "10.0.0.1:4 > 10.0.9.2:4", "10.0.0.1:4 > 10.0.9.3:4"}));
}

TEST_F(ZorAfLink, DifferentRegionsAndSingleGroupsOnlyWhenForced)
{
    // Different regions, not forced: no link.
    ASSERT_NE(local(k_l1, {{1, 5}}), nullptr);
    ASSERT_NE(remote(k_r1, {{2, 6}}), nullptr);
    EXPECT_EQ(links(), Strings{});
    // One region but each with exactly one group: no link either.
    ASSERT_NE(local(k_l2, {{3}}), nullptr);
    ASSERT_NE(remote(k_r2, {{3}}), nullptr);
    EXPECT_EQ(link(k_l2, k_r2), nullptr);
    // One region with more groups: linked.
    ASSERT_NE(remote(tloc_key("10.0.9.3", k_biz, k_ipsec), {{5, 7}}), nullptr);
    EXPECT_EQ(links(), Strings{"10.0.0.1:4 > 10.0.9.3:4"});

    // advd originating links forces every local-remote pair; the register
    // that switches the flag on builds them.
    force(OST_MODULE_ADVD, 1);
    EXPECT_EQ(links(), (Strings{"10.0.0.1:2 > 10.0.9.1:4", "10.0.0.1:2 > 10.0.9.2:4", "10.0.0.1:2 > 10.0.9.3:4",
                                "10.0.0.1:4 > 10.0.9.1:4", "10.0.0.1:4 > 10.0.9.2:4", "10.0.0.1:4 > 10.0.9.3:4"}));
    // Switching it off removes every link that advd owns of the local
    // TLOCs, also the ones the rules allow unforced; they come back with
    // the next update of their TLOC.
    force(OST_MODULE_ADVD, 0);
    EXPECT_EQ(links(), Strings{});
    // klxd forces as well.
    force(OST_MODULE_KLXD, 1);
    EXPECT_EQ(links().size(), 6u);
    force(OST_MODULE_KLXD, 0);
    EXPECT_EQ(links(), Strings{});
    // A register that changes nothing else does not rebuild.
    force(OST_MODULE_KLXD, 0);
    EXPECT_EQ(links(), Strings{});
    ASSERT_NE(local(k_l1, {{1, 5}, false, 7}), nullptr);
    EXPECT_EQ(links(), Strings{"10.0.0.1:4 > 10.0.9.3:4"});
}

TEST_F(ZorAfLink, WithoutAdvdOrKlxdInTheClientTableNothingIsLinked)
{
    // A context whose table lacks one of them (clients are created at start
    // for every peer id; here klxd's record is taken away).
    t_zor_client *klxd = ctx()->clients[OST_MODULE_KLXD];
    ctx()->clients[OST_MODULE_KLXD] = nullptr;
    ASSERT_NE(local(k_l1, {{1, 5}}), nullptr);
    ASSERT_NE(remote(k_r1, {{1, 6}}), nullptr);
    EXPECT_EQ(links(), Strings{});
    ctx()->clients[OST_MODULE_KLXD] = klxd;
    ASSERT_NE(remote(k_r1, {{1, 7}}), nullptr);
    EXPECT_EQ(links(), Strings{"10.0.0.1:4 > 10.0.9.1:4"});
}

TEST_F(ZorAfLink, LabelsFromTheFirstAroundTheEndAndKeptAcrossUpdates)
{
    ASSERT_NE(local(k_l1, {{1, 5}}), nullptr);
    ASSERT_NE(remote(k_r1, {{1, 6}, false, 10}), nullptr);
    ASSERT_NE(remote(k_r2, {{1, 6}}), nullptr);
    t_zor_af_link *a = link(k_l1, k_r1);
    t_zor_af_link *b = link(k_l1, k_r2);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->label, 32770u) << "the first label of a fresh daemon";
    EXPECT_EQ(b->label, 32771u);
    EXPECT_EQ(a->preference, 10u) << "the remote end's preference";
    EXPECT_EQ(b->preference, 0u);
    EXPECT_EQ(ctx()->last_link_label, 32771u);

    // A preference change of the remote end updates the link: same label,
    // no new label taken, the new preference.
    ASSERT_NE(remote(k_r1, {{1, 6}, false, 20}), nullptr);
    EXPECT_EQ(link(k_l1, k_r1), a);
    EXPECT_EQ(a->label, 32770u);
    EXPECT_EQ(a->preference, 20u);
    EXPECT_EQ(ctx()->last_link_label, 32771u);
    // So does re-running the update for the pair.
    zor_af_link_update(ctx(), tloc(k_l1), tloc(k_r2), false);
    EXPECT_EQ(b->label, 32771u);
    EXPECT_EQ(ctx()->last_link_label, 32771u);
    // A pair of a TLOC with itself is ignored.
    zor_af_link_update(ctx(), tloc(k_l1), tloc(k_l1), false);
    EXPECT_EQ(links().size(), 2u);

    // The allocator: after 65536 the search starts again at 32769, and it
    // skips labels in use.
    uint8_t *bitmap = env.daemon()->link_label_bitmap;
    ctx()->last_link_label = 65534;
    EXPECT_EQ(zor_link_label_alloc(ctx()), 65535u);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 65536u);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 32769u);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 32772u) << "32770 and 32771 are taken";
    zor_link_label_free(ctx(), 65535);
    zor_link_label_free(ctx(), 65537);  // outside the range: ignored
    zor_link_label_free(ctx(), 32768);
    ctx()->last_link_label = 65536;
    EXPECT_EQ(zor_link_label_alloc(ctx()), 32773u);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 32774u);
    ctx()->last_link_label = 65534;
    EXPECT_EQ(zor_link_label_alloc(ctx()), 65535u) << "given back, so handed out again";
    EXPECT_EQ(zor_link_label_alloc(ctx()), 32775u) << "65536 and 32769-32774 are taken";

    // All taken: the allocation fails, and a pair that would get a link is
    // skipped with a log line; nothing outside the range is ever used.
    memset(bitmap, 0xff, ZOR_BITMAP_BYTES);
    EXPECT_EQ(zor_link_label_alloc(ctx()), 0u);
    const zor_tloc_key_t r3 = tloc_key("10.0.9.3", k_biz, k_ipsec);
    ASSERT_NE(remote(r3, {{1, 6}}), nullptr);
    EXPECT_EQ(link(k_l1, r3), nullptr);
    EXPECT_EQ(log.count("]: No free link label: link [10.0.0.1 : biz-internet : ipsec] ==> [10.0.9.3 : biz-internet : "
                        "ipsec] not built"),
              1u);
    // A freed link gives its label back: the next link gets it.
    memset(bitmap, 0, ZOR_BITMAP_BYTES);
    zor_bitmap_set(bitmap, 32770 - 32769);
    zor_bitmap_set(bitmap, 32771 - 32769);
    del_tloc(k_r1);
    EXPECT_FALSE(zor_bitmap_test(bitmap, 32770 - 32769));
    ctx()->last_link_label = 32769;
    ASSERT_NE(remote(r3, {{1, 8}}), nullptr);
    ASSERT_NE(link(k_l1, r3), nullptr);
    EXPECT_EQ(link(k_l1, r3)->label, 32770u);
}

TEST_F(ZorAfLink, PeerLinksTheirOwnersStatusMessagesAndTheStaleTest)
{
    FakePeer *watcher = connect(OST_MODULE_XFWD);
    ASSERT_NE(watcher, nullptr);
    watcher->send_register(ZOR_AF_LINK);
    ASSERT_TRUE(env.settle());

    // A peer link: origin, BFD state and MTU from the message.
    zor_msg_t add_msg = link_msg(ZOR_MSG_LINK_ADD, k_r1, k_r2);
    zor_msg_link_t &body = add_msg.body.link;
    body.origin = ZOR_LINK_ORIGIN_PEER;
    body.status = 1;
    body.mtu = 1400;
    body.label = 500;
    body.preference = 7;
    body.stale = 1;
    body.loss = 1;
    body.latency = 2;
    body.jitter = 3;
    body.remote_index = 11;
    body.local_index = 12;
    body.tun_rec_index = 99;  // not taken from an add
    t_zor_db_entry *e = add(OST_MODULE_PROBED, add_msg);
    ASSERT_NE(e, nullptr);
    t_zor_af_link *l = zor_af_link_of(e);
    EXPECT_EQ(e->client_p, client(OST_MODULE_PROBED));
    EXPECT_EQ(l->origin, ZOR_LINK_ORIGIN_PEER);
    EXPECT_EQ(l->bfd_status, 1);
    EXPECT_EQ(l->status, ZOR_LINK_STATUS_UP);
    EXPECT_EQ(l->mtu, 1400u);
    EXPECT_EQ(l->label, 500u);
    EXPECT_EQ(l->label_held, 0u) << "a peer's label is not zord's to give back";
    EXPECT_EQ(l->preference, 7u);
    EXPECT_EQ(l->stale, 1);
    EXPECT_EQ(l->tun_rec_index, 0);
    ASSERT_TRUE(env.settle());
    std::vector<zor_msg_t> got = watcher->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, static_cast<uint32_t>(ZOR_MSG_LINK_ADD));
    const zor_msg_link_t &sent = got[0].body.link;
    EXPECT_EQ(kname(sent.local), "10.0.9.1:4");
    EXPECT_EQ(kname(sent.remote), "10.0.9.2:4");
    EXPECT_EQ(sent.local_index, 12u);
    EXPECT_EQ(sent.remote_index, 11u);
    EXPECT_EQ(sent.origin, ZOR_LINK_ORIGIN_PEER);
    EXPECT_EQ(sent.status, ZOR_LINK_STATUS_UP);
    EXPECT_EQ(sent.mtu, 1400u);
    EXPECT_EQ(sent.label, 500u);
    EXPECT_EQ(sent.preference, 7u);
    EXPECT_EQ(sent.stale, 1);
    EXPECT_EQ(sent.loss, 1u);
    EXPECT_EQ(sent.latency, 2u);
    EXPECT_EQ(sent.jitter, 3u);

    // The same add again changes nothing and sends nothing; a different
    // one updates all but origin and indices, and goes out again.
    EXPECT_EQ(add(OST_MODULE_PROBED, add_msg), e);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(watcher->take().empty());
    body.status = 0;
    body.origin = 1;
    body.local_index = 77;
    body.mtu = 1300;
    EXPECT_EQ(add(OST_MODULE_PROBED, add_msg), e);
    EXPECT_EQ(l->status, ZOR_LINK_STATUS_DOWN);
    EXPECT_EQ(l->mtu, 1300u);
    EXPECT_EQ(l->origin, ZOR_LINK_ORIGIN_PEER);
    EXPECT_EQ(l->local_index, 12u);
    EXPECT_EQ(e->client_p, client(OST_MODULE_PROBED)) << "an update keeps the owner";
    ASSERT_TRUE(env.settle());
    got = watcher->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body.link.status, ZOR_LINK_STATUS_DOWN);

    // Status messages: any client; unchanged ones do nothing; the tunnel
    // record index comes only from here.
    zor_msg_t st = link_status_msg(k_r1, k_r2, 1, 1500);
    st.body.link_status.tun_rec_index = 42;
    st.body.link_status.loss = 4;
    st.body.link_status.latency = 5;
    st.body.link_status.jitter = 6;
    zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &st);
    EXPECT_EQ(l->status, ZOR_LINK_STATUS_UP);
    EXPECT_EQ(l->mtu, 1500u);
    EXPECT_EQ(l->tun_rec_index, 42);
    EXPECT_EQ(l->loss, 4u);
    EXPECT_EQ(l->jitter, 6u);
    ASSERT_TRUE(env.settle());
    got = watcher->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].body.link.tun_rec_index, 42);
    EXPECT_EQ(got[0].body.link.mtu, 1500u);
    zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &st);
    zor_msg_t unknown = link_status_msg(k_r2, k_r1, 1, 1500);
    zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &unknown);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(watcher->take().empty());
    EXPECT_EQ(links(), Strings{"10.0.9.1:4 > 10.0.9.2:4"});

    // The stale test looks at both ends among the IPv4 TLOCs.
    EXPECT_FALSE(zor_link_is_stale(ctx(), l));
    ASSERT_NE(remote(k_r2, {{}, false, 0, true}), nullptr);
    EXPECT_TRUE(zor_link_is_stale(ctx(), l));
    ASSERT_NE(remote(k_r2, {{}, false, 0, false}), nullptr);
    ASSERT_NE(remote(k_r1, {{}, false, 0, true}), nullptr);
    EXPECT_TRUE(zor_link_is_stale(ctx(), l));
    ASSERT_NE(remote(k_r1, {}), nullptr);
    EXPECT_FALSE(zor_link_is_stale(ctx(), l));

    // Only the owner deletes: the delete goes out key only.
    zor_msg_t del = link_msg(ZOR_MSG_LINK_DEL, k_r1, k_r2);
    zor_af_delete(ZOR_AF_LINK, ctx(), client(OST_MODULE_ADVD), &del);
    EXPECT_EQ(links().size(), 1u);
    zor_af_delete(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &del);
    EXPECT_EQ(links(), Strings{});
    ASSERT_TRUE(env.settle());
    got = watcher->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, static_cast<uint32_t>(ZOR_MSG_LINK_DEL));
    EXPECT_EQ(kname(got[0].body.link.local), "10.0.9.1:4");
    EXPECT_EQ(got[0].body.link.local_index, 12u);
    EXPECT_EQ(got[0].body.link.origin, ZOR_LINK_ORIGIN_PEER);
    EXPECT_EQ(got[0].body.link.mtu, 0u);
    EXPECT_EQ(got[0].body.link.label, 0u);

    // A key of neither family cannot name a TLOC: dropped with a log line.
    zor_msg_t bad = link_msg(ZOR_MSG_LINK_ADD, k_r1, k_r2);
    bad.body.link.remote.addr.family = 7;
    EXPECT_EQ(add(OST_MODULE_PROBED, bad), nullptr);
    EXPECT_EQ(log.count("]: Dropped a link add with address families 2 and 7"), 1u);
    EXPECT_EQ(links(), Strings{});
}

TEST_F(ZorAfLink, AClientThatGoesTakesItsLinksAlongAndTheirLabelsComeBack)
{
    FakePeer *probed = connect(OST_MODULE_PROBED);
    FakePeer *watcher = connect(OST_MODULE_XFWD);
    ASSERT_NE(probed, nullptr);
    ASSERT_NE(watcher, nullptr);
    watcher->send_register(ZOR_AF_LINK);
    zor_msg_t m = link_msg(ZOR_MSG_LINK_ADD, k_r1, k_r2);
    m.body.link.origin = ZOR_LINK_ORIGIN_PEER;
    m.body.link.status = 1;
    ASSERT_EQ(probed->send(m), 0);
    ASSERT_NE(local(k_l1, {{1, 5}}), nullptr);
    ASSERT_NE(remote(k_r1, {{1, 6}}), nullptr);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(links(), (Strings{"10.0.0.1:4 > 10.0.9.1:4", "10.0.9.1:4 > 10.0.9.2:4"}));
    EXPECT_EQ(watcher->take().size(), 2u);

    // probed goes: its link is withdrawn and the deletion goes out; zord's
    // own link stays.
    env.drop(probed);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(links(), Strings{"10.0.0.1:4 > 10.0.9.1:4"});
    std::vector<zor_msg_t> got = watcher->take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, static_cast<uint32_t>(ZOR_MSG_LINK_DEL));

    // A withdrawn link that a client still holds keeps its label until the
    // client was sent the deletion.
    uint8_t *bitmap = env.daemon()->link_label_bitmap;
    del_tloc(k_r1);
    EXPECT_EQ(links(), Strings{});
    EXPECT_TRUE(zor_bitmap_test(bitmap, 32770 - 32769));
    ASSERT_TRUE(env.settle());
    EXPECT_FALSE(zor_bitmap_test(bitmap, 32770 - 32769));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_LINK_NLRI), 0u);
}

TEST_F(ZorAfLink, ShowLinesAndShowAll)
{
    ASSERT_NE(local(k_l1, {{1, 5}}), nullptr);
    ASSERT_NE(remote(k_r1, {{1, 6}, false, 9}), nullptr);
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

    maapi_cli_capture cli(3, 4);
    zor_af_show(ZOR_AF_LINK, ctx(), l->entry_p, cli.uinfo());
    const std::string expected =
        "    [10.0.0.1 : biz-internet : ipsec] [32770] ==> [10.0.9.1 : biz-internet : ipsec] [32771] (" +
        ptr_text(l) +
        ")\n"
        "    Origin: local, MTU: 1400, Label: 32770, Preference: 9, Stale: 0\n"
        "    Status: Up, BFD Handle: 0, BFD Status: Up\n"
        "    Local index: 32770, Remote index: 32771, Tun Rec: 3\n"
        "    Loss: 10, Latency: 20, Jitter: 30\n"
        "    Advertised to: advd xfwd \n\n";
    EXPECT_EQ(cli.text(), expected);

    // A down link; show_all prints every link in tree order.
    const zor_tloc_key_t l0 = tloc_key("9.0.0.1", k_biz, k_ipsec);
    zor_msg_t m = link_msg(ZOR_MSG_LINK_ADD, l0, k_r1);
    m.body.link.origin = ZOR_LINK_ORIGIN_PEER;
    m.body.link.label = 5;
    t_zor_db_entry *e = add(OST_MODULE_PROBED, m);
    ASSERT_NE(e, nullptr);
    cli.clear();
    zor_af_show_all(ZOR_AF_LINK, ctx(), cli.uinfo());
    const std::string first =
        "    [9.0.0.1 : biz-internet : ipsec] [0] ==> [10.0.9.1 : biz-internet : ipsec] [0] (" +
        ptr_text(zor_af_link_of(e)) +
        ")\n"
        "    Origin: remote, MTU: 0, Label: 5, Preference: 0, Stale: 0\n"
        "    Status: Down, BFD Handle: 0, BFD Status: Down\n"
        "    Local index: 0, Remote index: 0, Tun Rec: 0\n"
        "    Loss: 0, Latency: 0, Jitter: 0\n"
        "    Advertised to: \n\n";
    EXPECT_EQ(cli.text(), first + expected);
}

TEST_F(ZorAfLink, ShowSupportArgumentsAndMessages)
{
    const zor_tloc_key_t l2 = tloc_key("10.0.0.2", k_biz, k_ipsec);
    ASSERT_NE(local(k_l1, {{1, 5}}), nullptr);
    ASSERT_NE(local(l2, {{1, 5}}), nullptr);
    ASSERT_NE(remote(k_r1, {{1, 6}}), nullptr);
    ASSERT_NE(remote(k_r2, {{1, 6}}), nullptr);
    // Links 10.0.0.1>r1 (32770), 10.0.0.2>r1 (32771), 10.0.0.1>r2 (32772),
    // 10.0.0.2>r2 (32773); one more with label 32770 from a peer.
    zor_msg_t m = link_msg(ZOR_MSG_LINK_ADD, k_r1, k_r2);
    m.body.link.origin = ZOR_LINK_ORIGIN_PEER;
    m.body.link.label = 32770;
    ASSERT_NE(add(OST_MODULE_PROBED, m), nullptr);
    ASSERT_EQ(links(), (Strings{"10.0.0.1:4 > 10.0.9.1:4", "10.0.0.1:4 > 10.0.9.2:4", "10.0.0.2:4 > 10.0.9.1:4",
                                "10.0.0.2:4 > 10.0.9.2:4", "10.0.9.1:4 > 10.0.9.2:4"}));

    maapi_cli_capture cli(5, 6);
    // The first line of each link shown, in order.
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
    const std::string a1 = "    [10.0.0.1 : biz-internet : ipsec] [32770] ==> [10.0.9.1 : biz-internet : ipsec] [32772]";
    const std::string a2 = "    [10.0.0.1 : biz-internet : ipsec] [32770] ==> [10.0.9.2 : biz-internet : ipsec] [32773]";
    const std::string b1 = "    [10.0.0.2 : biz-internet : ipsec] [32771] ==> [10.0.9.1 : biz-internet : ipsec] [32772]";
    const std::string b2 = "    [10.0.0.2 : biz-internet : ipsec] [32771] ==> [10.0.9.2 : biz-internet : ipsec] [32773]";
    const std::string p = "    [10.0.9.1 : biz-internet : ipsec] [0] ==> [10.0.9.2 : biz-internet : ipsec] [0]";
    const std::string usage = "Usage show support zor links local-tloc-ip:color:encap remote-tloc-ip:color:encap";

    EXPECT_EQ(run({}), Strings{usage});
    // The command alone: every link.
    EXPECT_EQ(run({"links"}), (Strings{a1, a2, b1, b2, p}));
    // A local TLOC: its links only.
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.2:biz-internet:ipsec"}), (Strings{b1, b2}));
    // Both: that link, or the message.
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1:biz-internet:ipsec", "--remotetlocip=10.0.9.2:biz-internet:ipsec"}),
              Strings{a2});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.9.2:biz-internet:ipsec", "--remotetlocip=10.0.9.1:biz-internet:ipsec"}),
              Strings{"Link not found"});
    // A remote TLOC alone only sets where the walk starts: every link after
    // (zero, remote), which is every link.
    EXPECT_EQ(run({"links", "--remotetlocip=10.0.9.2:biz-internet:ipsec"}), (Strings{a1, a2, b1, b2, p}));
    // A label alone: only the links with that label, whoever built them.
    EXPECT_EQ(run({"links", "--label=32770"}), (Strings{a1, p}));
    EXPECT_EQ(run({"links", "--label=32773"}), Strings{b2});
    // Local TLOC and label together.
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.2:biz-internet:ipsec", "--label=32771"}), Strings{b1});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1:biz-internet:ipsec", "--label=32771"}), Strings{});
    // Out of order: the local TLOC after the remote one is not looked at.
    EXPECT_EQ(run({"links", "--remotetlocip=10.0.9.2:biz-internet:ipsec", "--localtlocip=10.0.0.2:biz-internet:ipsec"}),
              (Strings{a1, a2, b1, b2, p}));
    // An argument of no kind is ignored, and so is everything after it.
    EXPECT_EQ(run({"links", "--color=biz-internet", "--label=32773"}), (Strings{a1, a2, b1, b2, p}));

    // Bad TLOC arguments.
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1:biz-internet"}), Strings{usage});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1"}), Strings{usage});
    EXPECT_EQ(run({"links", "--remotetlocip=300.0.0.1:biz-internet:ipsec"}), Strings{"Bad IP address 300.0.0.1"});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.1:biz-internet:ipsec"}), Strings{"Bad IP address 10.0.1"});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1:purple:ipsec"}), Strings{"Bad color purple"});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1:biz-internet:vxlan"}), Strings{"Bad encap vxlan"});
    EXPECT_EQ(run({"links", "--localtlocip=10.0.0.1:biz-internet:ipsec", "--remotetlocip=10.0.9.1:mauve:ipsec"}),
              Strings{"Bad color mauve"});

    // Without a context.
    t_zor_context *saved = g_zor_context;
    g_zor_context = nullptr;
    EXPECT_EQ(run({"links"}), Strings{"ZOR context not UP"});
    g_zor_context = saved;
}

}  // namespace
