// Distribution against the designed one: randomised runs of owners, clients
// registering, leaving and coming back, with the pairwise-keys rules on, go
// once through zord's walk and once through a reference written here (every
// client on its own, one 1024-byte message at a time, written at once), and
// every client must receive the same messages, byte for byte, in the same
// order.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "msgq_util.h"
#include "ost_util.h"
#include "zor_client.h"
#include "zor_fake_peer.h"

namespace {

using Received = std::map<uint32_t, std::vector<std::string>>;

// ------------------------------------------------------------ the reference

int ref_send(t_zor_client *c, t_zor_db_entry *e, uint8_t is_delete)
{
    void *buf = msgq_alloc_msg(c->handle, ZOR_MSG_ENCODE_MAX);
    if (buf == nullptr) {
        return 2;
    }
    zor_msg_t msg;
    memset(&msg, 0, sizeof(msg));
    msg.type = zor_msg_type_for_af(e->family, is_delete);
    msg.sender = OST_MODULE_ZORD;
    msg.family = e->family;
    zor_af_fill_msg(e->family, e, &msg, is_delete);
    zor_msg_tloc_t &t = msg.body.tloc;
    if (msg.type == ZOR_MSG_TLOC_ADD && t.origin == 1 && g_zor_pwk_enabled) {
        const bool pairwise = t.key.encap == OST_ENCAP_IPSEC && (t.attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_SECURITY));
        // advd only once the forwarding plane has it, xfwd only until then.
        if (pairwise && ((c->id == OST_MODULE_ADVD && !t.attr.installed) ||
                         (c->id == OST_MODULE_XFWD && t.attr.installed))) {
            msgq_free_msg(c->handle, buf);
            return 0;
        }
        if (pairwise && c->id != OST_MODULE_XFWD && t.attr.sec.enc_key_count > 1) {
            memset(t.attr.sec.enc_keys[1].key, 0, sizeof(t.attr.sec.enc_keys[1].key));
        }
    }
    uint16_t len = 0;
    if (zor_msg_encode(&msg, static_cast<uint8_t *>(buf), &len) != 0) {
        msgq_free_msg(c->handle, buf);
        return 3;
    }
    if (msgq_write(c->handle, buf, len) != 0) {
        msgq_free_msg(c->handle, buf);
        return 5;
    }
    return 0;
}

int ref_entry_send(t_zor_client *c, t_zor_db_entry *e)
{
    if (e->flags & ZOR_ENTRY_WITHDRAWN) {
        if (!zor_bitmap_test(e->sent_bitmap, c->id)) {
            return 0;
        }
        const int rc = ref_send(c, e, 1);
        zor_bitmap_clear(e->sent_bitmap, c->id);
        zor_af_withdraw(e->family, c->context, e->client_p, e);
        return rc;
    }
    const int rc = ref_send(c, e, 0);
    zor_bitmap_set(e->sent_bitmap, c->id);
    return rc;
}

void ref_walk(t_zor_client *c, zor_af_t af)
{
    t_zor_db_list *list = zor_db_list(c->context, af);
    t_zor_db_entry *marker = c->marker[af];
    bool sent_any = false;
    t_zor_db_entry *e = marker->next;
    while (e != nullptr) {
        if (e->flags & ZOR_ENTRY_MARKER) {
            e = e->next;
            continue;
        }
        e->flags |= ZOR_ENTRY_BROWSE;
        const int rc = ref_entry_send(c, e);
        t_zor_db_entry *next = e->next;
        zor_db_entry_release(c->context, e);
        ASSERT_EQ(rc, 0);
        sent_any = true;
        e = next;
    }
    if (sent_any) {
        zor_db_list_remove(list, marker);
        zor_db_list_insert_tail(list, marker);
    }
}

void ref_run(t_zor_context *ctx)
{
    for (t_zor_client *c : ctx->clients) {
        for (zor_af_t af = 0; c != nullptr && af < ZOR_AF_COUNT; af++) {
            if (c->announce[af] && c->marker[af] != nullptr) {
                ref_walk(c, af);
            }
        }
    }
}

// ------------------------------------------------------------ the scenario

constexpr uint32_t k_clients[] = {OST_MODULE_ADVD, OST_MODULE_XFWD, OST_MODULE_POLICYD, OST_MODULE_CTLAGENT_0,
                                  OST_MODULE_CTLAGENT_0 + 1};
constexpr zor_af_t k_families[] = {ZOR_AF_TLOC_IPV4, ZOR_AF_LINK, ZOR_AF_DATA_DEVICE_IPV4};

// A TLOC of one of 6 devices and 2 colours, local or remote, in region 1 or 2,
// with the pairwise-keys block (two keys) and the installed flag drawn too.
zor_msg_t random_tloc(std::mt19937 &rng)
{
    zor_msg_t m = zt::tloc_msg_every_attr();
    zor_msg_tloc_t &t = m.body.tloc;
    t.key = zt::tloc_key("10.0.0." + std::to_string(1 + rng() % 6), rng() % 2 ? 4 : 6, OST_ENCAP_IPSEC);
    t.origin = rng() % 3 == 0 ? 1 : 2;
    t.attr.preference = rng() % 4;
    t.attr.installed = rng() % 2;
    t.attr.group_count = 1;
    t.attr.groups[0] = 1 + rng() % 2;
    t.attr.border = rng() % 3 == 0;
    t.attr.sec.enc_key_count = 2;
    for (auto &b : t.attr.sec.enc_keys[1].key) {
        b = static_cast<uint8_t>(rng());
    }
    return m;
}

std::string encoded(const zor_msg_t &msg)
{
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    EXPECT_EQ(zor_msg_encode(&msg, buf, &len), 0);
    return std::string(reinterpret_cast<const char *>(buf), len);
}

// One run of the scenario of a seed; what every client received.
Received run(uint32_t seed, bool reference)
{
    Received got;
    zt::PeerEnv env;
    EXPECT_EQ(env.init_rc(), 0);
    std::optional<zt::WalkStandIn> stand_in;
    if (reference) {
        stand_in.emplace(env.ctx(), ref_run);
    }
    g_zor_pwk_enabled = 1;
    std::mt19937 rng(seed);
    std::map<uint32_t, zt::FakePeer *> peers;
    std::map<uint32_t, std::vector<zor_af_t>> families;
    auto take = [&](uint32_t id) {
        for (const zor_msg_t &m : peers[id]->take()) {
            got[id].push_back(encoded(m));
        }
    };
    auto join = [&](uint32_t id) {
        peers[id] = env.connect(id);
        EXPECT_NE(peers[id], nullptr);
        for (zor_af_t af : families[id]) {
            EXPECT_EQ(peers[id]->send_register(af), 0);
        }
    };
    for (uint32_t id : k_clients) {
        for (zor_af_t af : k_families) {
            if (rng() % 3 != 0) {
                families[id].push_back(af);
            }
        }
        join(id);
    }
    zt::FakePeer *owner = env.connect(OST_MODULE_CTLAGENT);
    EXPECT_TRUE(env.settle());
    for (int step = 0; step < 80; step++) {
        const uint32_t who = k_clients[rng() % std::size(k_clients)];
        switch (rng() % 10) {
        case 0:
            // A client leaves (what it owns is withdrawn) and comes back.
            take(who);
            env.drop(peers[who]);
            EXPECT_TRUE(env.settle());
            join(who);
            break;
        case 1: {
            const zor_af_t af = k_families[rng() % std::size(k_families)];
            EXPECT_EQ(rng() % 2 ? peers[who]->send_register(af) : peers[who]->send_unregister(af), 0);
            break;
        }
        case 2:
            env.tick();  // the path timer runs every other tick
            break;
        case 3: {
            zor_msg_t del = random_tloc(rng);
            del.type = ZOR_MSG_TLOC_DEL;
            EXPECT_EQ((rng() % 2 ? owner : peers[who])->send(del), 0);
            break;
        }
        default:
            for (uint32_t n = 1 + rng() % 4; n > 0; n--) {
                EXPECT_EQ((rng() % 4 ? owner : peers[who])->send(random_tloc(rng)), 0);
            }
            break;
        }
        EXPECT_TRUE(env.settle());
    }
    for (uint32_t id : k_clients) {
        take(id);
    }
    g_zor_pwk_enabled = 0;
    return got;
}

TEST(ZorDist, EveryClientReceivesWhatTheDesignedWalkSendsItByteForByte)
{
    zt::LogCapture log;  // zord logs every change; the test reads none of it
    size_t total = 0;
    for (uint32_t seed = 1; seed <= 8; seed++) {
        const Received want = run(seed, true);
        const Received got = run(seed, false);
        for (uint32_t id : k_clients) {
            auto w = want.find(id);
            auto g = got.find(id);
            ASSERT_EQ(w != want.end(), g != got.end()) << "seed " << seed << " client " << id;
            if (w != want.end()) {
                EXPECT_TRUE(w->second == g->second) << "seed " << seed << " client " << ost_module_str(id) << ": "
                                                    << w->second.size() << " messages designed, "
                                                    << g->second.size() << " sent";
                total += w->second.size();
            }
        }
    }
    EXPECT_GT(total, 1000u) << "the runs exercise something";
}

}  // namespace
