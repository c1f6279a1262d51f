// Withdrawals of TLOCs, links and whole owners against the walks they
// replace. A TLOC that goes (or changes region) removes its links by visiting
// only the TLOCs that share a link with it, and gives up the paths through it
// by visiting only its links' paths; the reference here is the plain walk
// over every TLOC of the trees for each of them. Random sequences of TLOC
// adds, updates and deletes, link announcements, forcing, path-walk ticks and
// owners whose connection closes run once with zord's walks and once with the
// reference in their place: the client must receive, over its socket, the
// very same bytes in the very same order, and the links, their labels and
// the label bitmap must end up the same.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ip_util.h"
#include "ost_util.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"
#include "zor_path.h"

namespace {

uint64_t g_paths_given_up = 0;

void reference_links_remove(zor_af_t af, t_zor_context *ctx, t_zor_af_tloc *tloc)
{
    zt::for_each_entry<t_zor_af_tloc>(ctx->trees[af], [&](t_zor_af_tloc *t) {
        zor_af_link_update(ctx, tloc, t, true);
        if (tloc->origin == ZOR_TLOC_ORIGIN_LOCAL && t->origin == ZOR_TLOC_ORIGIN_LOCAL) {
            zor_af_link_update(ctx, t, tloc, true);
        }
    });
}

bool touches(const t_zor_path *p, const zor_tloc_key_t *key)
{
    for (uint32_t i = 0; i < p->link_count; i++) {
        const t_zor_af_link *l = p->links[i].link_p;
        if (zor_af_tloc_key_cmp(&l->local_key, key) == 0 || zor_af_tloc_key_cmp(&l->remote_key, key) == 0) {
            return true;
        }
    }
    return false;
}

void reference_give_up(t_zor_context *ctx, const zor_tloc_key_t *key)
{
    std::vector<t_zor_af_tloc *> lost;
    for (zor_af_t af : {ZOR_AF_TLOC_IPV4, ZOR_AF_TLOC_IPV6}) {
        zt::for_each_entry<t_zor_af_tloc>(ctx->trees[af], [&](t_zor_af_tloc *t) {
            const uint64_t before = g_paths_given_up;
            for (t_zor_path *p = t->path_list, *next = nullptr; p != nullptr; p = next) {
                next = p->next_p;
                if (touches(p, key)) {
                    zor_path_free(p);
                    g_paths_given_up++;
                }
            }
            if (g_paths_given_up != before) {
                lost.push_back(t);
            }
        });
    }
    for (t_zor_af_tloc *t : lost) {
        zor_path_sort(ctx, t);
        zor_db_entry_schedule(ctx, t->entry_p);
    }
}

// What one run leaves: every message the client received (encoded, and as
// text for the failure message), and the links with their labels.
struct Outcome {
    std::vector<std::string> bytes;
    std::vector<std::string> texts;
    std::vector<std::string> links;
    std::string label_bitmap;
    uint32_t link_dels = 0;
};

class ZorLinkReference : public ::testing::Test {
protected:
    zor_tloc_key_t key(uint32_t i)
    {
        // 0-2 are local; 3-10 two devices in each of two regions, with two
        // TLOCs each; 11 is a local and 12 a remote IPv6 TLOC.
        static const char *const ips[] = {"10.0.0.1", "10.1.1.1", "10.1.2.1", "10.2.1.1", "10.2.2.1"};
        if (i < 3) {
            return zt::tloc_key(ips[0], static_cast<uint8_t>(1 + i), OST_ENCAP_IPSEC);
        }
        if (i < 11) {
            return zt::tloc_key(ips[1 + (i - 3) / 2], static_cast<uint8_t>(1 + (i - 3) % 2 * 3), OST_ENCAP_IPSEC);
        }
        zor_tloc_key_t k{};
        k.addr.family = IP_AF_INET6;
        k.addr.u.v6[0] = 0x20;
        k.addr.u.v6[15] = static_cast<uint8_t>(i);
        k.color = 1;
        k.encap = OST_ENCAP_IPSEC;
        return k;
    }
    static bool local(uint32_t i) { return i < 3 || i == 11; }
    // Keys 3, 4, 7 and 8: the TLOCs of the first device of each region.
    uint32_t border_key() { return 3 + pick(2) + 4 * pick(2); }
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
    zt::FakePeer *&peer(uint32_t id) { return peers[id]; }
    // A message as zord takes it from a peer.
    void from(uint32_t id, zor_msg_t m)
    {
        m.sender = static_cast<uint8_t>(id);
        t_zor_client *c = zor_client_get(env->ctx(), id);
        if (m.type == ZOR_MSG_TLOC_DEL || m.type == ZOR_MSG_LINK_DEL) {
            zor_af_delete(m.family, env->ctx(), c, &m);
        } else if (zor_af_filter(m.family, &m)) {
            (void)zor_af_add(m.family, env->ctx(), c, &m);
        }
    }
    // The peer's connection is lost (zord withdraws what it owned), and it
    // connects again.
    void reconnect(uint32_t id)
    {
        env->drop(peer(id));
        ASSERT_TRUE(env->settle());
        peer(id) = env->connect(id);
        ASSERT_NE(peer(id), nullptr);
    }

    // Regions 1 and 2 by the second address byte; the first device of each
    // is mostly a border (group 0 in front), now and then any TLOC is in
    // random groups (no group at all makes links without forcing).
    zt::TlocSpec spec(uint32_t i)
    {
        zt::TlocSpec s;
        s.pref = pick(3);
        if (pick(6) == 0 || i > 10) {
            for (uint32_t n = pick(3); n > 0; n--) {
                s.groups.push_back(pick(3));
            }
            s.border = pick(4) == 0;
        } else if (local(i)) {
            s.groups.push_back(1 + pick(2));
            s.border = pick(5) == 0;
        } else {
            const uint32_t region = i < 7 ? 1 : 2;
            s.border = (i == 3 || i == 4 || i == 7 || i == 8) && pick(5) != 0;
            s.groups = s.border ? std::vector<uint32_t>{0, region} : std::vector<uint32_t>{region};
        }
        return s;
    }

    void step()
    {
        const uint32_t op = pick(100);
        const uint32_t i = pick(13);
        const uint32_t owner = local(i) ? OST_MODULE_CTLAGENT : OST_MODULE_ADVD;
        if (op < 35) {
            from(owner, zt::tloc_msg(key(i), local(i) ? 1 : 2, spec(i)));
        } else if (op < 45) {
            from(owner, zt::tloc_del_msg(key(i)));
        } else if (op < 75) {
            // probed's links mostly make paths (local to border, border to
            // border, border to any); advd's join any two TLOCs, and a
            // TLOC's removal takes them.
            const uint32_t kind = pick(4);
            const uint32_t inner = 5 + pick(2) + 4 * pick(2);
            const uint32_t a = op < 63 ? (kind == 0 ? pick(3) : border_key()) : pick(13);
            const uint32_t b = op >= 63 || kind == 3 ? pick(13) : kind == 2 ? inner : border_key();
            if (a != b) {
                from(op < 63 ? OST_MODULE_PROBED : OST_MODULE_ADVD,
                     zt::peer_link_msg(key(a), key(b), 1, 1300 + 100 * pick(3), 40000 + pick(50), pick(3)));
            }
        } else if (op < 80) {
            const uint32_t id = pick(2) != 0 ? OST_MODULE_ADVD : OST_MODULE_KLXD;
            ASSERT_EQ(zor_client_register(env->ctx(), id, ZOR_AF_LINK, 0, static_cast<uint8_t>(pick(2))), 0);
        } else if (op < 88) {
            env->tick(2);
        } else if (op < 97) {
            ASSERT_TRUE(env->settle());
        } else {
            const uint32_t ids[] = {OST_MODULE_ADVD, OST_MODULE_CTLAGENT, OST_MODULE_KLXD};
            reconnect(op < 99 ? OST_MODULE_ADVD : ids[pick(3)]);
        }
    }

    Outcome run(uint32_t seed)
    {
        Outcome out;
        rng.seed(seed);
        env = std::make_unique<zt::PeerEnv>();
        EXPECT_EQ(env->init_rc(), 0);
        peers.clear();
        for (uint32_t id : {OST_MODULE_ADVD, OST_MODULE_KLXD, OST_MODULE_CTLAGENT, OST_MODULE_PROBED,
                            OST_MODULE_XFWD}) {
            peer(id) = env->connect(id);
            EXPECT_NE(peer(id), nullptr);
        }
        for (zor_af_t af : {ZOR_AF_TLOC_IPV4, ZOR_AF_TLOC_IPV6, ZOR_AF_LINK}) {
            peer(OST_MODULE_XFWD)->send_register(af);
        }
        for (int n = 0; n < 300 && !HasFatalFailure(); n++) {
            step();
        }
        EXPECT_TRUE(env->settle());
        for (const zor_msg_t &m : peer(OST_MODULE_XFWD)->take()) {
            uint8_t buf[ZOR_MSG_ENCODE_MAX];
            uint16_t len = 0;
            EXPECT_EQ(zor_msg_encode(&m, buf, &len), 0);
            out.bytes.emplace_back(reinterpret_cast<const char *>(buf), len);
            std::string text = zt::msg_str(m);
            if (m.family == ZOR_AF_LINK) {
                text += " " + zt::kname(m.body.link.local) + ">" + zt::kname(m.body.link.remote) + " label " +
                        std::to_string(m.body.link.label);
                out.link_dels += m.type == ZOR_MSG_LINK_DEL ? 1 : 0;
            }
            out.texts.push_back(text);
        }
        zt::for_each_entry<t_zor_af_link>(env->ctx()->trees[ZOR_AF_LINK], [&](const t_zor_af_link *l) {
            out.links.push_back(zt::kname(l->local_key) + ">" + zt::kname(l->remote_key) + " " +
                                std::to_string(l->label) + " " + std::to_string(l->label_held));
        });
        out.label_bitmap.assign(reinterpret_cast<const char *>(env->daemon()->link_label_bitmap), ZOR_BITMAP_BYTES);
        out.label_bitmap += std::to_string(env->ctx()->last_link_label);
        env.reset();
        EXPECT_EQ(zt::mem_unbalanced(), "");
        return out;
    }

    std::mt19937 rng;
    std::unique_ptr<zt::PeerEnv> env;
    std::map<uint32_t, zt::FakePeer *> peers;
};

TEST_F(ZorLinkReference, WithdrawalsAgreeWithTheWalksOverEveryTloc)
{
    uint64_t link_dels = 0;
    for (uint32_t seed = 1; seed <= 30 && !HasFatalFailure(); seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Outcome got = run(seed);
        g_zor_af_tloc_links_remove = reference_links_remove;
        g_zor_path_give_up = reference_give_up;
        const Outcome want = run(seed);
        g_zor_af_tloc_links_remove = zor_af_tloc_links_remove;
        g_zor_path_give_up = zor_path_give_up_through;

        size_t n = 0;
        while (n < got.bytes.size() && n < want.bytes.size() && got.bytes[n] == want.bytes[n]) {
            n++;
        }
        ASSERT_EQ(n, want.bytes.size()) << "message " << n << ": " << (n < got.texts.size() ? got.texts[n] : "none")
                                        << " instead of " << want.texts[n];
        ASSERT_EQ(got.bytes.size(), want.bytes.size()) << "then " << got.texts[n];
        EXPECT_EQ(got.links, want.links);
        EXPECT_TRUE(got.label_bitmap == want.label_bitmap) << "the label bitmaps differ";
        link_dels += got.link_dels;
    }
    // The sequences did take links and paths away.
    EXPECT_GT(link_dels, 300u);
    EXPECT_GT(g_paths_given_up, 30u);
}

}  // namespace
