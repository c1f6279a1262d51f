// Clients and distribution through real sockets: fake peers in the test
// process connect to the daemon's socket, register, announce and withdraw
// TLOCs and read what zord sends them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "maapi_cli.h"
#include "msgq_util.h"
#include "ost_util.h"
#include "test_support.h"
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

constexpr uint8_t k_biz = 4;  // biz-internet
constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

// The text of a log line without its "function[line]: " prefix.
std::string strip(const std::string &line)
{
    size_t pos = line.find("]: ");
    return pos == std::string::npos ? line : line.substr(pos + 3);
}

// The stripped log lines from the first one equal to `first` on, `count` of them.
Strings log_run(const zt::LogCapture &log, const std::string &first, size_t count)
{
    Strings out;
    for (const std::string &line : log.lines()) {
        if (out.empty() && strip(line) != first) {
            continue;
        }
        if (out.size() == count) {
            break;
        }
        out.push_back(strip(line));
    }
    return out;
}

class ZorClient : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(env.init_rc(), 0); }
    void TearDown() override
    {
        g_zor_pwk_enabled = 0;
        g_zor_debug = 0;
        g_zor_debug_announce = 0;
        env.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_context *ctx() { return env.ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }
    t_zor_db_entry *tloc(const zor_tloc_key_t &key)
    {
        return zor_af_tloc_find(zt::tloc_af(key), ctx(), &key, nullptr);
    }
    FakePeer *connect(uint32_t id)
    {
        FakePeer *p = env.connect(id);
        EXPECT_NE(p, nullptr) << "peer " << id << " did not come up";
        return p;
    }

    zt::LogCapture log;
    zt::PeerEnv env;
};

TEST_F(ZorClient, PeerSetAndOneServerHandleEachOnTheSharedSocket)
{
    std::vector<uint32_t> peers;
    for (uint32_t id = 0; id < OST_MODULE_MAX; id++) {
        if (zor_client_is_peer(id)) {
            peers.push_back(id);
        }
        t_zor_client *c = ctx()->clients[id];
        EXPECT_EQ(c != nullptr, zor_client_is_peer(id)) << id;
        if (c != nullptr) {
            EXPECT_EQ(c->id, id);
            EXPECT_EQ(c->context, ctx());
            ASSERT_NE(c->handle, nullptr);
            EXPECT_EQ(c->handle->src, OST_MODULE_ZORD);
            EXPECT_EQ(c->handle->tgt, id);
            EXPECT_EQ(c->handle->type, MSGQ_HANDLE_TYPE_SERVER);
        }
    }
    std::vector<uint32_t> expected = {1, 3, 4, 5, 9, 13, 16, 24};
    for (uint32_t id = 35; id <= 98; id++) {
        expected.push_back(id);
    }
    EXPECT_EQ(peers, expected);
    EXPECT_EQ(zor_client_get(ctx(), OST_MODULE_MAX), nullptr);
    EXPECT_EQ(zor_client_get(ctx(), 4000000000u), nullptr);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_CLIENT), expected.size());
    // All of them listen on "<run dir>/.zord".
    EXPECT_EQ(std::string(client(1)->handle->path), std::string(client(98)->handle->path));
    EXPECT_NE(std::string(client(1)->handle->path).find("/.zord"), std::string::npos);
    // Creating an existing client returns it unchanged.
    EXPECT_EQ(zor_client_create(ctx(), 3), client(3));
    // A register for a module that is no client.
    EXPECT_EQ(zor_client_register(ctx(), 7, ZOR_AF_TLOC_IPV4, 1, 0), 6);
}

TEST_F(ZorClient, RegisteringGetsEveryEntryInChangeOrderThenOnlyChanges)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    const zor_tloc_key_t a = tloc_key("10.0.0.1", k_biz, k_ipsec);
    const zor_tloc_key_t b = tloc_key("10.0.0.2", k_biz, k_ipsec);
    const zor_tloc_key_t c = tloc_key("10.0.0.3", k_biz, k_ipsec);
    zor_msg_t changed_c = tloc_add_msg(c, 2);
    changed_c.body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_PREF);
    changed_c.body.tloc.attr.preference = 7;
    for (const zor_msg_t &m : {tloc_add_msg(c, 2), tloc_add_msg(a, 2), tloc_add_msg(b, 2), changed_c}) {
        ASSERT_EQ(owner->send(m), 0);
    }
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(owner->received().empty()) << "nothing registered yet";

    FakePeer *obs = connect(OST_MODULE_POLICYD);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(obs->take()), (Strings{"TLOC-ADD 10.0.0.1 : biz-internet : ipsec",
                                              "TLOC-ADD 10.0.0.2 : biz-internet : ipsec",
                                              "TLOC-ADD 10.0.0.3 : biz-internet : ipsec"}));
    EXPECT_EQ(client(OST_MODULE_POLICYD)->counters[ZOR_AF_TLOC_IPV4].sent, 3u);
    EXPECT_EQ(client(OST_MODULE_POLICYD)->counters[ZOR_AF_TLOC_IPV4].received, 1u) << "the register";

    // Afterwards only what changes.
    zor_msg_t changed_b = tloc_add_msg(b, 2);
    changed_b.body.tloc.lr_enabled = 1;
    ASSERT_EQ(owner->send(changed_b), 0);
    ASSERT_TRUE(env.settle());
    std::vector<zor_msg_t> got = obs->take();
    ASSERT_EQ(msg_strs(got), (Strings{"TLOC-ADD 10.0.0.2 : biz-internet : ipsec"}));
    EXPECT_EQ(got[0].body.tloc.lr_enabled, 1);
    EXPECT_EQ(got[0].sender, static_cast<uint32_t>(OST_MODULE_ZORD));
    EXPECT_EQ(got[0].family, ZOR_AF_TLOC_IPV4);

    // Registering a family that already has a marker changes nothing.
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(obs->take().empty());

    // A register with announce 0 is ignored, originate included.
    ASSERT_EQ(obs->send_register(ZOR_AF_DATA_DEVICE_IPV4, 0, 1), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(obs->take().empty());
    EXPECT_EQ(client(OST_MODULE_POLICYD)->announce[ZOR_AF_DATA_DEVICE_IPV4], 0);
    EXPECT_EQ(client(OST_MODULE_POLICYD)->originate[ZOR_AF_DATA_DEVICE_IPV4], 0);
    EXPECT_EQ(client(OST_MODULE_POLICYD)->marker[ZOR_AF_DATA_DEVICE_IPV4], nullptr);

    // The devices zord derived from the TLOCs, in their change order.
    ASSERT_EQ(obs->send_register(ZOR_AF_DATA_DEVICE_IPV4), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(obs->take()),
              (Strings{"DATA-DEVICE-ADD 10.0.0.1 2", "DATA-DEVICE-ADD 10.0.0.3 2", "DATA-DEVICE-ADD 10.0.0.2 2"}));

    // A client receives the entries it owns itself.
    ASSERT_EQ(owner->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(owner->take()), (Strings{"TLOC-ADD 10.0.0.1 : biz-internet : ipsec",
                                                "TLOC-ADD 10.0.0.3 : biz-internet : ipsec",
                                                "TLOC-ADD 10.0.0.2 : biz-internet : ipsec"}));
    char holders[256];
    EXPECT_STREQ(zor_db_entry_clients_str(ctx(), tloc(a), holders, sizeof(holders)), "ctlagent policyd ");
}

TEST_F(ZorClient, AnEntryGoneBeforeTheWalkIsNeverSentAndHeldOnesWaitForEveryHolder)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *one = connect(OST_MODULE_POLICYD);
    FakePeer *two = connect(OST_MODULE_PROBED);
    ASSERT_EQ(one->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_EQ(two->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());

    // Added and withdrawn within one read: nobody ever hears of it.
    const zor_tloc_key_t x = tloc_key("10.9.9.9", k_biz, k_ipsec);
    ASSERT_EQ(owner->send(tloc_add_msg(x, 2)), 0);
    ASSERT_EQ(owner->send(tloc_del_msg(x)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(one->received().empty());
    EXPECT_TRUE(two->received().empty());
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 0u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 0u);

    // Held by two clients, one of which unregistered: the entry waits for it.
    const zor_tloc_key_t y = tloc_key("10.8.8.8", k_biz, k_ipsec);
    ASSERT_EQ(owner->send(tloc_add_msg(y, 2)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(one->take()), (Strings{"TLOC-ADD 10.8.8.8 : biz-internet : ipsec"}));
    EXPECT_EQ(msg_strs(two->take()), (Strings{"TLOC-ADD 10.8.8.8 : biz-internet : ipsec"}));
    t_zor_db_entry *entry = tloc(y);
    ASSERT_NE(entry, nullptr);
    ASSERT_EQ(two->send_unregister(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(client(OST_MODULE_PROBED)->marker[ZOR_AF_TLOC_IPV4], nullptr);
    EXPECT_EQ(client(OST_MODULE_PROBED)->announce[ZOR_AF_TLOC_IPV4], 1) << "announce stays set";

    ASSERT_EQ(owner->send(tloc_del_msg(y)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(one->take()), (Strings{"TLOC-DEL 10.8.8.8 : biz-internet : ipsec"}));
    EXPECT_TRUE(two->received().empty());
    EXPECT_EQ(tloc(y), nullptr) << "out of the tree";
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u) << "still held by probed";
    EXPECT_TRUE(entry->flags & ZOR_ENTRY_WITHDRAWN);
    char holders[256];
    EXPECT_STREQ(zor_db_entry_clients_str(ctx(), entry, holders, sizeof(holders)), "probed ");

    // Registering again brings the deletion, and the entry goes.
    ASSERT_EQ(two->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());
    std::vector<zor_msg_t> got = two->take();
    ASSERT_EQ(msg_strs(got), (Strings{"TLOC-DEL 10.8.8.8 : biz-internet : ipsec"}));
    EXPECT_EQ(got[0].body.tloc.index, 32771u) << "a deletion carries the key fields";
    EXPECT_EQ(got[0].body.tloc.attr.flags, 0u) << "and no attributes";
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 0u);
}

TEST_F(ZorClient, ADeletionReachesEveryHolderInChangeOrder)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *one = connect(OST_MODULE_POLICYD);
    FakePeer *two = connect(OST_MODULE_PROBED);
    ASSERT_EQ(one->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_EQ(two->send_register(ZOR_AF_TLOC_IPV4), 0);
    const zor_tloc_key_t gone = tloc_key("10.0.0.1", k_biz, k_ipsec);
    const zor_tloc_key_t kept = tloc_key("10.0.0.2", k_biz, k_ipsec);
    ASSERT_EQ(owner->send(tloc_add_msg(gone, 2)), 0);
    ASSERT_EQ(owner->send(tloc_add_msg(kept, 2)), 0);
    ASSERT_TRUE(env.settle());
    one->take();
    two->take();
    // The deletion comes first, then a change of another TLOC; the holder
    // served second must not get them the other way round.
    zor_msg_t changed = tloc_add_msg(kept, 2);
    changed.body.tloc.lr_enabled = 1;
    ASSERT_EQ(owner->send(tloc_del_msg(gone)), 0);
    ASSERT_EQ(owner->send(changed), 0);
    ASSERT_TRUE(env.settle());
    const Strings expected = {"TLOC-DEL 10.0.0.1 : biz-internet : ipsec", "TLOC-ADD 10.0.0.2 : biz-internet : ipsec"};
    EXPECT_EQ(msg_strs(one->take()), expected);
    EXPECT_EQ(msg_strs(two->take()), expected);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
}

TEST_F(ZorClient, ALostConnectionWithdrawsWhatTheClientOwned)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD);
    FakePeer *third = connect(OST_MODULE_MCASTD);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_EQ(obs->send_register(ZOR_AF_DATA_DEVICE_IPV4), 0);
    ASSERT_EQ(owner->send(tloc_add_msg(tloc_key("10.0.0.1", k_biz, k_ipsec), 2)), 0);
    ASSERT_EQ(owner->send(tloc_add_msg(tloc_key("10.0.0.2", k_biz, k_ipsec), 2)), 0);
    const zor_tloc_key_t kept = tloc_key("10.0.0.7", k_biz, k_ipsec);
    ASSERT_EQ(third->send(tloc_add_msg(kept, 2)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(obs->take().size(), 6u);

    env.drop(owner);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(obs->take()),
              (Strings{"TLOC-DEL 10.0.0.1 : biz-internet : ipsec", "TLOC-DEL 10.0.0.2 : biz-internet : ipsec",
                       "DATA-DEVICE-DEL 10.0.0.1 2", "DATA-DEVICE-DEL 10.0.0.2 2"}));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
    EXPECT_EQ(zt::mem_current(ZOR_MEM_DATA_DEVICE_NLRI), 1u);
    const t_zor_client *gone = client(OST_MODULE_CTLAGENT);
    ASSERT_NE(gone, nullptr) << "the record stays for a reconnection";
    for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
        EXPECT_EQ(gone->marker[af], nullptr);
    }

    // The observer goes too: what it held no longer counts it as a holder.
    t_zor_db_entry *entry = tloc(kept);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(zor_bitmap_test(entry->sent_bitmap, OST_MODULE_POLICYD));
    env.drop(obs);
    ASSERT_TRUE(env.settle());
    EXPECT_FALSE(zor_bitmap_test(entry->sent_bitmap, OST_MODULE_POLICYD));
    EXPECT_FALSE(zor_db_entry_is_held(entry));
    EXPECT_EQ(tloc(kept), entry) << "entries of others stay";

    // A peer that comes back registers again and gets everything anew.
    FakePeer *back = connect(OST_MODULE_POLICYD);
    ASSERT_EQ(back->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(msg_strs(back->take()), (Strings{"TLOC-ADD 10.0.0.7 : biz-internet : ipsec"}));
}

TEST_F(ZorClient, AWithdrawnEntryHeldOnlyByALostClientIsFinished)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    const zor_tloc_key_t key = tloc_key("10.0.0.1", k_biz, k_ipsec);
    ASSERT_EQ(owner->send(tloc_add_msg(key, 2)), 0);
    ASSERT_TRUE(env.settle());
    ASSERT_EQ(obs->take().size(), 1u);
    // The observer stops listening, the owner deletes, the observer goes:
    // nobody is left who holds the entry.
    ASSERT_EQ(obs->send_unregister(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_EQ(owner->send(tloc_del_msg(key)), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
    env.drop(obs);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 0u);
}

TEST_F(ZorClient, BadInputIsDroppedWithALogLineAndTheDaemonServesOn)
{
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD);
    ASSERT_EQ(obs->send_register(ZOR_AF_TLOC_IPV4), 0);
    ASSERT_EQ(obs->send_register(ZOR_AF_DATA_DEVICE_IPV4), 0);
    ASSERT_TRUE(env.settle());
    const zor_tloc_key_t key = tloc_key("10.1.1.1", k_biz, k_ipsec);

    zor_msg_t bad_family = tloc_add_msg(key, 2);
    bad_family.family = 10;
    zor_msg_t wrong_family = tloc_add_msg(key, 2);
    wrong_family.family = ZOR_AF_CTRL_DEVICE_IPV4;
    zor_msg_t dd_add{};
    dd_add.type = ZOR_MSG_DATA_DEVICE_ADD;
    dd_add.family = ZOR_AF_DATA_DEVICE_IPV4;
    dd_add.body.data_device.addr = ip_addr_v4(0x0a010101);
    dd_add.body.data_device.status = 1;
    zor_msg_t dd_del = dd_add;
    dd_del.type = ZOR_MSG_DATA_DEVICE_DEL;
    zor_msg_t bfd_link = zt::bfd_msg(key, 1);
    bfd_link.family = ZOR_AF_LINK;
    zor_msg_t no_address = tloc_add_msg(key, 2);
    no_address.body.tloc.key.addr.family = 0;
    zor_msg_t v4_in_v6 = tloc_add_msg(key, 1);
    v4_in_v6.family = ZOR_AF_TLOC_IPV6;
    zor_msg_t state_bad = zt::dd_state_msg(ZOR_AF_TRACKER, "10.1.1.1", 2);
    zor_msg_t register_bad = zt::msg_register(12, 1, 1);
    for (const zor_msg_t &m : {bad_family, wrong_family, dd_add, dd_del, bfd_link, no_address, state_bad, register_bad}) {
        ASSERT_EQ(p->send(m), 0);
    }
    ASSERT_EQ(p->send_bytes(std::string("\x01\x02", 2)), 0);
    ASSERT_EQ(p->send_bytes(std::string(1, '\x09')), 0);
    // A local TLOC, then the same IPv4 key named as TLOC-IPV6.
    ASSERT_EQ(p->send(tloc_add_msg(key, 1)), 0);
    ASSERT_EQ(p->send(v4_in_v6), 0);
    ASSERT_TRUE(env.settle());

    Strings dropped;
    for (const std::string &line : log.lines()) {
        std::string text = strip(line);
        if (text.rfind("Dropped", 0) == 0 || text.rfind("Ignored", 0) == 0) {
            dropped.push_back(text);
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
    EXPECT_EQ(c->counters[ZOR_AF_TLOC_IPV4].received, 2u);
    EXPECT_EQ(c->counters[ZOR_AF_TLOC_IPV6].received, 1u);
    EXPECT_EQ(c->counters[ZOR_AF_CTRL_DEVICE_IPV4].received, 1u);
    EXPECT_EQ(c->counters[ZOR_AF_DATA_DEVICE_IPV4].received, 2u);
    EXPECT_EQ(c->counters[ZOR_AF_LINK].received, 1u);
    EXPECT_EQ(c->counters[ZOR_AF_TRACKER].received, 1u);
    EXPECT_EQ(c->announce[ZOR_AF_TLOC_IPV4], 0);

    // Only the one good TLOC came through, and its device.
    EXPECT_EQ(msg_strs(obs->take()),
              (Strings{"TLOC-ADD 10.1.1.1 : biz-internet : ipsec", "DATA-DEVICE-ADD 10.1.1.1 1"}));
    EXPECT_EQ(zt::mem_current(ZOR_MEM_TLOC_NLRI), 1u);
    EXPECT_TRUE(p->up());
}

TEST_F(ZorClient, PairwiseKeysGoToAdvdOnceInstalledAndToXfwdUntilThen)
{
    g_zor_pwk_enabled = 1;
    g_zor_debug = 1;
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *adv = connect(OST_MODULE_ADVD);
    FakePeer *xfw = connect(OST_MODULE_XFWD);
    FakePeer *pol = connect(OST_MODULE_POLICYD);
    for (FakePeer *p : {adv, xfw, pol}) {
        ASSERT_EQ(p->send_register(ZOR_AF_TLOC_IPV4), 0);
    }
    const zor_tloc_key_t key = tloc_key("10.1.1.1", k_biz, k_ipsec);
    zor_msg_t add = tloc_add_msg(key, 1);
    zor_tloc_attr_t &attr = add.body.tloc.attr;
    attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY) | ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_INSTALLED);
    attr.sec.spi = 4242;
    attr.sec.enc_key_count = 2;
    memset(attr.sec.enc_keys[0].key, 0x11, sizeof(attr.sec.enc_keys[0].key));
    memset(attr.sec.enc_keys[1].key, 0x22, sizeof(attr.sec.enc_keys[1].key));
    ASSERT_EQ(owner->send(add), 0);
    ASSERT_TRUE(env.settle());

    const std::string tloc_text = "tloc_origin=local, tloc_id: 10.1.1.1 : biz-internet : ipsec";
    EXPECT_TRUE(adv->received().empty()) << "not yet in the forwarding plane";
    EXPECT_TRUE(log.contains("]: TLOC MSG ADD - installed FALSE"));
    EXPECT_TRUE(log.contains("]: Filtered ZOR_MSG_TLOC_ADD(Needs to be installed in FP) to ADV. " + tloc_text));
    std::vector<zor_msg_t> to_xfw = xfw->take();
    std::vector<zor_msg_t> to_pol = pol->take();
    ASSERT_EQ(to_xfw.size(), 1u);
    ASSERT_EQ(to_pol.size(), 1u);
    const uint8_t zero[ZOR_TLOC_SEC_KEY_LEN] = {};
    EXPECT_EQ(to_xfw[0].body.tloc.attr.sec.enc_keys[1].key[0], 0x22) << "xfwd gets the second key";
    EXPECT_EQ(memcmp(to_pol[0].body.tloc.attr.sec.enc_keys[1].key, zero, sizeof(zero)), 0) << "others do not";
    EXPECT_EQ(to_pol[0].body.tloc.attr.sec.enc_keys[0].key[63], 0x11);
    EXPECT_EQ(client(OST_MODULE_ADVD)->counters[ZOR_AF_TLOC_IPV4].sent, 0u);
    t_zor_db_entry *entry = tloc(key);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(zor_bitmap_test(entry->sent_bitmap, OST_MODULE_ADVD)) << "a filtered add still counts as held";

    // xfwd installs it and says so: advd gets it now, xfwd no longer.
    attr.installed = 1;
    ASSERT_EQ(xfw->send(add), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_TRUE(log.contains("]: ZOR_MSG_TLOC_ADD msg to ADV: " + tloc_text + "."));
    EXPECT_TRUE(log.contains("]: Filtered ZOR_MSG_TLOC_ADD(Already installed in FP) to XFW. " + tloc_text));
    std::vector<zor_msg_t> to_adv = adv->take();
    ASSERT_EQ(to_adv.size(), 1u);
    EXPECT_EQ(to_adv[0].body.tloc.attr.installed, 1);
    EXPECT_EQ(memcmp(to_adv[0].body.tloc.attr.sec.enc_keys[1].key, zero, sizeof(zero)), 0);
    EXPECT_TRUE(xfw->take().empty());
    EXPECT_EQ(pol->take().size(), 1u);
    EXPECT_EQ(entry->client_p, client(OST_MODULE_CTLAGENT)) << "xfwd updated it for its owner";

    // Every holder gets the deletion, xfwd included.
    ASSERT_EQ(owner->send(tloc_del_msg(key)), 0);
    ASSERT_TRUE(env.settle());
    for (FakePeer *p : {adv, xfw, pol}) {
        EXPECT_EQ(msg_strs(p->take()), (Strings{"TLOC-DEL 10.1.1.1 : biz-internet : ipsec"})) << p->id();
    }

    // Without the switch nothing is filtered or zeroed.
    g_zor_pwk_enabled = 0;
    attr.installed = 0;
    ASSERT_EQ(owner->send(add), 0);
    ASSERT_TRUE(env.settle());
    to_adv = adv->take();
    to_pol = pol->take();
    ASSERT_EQ(to_adv.size(), 1u);
    ASSERT_EQ(to_pol.size(), 1u);
    EXPECT_EQ(to_pol[0].body.tloc.attr.sec.enc_keys[1].key[5], 0x22);
}

TEST_F(ZorClient, TheFilterTellsOnlyLocalIpsecPairwiseTlocsApart)
{
    zor_msg_t msg = tloc_add_msg(tloc_key("10.1.1.1", k_biz, k_ipsec), 1);
    zor_msg_body_t &body = msg.body;
    body.tloc.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_ADVD, ZOR_MSG_TLOC_ADD, &body), 1);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_XFWD, ZOR_MSG_TLOC_ADD, &body), 0);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_POLICYD, ZOR_MSG_TLOC_ADD, &body), 0);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_ADVD, ZOR_MSG_TLOC_DEL, &body), 0);
    body.tloc.attr.installed = 1;
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_ADVD, ZOR_MSG_TLOC_ADD, &body), 0);
    EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_XFWD, ZOR_MSG_TLOC_ADD, &body), 1);
    // Remote, GRE, or without the pairwise-keys attribute: never filtered.
    for (int change = 0; change < 3; change++) {
        zor_msg_body_t other = body;
        if (change == 0) {
            other.tloc.origin = 2;
        } else if (change == 1) {
            other.tloc.key.encap = OST_ENCAP_GRE;
        } else {
            other.tloc.attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY);
        }
        EXPECT_EQ(zor_pwk_db_send_filter(OST_MODULE_XFWD, ZOR_MSG_TLOC_ADD, &other), 0) << change;
    }
}

TEST_F(ZorClient, AWalkSliceEndsAtItsBudgetAndTheNextGoesOnFromTheMarker)
{
    FakePeer *owner = connect(OST_MODULE_CTLAGENT);
    FakePeer *obs = connect(OST_MODULE_POLICYD);
    Strings expected;
    for (int i = 1; i <= 7; i++) {
        std::string ip = "10.0.0." + std::to_string(i);
        ASSERT_EQ(owner->send(tloc_add_msg(tloc_key(ip, k_biz, k_ipsec), 2)), 0);
        expected.push_back("TLOC-ADD " + ip + " : biz-internet : ipsec");
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
    t_zor_db_entry *third = tloc(tloc_key("10.0.0.3", k_biz, k_ipsec));
    EXPECT_EQ(c->marker[ZOR_AF_TLOC_IPV4]->next, third) << "the marker waits before the next entry";
    EXPECT_TRUE(event_pending(ctx()->walk_event, EV_TIMEOUT, nullptr)) << "and the walk goes on later";

    // The loop finishes the walk slice by slice, each entry once, in order.
    ASSERT_TRUE(env.settle());
    env.clock().step_on_read_ms(0);
    EXPECT_EQ(msg_strs(obs->take()), expected);
    EXPECT_EQ(c->counters[ZOR_AF_TLOC_IPV4].sent, 7u);
    t_zor_db_list *list = zor_db_list(ctx(), ZOR_AF_TLOC_IPV4);
    EXPECT_EQ(list->last, &c->marker[ZOR_AF_TLOC_IPV4]->next) << "at the tail once the list is done";

    // A walk of a family the client did not announce sends nothing.
    EXPECT_EQ(zor_client_walk(c, ZOR_AF_LINK), 0);
    EXPECT_EQ(c->counters[ZOR_AF_LINK].sent, 0u);
}

TEST_F(ZorClient, AnnouncementLogOfATlocWithEveryAttribute)
{
    g_zor_debug_announce = 1;
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    const zor_msg_t add = zt::tloc_msg_every_attr();
    const zor_tloc_attr_t &a = add.body.tloc.attr;
    ASSERT_EQ(p->send(add), 0);
    ASSERT_TRUE(env.settle());

    char flags[OST_ATTR_FLAGS_STR_LEN];
    Strings expected = {
        "Received ZOR Msg TLOC-ADD, Client: ctlagent, AF: TLOC-IPV4",
        "    TLOC: 10.1.1.1 : biz-internet : ipsec, Index: 0, Origin: local, Status: unknown, LR enabled: 1, LR hold "
        "time: 30\n",
        std::string("      Attributes: ") + ost_attr_flags_str(a.flags, flags, sizeof(flags)) + "\n",
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
    EXPECT_EQ(log_run(log, expected[0], expected.size()), expected);
}

TEST_F(ZorClient, AnnouncementLogOfEveryOtherMessageType)
{
    g_zor_debug_announce = 1;
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    const zor_tloc_key_t local = tloc_key("10.0.0.1", k_biz, k_ipsec);
    const zor_tloc_key_t remote = tloc_key("10.0.0.2", 2, OST_ENCAP_GRE);

    zor_msg_t reg = zt::msg_register(ZOR_AF_DATA_DEVICE_IPV4, 1, 0);
    zor_msg_t bfd = zt::bfd_msg(remote, 1);
    zor_msg_t link_status{};
    link_status.type = ZOR_MSG_LINK_STATUS;
    link_status.family = ZOR_AF_LINK;
    link_status.body.link_status = {remote, local, 1, 1400, 12, {}, 1, 2, 3};
    zor_msg_t link{};
    link.type = ZOR_MSG_LINK_ADD;
    link.family = ZOR_AF_LINK;
    link.body.link.remote = remote;
    link.body.link.local = local;
    link.body.link.remote_index = 32771;
    link.body.link.local_index = 32770;
    link.body.link.origin = 2;
    link.body.link.status = 1;
    link.body.link.mtu = 1500;
    link.body.link.label = 40000;
    link.body.link.preference = 4;
    link.body.link.stale = 1;
    link.body.link.loss = 5;
    link.body.link.latency = 6;
    link.body.link.jitter = 7;
    zor_msg_t link_del = link;
    link_del.type = ZOR_MSG_LINK_DEL;
    zor_msg_t ctrl{};
    ctrl.type = ZOR_MSG_CTRL_DEVICE_ADD;
    ctrl.family = ZOR_AF_CTRL_DEVICE_IPV4;
    ctrl.body.ctrl_device.addr = ip_addr_v4(0x01010101);
    ctrl.body.ctrl_device.type = 3;
    ctrl.body.ctrl_device.state = 1;
    ctrl.body.ctrl_device.region_count = 2;
    ctrl.body.ctrl_device.region_ids[0] = 4;
    ctrl.body.ctrl_device.region_ids[1] = 9;
    zor_msg_t vpn{};
    vpn.type = ZOR_MSG_VPN_SEC_ADD;
    vpn.family = ZOR_AF_VPN_SEC;
    vpn.body.vpn_sec.vpn_id = 12;
    vpn.body.vpn_sec.remote = ip_addr_v4(0x02020202);
    vpn.body.vpn_sec.origin = 1;
    vpn.body.vpn_sec.attr.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_ENCAP);
    vpn.body.vpn_sec.attr.encap = ZOR_TUNNEL_ENCAP_GRE;
    vpn.body.vpn_sec.attr.encap_key = 99;
    zor_msg_t peer{};
    peer.type = ZOR_MSG_PEER_SEC_DEL;
    peer.family = ZOR_AF_PEER_SEC;
    peer.body.peer_sec.vpn_id = 13;
    peer.body.peer_sec.origin_ip = ip_addr_v4(0x03030303);
    peer.body.peer_sec.dest_ip = ip_addr_v4(0x04040404);
    peer.body.peer_sec.origin = 2;
    zor_msg_t tracker{};
    tracker.type = ZOR_MSG_TRACKER_STATUS;
    tracker.family = ZOR_AF_TRACKER;
    strcpy(tracker.body.tracker.name, "trk");
    strcpy(tracker.body.tracker.attach_point, "ge0/1");
    tracker.body.tracker.vpn_id = 5;
    tracker.body.tracker.status = 1;
    zor_msg_t state = zt::dd_state_msg(ZOR_AF_TLOC_IPV4, "10.0.0.2", 2);
    for (const zor_msg_t &m : {reg, bfd, link_status, link, link_del, ctrl, vpn, peer, tracker, state}) {
        ASSERT_EQ(p->send(m), 0);
    }
    ASSERT_EQ(p->send(tloc_add_msg(remote, 2)), 0);
    ASSERT_TRUE(env.settle());

    Strings got;
    for (const std::string &line : log.lines()) {
        if (line.rfind("zor_debug", 0) == 0) {
            got.push_back(strip(line));
        }
    }
    EXPECT_EQ(
        got,
        (Strings{
            "Received ZOR Msg REGISTER, Client: ctlagent, AF: DATA-DEVICE-IPV4",
            "    Announcement: Enabled, Originate: Disabled\n",
            "Received ZOR Msg TLOC-BFD-STATUS, Client: ctlagent, AF: TLOC-IPV4",
            "    TLOC: 10.0.0.2 : mpls : gre, Status: up\n",
            "Received ZOR Msg LINK-STATUS, Client: ctlagent, AF: LINK",
            "    Remote-TLOC: 10.0.0.2 : mpls : gre, Local-TLOC: 10.0.0.1 : biz-internet : ipsec, Status: UP, Rec Idx: 12 "
            "MTU: 1400, Loss: 1, Latency: 2, Jitter: 3\n",
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
            "    TLOC: 10.0.0.2 : mpls : gre, Index: 0, Origin: remote, Status: unknown, LR enabled: 0, LR hold time: "
            "0\n",
            "      Attributes: CARRIER \n",
            "        Carrier: 1\n",
            "      #Paths: 0\n",
            "Sent ZOR Msg DATA-DEVICE-ADD, Client: ctlagent, AF: DATA-DEVICE-IPV4",
            "    Device: 10.0.0.2, Status: 2\n",
        }));

    // Switched off: not a line.
    g_zor_debug_announce = 0;
    log.clear();
    ASSERT_EQ(p->send(bfd), 0);
    ASSERT_TRUE(env.settle());
    EXPECT_EQ(log.count("ZOR Msg"), 0u);
}

TEST_F(ZorClient, ClientAndMessageQueueDumps)
{
    FakePeer *p = connect(OST_MODULE_CTLAGENT);
    ASSERT_EQ(p->send_register(ZOR_AF_DATA_DEVICE_IPV4, 1, 1), 0);
    ASSERT_EQ(p->send(tloc_add_msg(tloc_key("10.0.0.1", k_biz, k_ipsec), 2)), 0);
    ASSERT_TRUE(env.settle());

    maapi_cli_capture cli(11, 12);
    EXPECT_EQ(zor_dump_clients(cli.uinfo(), nullptr, 0, nullptr), 0);
    Strings expected = {"======================", "DUMPING CLIENTS", "======================"};
    for (uint32_t id = 1; id < OST_MODULE_MAX; id++) {
        const t_zor_client *c = client(id);
        if (c == nullptr) {
            continue;
        }
        char line[128];
        snprintf(line, sizeof(line), "Client: %s (%p)", ost_module_str(id), static_cast<const void *>(c));
        expected.push_back("");
        expected.push_back(line);
        for (zor_af_t af = 0; af < ZOR_AF_COUNT; af++) {
            bool ctl = id == OST_MODULE_CTLAGENT;
            int announce = ctl && af == ZOR_AF_DATA_DEVICE_IPV4 ? 1 : 0;
            unsigned long sent = announce;
            unsigned long received = ctl && (af == ZOR_AF_DATA_DEVICE_IPV4 || af == ZOR_AF_TLOC_IPV4) ? 1 : 0;
            expected.push_back("");
            snprintf(line, sizeof(line), "    %s    Announce: %d  Originate: %d  Sent: %lu  Received: %lu",
                     zor_af_str(af), announce, announce, sent, received);
            expected.push_back(line);
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

TEST_F(ZorClient, AClientIdBeyondTheModuleTableIsAProgrammingError)
{
    for (int which = 0; which < 4; which++) {
        zt::ChildResult r = zt::run_in_child([&] {
            switch (which) {
            case 0:
                (void)zor_client_create(ctx(), OST_MODULE_MAX);
                break;
            case 1:
                zor_client_destroy(ctx(), OST_MODULE_MAX);
                break;
            case 2:
                (void)zor_client_register(ctx(), OST_MODULE_MAX, ZOR_AF_TLOC_IPV4, 1, 0);
                break;
            default:
                zor_client_unregister(ctx(), OST_MODULE_MAX, ZOR_AF_TLOC_IPV4);
                break;
            }
        });
        EXPECT_FALSE(r.exited) << which;
        EXPECT_NE(r.out.find("zord/zor_client:"), std::string::npos) << which;
        EXPECT_NE(r.out.find(": failed assertion `client_id < OST_MODULE_MAX'\n"), std::string::npos) << r.out;
    }
}

TEST(ZorClientDeath, LossOfANullClientStopsTheProcess)
{
    zt::ChildResult r = zt::run_in_child([] { zor_client_conn_down(nullptr, nullptr, nullptr, nullptr); });
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.out, "zord/zor_client:84: failed assertion `0'\n");
}

}  // namespace
