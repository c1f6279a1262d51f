// Clients and distribution through real sockets: fake peers in the test
// process connect to the daemon's socket, register, announce and withdraw
// TLOCs and read what zord sends them.
#include <gtest/gtest.h>

#include <algorithm>
#include <event2/event.h>
#include <sys/socket.h>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "msgq_util.h"
#include "ost_util.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_mem.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::msg_of;
using zt::msg_strs;
using zt::tloc_add_msg;
using zt::tloc_del_msg;

constexpr uint8_t k_biz = 4;  // biz-internet
constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

zor_tloc_key_t key(const std::string &ip)
{
    return zt::tloc_key(ip, k_biz, k_ipsec);
}
std::string add_str(const std::string &ip)
{
    return "TLOC-ADD " + ip + " : biz-internet : ipsec";
}
std::string del_str(const std::string &ip)
{
    return "TLOC-DEL " + ip + " : biz-internet : ipsec";
}

class ZorClient : public zt::PeerFixture {
protected:
    std::string holders(const t_zor_db_entry *e)
    {
        char text[256];
        return zor_db_entry_clients_str(ctx(), e, text, sizeof(text));
    }
};

TEST_F(ZorClient, PeerSetAndOneServerHandleEachOnTheSharedSocket)
{
    std::vector<uint32_t> expected = {1, 3, 4, 5, 9, 13, 16, 24};
    for (uint32_t id = 35; id <= 98; id++) {
        expected.push_back(id);
    }
    std::vector<uint32_t> peers;
    for (uint32_t id = 0; id < OST_MODULE_MAX; id++) {
        t_zor_client *c = ctx()->clients[id];
        ASSERT_EQ(c != nullptr, zor_client_is_peer(id)) << id;
        if (c == nullptr) {
            continue;
        }
        peers.push_back(id);
        EXPECT_EQ(c->handle->src, OST_MODULE_ZORD);
        EXPECT_EQ(c->handle->tgt, id);
        EXPECT_EQ(c->handle->type, MSGQ_HANDLE_TYPE_SERVER);
        EXPECT_EQ(std::string(c->handle->path), std::string(client(1)->handle->path));
    }
    EXPECT_EQ(peers, expected);
    EXPECT_NE(std::string(client(1)->handle->path).find("/.zord"), std::string::npos);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CLIENT), expected.size());
    EXPECT_EQ(zor_client_get(ctx(), 4000000000u), nullptr);
    EXPECT_EQ(zor_client_create(ctx(), 3), client(3)) << "an existing client is returned unchanged";
    EXPECT_EQ(zor_client_register(ctx(), 7, ZOR_AF_TLOC_IPV4, 1, 0), 6) << "not a client";
}

TEST_F(ZorClient, ADeletionReachesEveryHolderInChangeOrderWithTheKeyFieldsOnly)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *one = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4});
    FakePeer *two = connect(OST_MODULE_PROBED, {ZOR_AF_TLOC_IPV4});
    zor_msg_t first = tloc_add_msg(key("10.0.0.1"), 2);
    first.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
    first.body.tloc.attr.preference = 3;
    send(owner, {first, tloc_add_msg(key("10.0.0.2"), 2)});
    const uint32_t index = zor_af_tloc_of(tloc(key("10.0.0.1")))->index;
    one->take();
    two->take();
    // The deletion comes first, then a change of another TLOC: the holder
    // served second must get them in that order too.
    zor_msg_t changed = tloc_add_msg(key("10.0.0.2"), 2);
    changed.body.tloc.lr_enabled = 1;
    send(owner, {tloc_del_msg(key("10.0.0.1")), changed});
    for (FakePeer *p : {one, two}) {
        std::vector<zor_msg_t> got = p->take();
        ASSERT_EQ(msg_strs(got), (Strings{del_str("10.0.0.1"), add_str("10.0.0.2")})) << p->id();
        EXPECT_EQ(got[0].body.tloc.index, index);
        EXPECT_EQ(got[0].body.tloc.attr.flags, 0u) << "no attributes in a deletion";
    }
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
}

TEST_F(ZorClient, ALostConnectionWithdrawsWhatTheClientOwnedAndReleasesWhatItHeld)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4, ZOR_AF_DATA_DEVICE_IPV4});
    FakePeer *third = connect(OST_MODULE_MCASTD);
    send(owner, {tloc_add_msg(key("10.0.0.1"), 2)});
    send(third, {tloc_add_msg(key("10.0.0.7"), 2), tloc_add_msg(key("10.0.0.8"), 2)});
    EXPECT_EQ(obs->take().size(), 6u);
    env.drop(owner);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(obs->take()), (Strings{del_str("10.0.0.1"), "DATA-DEVICE-DEL 10.0.0.1 2"}));
    const t_zor_client *gone = client(OST_MODULE_CTLAGENT);
    ASSERT_NE(gone, nullptr) << "the record stays for a reconnection";
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        EXPECT_EQ(gone->marker[af], nullptr);
    }

    // The observer stops listening to TLOCs, one is deleted, the observer
    // goes: what it held no longer counts it, and the deleted TLOC that it
    // alone held is finished rather than left waiting for nobody.
    ASSERT_EQ(obs->send_unregister(ZOR_AF_TLOC_IPV4), 0);
    send(third, {tloc_del_msg(key("10.0.0.8"))});
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 2u);
    t_zor_db_entry *kept = tloc(key("10.0.0.7"));
    EXPECT_EQ(holders(kept), "policyd ");
    env.drop(obs);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(holders(kept), "");
    EXPECT_EQ(tloc(key("10.0.0.7")), kept) << "entries of others stay";
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
}

TEST_F(ZorClient, BadInputIsDroppedWithALogLineAndTheDaemonServesOn)
{
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4, ZOR_AF_DATA_DEVICE_IPV4});
    const zor_tloc_key_t k = key("10.1.1.1");
    zor_msg_t bad_family = tloc_add_msg(k, 2);
    bad_family.family = 10;
    zor_msg_t wrong_family = tloc_add_msg(k, 2);
    wrong_family.family = ZOR_AF_CTRL_DEVICE_IPV4;
    zor_msg_t dd_add = msg_of(ZOR_MSG_DATA_DEVICE_ADD, ZOR_AF_DATA_DEVICE_IPV4);
    dd_add.body.data_device.addr = ip_addr_v4(0x0a010101);
    zor_msg_t dd_del = dd_add;
    dd_del.type = ZOR_MSG_DATA_DEVICE_DEL;
    zor_msg_t bfd_link = zt::bfd_msg(k, 1);
    bfd_link.family = ZOR_AF_LINK;
    zor_msg_t no_address = tloc_add_msg(k, 2);
    no_address.body.tloc.key.addr.family = 0;
    zor_msg_t v4_in_v6 = tloc_add_msg(k, 1);
    v4_in_v6.family = ZOR_AF_TLOC_IPV6;
    for (const zor_msg_t &m : {bad_family, wrong_family, dd_add, dd_del, bfd_link, no_address,
                               zt::dd_state_msg(ZOR_AF_TRACKER, "10.1.1.1", 2), zt::msg_register(12, 1, 1)}) {
        ASSERT_EQ(p->send(m), 0);
    }
    ASSERT_EQ(p->send_bytes(std::string("\x01\x02", 2)), 0);
    ASSERT_EQ(p->send_bytes(std::string(1, '\x09')), 0);
    // A local TLOC, then the same IPv4 key named as TLOC-IPV6.
    send(p, {tloc_add_msg(k, 1), v4_in_v6});

    Strings dropped;
    for (const std::string &line : log.lines()) {
        if (zt::log_text(line).rfind("Dropped", 0) == 0) {
            dropped.push_back(zt::log_text(line));
        }
    }
    EXPECT_EQ(dropped, (Strings{
                           "Dropped TLOC-ADD from ctlagent: unknown address family 10",
                           "Dropped TLOC-ADD from ctlagent: not a message of family CTRL-DEVICE-IPV4",
                           "Dropped DATA-DEVICE-ADD from ctlagent: zord does not take this message type",
                           "Dropped DATA-DEVICE-DEL from ctlagent: zord does not take this message type",
                           "Dropped TLOC-BFD-STATUS from ctlagent: not a message of family LINK",
                           "Dropped a TLOC add of family TLOC-IPV4 with address family 0",
                           "Dropped DATA-DEVICE-STATE from ctlagent: not a message of family TRACKER",
                           "Dropped REGISTER from ctlagent: unknown address family 12",
                           "Dropped a message from ctlagent that cannot be decoded (2 bytes)",
                           "Dropped a message from ctlagent that cannot be decoded (1 bytes)",
                           "Dropped a TLOC add of family TLOC-IPV6 with address family 2",
                       }));
    // Counted: everything decoded with a family 0-9.
    const t_zor_client *c = client(OST_MODULE_CTLAGENT);
    const uint64_t received[ZOR_AF_COUNT] = {2, 1, 1, 0, 2, 0, 0, 0, 1, 1};
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        EXPECT_EQ(c->counters[af].received, received[af]) << af;
    }
    // Only the one good TLOC came through, and its device.
    EXPECT_EQ(msg_strs(obs->take()), (Strings{add_str("10.1.1.1"), "DATA-DEVICE-ADD 10.1.1.1 1"}));
    EXPECT_TRUE(p->up());
}

// What reaches whom is checked end to end by the in-process distribution
// test; here the log lines and the cases the filter lets through.
TEST_F(ZorClient, PairwiseKeysFilterLogLinesAndWhatItLetsThrough)
{
    g_zor_pwk_enabled = 1;
    g_zor_debug = 1;
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *adv = connect(OST_MODULE_ADVD, {ZOR_AF_TLOC_IPV4});
    FakePeer *xfw = connect(OST_MODULE_XFWD, {ZOR_AF_TLOC_IPV4});
    zor_msg_t add = tloc_add_msg(key("10.1.1.1"), 1);
    add.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY) | ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_INSTALLED);
    send(owner, {add});
    const std::string text = "tloc_origin=local, tloc_id: 10.1.1.1 : biz-internet : ipsec";
    EXPECT_EQ(logged("zor_db_send"), (Strings{"TLOC MSG ADD - installed FALSE", "TLOC MSG ADD - installed FALSE"}));
    EXPECT_EQ(logged("zor_pwk_db_send_filter"),
              (Strings{"Filtered ZOR_MSG_TLOC_ADD(Needs to be installed in FP) to ADV. " + text}));
    EXPECT_TRUE(adv->take().empty());
    EXPECT_EQ(xfw->take().size(), 1u);
    log.clear();
    add.body.tloc.attr.installed = 1;
    send(xfw, {add});
    EXPECT_EQ(logged("zor_pwk_db_send_filter"),
              (Strings{"ZOR_MSG_TLOC_ADD msg to ADV: " + text + ".",
                       "Filtered ZOR_MSG_TLOC_ADD(Already installed in FP) to XFW. " + text}));

    // What would be filtered but for a GRE encapsulation or a missing
    // security block is not (deletions, remote TLOCs and other clients are
    // the randomised distribution test's).
    zor_msg_body_t gre = add.body;
    gre.tloc.key.encap = OST_ENCAP_GRE;
    zor_msg_body_t plain = add.body;
    plain.tloc.attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_XFWD, ZOR_MSG_TLOC_ADD, &add.body), 1);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_XFWD, ZOR_MSG_TLOC_ADD, &gre), 0);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_XFWD, ZOR_MSG_TLOC_ADD, &plain), 0);
}

TEST_F(ZorClient, AWalkSliceEndsAtItsBudgetAndTheNextGoesOnFromTheMarker)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD);
    Strings expected;
    for (int i = 1; i <= 7; i++) {
        const std::string ip = "10.0.0." + std::to_string(i);
        ASSERT_EQ(owner->send(tloc_add_msg(key(ip), 2)), 0);
        expected.push_back(add_str(ip));
    }
    ASSERT_TRUE(env.settle());

    // Every read of the clock takes 300 ms: a slice starts, sends one entry
    // (300 ms), a second (600 ms) and stops.
    ASSERT_EQ(zor_client_register(ctx(), OST_MODULE_POLICYD, ZOR_AF_TLOC_IPV4, 1, 0), 0);
    t_zor_client *c = client(OST_MODULE_POLICYD);
    // The first yield of a run lets due timers run, which read the clock
    // too; having it done here keeps the reads below to the walk's own.
    zor_daemon_yield(ctx());
    env.clock().step_on_read_ms(300);
    EXPECT_EQ(zor_client_walk(c, ZOR_AF_TLOC_IPV4), 0);
    EXPECT_EQ(c->counters[ZOR_AF_TLOC_IPV4].sent, 2u);
    EXPECT_EQ(c->marker[ZOR_AF_TLOC_IPV4]->next, tloc(key("10.0.0.3"))) << "the marker waits before the next entry";
    EXPECT_TRUE(event_pending(ctx()->walk_event, EV_TIMEOUT, nullptr)) << "and the walk goes on later";

    // The loop finishes the walk slice by slice, each entry once, in order.
    ASSERT_TRUE(env.settle());
    env.clock().step_on_read_ms(0);
    EXPECT_EQ(msg_strs(obs->take()), expected);
    EXPECT_EQ(zor_db_list(ctx(), ZOR_AF_TLOC_IPV4)->last, &c->marker[ZOR_AF_TLOC_IPV4]->next) << "then at the tail";

    // A TLOC that came and went before this walk got to it, still held by a
    // client that left the family: a slice of only that deletion, which this
    // client is not owed, moves the marker on all the same.
    zor_msg_t brief = tloc_add_msg(key("10.0.0.8"), 2);
    t_zor_db_entry *gone = zor_af_add(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &brief);
    ASSERT_NE(gone, nullptr);
    zor_bitmap_set(gone->sent_bitmap, OST_MODULE_PROBED);
    brief = tloc_del_msg(key("10.0.0.8"));
    zor_af_delete(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &brief);
    EXPECT_EQ(zor_client_walk(c, ZOR_AF_TLOC_IPV4), 0);
    EXPECT_EQ(zor_db_list(ctx(), ZOR_AF_TLOC_IPV4)->last, &c->marker[ZOR_AF_TLOC_IPV4]->next) << "past the deletion";
    EXPECT_EQ(zor_client_walk(c, ZOR_AF_LINK), 0) << "a family the client did not announce";
    EXPECT_EQ(c->counters[ZOR_AF_LINK].sent, 0u);
}

// A TLOC add of 10.0.<i/250>.<i%250 + 1> with preference pref.
zor_msg_t numbered_add(int i, uint32_t pref)
{
    zor_msg_t m = tloc_add_msg(key("10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)), 2);
    m.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
    m.body.tloc.attr.preference = pref;
    return m;
}

// What a client received, as "<index> <pref>" for adds and "<index> del".
Strings index_pref(const std::vector<zor_msg_t> &msgs)
{
    Strings out;
    for (const zor_msg_t &m : msgs) {
        out.push_back(std::to_string(m.body.tloc.index) + " " +
                      (m.type == ZOR_MSG_TLOC_DEL ? "del" : std::to_string(m.body.tloc.attr.preference)));
    }
    return out;
}

TEST_F(ZorClient, AStalledClientWaitsAtItsMarkerAndResumesWithTheCurrentStateInChangeOrder)
{
    const t_zor_dist_config saved = g_zor_dist_config;
    g_zor_dist_config.client_high = 2048;
    g_zor_dist_config.client_low = 512;
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *healthy = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4});
    FakePeer *stalled = connect(OST_MODULE_PROBED, {ZOR_AF_TLOC_IPV4});
    t_zor_client *sc = client(OST_MODULE_PROBED);
    // The stalled peer stops reading; zord's socket to it holds little.
    event_del(stalled->handle()->read_ev.get());
    int size = 4096;
    ASSERT_EQ(setsockopt(sc->handle->sock_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)), 0);

    // 300 adds, then 300 changes, then 20 deletions (some 40 KB): the
    // healthy client gets every one of them while the other is stalled,
    // whose queue stays at its mark.
    const int n = 300;
    Strings want_healthy;
    for (uint32_t pref : {1u, 2u}) {
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(owner->send(numbered_add(i, pref)), 0);
            want_healthy.push_back(std::to_string(32770 + i) + " " + std::to_string(pref));
        }
        ASSERT_TRUE(env.run_until([&] { return healthy->received().size() == want_healthy.size(); }));
        EXPECT_EQ(sc->stalled, 1);
        EXPECT_LE(msgq_get_queue_bytes(sc->handle), 2048u + 100u) << "a stalled client costs no more";
    }
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(owner->send(tloc_del_msg(numbered_add(i, 0).body.tloc.key)), 0);
        want_healthy.push_back(std::to_string(32770 + i) + " del");
    }
    ASSERT_TRUE(env.run_until([&] { return healthy->received().size() == want_healthy.size(); }));
    EXPECT_EQ(index_pref(healthy->take()), want_healthy);
    EXPECT_TRUE(stalled->received().empty());

    // Back to reading: what it was sent before it stalled, then the current
    // state of every entry it was not sent, in change order, and the
    // deletions of those it holds.
    event_add(stalled->handle()->read_ev.get(), nullptr);
    ASSERT_TRUE(env.settle());
    const Strings got = index_pref(stalled->take());
    size_t k = 0;
    while (k < got.size() && got[k] == std::to_string(32770 + k) + " 1") {
        k++;
    }
    ASSERT_GT(k, 0u);
    ASSERT_LT(k, static_cast<size_t>(n) - 20) << "it stalled during the adds";
    Strings want(got.begin(), got.begin() + static_cast<long>(k));
    for (int i = 20; i < n; i++) {
        want.push_back(std::to_string(32770 + i) + " 2");
    }
    for (size_t i = 0; i < std::min<size_t>(k, 20); i++) {
        want.push_back(std::to_string(32770 + i) + " del");
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(sc->stalled, 0);
    g_zor_dist_config = saved;
}

int g_alloc_failures = 0;
void *failing_alloc(size_t size)
{
    if (g_alloc_failures > 0) {
        g_alloc_failures--;
        return nullptr;
    }
    return zor_mem_msgq_alloc(size);
}

TEST_F(ZorClient, OutOfMemoryIsLoggedOnceAndRetriedOnATimer)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD, {ZOR_AF_TLOC_IPV4});
    FakePeer *other = connect(OST_MODULE_PROBED, {ZOR_AF_TLOC_IPV4});
    msgq_handle_t *h = client(OST_MODULE_POLICYD)->handle;
    h->cbs.alloc_msg = failing_alloc;
    g_alloc_failures = 3;
    ASSERT_EQ(owner->send(tloc_add_msg(key("10.0.0.1"), 2)), 0);
    // The other client does not wait; this one gets the add once memory is back.
    ASSERT_TRUE(env.run_until([&] { return other->received().size() == 1; }));
    ASSERT_TRUE(env.run_until([&] { return obs->received().size() == 1; }));
    EXPECT_EQ(msg_strs(obs->take()), (Strings{add_str("10.0.0.1")}));
    EXPECT_EQ(h->stats.alloc_failed, 3u);
    EXPECT_EQ(logged("zor_dist_failed"),
              (Strings{"Sending TLOC-IPV4 to policyd failed (2): retrying every 200 ms"}));
    EXPECT_EQ(logged("zor_dist_send_one"), (Strings{"Sending to policyd resumed"}));
    EXPECT_EQ(client(OST_MODULE_POLICYD)->counters[ZOR_AF_TLOC_IPV4].sent, 1u);
    h->cbs.alloc_msg = zor_mem_msgq_alloc;
}

TEST_F(ZorClient, AnnouncementLogOfATlocWithEveryAttribute)
{
    g_zor_debug_announce = 1;
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    const zor_msg_t add = zt::tloc_msg_every_attr();
    send(p, {add});
    char flags[OST_ATTR_FLAGS_STR_LEN];
    Strings expected = {
        "Received ZOR Msg TLOC-ADD, Client: ctlagent, AF: TLOC-IPV4",
        "    TLOC: 10.1.1.1 : biz-internet : ipsec, Index: 0, Origin: local, Status: unknown, LR enabled: 1, LR hold "
        "time: 30\n",
        std::string("      Attributes: ") + ost_attr_flags_str(add.body.tloc.attr.flags, flags, sizeof(flags)) + "\n",
        "        Preference: 5\n",
        "        Weight: 6\n",
        "        Gen-ID: 7\n",
        "        Version: 8\n",
        "        Site-ID: 9\n",
        "        Region-ID: 10\n",
        "        Carrier: 3\n",
        "        TLOC_installed: 1\n",
        "        Stale: 1\n",
        "        Restrict: 1\n",
        "        On-Demand: 2",
        "        Border: 1\n",
        "        Bandwidth: 100\n",
        "        Qos_Group: gold\n",
        "        Capability: 0x255\n",
        "        Group: Count: 2\n",
        "        Groups: 0 7 \n",
        "        TLOCv4-Public: 1.2.3.4:12346\n",
        "        TLOCv4-Private: 10.0.0.1:12347\n",
        "        TLOCv6-Public: 2001:db8::1:12348\n",
        "        TLOCv6-Private: fd00::1:12349\n",
        "        TLOC-Encap: ipsec-tunnel\n",
        "          Integrity: ip-udp-esp esp none(0x19) Encryption: aes256(0xc) SPI 256",
        "          SPI 77, Flags 0x1\n          Integrity: 0, encrypt-keys: 2 auth-keys: 1\n",
        "          Number of protocols 2",
        "          Proto[0] ESP",
        "          Proto[1] AH",
        "          Number of encrypt types: 2",
        "          Encrypt type[0] AES128-GCM",
        "          Encrypt type[1] AES256-GCM",
        "          Number of integrity types: 1",
        "          integrity type[0] HMAC_SHA1",
        "      #Paths: 0\n",
    };
    Strings got = logged("zor_debug");
    got.resize(std::min(got.size(), expected.size()));
    EXPECT_EQ(got, expected);
}

TEST_F(ZorClient, AnnouncementLogOfEveryOtherMessageType)
{
    g_zor_debug_announce = 1;
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    const zor_tloc_key_t local = key("10.0.0.1");
    const zor_tloc_key_t remote = zt::tloc_key("10.0.0.2", 2, OST_ENCAP_GRE);
    zor_msg_t link_status = msg_of(ZOR_MSG_LINK_STATUS, ZOR_AF_LINK);
    link_status.body.link_status = {remote, local, 1, 1400, 12, {}, 1, 2, 3};
    zor_msg_t link = msg_of(ZOR_MSG_LINK_ADD, ZOR_AF_LINK);
    link.body.link = {remote, local, 32771, 32770, 2, {}, 1, 1500, 40000, 4, 1, {}, 5, 6, 7, 0};
    zor_msg_t link_del = link;
    link_del.type = ZOR_MSG_LINK_DEL;
    zor_msg_t ctrl = msg_of(ZOR_MSG_CTRL_DEVICE_ADD, ZOR_AF_CTRL_DEVICE_IPV4);
    ctrl.body.ctrl_device = {ip_addr_v4(0x01010101), 3, 1, 0, {}, 2, {4, 9}};
    zor_msg_t vpn = msg_of(ZOR_MSG_VPN_SEC_ADD, ZOR_AF_VPN_SEC);
    vpn.body.vpn_sec = {12, ip_addr_v4(0x02020202), 1, {}, {}};
    vpn.body.vpn_sec.attr.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP);
    vpn.body.vpn_sec.attr.encap = ZOR_TUNNEL_ENCAP_GRE;
    vpn.body.vpn_sec.attr.encap_key = 99;
    zor_msg_t peer = msg_of(ZOR_MSG_PEER_SEC_DEL, ZOR_AF_PEER_SEC);
    peer.body.peer_sec = {13, ip_addr_v4(0x03030303), ip_addr_v4(0x04040404), 2, {}, {}};
    zor_msg_t tracker = msg_of(ZOR_MSG_TRACKER_STATUS, ZOR_AF_TRACKER);
    tracker.body.tracker = {"trk", "ge0/1", {}, 5, 0, 1, 0, {}};
    send(p, {zt::msg_register(ZOR_AF_DATA_DEVICE_IPV4, 1, 0), zt::bfd_msg(remote, 1), link_status, link, link_del,
             ctrl, vpn, peer, tracker, zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 2), tloc_add_msg(remote, 2)});
    EXPECT_EQ(logged("zor_debug"),
              (Strings{
                  "Received ZOR Msg REGISTER, Client: ctlagent, AF: DATA-DEVICE-IPV4",
                  "    Announcement: Enabled, Originate: Disabled\n",
                  "Received ZOR Msg TLOC-BFD-STATUS, Client: ctlagent, AF: TLOC-IPV4",
                  "    TLOC: 10.0.0.2 : mpls : gre, Status: up\n",
                  "Received ZOR Msg LINK-STATUS, Client: ctlagent, AF: LINK",
                  "    Remote-TLOC: 10.0.0.2 : mpls : gre, Local-TLOC: 10.0.0.1 : biz-internet : ipsec, Status: UP, Rec "
                  "Idx: 12 MTU: 1400, Loss: 1, Latency: 2, Jitter: 3\n",
                  "Received ZOR Msg LINK-ADD, Client: ctlagent, AF: LINK",
                  "    [10.0.0.1 : biz-internet : ipsec] [32770] ==> [10.0.0.2 : mpls : gre] [32771]  Origin: remote\n",
                  "      Preference: 4, MTU: 1500, Label: 40000, Status: UP, Stale: 1\n",
                  "      Loss: 5, Latency: 6, Jitter: 7\n",
                  "Received ZOR Msg LINK-DEL, Client: ctlagent, AF: LINK",
                  "    [10.0.0.1 : biz-internet : ipsec] [32770] ==> [10.0.0.2 : mpls : gre] [32771]  Origin: remote\n",
                  "Received ZOR Msg CTRL-DEVICE-ADD, Client: ctlagent, AF: CTRL-DEVICE-IPV4",
                  "    Device: 1.1.1.1, Type: Solon, State: UP, Staging: no\n    Region-id-set: 4 9\n",
                  "Received ZOR Msg VPN-SEC-ADD, Client: ctlagent, AF: VPN-SEC",
                  "    VPN: 12 Remote IP: 2.2.2.2 Origin: local\n",
                  "      Attributes: ENCAP \n",
                  "        Encap: gre\n",
                  "          Key: 99\n",
                  "Received ZOR Msg PEER-SEC-DEL, Client: ctlagent, AF: PEER-SEC",
                  "    VPN: 13 Origin IP: 3.3.3.3 Dest IP: 4.4.4.4 Origin: remote\n",
                  "      Attributes: \n",
                  "Received ZOR Msg TRACKER-STATUS, Client: ctlagent, AF: TRACKER",
                  "    Tracker-Name: trk, Attach-Point: ge0/1, VpnId : 5 Status: UP\n",
                  "Received ZOR Msg DATA-DEVICE-STATE, Client: ctlagent, AF: TLOC-IPV4",
                  "    System IP: 10.0.0.2, state set to Inactive",
                  "Received ZOR Msg TLOC-ADD, Client: ctlagent, AF: TLOC-IPV4",
                  "    TLOC: 10.0.0.2 : mpls : gre, Index: 0, Origin: remote, Status: unknown, LR enabled: 0, LR hold "
                  "time: 0\n",
                  "      Attributes: CARRIER \n",
                  "        Carrier: 1\n",
                  "      #Paths: 0\n",
                  "Sent ZOR Msg DATA-DEVICE-ADD, Client: ctlagent, AF: DATA-DEVICE-IPV4",
                  "    Device: 10.0.0.2, Status: 2\n",
              }));
    // Switched off: not a line.
    g_zor_debug_announce = 0;
    log.clear();
    send(p, {zt::bfd_msg(remote, 1)});
    EXPECT_EQ(log.count("ZOR Msg"), 0u);
}

TEST_F(ZorClient, ClientAndMessageQueueDumps)
{
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    reg(p, ZOR_AF_DATA_DEVICE_IPV4, 1, 1);
    send(p, {tloc_add_msg(key("10.0.0.1"), 2)});
    maapi_cli_capture cli(11, 12);
    EXPECT_EQ(zor_dump_clients(cli.uinfo(), nullptr, 0, nullptr), 0);
    Strings expected = {"======================", "DUMPING CLIENTS", "======================"};
    char line[128];
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        if (client(id) == nullptr) {
            continue;
        }
        snprintf(line, sizeof(line), "Client: %s (%p)", ost_module_str(id), static_cast<const void *>(client(id)));
        expected.insert(expected.end(), {"", line});
        for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
            const bool ctl = id == OST_MODULE_CTLAGENT;
            const int dd = ctl && af == ZOR_AF_DATA_DEVICE_IPV4 ? 1 : 0;
            const unsigned long received = dd || (ctl && af == ZOR_AF_TLOC_IPV4) ? 1 : 0;
            snprintf(line, sizeof(line), "    %s    Announce: %d  Originate: %d  Sent: %d  Received: %lu",
                     zor_af_str(af), dd, dd, dd, received);
            expected.insert(expected.end(), {"", line});
        }
        expected.push_back("");
    }
    EXPECT_EQ(zt::split_lines(cli.text()), expected);

    maapi_cli_capture msgq(13, 14);
    maapi_cli_capture direct(15, 16);
    EXPECT_EQ(zor_dump_msgq(msgq.uinfo(), nullptr, 0, nullptr), 0);
    msgq_dump(15, 16);
    EXPECT_FALSE(msgq.text().empty());
    EXPECT_EQ(msgq.text(), direct.text());
}

TEST_F(ZorClient, ProgrammingErrorsStopTheProcess)
{
    const std::function<void()> calls[] = {
        [&] { (void)zor_client_create(ctx(), OST_MODULE_MAX); },
        [&] { zor_client_destroy(ctx(), OST_MODULE_MAX); },
        [&] { (void)zor_client_register(ctx(), OST_MODULE_MAX, ZOR_AF_TLOC_IPV4, 1, 0); },
        [&] { zor_client_unregister(ctx(), OST_MODULE_MAX, ZOR_AF_TLOC_IPV4); },
    };
    for (const auto &call : calls) {
        EXPECT_TRUE(zt::stops_on_assertion(call, "zord/zor_client", "client_id < OST_MODULE_MAX"));
    }
    EXPECT_TRUE(zt::stops_on_assertion([] { zor_client_conn_down(nullptr, nullptr, nullptr, nullptr); },
                                       "zord/zor_client:84", "0"));
}

}  // namespace
