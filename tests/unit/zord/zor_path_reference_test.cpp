// Path computation against a reference computation, on a real daemon with
// random overlays: the paths, their order and best flags, and that no path
// outlives a link or a TLOC.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "ip_util.h"
#include "ost_util.h"
#include "test_support.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_group.h"
#include "zor_link_msgs.h"
#include "zor_path.h"

namespace {

using zt::TlocSpec;

constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

// Random overlays: TLOCs of several regions with random groups, borders,
// preferences and staleness; peer links between random TLOCs with random
// states; zord's own links with random status messages; withdraws and
// re-adds while paths exist; forcing switched on and off; the peer's
// connection lost; partial and full walks; and a client that holds what it
// was sent, so that withdrawn records live on for a while. After every step
// the path structures must hang together (the sanitizer build catches any
// use of a freed record); after a full recomputation every remote TLOC's
// paths, their order and their best flags must be those of a reference
// computation. The reference takes the region test and the group members as
// given (their modules test them) and knows none of zord's path lists.
struct RefPath {
    std::vector<const t_zor_af_link *> links;
    uint32_t status = ZOR_PATH_STATUS_UP;
    uint32_t mtu = 0;
    uint32_t pref = 0;
    uint32_t local_links = 0;
    bool stale = false;

    // Larger is better in every component.
    auto rank() const
    {
        return std::make_tuple(status == ZOR_PATH_STATUS_UP, !stale, -static_cast<int>(links.size()), local_links,
                               pref, mtu);
    }
    std::string text() const
    {
        std::string out;
        for (const t_zor_af_link *l : links) {
            out += zt::kname(l->local_key) + ">" + zt::kname(l->remote_key) + " ";
        }
        return out + std::to_string(status) + " " + std::to_string(mtu) + " " + std::to_string(pref) + " " +
               std::to_string(local_links) + (stale ? " stale" : "");
    }
};

class ZorPathRandom : public ::testing::Test {
protected:
    t_zor_context *ctx() { return env->ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }
    uint32_t pick(size_t n) { return static_cast<uint32_t>(rng() % n); }
    bool chance(uint32_t percent) { return pick(100) < percent; }
    template <typename T>
    std::vector<T *> all(zor_af_t af)
    {
        std::vector<T *> out;
        zt::for_each_entry<T>(ctx()->trees[af], [&](T *x) { out.push_back(x); });
        return out;
    }
    const zor_tloc_key_t &any_key() { return pool[pick(pool.size())]; }
    // A TLOC of the border device (device 1) of a random region.
    const zor_tloc_key_t &border_key() { return pool[4 + 6 * pick(regions) + pick(2)]; }
    const t_zor_af_link *find(const zor_tloc_key_t &a, const zor_tloc_key_t &b)
    {
        return zor_af_link_lookup(ctx(), &a, &b);
    }
    bool stale_tloc(const zor_tloc_key_t &key)
    {
        t_zor_db_entry *e = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &key, nullptr);
        return e != nullptr && (zor_af_tloc_of(e)->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_STALE));
    }
    void walk(uint32_t budget_ms)
    {
        g_zor_path_walk_budget_ms = budget_ms;
        zor_path_walk(nullptr, ctx(), nullptr, nullptr, nullptr);
        g_zor_path_walk_budget_ms = 500;
    }

    void step()
    {
        const uint32_t op = pick(1000);
        if (op < 250) {
            // A TLOC: local ones (10.0.0.1) in a random region; device 1 of
            // each region mostly a border.
            const zor_tloc_key_t &key = any_key();
            const bool local = key.addr.u.v4 == ((10u << 24) | 1u);
            TlocSpec spec;
            spec.border = chance(local ? 25 : (key.addr.u.v4 & 0xff00) == 0x100 ? 90 : 5);
            if (spec.border && !local) {
                spec.groups.push_back(0);
            }
            spec.groups.push_back(local ? 1 + pick(regions) : (key.addr.u.v4 >> 16) & 0xff);
            if (chance(25)) {
                spec.groups.push_back(1 + pick(regions));
            }
            spec.pref = chance(50) ? pick(4) : 0;
            spec.stale = chance(10);
            zor_msg_t msg = zt::tloc_msg(key, local ? 1 : 2, spec);
            zor_af_add(ZOR_AF_TLOC_IPV4, ctx(), client(local ? OST_MODULE_CTLAGENT : OST_MODULE_ADVD), &msg);
        } else if (op < 320) {
            std::vector<t_zor_af_tloc *> tlocs = all<t_zor_af_tloc>(ZOR_AF_TLOC_IPV4);
            if (!tlocs.empty()) {
                zor_msg_t msg = zt::tloc_del_msg(tlocs[pick(tlocs.size())]->key);
                zor_af_delete(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &msg);
            }
        } else if (op < 630) {
            // Mostly the links that make paths: local TLOC to border device,
            // border to border, border to any; now and then any pair.
            const uint32_t kind = pick(10);
            const zor_tloc_key_t &a = kind < 4 ? pool[pick(4)] : kind < 9 ? border_key() : any_key();
            const zor_tloc_key_t &b = kind < 7 ? border_key() : kind < 9 ? pool[4 + pick(pool.size() - 4)] : any_key();
            if (zor_af_tloc_key_cmp(&a, &b) != 0) {
                const uint32_t mtus[] = {0, 1300, 1400, 1500};
                zor_msg_t msg = zt::peer_link_msg(a, b, chance(80) ? 1 : 0, mtus[pick(4)], 40000 + pick(200), pick(4));
                zor_af_add(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &msg);
            }
        } else if (op < 820) {
            std::vector<t_zor_af_link *> links = all<t_zor_af_link>(ZOR_AF_LINK);
            if (links.empty()) {
                return;
            }
            const t_zor_af_link *l = links[pick(links.size())];
            if (op < 700) {
                // From the owner mostly; from a client that does not own the
                // link now and then, which must change nothing.
                zor_msg_t msg = zt::link_msg(ZOR_MSG_LINK_DEL, l->local_key, l->remote_key);
                zor_af_delete(ZOR_AF_LINK, ctx(), client(chance(80) ? OST_MODULE_PROBED : OST_MODULE_XFWD), &msg);
            } else {
                const uint32_t mtus[] = {0, 1350, 1450, 1500};
                zor_msg_t msg = zt::link_status_msg(l->local_key, l->remote_key, chance(75) ? 1 : 0, mtus[pick(4)]);
                zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &msg);
            }
        } else if (op < 840) {
            force = !force;
            ASSERT_EQ(zor_client_register(ctx(), OST_MODULE_ADVD, ZOR_AF_LINK, 1, force ? 1 : 0), 0);
        } else if (op < 844) {
            // probed's connection is lost: every link it announced goes.
            zor_client_conn_down(nullptr, client(OST_MODULE_PROBED), nullptr, nullptr);
        } else if (op < 910) {
            walk(chance(50) ? 0 : 500);
        } else if (op < 950) {
            ASSERT_TRUE(env->settle());
        } else {
            check_against_reference();
        }
    }

    // The members of the group of the last non-zero id of the TLOC's list.
    std::vector<zor_tloc_key_t> members(const t_zor_af_tloc *t)
    {
        uint32_t id = 0;
        for (uint32_t i = 0; i < std::min<uint32_t>(t->attr.group_count, ZOR_TLOC_GROUP_MAX); i++) {
            id = t->attr.groups[i] != 0 ? t->attr.groups[i] : id;
        }
        std::vector<zor_tloc_key_t> out;
        t_zor_group *g = id != 0 ? zor_group_find(ctx(), id, nullptr) : nullptr;
        for (auto *m = g != nullptr ? static_cast<t_zor_group_tloc *>(avl_first(&g->members)) : nullptr; m != nullptr;
             m = static_cast<t_zor_group_tloc *>(avl_walk(&g->members, m, AVL_AFTER))) {
            out.push_back(m->key);
        }
        return out;
    }

    void evaluate(RefPath *p)
    {
        for (const t_zor_af_link *l : p->links) {
            p->stale = p->stale || stale_tloc(l->local_key) || stale_tloc(l->remote_key);
            p->local_links += ip_addr_equal(&l->local_key.addr, &l->remote_key.addr) ? 1 : 0;
            if (l->status == ZOR_LINK_STATUS_DOWN) {
                p->status = ZOR_PATH_STATUS_DOWN;
                p->mtu = 0;
                p->pref = 0;
                return;
            }
            p->pref += l->preference;
            p->mtu = l->mtu != 0 && (p->mtu == 0 || l->mtu < p->mtu) ? l->mtu : p->mtu;
        }
    }

    std::vector<RefPath> reference_paths(const t_zor_af_tloc *r)
    {
        std::vector<RefPath> out;
        if (r->origin != ZOR_TLOC_ORIGIN_REMOTE) {
            return out;
        }
        auto joins = [](const t_zor_af_link *a, const t_zor_af_link *b) {
            return ip_addr_equal(&a->remote_key.addr, &b->local_key.addr);
        };
        const bool rb = (r->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER)) != 0;
        const std::vector<zor_tloc_key_t> mr = members(r);
        zt::for_each_entry<t_zor_af_tloc>(ctx()->local_tloc_db_p, [&](const t_zor_af_tloc *l) {
            const bool lb = (l->attr.flags & ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER)) != 0;
            const std::vector<zor_tloc_key_t> ml = members(l);
            if (zor_groups_overlap(&l->attr, &r->attr) || ml.empty() || mr.empty() || (lb && rb)) {
                return;
            }
            // The first hop goes into the region crossed first, to another
            // device; with a border at either end the path has two links.
            const std::vector<zor_tloc_key_t> &first = lb ? mr : ml;
            for (const zor_tloc_key_t &t1 : first) {
                const t_zor_af_link *f = find(l->key, t1);
                if (f == nullptr || ip_addr_equal(&t1.addr, &l->key.addr)) {
                    continue;
                }
                for (const zor_tloc_key_t &t2 : lb || rb ? first : mr) {
                    const t_zor_af_link *h = find(t2, r->key);
                    if (h == nullptr || lb || rb) {
                        if (h != nullptr && joins(f, h)) {
                            out.push_back(RefPath{{f, h}});
                        }
                        continue;
                    }
                    // The middle link: between any members of the two groups
                    // whose addresses join the first and the last hop.
                    for (const zor_tloc_key_t &m1 : ml) {
                        for (const zor_tloc_key_t &m2 : mr) {
                            const t_zor_af_link *m = find(m1, m2);
                            if (m != nullptr && joins(f, m) && joins(m, h)) {
                                out.push_back(RefPath{{f, m, h}});
                            }
                        }
                    }
                }
            }
        });
        for (RefPath &p : out) {
            evaluate(&p);
        }
        return out;
    }

    void check_structure()
    {
        std::set<const t_zor_af_link *> links;
        for (t_zor_af_link *l : all<t_zor_af_link>(ZOR_AF_LINK)) {
            links.insert(l);
        }
        std::set<const t_zor_af_tloc *> tlocs;
        for (t_zor_af_tloc *t : all<t_zor_af_tloc>(ZOR_AF_TLOC_IPV4)) {
            tlocs.insert(t);
            // Every path hangs in its TLOC's list and uses only live links.
            const t_zor_path *prev = nullptr;
            for (const t_zor_path *p = t->path_list; p != nullptr; prev = p, p = p->next_p) {
                ASSERT_TRUE(p->prev_p == prev && p->tloc_p == t && (p->link_count == 2 || p->link_count == 3));
                for (uint32_t i = 0; i < p->link_count; i++) {
                    ASSERT_EQ(p->links[i].path_p, p);
                    ASSERT_TRUE(links.count(p->links[i].link_p)) << "a path uses a withdrawn link";
                }
            }
        }
        // Every link's chain holds path-links of paths of live TLOCs.
        for (const t_zor_af_link *l : links) {
            const t_zor_path_link *prev = nullptr;
            for (const t_zor_path_link *pl = l->path_links; pl != nullptr; prev = pl, pl = pl->link_next_p) {
                ASSERT_TRUE(pl->link_prev_p == prev && pl->link_p == l);
                ASSERT_TRUE(tlocs.count(pl->path_p->tloc_p)) << "a path of a withdrawn TLOC";
            }
        }
        // Withdrawn records still waiting for their deletes carry no path.
        for (zor_af_t af : {ZOR_AF_TLOC_IPV4, ZOR_AF_LINK}) {
            for (t_zor_db_entry *e = ctx()->entry_lists[af]->first; e != nullptr; e = e->next) {
                if ((e->flags & ZOR_ENTRY_WITHDRAWN) && e->record != nullptr) {
                    ASSERT_TRUE(af == ZOR_AF_LINK ? zor_af_link_of(e)->path_links == nullptr
                                                  : zor_af_tloc_of(e)->path_list == nullptr);
                }
            }
        }
    }

    void check_against_reference()
    {
        // Every TLOC computed afresh from what is there now.
        for (t_zor_af_tloc *t : all<t_zor_af_tloc>(ZOR_AF_TLOC_IPV4)) {
            zor_db_entry_schedule(ctx(), t->entry_p);
        }
        walk(500);
        for (const t_zor_af_tloc *r : all<t_zor_af_tloc>(ZOR_AF_TLOC_IPV4)) {
            const std::vector<RefPath> ref = reference_paths(r);
            // Each path's text, marked "*" when it is best.
            std::multiset<std::string> want;
            for (const RefPath &p : ref) {
                const bool best =
                    std::all_of(ref.begin(), ref.end(), [&](const RefPath &q) { return p.rank() >= q.rank(); });
                want.insert((best ? "*" : "") + p.text());
                compared_3hop += p.links.size() == 3 ? 1 : 0;
            }
            // zord's paths with zord's figures, in an order by the rules.
            std::multiset<std::string> got;
            std::vector<RefPath> ranked;
            for (const t_zor_path *p = r->path_list; p != nullptr; p = p->next_p) {
                RefPath x{{}, p->status, p->mtu, p->preference, p->local_links, (p->flags & ZOR_PATH_FLAG_STALE) != 0};
                for (uint32_t i = 0; i < p->link_count; i++) {
                    x.links.push_back(p->links[i].link_p);
                }
                got.insert(((p->flags & ZOR_PATH_FLAG_BEST) ? "*" : "") + x.text());
                ASSERT_TRUE(ranked.empty() || ranked.back().rank() >= x.rank()) << x.text();
                ranked.push_back(x);
            }
            ASSERT_EQ(got, want) << zt::kname(r->key);
            compared_paths += got.size();
        }
    }

    void run(uint32_t seed)
    {
        rng.seed(seed);
        env = std::make_unique<zt::PeerEnv>();
        ASSERT_EQ(env->init_rc(), 0);
        zt::FakePeer *xfwd = env->connect(OST_MODULE_XFWD);
        ASSERT_NE(xfwd, nullptr);
        xfwd->send_register(ZOR_AF_TLOC_IPV4);
        xfwd->send_register(ZOR_AF_LINK);
        ASSERT_TRUE(env->settle());
        force = false;
        regions = 2 + pick(3);
        // Four local TLOCs, then per region three devices of two TLOCs each.
        pool.clear();
        for (uint8_t color : std::initializer_list<uint8_t>{1, 2, 4, 5}) {
            pool.push_back(zt::tloc_key("10.0.0.1", color, k_ipsec));
        }
        for (uint32_t g = 1; g <= regions; g++) {
            for (uint32_t d = 1; d <= 3; d++) {
                for (uint8_t color : std::initializer_list<uint8_t>{1, 4}) {
                    pool.push_back(zt::tloc_key("10." + std::to_string(g) + "." + std::to_string(d) + ".1", color, k_ipsec));
                }
            }
        }
        for (int i = 0; i < 250 && !HasFatalFailure(); i++) {
            step();
            check_structure();
        }
        if (!HasFatalFailure()) {
            check_against_reference();
            env->free();
            env.reset();
            EXPECT_EQ(zt::mem_unbalanced(), "");
        }
    }

    std::mt19937 rng;
    std::unique_ptr<zt::PeerEnv> env;
    std::vector<zor_tloc_key_t> pool;
    uint32_t regions = 3;
    bool force = false;
    uint64_t compared_paths = 0;
    uint64_t compared_3hop = 0;
};

TEST_F(ZorPathRandom, ManySeedsAgreeWithTheReference)
{
    // ZOR_PATH_SEEDS=N runs N seeds instead, ZOR_PATH_FIRST_SEED=S from S on.
    const char *n = getenv("ZOR_PATH_SEEDS");
    const char *first = getenv("ZOR_PATH_FIRST_SEED");
    const uint32_t seeds = n != nullptr ? static_cast<uint32_t>(strtoul(n, nullptr, 10)) : 80;
    const uint32_t from = first != nullptr ? static_cast<uint32_t>(strtoul(first, nullptr, 10)) : 1;
    for (uint32_t seed = from; seed < from + seeds && !HasFatalFailure(); seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        run(seed);
    }
    // The overlays did produce paths to compare.
    EXPECT_GT(compared_paths, 12u * seeds);
    EXPECT_GT(compared_3hop, 2u * seeds);
}

}  // namespace
