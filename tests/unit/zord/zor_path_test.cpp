// Path computation on a real daemon: peers announce TLOCs of several regions
// and links over real sockets, the path timer runs on the hand-driven clock,
// and the TLOC adds a client receives carry the best paths. Also the
// assertions. The randomised comparison with a reference computation is
// zor_path_reference_test.cpp.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "maapi_cli_capture.h"
#include "ost_util.h"
#include "test_support.h"
#include "timer.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_link_msgs.h"
#include "zor_path.h"

namespace {

using Strings = std::vector<std::string>;
using zt::TlocSpec;

constexpr uint8_t k_biz = 4;
constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

class ZorPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(env.init_rc(), 0);
        for (uint32_t id : {OST_MODULE_ADVD, OST_MODULE_CTLAGENT, OST_MODULE_PROBED, OST_MODULE_XFWD}) {
            peer[id] = env.connect(id);
            ASSERT_NE(peer[id], nullptr) << id;
        }
        xfwd()->send_register(ZOR_AF_TLOC_IPV4);
        xfwd()->send_register(ZOR_AF_DATA_DEVICE_IPV4);
        sync();
    }
    void TearDown() override
    {
        g_zor_path_walk_budget_ms = 500;
        env.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    t_zor_context *ctx() { return env.ctx(); }
    zt::FakePeer *xfwd() { return peer[OST_MODULE_XFWD]; }
    zt::FakePeer *probed() { return peer[OST_MODULE_PROBED]; }

    // TLOCs by name: local ones from ctlagent, remote ones from advd.
    void tloc(const std::string &name, const std::string &ip, uint8_t origin, const TlocSpec &spec, uint8_t color = k_biz)
    {
        keys[name] = zt::tloc_key(ip, color, k_ipsec);
        specs[name] = {origin, spec};
        touch(name, 0);
    }
    // Announces the TLOC again; a new LR hold time makes it a change, so
    // the next tick computes it.
    void touch(const std::string &name, uint32_t hold = 1)
    {
        const auto &[origin, spec] = specs.at(name);
        zor_msg_t msg = zt::tloc_msg(keys[name], origin, spec);
        msg.body.tloc.lr_hold_time = hold != 0 ? ++touches : 0;
        peer[origin == 1 ? OST_MODULE_CTLAGENT : OST_MODULE_ADVD]->send(msg);
    }
    // Links announced by probed, so that zord's own link updates never take
    // them; a link keeps its label when announced again.
    void plink(const std::string &a, const std::string &b, uint32_t bfd, uint32_t mtu, uint32_t pref)
    {
        auto [it, fresh] = labels.try_emplace(a + ">" + b, 40001 + labels.size());
        zor_msg_t msg = zt::peer_link_msg(keys[a], keys[b], bfd, mtu, it->second, pref);
        msg.body.link.local_index = rec(a) != nullptr ? rec(a)->index : 0;
        msg.body.link.remote_index = rec(b) != nullptr ? rec(b)->index : 0;
        probed()->send(msg);
    }
    void sync() { ASSERT_TRUE(env.settle()); }
    // One tick of the path timer, and what it sends delivered.
    void walk()
    {
        env.tick(2);
        sync();
    }
    // The TLOC computed with everything sent before.
    void recompute(const std::string &name)
    {
        sync();
        touch(name);
        sync();
        walk();
    }
    void del(uint32_t from, zor_af_t af, zor_msg_t msg) { zor_af_delete(af, ctx(), zor_client_get(ctx(), from), &msg); }
    t_zor_af_tloc *rec(const std::string &name)
    {
        t_zor_db_entry *e = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), &keys.at(name), nullptr);
        return e != nullptr ? zor_af_tloc_of(e) : nullptr;
    }
    t_zor_af_link *link(const std::string &a, const std::string &b)
    {
        return zor_af_link_lookup(ctx(), &keys.at(a), &keys.at(b));
    }
    std::string name_of(const zor_tloc_key_t &key)
    {
        for (const auto &[name, k] : keys) {
            if (zor_af_tloc_key_cmp(&k, &key) == 0) {
                return name;
            }
        }
        return "?";
    }
    // The TLOC's paths as "*l>b1>c1>r MTU/PREF up": best flag, the ends of
    // its links, MTU and preference, and status.
    Strings paths(const std::string &name)
    {
        Strings out;
        for (const t_zor_path *p = rec(name)->path_list; p != nullptr; p = p->next_p) {
            std::string text = (p->flags & ZOR_PATH_FLAG_BEST) ? "*" : "";
            text += name_of(p->links[0].link_p->local_key);
            for (uint32_t i = 0; i < p->link_count; i++) {
                text += ">" + name_of(p->links[i].link_p->remote_key);
            }
            text += " " + std::to_string(p->mtu) + "/" + std::to_string(p->preference);
            out.push_back(text + (p->status == ZOR_PATH_STATUS_UP ? " up" : " down"));
        }
        return out;
    }
    // The last TLOC add xfwd received for the TLOC.
    const zor_msg_t *last_add(const std::string &name)
    {
        const std::vector<zor_msg_t> &all = xfwd()->received();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (it->type == ZOR_MSG_TLOC_ADD && zor_af_tloc_key_cmp(&it->body.tloc.key, &keys.at(name)) == 0) {
                return &*it;
            }
        }
        return nullptr;
    }
    // Its path descriptors as "local>border>...>end mtu N", the TLOCs named
    // by index and the later hops by the far end of the labelled link.
    Strings sent_paths(const std::string &name)
    {
        const zor_msg_t *msg = last_add(name);
        if (msg == nullptr) {
            return {"no add"};
        }
        std::map<uint32_t, std::string> by_index;
        std::map<uint32_t, std::string> by_label;
        for (const auto &[n, k] : keys) {
            if (rec(n) != nullptr) {
                by_index[rec(n)->index] = n;
            }
        }
        zt::for_each_entry<t_zor_af_link>(ctx()->trees[ZOR_AF_LINK],
                                          [&](t_zor_af_link *l) { by_label[l->label] = name_of(l->remote_key); });
        Strings out;
        for (uint32_t i = 0; i < msg->body.tloc.path_count; i++) {
            const zor_tloc_path_t &d = msg->body.tloc.paths[i];
            std::string text = by_index[d.local_index] + ">" + by_index[d.border_index];
            for (uint32_t j = 0; j < d.label_count; j++) {
                text += ">" + by_label[d.labels[j]];
            }
            out.push_back(text + " mtu " + std::to_string(d.mtu));
        }
        return out;
    }
    uint32_t sent_status(const std::string &name)
    {
        const zor_msg_t *msg = last_add(name);
        return msg != nullptr ? msg->body.tloc.status : 0;
    }

    // Region 1 holds the local TLOC l, its borders b1 and b2 and a remote
    // TLOC s; region 2 the border c1 and the remote TLOC r. probed links l
    // to both borders, both borders to c1, c1 to r.
    void overlay()
    {
        tloc("l", "10.0.0.1", 1, {{1}});
        tloc("b1", "10.1.0.1", 2, {{0, 1}, true});
        tloc("b2", "10.1.0.2", 2, {{0, 1}, true});
        tloc("c1", "10.2.0.1", 2, {{0, 2}, true});
        tloc("r", "10.2.1.1", 2, {{2}});
        tloc("s", "10.1.1.1", 2, {{1}});
        sync();
        plink("l", "b1", 1, 1400, 1);
        plink("l", "b2", 1, 1400, 1);
        plink("b1", "c1", 1, 1500, 2);
        plink("b2", "c1", 1, 1500, 2);
        plink("c1", "r", 1, 1500, 3);
        sync();
    }

    zt::PeerEnv env;
    std::map<uint32_t, zt::FakePeer *> peer;
    std::map<std::string, zor_tloc_key_t> keys;
    std::map<std::string, std::pair<uint8_t, TlocSpec>> specs;
    std::map<std::string, uint32_t> labels;
    uint32_t touches = 0;
};

TEST_F(ZorPath, PathShapesAcrossRegionsAndNoneOnStewardOrSolon)
{
    overlay();
    walk();
    // r, in the other region: l -> border of l's region -> border of r's
    // region -> r, through each border; equal, so both best.
    EXPECT_EQ(paths("r"), (Strings{"*l>b1>c1>r 1400/6 up", "*l>b2>c1>r 1400/6 up"}));
    EXPECT_EQ(sent_paths("r"), (Strings{"l>b1>c1>r mtu 1400", "l>b2>c1>r mtu 1400"}));
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_UP) << "outside every local region: the best path decides";
    // c1, a border of the other region, from the non-border l: two links.
    EXPECT_EQ(sent_paths("c1"), (Strings{"l>b1>c1 mtu 1400", "l>b2>c1 mtu 1400"}));
    // s shares l's region: no path, and BFD keeps deciding its status.
    EXPECT_EQ(paths("s"), Strings{});
    EXPECT_EQ(sent_status("s"), ZOR_TLOC_STATUS_DOWN);
    // b1 is a border of l's region that l cannot reach through another
    // border: no path, and outside l's region that reads status 3.
    EXPECT_EQ(sent_paths("b1"), Strings{});
    EXPECT_EQ(sent_status("b1"), ZOR_TLOC_STATUS_NO_PATH);

    // Personalities 5 and 3 compute nothing: the paths there are given up,
    // and outside every local region the status reads 3.
    for (uint32_t personality : {ZOR_PERSONALITY_STEWARD, ZOR_PERSONALITY_SOLON}) {
        env.daemon()->personality = 1;
        recompute("r");
        ASSERT_EQ(sent_paths("r").size(), 2u);
        env.daemon()->personality = personality;
        recompute("r");
        EXPECT_EQ(paths("r"), Strings{}) << personality;
        EXPECT_EQ(sent_paths("r"), Strings{}) << personality;
        EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_NO_PATH) << personality;
    }
    // Inside a local region BFD still decides; a TLOC created on Solon
    // starts up, and without paths reads status 3.
    recompute("s");
    EXPECT_EQ(sent_status("s"), ZOR_TLOC_STATUS_DOWN);
    tloc("q", "10.3.0.1", 2, {{3}});
    sync();
    EXPECT_EQ(sent_status("q"), ZOR_TLOC_STATUS_UP);
    walk();
    EXPECT_EQ(sent_status("q"), ZOR_TLOC_STATUS_NO_PATH);
}

TEST_F(ZorPath, BestFlagsDownLinksAndZeroMtus)
{
    overlay();
    walk();
    // A link of MTU 0 does not count; the path through b2 becomes strictly
    // better and takes the best flag from both.
    plink("c1", "r", 1, 0, 3);
    plink("l", "b2", 1, 1450, 1);
    recompute("r");
    EXPECT_EQ(paths("r"), (Strings{"*l>b2>c1>r 1450/6 up", "l>b1>c1>r 1400/6 up"}));
    EXPECT_EQ(sent_paths("r"), Strings{"l>b2>c1>r mtu 1450"});
    // The path through b1 would be better, but a link of it is down: down,
    // MTU and preference 0, behind every up path.
    plink("l", "b1", 1, 1480, 1);
    plink("b1", "c1", 0, 1500, 2);
    recompute("r");
    EXPECT_EQ(paths("r"), (Strings{"*l>b2>c1>r 1450/6 up", "l>b1>c1>r 0/0 down"}));
    // Their CLI form; the stale mark is set by hand here.
    rec("r")->path_list->next_p->flags |= ZOR_PATH_FLAG_STALE;
    maapi_cli_capture cli(1, 2);
    zor_path_list_show(cli.uinfo(), rec("r")->path_list);
    auto end = [&](const char *name) {
        const std::string k = zt::kname(keys[name]);
        return "[" + k.substr(0, k.find(':')) + " : biz-internet : ipsec]";
    };
    auto hop = [&](const char *a, const char *b) {
        return "          " + end(a) + " ==> " + end(b) + " (" + zt::ptr_text(link(a, b)) + ")\n";
    };
    EXPECT_EQ(cli.text(), "      Path-List:\n"
                          "        *>  Path-1: MTU: 1450 Pref: 6 Status: Up #LocalLinks: 0 #Links: 3\n" +
                              hop("l", "b2") + hop("b2", "c1") + hop("c1", "r") +
                              "        *  SPath-2: MTU: 0 Pref: 0 Status: Down #LocalLinks: 0 #Links: 3\n" +
                              hop("l", "b1") + hop("b1", "c1") + hop("c1", "r"));
    // Every path down: no descriptor, and the status follows the best path.
    plink("b2", "c1", 0, 1500, 2);
    recompute("r");
    EXPECT_EQ(sent_paths("r"), Strings{});
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_DOWN);
}

TEST_F(ZorPath, TheTimerAQuietTickAndTheBudget)
{
    const timer_util_t *t = ctx()->path_timer;
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->name, "path-timer");
    EXPECT_EQ(t->type, TIMER_TYPE_CYCLIC);
    EXPECT_EQ(t->priority, TIMER_PRI_NORMAL);
    EXPECT_EQ(timer_get_interval_msecs(t), 2000);
    EXPECT_TRUE(timer_is_enabled(t));
    overlay();
    EXPECT_EQ(rec("r")->path_list, nullptr) << "only the timer computes paths";
    walk();
    EXPECT_NE(rec("r")->path_list, nullptr);

    // Nothing changed: nothing computed, sent or moved; the marker stays
    // behind everything the last tick scheduled, where only the clients'
    // markers follow it.
    auto change_list = [&] {
        std::vector<t_zor_db_entry *> out;
        for (t_zor_db_entry *e = ctx()->entry_lists[ZOR_AF_TLOC_IPV4]->first; e != nullptr; e = e->next) {
            out.push_back(e);
        }
        return out;
    };
    const std::vector<t_zor_db_entry *> before = change_list();
    xfwd()->take();
    walk();
    walk();
    EXPECT_EQ(zt::msg_strs(xfwd()->take()), Strings{});
    EXPECT_EQ(change_list(), before);
    for (t_zor_db_entry *e = ctx()->path_walk_marker->next; e != nullptr; e = e->next) {
        EXPECT_TRUE(e->flags & ZOR_ENTRY_MARKER);
    }
    // Changed TLOCs are computed and refresh their devices. With no time
    // left after each entry, a tick computes one entry and leaves the
    // marker just before the next.
    g_zor_path_walk_budget_ms = 0;
    for (const char *name : {"c1", "s", "r"}) {
        touch(name);
    }
    sync();
    xfwd()->take();
    Strings devices;
    for (const char *next : {"s", "r", ""}) {
        walk();
        for (const std::string &m : zt::msg_strs(xfwd()->take())) {
            if (m.rfind("DATA-DEVICE-ADD", 0) == 0) {
                devices.push_back(m.substr(16, m.rfind(' ') - 16));
            }
        }
        if (*next != '\0') {
            EXPECT_EQ(ctx()->path_walk_marker->next, rec(next)->entry_p) << next;
        }
    }
    EXPECT_EQ(devices, (Strings{"10.2.0.1", "10.1.1.1", "10.2.1.1"}));
}

TEST_F(ZorPath, AWithdrawnLinkOrTlocGivesUpThePathsThroughIt)
{
    // l3 shares r's region, so BFD decides r's status and r goes out again
    // only because its paths changed.
    tloc("l2", "10.0.0.1", 1, {{1}}, 2);
    tloc("l3", "10.0.0.1", 1, {{2}}, 5);
    overlay();
    plink("l2", "b1", 1, 1300, 1);
    sync();
    xfwd()->send_register(ZOR_AF_LINK);
    walk();
    ASSERT_EQ(paths("r"), (Strings{"*l>b1>c1>r 1400/6 up", "*l>b2>c1>r 1400/6 up", "l2>b1>c1>r 1300/6 up"}));

    // The middle link b1 > c1 goes. xfwd holds it, so its record stays
    // until xfwd was sent the delete, but no path uses it from the start,
    // and r goes out again at once with what is left.
    t_zor_af_link *gone = link("b1", "c1");
    del(OST_MODULE_PROBED, ZOR_AF_LINK, zt::link_msg(ZOR_MSG_LINK_DEL, keys["b1"], keys["c1"]));
    EXPECT_TRUE(gone->entry_p->flags & ZOR_ENTRY_WITHDRAWN);
    EXPECT_EQ(gone->path_links, nullptr);
    EXPECT_EQ(paths("r"), Strings{"*l>b2>c1>r 1400/6 up"});
    sync();
    EXPECT_EQ(sent_paths("r"), Strings{"l>b2>c1>r mtu 1400"});
    EXPECT_EQ(sent_paths("c1"), Strings{"l>b2>c1 mtu 1400"});

    // The local TLOC l goes. Its first hops are probed's and stay, but every
    // path from l is given up at once, and r and c1 are rebuilt from l2 on
    // the next tick.
    del(OST_MODULE_CTLAGENT, ZOR_AF_TLOC_IPV4, zt::tloc_del_msg(keys["l"]));
    EXPECT_EQ(paths("r"), Strings{});
    EXPECT_EQ(paths("c1"), Strings{});
    sync();
    EXPECT_EQ(sent_paths("r"), Strings{});
    plink("b1", "c1", 1, 1500, 2);
    sync();
    walk();
    EXPECT_EQ(sent_paths("r"), Strings{"l2>b1>c1>r mtu 1300"});
    EXPECT_EQ(sent_paths("c1"), Strings{"l2>b1>c1 mtu 1300"});

    // A remote border goes: the paths through it are given up too.
    del(OST_MODULE_ADVD, ZOR_AF_TLOC_IPV4, zt::tloc_del_msg(keys["c1"]));
    EXPECT_EQ(paths("r"), Strings{});
}

// ------------------------------------------------------------ assertions

TEST(ZorPathDeath, TheInvariantsStopTheProcess)
{
    // Case 0-2: a path inserted while in a list, or next to itself; 3-4: a
    // path-link taken while in a chain.
    const std::string nul = " == \\(\\(void \\*\\)0\\)";
    const std::string texts[] = {"path_p->prev_p" + nul, "path_p->next_p" + nul, "path_p != temp_path_p",
                                 "path_link_p->link_prev_p" + nul, "path_link_p->link_next_p" + nul};
    for (int i = 0; i < 5; i++) {
        zt::ChildResult r = zt::run_in_child([i] {
            t_zor_af_tloc tloc{};
            t_zor_path a{};
            t_zor_path b{};
            t_zor_af_link l{};
            if (i < 3) {
                (i == 0 ? b.prev_p : i == 1 ? b.next_p : tloc.path_list) = &a;
                zor_path_insert(&tloc, i == 2 ? &a : &b);
            } else {
                (i == 3 ? b.links[0].link_prev_p : b.links[0].link_next_p) = &b.links[1];
                zor_path_link_attach(&b, &l);
            }
        });
        EXPECT_FALSE(r.exited) << texts[i];
        EXPECT_TRUE(std::regex_match(r.out, std::regex("zord/zor_path:[0-9]+: failed assertion `" + texts[i] + "'\n")))
            << r.out;
    }
}

}  // namespace
