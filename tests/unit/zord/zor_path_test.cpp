// Path computation on a real daemon: peers announce TLOCs of several regions
// and links over real sockets, the path timer runs on the hand-driven clock,
// and the TLOC adds that a client receives carry the best paths. Also the
// ordering rules on hand-built paths, the path walk's marker and budget,
// personalities, what a withdraw does to the paths that ran through the
// withdrawn link or TLOC, and the assertions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <tuple>
#include <regex>
#include <string>
#include <vector>

#include "ip_util.h"
#include "maapi_cli.h"
#include "ost_util.h"
#include "test_support.h"
#include "timer.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_af_tloc_show.h"
#include "zor_client.h"
#include "zor_fake_peer.h"
#include "zor_group.h"
#include "zor_link_msgs.h"
#include "zor_path.h"
#include "zor_test_daemon.h"

namespace {

using Strings = std::vector<std::string>;
using zt::FakePeer;
using zt::TlocSpec;

constexpr uint8_t k_biz = 4;
constexpr uint8_t k_mpls = 2;
constexpr uint8_t k_ipsec = OST_ENCAP_IPSEC;

std::string key_text(const zor_tloc_key_t &key)
{
    char text[128];
    return tloc_to_str(&key, text, sizeof(text));
}

class ZorPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(env.init_rc(), 0);
        advd = connect(OST_MODULE_ADVD);
        ctl = connect(OST_MODULE_CTLAGENT);
        probed = connect(OST_MODULE_PROBED);
        xfwd = connect(OST_MODULE_XFWD);
        ASSERT_TRUE(advd && ctl && probed && xfwd);
        xfwd->send_register(ZOR_AF_TLOC_IPV4);
        xfwd->send_register(ZOR_AF_DATA_DEVICE_IPV4);
        sync();
    }
    void TearDown() override
    {
        g_zor_path_walk_budget_ms = 500;
        env.free();
        EXPECT_EQ(zt::mem_unbalanced(), "");
    }
    FakePeer *connect(uint32_t id)
    {
        FakePeer *p = env.connect(id);
        EXPECT_NE(p, nullptr) << "peer " << id << " did not come up";
        return p;
    }
    t_zor_context *ctx() { return env.ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }

    // TLOCs by name: local ones from ctlagent, remote ones from advd.
    void tloc(const std::string &name, const std::string &ip, uint8_t origin, const TlocSpec &spec,
              uint8_t color = k_biz)
    {
        keys[name] = zt::tloc_key(ip, color, k_ipsec);
        specs[name] = spec;
        origins[name] = origin;
        (origin == 1 ? ctl : advd)->send(zt::tloc_msg(keys[name], origin, spec));
    }
    void local(const std::string &name, const std::string &ip, const TlocSpec &spec, uint8_t color = k_biz)
    {
        tloc(name, ip, 1, spec, color);
    }
    void remote(const std::string &name, const std::string &ip, const TlocSpec &spec) { tloc(name, ip, 2, spec); }
    // Re-announces a TLOC with a new LR hold time: the entry changes and is
    // scheduled, so the next tick computes it.
    void touch(const std::string &name)
    {
        zor_msg_t msg = zt::tloc_msg(keys[name], origins[name], specs[name]);
        msg.body.tloc.lr_hold_time = ++touches;
        (origins[name] == 1 ? ctl : advd)->send(msg);
    }
    // Links announced by probed (so zord's own link updates never remove
    // them); a link keeps its label when announced again.
    void plink(const std::string &a, const std::string &b, uint32_t bfd, uint32_t mtu, uint32_t pref)
    {
        auto it = labels.find(a + ">" + b);
        const uint32_t label = it != labels.end() ? it->second : next_label++;
        labels[a + ">" + b] = label;
        zor_msg_t msg = zt::peer_link_msg(keys[a], keys[b], bfd, mtu, label, pref);
        // The peer names the ends by the indices zord gave the TLOCs.
        msg.body.link.local_index = rec(a) != nullptr ? rec(a)->index : 0;
        msg.body.link.remote_index = rec(b) != nullptr ? rec(b)->index : 0;
        probed->send(msg);
    }
    void plink_del(const std::string &a, const std::string &b)
    {
        probed->send(zt::link_msg(ZOR_MSG_LINK_DEL, keys[a], keys[b]));
    }
    void lstatus(const std::string &a, const std::string &b, uint32_t bfd, uint32_t mtu)
    {
        probed->send(zt::link_status_msg(keys[a], keys[b], bfd, mtu));
    }
    void sync() { ASSERT_TRUE(env.settle()); }
    // One tick of the path timer, and what it sends delivered.
    void walk()
    {
        env.tick(2);
        sync();
    }
    // Delivers what was sent, changes the TLOC and runs a tick: the TLOC is
    // computed with everything sent before.
    void recompute(const std::string &name)
    {
        sync();
        touch(name);
        sync();
        walk();
    }
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
        return "?" + zt::kname(key);
    }
    std::string name_of_index(uint32_t index)
    {
        for (const auto &[name, k] : keys) {
            t_zor_af_tloc *t = rec(name);
            if (t != nullptr && t->index == index) {
                return name;
            }
        }
        return "?" + std::to_string(index);
    }
    // The far end of the link that carries the label.
    std::string label_end(uint32_t label)
    {
        avl_tree_t *tree = ctx()->trees[ZOR_AF_LINK];
        for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
             e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
            if (zor_af_link_of(e)->label == label) {
                return name_of(zor_af_link_of(e)->remote_key);
            }
        }
        return "?" + std::to_string(label);
    }
    // Everything xfwd received so far.
    const std::vector<zor_msg_t> &seen()
    {
        for (zor_msg_t &m : xfwd->take()) {
            seen_.push_back(m);
        }
        return seen_;
    }
    Strings seen_strs()
    {
        const size_t from = seen_.size();
        seen();
        return zt::msg_strs(std::vector<zor_msg_t>(seen_.begin() + static_cast<long>(from), seen_.end()));
    }
    // The last TLOC add xfwd received for the TLOC.
    const zor_msg_t *last_add(const std::string &name)
    {
        const std::vector<zor_msg_t> &all = seen();
        for (auto it = all.rbegin(); it != all.rend(); ++it) {
            if (it->type == ZOR_MSG_TLOC_ADD && zor_af_tloc_key_cmp(&it->body.tloc.key, &keys.at(name)) == 0) {
                return &*it;
            }
        }
        return nullptr;
    }
    // Its path descriptors as "local>border>...>end mtu N".
    Strings sent_paths(const std::string &name)
    {
        const zor_msg_t *msg = last_add(name);
        if (msg == nullptr) {
            return {"no add"};
        }
        Strings out;
        for (uint32_t i = 0; i < msg->body.tloc.path_count; i++) {
            const zor_tloc_path_t &d = msg->body.tloc.paths[i];
            std::string text = name_of_index(d.local_index) + ">" + name_of_index(d.border_index);
            for (uint32_t j = 0; j < d.label_count; j++) {
                text += ">" + label_end(d.labels[j]);
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
    // The TLOC's show from the path list on.
    Strings path_list(const std::string &name)
    {
        maapi_cli_capture cli(9, 9);
        zor_af_tloc_show(ZOR_AF_TLOC_IPV4, ctx(), rec(name)->entry_p, cli.uinfo());
        Strings lines = zt::split_lines(cli.text());
        for (size_t i = 0; i < lines.size(); i++) {
            if (lines[i] == "      Path-List:") {
                return Strings(lines.begin() + static_cast<long>(i), lines.end());
            }
        }
        return {};
    }
    std::string link_line(const std::string &a, const std::string &b)
    {
        return "          [" + key_text(keys[a]) + "] ==> [" + key_text(keys[b]) + "] (" + zt::ptr_text(link(a, b)) +
               ")";
    }
    // The MTUs of the TLOC's paths in list order.
    std::vector<uint32_t> path_mtus(const std::string &name)
    {
        std::vector<uint32_t> out;
        for (const t_zor_path *p = rec(name)->path_list; p != nullptr; p = p->next_p) {
            out.push_back(p->mtu);
        }
        return out;
    }
    // The expected path list of r in the overlay: per path its summary line
    // (from "*>" on) and the border of region 1 it goes through.
    Strings overlay_list(const std::vector<std::pair<std::string, std::string>> &paths)
    {
        Strings out{"      Path-List:"};
        for (const auto &[summary, border] : paths) {
            out.push_back("        " + summary);
            out.push_back(link_line("l", border));
            out.push_back(link_line(border, "c1"));
            out.push_back(link_line("c1", "r"));
        }
        return out;
    }
    // The TLOC-IPV4 change list, markers included.
    std::vector<t_zor_db_entry *> change_list()
    {
        std::vector<t_zor_db_entry *> out;
        for (t_zor_db_entry *e = ctx()->entry_lists[ZOR_AF_TLOC_IPV4]->first; e != nullptr; e = e->next) {
            out.push_back(e);
        }
        return out;
    }

    // Region 1 holds the local TLOC l, its borders b1 and b2 and a remote
    // TLOC s; region 2 holds the border c1 and the remote TLOC r. The
    // links come from a peer: l to both borders, both borders to c1, c1 to
    // r.
    void overlay()
    {
        local("l", "10.0.0.1", {{1}});
        remote("b1", "10.1.0.1", {{0, 1}, true});
        remote("b2", "10.1.0.2", {{0, 1}, true});
        remote("c1", "10.2.0.1", {{0, 2}, true});
        remote("r", "10.2.1.1", {{2}});
        remote("s", "10.1.1.1", {{1}});
        sync();
        plink("l", "b1", 1, 1400, 1);
        plink("l", "b2", 1, 1400, 1);
        plink("b1", "c1", 1, 1500, 2);
        plink("b2", "c1", 1, 1500, 2);
        plink("c1", "r", 1, 1500, 3);
        sync();
    }

    zt::PeerEnv env;
    FakePeer *advd = nullptr;
    FakePeer *ctl = nullptr;
    FakePeer *probed = nullptr;
    FakePeer *xfwd = nullptr;
    std::map<std::string, zor_tloc_key_t> keys;
    std::map<std::string, TlocSpec> specs;
    std::map<std::string, uint8_t> origins;
    std::map<std::string, uint32_t> labels;
    uint32_t next_label = 40001;
    uint32_t touches = 0;
    std::vector<zor_msg_t> seen_;
};

TEST_F(ZorPath, TheTimerIsCyclicEveryTwoSecondsAtNormalPriority)
{
    const timer_util_t *t = ctx()->path_timer;
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->name, "path-timer");
    EXPECT_EQ(t->type, TIMER_TYPE_CYCLIC);
    EXPECT_EQ(t->priority, TIMER_PRI_NORMAL);
    EXPECT_EQ(timer_get_interval_msecs(t), 2000);
    EXPECT_TRUE(timer_is_enabled(t));
    EXPECT_EQ(t->arg1, ctx());
    EXPECT_NE(ctx()->path_walk_marker, nullptr);
    // Without the timer the paths would never come: the ticks compute them.
    overlay();
    EXPECT_EQ(rec("r")->path_list, nullptr);
    env.tick(1);
    env.tick(1);
    EXPECT_NE(rec("r")->path_list, nullptr);
}

TEST_F(ZorPath, ThreeLinkPathsAcrossRegionsTwoLinkPathsToARemoteBorderNoneWithinARegion)
{
    overlay();
    walk();
    // r, in the other region: l -> border of l's region -> border of r's
    // region -> r, through each of the two borders; equal, so both best.
    EXPECT_EQ(sent_paths("r"), (Strings{"l>b1>c1>r mtu 1400", "l>b2>c1>r mtu 1400"}));
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_UP) << "outside every local region: the best path decides";
    // c1, a border of the other region, from the non-border l: two links
    // through the borders of l's region.
    EXPECT_EQ(sent_paths("c1"), (Strings{"l>b1>c1 mtu 1400", "l>b2>c1 mtu 1400"}));
    // s shares l's region: no path, and BFD keeps deciding its status.
    EXPECT_EQ(sent_paths("s"), Strings{});
    EXPECT_EQ(rec("s")->path_list, nullptr);
    EXPECT_EQ(sent_status("s"), ZOR_TLOC_STATUS_DOWN);
    // b1 is a border of l's region, but l cannot reach it through another
    // border: no path, and outside l's region that means status 3.
    EXPECT_EQ(sent_paths("b1"), Strings{});
    EXPECT_EQ(sent_status("b1"), ZOR_TLOC_STATUS_NO_PATH);
    // The descriptors carry indices and labels.
    const zor_msg_t *add = last_add("r");
    ASSERT_NE(add, nullptr);
    const zor_tloc_path_t &d = add->body.tloc.paths[0];
    EXPECT_EQ(d.local_index, rec("l")->index);
    EXPECT_EQ(d.border_index, rec("b1")->index);
    EXPECT_EQ(d.label_count, 2);
    EXPECT_EQ(d.labels[0], labels["b1>c1"]);
    EXPECT_EQ(d.labels[1], labels["c1>r"]);
}

TEST_F(ZorPath, TheMirrorCaseFromALocalBorderAndNoneBetweenTwoBorders)
{
    local("lb", "10.0.0.1", {{1}, true});
    remote("c1", "10.2.0.1", {{0, 2}, true});
    remote("c2", "10.2.0.2", {{0, 2}, true});
    remote("rb", "10.2.1.2", {{0, 2}, true});
    remote("r", "10.2.1.1", {{2}});
    sync();
    // zord built the first hops itself (two borders share a region); they
    // come up with link status messages.
    ASSERT_NE(link("lb", "c1"), nullptr);
    ASSERT_NE(link("lb", "c2"), nullptr);
    ASSERT_NE(link("lb", "rb"), nullptr);
    lstatus("lb", "c1", 1, 1400);
    lstatus("lb", "c2", 1, 1300);
    plink("c1", "r", 1, 1500, 0);
    plink("c2", "r", 1, 1500, 0);
    sync();
    walk();
    // Through the borders of r's region; the one with the larger MTU alone
    // is best.
    EXPECT_EQ(sent_paths("r"), Strings{"lb>c1>r mtu 1400"});
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_UP);
    // Two border TLOCs: no path.
    for (const char *border : {"c1", "c2", "rb"}) {
        EXPECT_EQ(rec(border)->path_list, nullptr) << border;
        EXPECT_EQ(sent_paths(border), Strings{}) << border;
    }
    // The CLI form of r's list: the best path first, then the other.
    EXPECT_EQ(path_list("r"), (Strings{"      Path-List:",
                                       "        *>  Path-1: MTU: 1400 Pref: 0 Status: Up #LocalLinks: 0 #Links: 2",
                                       link_line("lb", "c1"), link_line("c1", "r"),
                                       "        *   Path-2: MTU: 1300 Pref: 0 Status: Up #LocalLinks: 0 #Links: 2",
                                       link_line("lb", "c2"), link_line("c2", "r")}));
}

TEST_F(ZorPath, BestFlagsDownLinksAndZeroMtus)
{
    overlay();
    walk();
    EXPECT_EQ(path_list("r"), overlay_list({{"*>  Path-1: MTU: 1400 Pref: 6 Status: Up #LocalLinks: 0 #Links: 3", "b1"},
                                                   {"*>  Path-2: MTU: 1400 Pref: 6 Status: Up #LocalLinks: 0 #Links: 3", "b2"}}));

    // A link of MTU 0 does not count; the path through b2 becomes strictly
    // better and takes the best flag from both.
    plink("c1", "r", 1, 0, 3);
    plink("l", "b2", 1, 1450, 1);
    recompute("r");
    EXPECT_EQ(sent_paths("r"), Strings{"l>b2>c1>r mtu 1450"});
    EXPECT_EQ(path_list("r"), overlay_list({{"*>  Path-1: MTU: 1450 Pref: 6 Status: Up #LocalLinks: 0 #Links: 3", "b2"},
                                                   {"*   Path-2: MTU: 1400 Pref: 6 Status: Up #LocalLinks: 0 #Links: 3", "b1"}}));

    // The path through b1 would now be the best, but a link of it is down:
    // the path is down, MTU 0 and preference 0, behind every up path.
    plink("l", "b1", 1, 1480, 1);
    plink("b1", "c1", 0, 1500, 2);
    recompute("r");
    EXPECT_EQ(sent_paths("r"), Strings{"l>b2>c1>r mtu 1450"});
    EXPECT_EQ(path_list("r"), overlay_list({{"*>  Path-1: MTU: 1450 Pref: 6 Status: Up #LocalLinks: 0 #Links: 3", "b2"},
                                                   {"*   Path-2: MTU: 0 Pref: 0 Status: Down #LocalLinks: 0 #Links: 3", "b1"}}));

    // Every path down: the best path is down, no descriptor goes out and
    // the status follows the best path.
    plink("b2", "c1", 0, 1500, 2);
    recompute("r");
    EXPECT_EQ(sent_paths("r"), Strings{});
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_DOWN);
    EXPECT_EQ(rec("r")->bfd_status, ZOR_BFD_STATE_DOWN);
}

TEST_F(ZorPath, AQuietTickVisitsOnlyMarkersAndTheBudgetLeavesAResumePoint)
{
    overlay();
    walk();
    seen();
    const std::vector<t_zor_db_entry *> before = change_list();
    // Nothing changed: nothing is computed, nothing sent, nothing moved.
    walk();
    walk();
    EXPECT_EQ(seen_strs(), Strings{});
    EXPECT_EQ(change_list(), before);
    // The marker went behind everything the last tick scheduled: only
    // markers (the clients') follow it.
    for (t_zor_db_entry *e = ctx()->path_walk_marker->next; e != nullptr; e = e->next) {
        EXPECT_TRUE(e->flags & ZOR_ENTRY_MARKER);
    }

    // One changed TLOC: the tick computes it alone (each computed TLOC
    // refreshes its device).
    touch("s");
    sync();
    seen();
    walk();
    EXPECT_EQ(seen_strs(), Strings{"DATA-DEVICE-ADD 10.1.1.1 2"});

    // With no time left after each entry, a tick computes one entry and
    // leaves the marker just before the next.
    g_zor_path_walk_budget_ms = 0;
    touch("c1");
    touch("s");
    touch("r");
    sync();
    seen();
    Strings devices;
    for (int i = 0; i < 3; i++) {
        walk();
        for (const std::string &m : seen_strs()) {
            if (m.rfind("DATA-DEVICE-ADD", 0) == 0) {
                devices.push_back(m.substr(16, m.rfind(' ') - 16));
            }
        }
        t_zor_db_entry *next = ctx()->path_walk_marker->next;
        ASSERT_NE(next, nullptr);
        if (i < 2) {
            EXPECT_EQ(next, rec(i == 0 ? "s" : "r")->entry_p) << i;
        }
    }
    EXPECT_EQ(devices, (Strings{"10.2.0.1", "10.1.1.1", "10.2.1.1"}));

    // With the budget back a tick runs to the end, and the next is quiet.
    g_zor_path_walk_budget_ms = 500;
    walk();
    seen();
    walk();
    EXPECT_EQ(seen_strs(), Strings{});
}

TEST_F(ZorPath, PersonalitiesThreeAndFiveComputeNothing)
{
    env.daemon()->personality = ZOR_PERSONALITY_STEWARD;
    overlay();
    walk();
    for (const char *name : {"b1", "b2", "c1", "r", "s"}) {
        EXPECT_EQ(rec(name)->path_list, nullptr) << name;
        EXPECT_EQ(sent_paths(name), Strings{}) << name;
    }
    // Outside every local region and without paths: status 3; inside, BFD
    // still decides.
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_NO_PATH);
    EXPECT_EQ(rec("r")->bfd_status, ZOR_BFD_STATE_NO_PATH);
    EXPECT_EQ(sent_status("s"), ZOR_TLOC_STATUS_DOWN);

    // Another personality computes; back on Solon the paths that exist are
    // given up and nothing is built again.
    env.daemon()->personality = 1;
    recompute("r");
    EXPECT_EQ(sent_paths("r"), (Strings{"l>b1>c1>r mtu 1400", "l>b2>c1>r mtu 1400"}));
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_UP);
    env.daemon()->personality = ZOR_PERSONALITY_SOLON;
    recompute("r");
    EXPECT_EQ(rec("r")->path_list, nullptr);
    EXPECT_EQ(sent_paths("r"), Strings{});
    EXPECT_EQ(sent_status("r"), ZOR_TLOC_STATUS_NO_PATH);
    // A TLOC created on Solon starts up, and without paths reads status 3.
    remote("q", "10.3.0.1", {{3}});
    sync();
    EXPECT_EQ(sent_status("q"), ZOR_TLOC_STATUS_UP);
    walk();
    EXPECT_EQ(sent_status("q"), ZOR_TLOC_STATUS_NO_PATH);
    EXPECT_EQ(rec("q")->path_list, nullptr);
}

TEST_F(ZorPath, AWithdrawnLinkOrLocalTlocGivesUpThePathsThroughIt)
{
    local("l2", "10.0.0.1", {{1}}, k_mpls);
    overlay();
    plink("l2", "b1", 1, 1300, 1);
    sync();
    xfwd->send_register(ZOR_AF_LINK);
    walk();
    EXPECT_EQ(sent_paths("r"), (Strings{"l>b1>c1>r mtu 1400", "l>b2>c1>r mtu 1400"}));
    ASSERT_EQ(path_mtus("r"), (std::vector<uint32_t>{1400, 1400, 1300})) << "l2's path is there, not best";

    // The middle link b1 > c1 goes; xfwd holds it, so its record stays until
    // xfwd was sent the deletion, but no path uses it from the start.
    t_zor_af_link *gone = link("b1", "c1");
    zor_msg_t del = zt::link_msg(ZOR_MSG_LINK_DEL, keys["b1"], keys["c1"]);
    zor_af_delete(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &del);
    EXPECT_TRUE(gone->entry_p->flags & ZOR_ENTRY_WITHDRAWN);
    EXPECT_EQ(gone->path_links, nullptr);
    int paths = 0;
    for (const t_zor_path *p = rec("r")->path_list; p != nullptr; p = p->next_p, paths++) {
        for (uint32_t i = 0; i < p->link_count; i++) {
            EXPECT_NE(p->links[i].link_p, gone);
        }
    }
    EXPECT_EQ(paths, 1);
    // r went out again at once, with what is left, ordered and best.
    sync();
    EXPECT_EQ(sent_paths("r"), Strings{"l>b2>c1>r mtu 1400"});
    EXPECT_EQ(sent_paths("c1"), Strings{"l>b2>c1 mtu 1400"});

    // The local TLOC l goes. Its first hops belong to probed and stay, but
    // every path from l is given up at once, and r and c1 are rebuilt from
    // l2 on the next tick.
    zor_msg_t tdel = zt::tloc_del_msg(keys["l"]);
    zor_af_delete(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &tdel);
    EXPECT_NE(link("l", "b2"), nullptr);
    EXPECT_EQ(link("l", "b2")->path_links, nullptr);
    EXPECT_EQ(rec("r")->path_list, nullptr);
    EXPECT_EQ(rec("c1")->path_list, nullptr);
    sync();
    EXPECT_EQ(sent_paths("r"), Strings{});
    plink("b1", "c1", 1, 1500, 2);
    sync();
    walk();
    EXPECT_EQ(sent_paths("r"), Strings{"l2>b1>c1>r mtu 1300"});
    EXPECT_EQ(sent_paths("c1"), Strings{"l2>b1>c1 mtu 1300"});
    // l comes back with a new index; its peer announces its links anew.
    // r is computed again when it changes next.
    local("l", "10.0.0.1", {{1}});
    sync();
    for (const char *b : {"b1", "b2"}) {
        plink_del("l", b);
        sync();
        plink("l", b, 1, 1400, 1);
    }
    sync();
    walk();
    EXPECT_EQ(sent_paths("r"), Strings{"l2>b1>c1>r mtu 1300"});
    recompute("r");
    EXPECT_EQ(sent_paths("r"), (Strings{"l>b1>c1>r mtu 1400", "l>b2>c1>r mtu 1400"}));
    // A remote border goes: the paths through it are given up too.
    zor_msg_t bdel = zt::tloc_del_msg(keys["c1"]);
    zor_af_delete(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_ADVD), &bdel);
    EXPECT_EQ(rec("r")->path_list, nullptr);
    sync();
}

// ----------------------------------------------------------- ordering rules

t_zor_path mk(uint32_t status, bool stale, uint8_t links, uint8_t local_links, uint32_t pref, uint32_t mtu)
{
    t_zor_path p{};
    p.status = status;
    p.flags = stale ? ZOR_PATH_FLAG_STALE : 0;
    p.link_count = links;
    p.local_links = local_links;
    p.preference = pref;
    p.mtu = mtu;
    return p;
}

TEST(ZorPathOrder, EachRuleDecidesBeforeTheNext)
{
    constexpr uint32_t up = ZOR_PATH_STATUS_UP;
    constexpr uint32_t down = ZOR_PATH_STATUS_DOWN;
    struct Case {
        t_zor_path better;
        t_zor_path worse;
        const char *rule;
    };
    const Case cases[] = {
        {mk(up, true, 3, 0, 0, 0), mk(down, false, 2, 2, 9, 9), "up before down"},
        {mk(up, false, 3, 0, 0, 0), mk(up, true, 2, 2, 9, 9), "not stale before stale"},
        {mk(up, false, 2, 0, 0, 0), mk(up, false, 3, 3, 9, 9), "fewer links"},
        {mk(up, false, 2, 2, 0, 0), mk(up, false, 2, 1, 9, 9), "more local links"},
        {mk(up, false, 2, 1, 9, 0), mk(up, false, 2, 1, 8, 9), "higher preference"},
        {mk(up, false, 2, 1, 9, 1500), mk(up, false, 2, 1, 9, 1400), "higher MTU"},
        {mk(down, true, 3, 0, 0, 0), mk(down, true, 3, 0, 0, 0), "equal"},
    };
    for (const Case &c : cases) {
        const bool equal = std::string(c.rule) == "equal";
        EXPECT_EQ(zor_path_cmp(&c.better, &c.worse), equal ? 0 : -1) << c.rule;
        EXPECT_EQ(zor_path_cmp(&c.worse, &c.better), equal ? 0 : 1) << c.rule;
    }
}

TEST(ZorPathOrder, InsertionKeepsTheListOrderedAndMarksTheLeadingEqualGroup)
{
    t_zor_af_tloc r{};
    t_zor_path p[6];
    const uint32_t mtus[] = {1400, 1400, 1300, 1400, 1350, 1500};
    for (int i = 0; i < 6; i++) {
        p[i] = mk(ZOR_PATH_STATUS_UP, false, 2, 0, 0, mtus[i]);
        p[i].flags = ZOR_PATH_FLAG_BEST;  // a stale flag from before is cleared
    }
    auto order = [&] {
        std::string out;
        for (const t_zor_path *x = r.path_list; x != nullptr; x = x->next_p) {
            EXPECT_EQ(x->next_p == nullptr || x->next_p->prev_p == x, true);
            out += std::to_string(x - p) + ((x->flags & ZOR_PATH_FLAG_BEST) ? "* " : " ");
        }
        return out;
    };
    zor_path_insert(&r, &p[0]);
    EXPECT_EQ(order(), "0* ") << "the first path is best";
    zor_path_insert(&r, &p[1]);
    EXPECT_EQ(order(), "1* 0* ") << "an equal one joins the best group in front";
    zor_path_insert(&r, &p[2]);
    EXPECT_EQ(order(), "1* 0* 2 ") << "a worse one goes to the tail";
    zor_path_insert(&r, &p[3]);
    EXPECT_EQ(order(), "3* 1* 0* 2 ");
    zor_path_insert(&r, &p[4]);
    EXPECT_EQ(order(), "3* 1* 0* 4 2 ") << "before the first it is not worse than, not best";
    zor_path_insert(&r, &p[5]);
    EXPECT_EQ(order(), "5* 3 1 0 4 2 ") << "a strictly better one takes the flag from the whole group";
    EXPECT_EQ(r.path_list->prev_p, nullptr);
}

TEST(ZorPathOrder, EvaluationFromTheLinks)
{
    zt::TestDaemon d;
    ASSERT_EQ(d.init_rc(), 0);
    t_zor_context *ctx = d.ctx();
    const zor_tloc_key_t a = zt::tloc_key("10.0.0.1", k_biz, k_ipsec);
    const zor_tloc_key_t a2 = zt::tloc_key("10.0.0.1", k_mpls, k_ipsec);
    const zor_tloc_key_t b = zt::tloc_key("10.1.0.1", k_biz, k_ipsec);
    const zor_tloc_key_t c = zt::tloc_key("10.2.0.1", k_biz, k_ipsec);
    t_zor_af_link l1{};
    t_zor_af_link l2{};
    t_zor_af_link l3{};
    l1.local_key = a;
    l1.remote_key = a2;  // both ends on one device
    l2.local_key = a2;
    l2.remote_key = b;
    l3.local_key = b;
    l3.remote_key = c;
    for (t_zor_af_link *l : {&l1, &l2, &l3}) {
        l->status = ZOR_LINK_STATUS_UP;
    }
    l1.mtu = 0;
    l2.mtu = 1400;
    l3.mtu = 1300;
    l1.preference = 1;
    l2.preference = 2;
    l3.preference = 4;
    t_zor_path path{};
    path.flags = ZOR_PATH_FLAG_STALE;
    zor_path_link_attach(&path, &l1);
    zor_path_link_attach(&path, &l2);
    zor_path_link_attach(&path, &l3);
    EXPECT_EQ(path.link_count, 3);
    EXPECT_EQ(l1.path_links, &path.links[0]);
    EXPECT_EQ(path.links[2].path_p, &path);
    zor_path_evaluate(ctx, &path);
    EXPECT_EQ(path.status, ZOR_PATH_STATUS_UP);
    EXPECT_EQ(path.mtu, 1300u) << "the smallest MTU that is not 0";
    EXPECT_EQ(path.preference, 7u);
    EXPECT_EQ(path.local_links, 1);
    EXPECT_EQ(path.flags, 0) << "no end is stale";

    // A stale end makes the path stale.
    zor_msg_t msg = zt::tloc_msg(c, 2, {{}, false, 0, true});
    ASSERT_NE(zor_af_add(ZOR_AF_TLOC_IPV4, ctx, ctx->clients[OST_MODULE_ADVD], &msg), nullptr);
    zor_path_evaluate(ctx, &path);
    EXPECT_EQ(path.flags, ZOR_PATH_FLAG_STALE);

    // A down link: down, MTU and preference 0; the links after it are not
    // looked at.
    l2.status = ZOR_LINK_STATUS_DOWN;
    zor_path_evaluate(ctx, &path);
    EXPECT_EQ(path.status, ZOR_PATH_STATUS_DOWN);
    EXPECT_EQ(path.mtu, 0u);
    EXPECT_EQ(path.preference, 0u);
    EXPECT_EQ(path.local_links, 1);
    EXPECT_EQ(path.flags, 0) << "the stale end lies behind the down link";
    // A path whose only non-zero MTUs are 0 has MTU 0.
    l2.status = ZOR_LINK_STATUS_UP;
    l2.mtu = 0;
    l3.mtu = 0;
    zor_path_evaluate(ctx, &path);
    EXPECT_EQ(path.mtu, 0u);
}

TEST(ZorPathDeath, TheInvariantsStopTheProcess)
{
    const std::string prefix = "zord/zor_path:[0-9]+: failed assertion `";
    auto expect = [&](const std::function<void()> &fn, const std::string &text) {
        zt::ChildResult r = zt::run_in_child(fn);
        EXPECT_FALSE(r.exited) << text;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(prefix + text + "'\n"))) << r.out;
    };
    expect(
        [] {
            t_zor_af_tloc r{};
            t_zor_path a{};
            t_zor_path b{};
            b.prev_p = &a;
            zor_path_insert(&r, &b);
        },
        "path_p->prev_p == \\(\\(void \\*\\)0\\)");
    expect(
        [] {
            t_zor_af_tloc r{};
            t_zor_path a{};
            t_zor_path b{};
            b.next_p = &a;
            zor_path_insert(&r, &b);
        },
        "path_p->next_p == \\(\\(void \\*\\)0\\)");
    expect(
        [] {
            t_zor_af_tloc r{};
            t_zor_path a{};
            r.path_list = &a;
            zor_path_insert(&r, &a);
        },
        "path_p != temp_path_p");
    expect(
        [] {
            t_zor_af_link l{};
            t_zor_path p{};
            p.links[0].link_prev_p = &p.links[1];
            zor_path_link_attach(&p, &l);
        },
        "path_link_p->link_prev_p == \\(\\(void \\*\\)0\\)");
    expect(
        [] {
            t_zor_af_link l{};
            t_zor_path p{};
            p.links[0].link_next_p = &p.links[1];
            zor_path_link_attach(&p, &l);
        },
        "path_link_p->link_next_p == \\(\\(void \\*\\)0\\)");
}

// ------------------------------------------------------------ randomised

// Random overlays: TLOCs of several regions with random groups, borders,
// preferences and staleness, links from a peer between random TLOCs with
// random states, zord's own links with random status messages, withdraws
// and re-adds while paths exist, force switched on and off, a peer's
// connection lost, partial and full path walks, and a client that holds
// what it was sent so that withdrawn records live on for a while. After
// every step the path structures must hang together (the sanitizer build
// catches any use of a freed record); after a full recomputation every
// remote TLOC's paths must be those of the reference computation below,
// which knows the rules but none of zord's lists.
class ZorPathRandom : public ::testing::Test {
protected:
    // One end of a candidate path and its metrics, as the reference sees it.
    struct RefPath {
        std::vector<const t_zor_af_link *> links;
        uint32_t status = ZOR_PATH_STATUS_UP;
        uint32_t mtu = 0;
        uint32_t pref = 0;
        uint32_t local_links = 0;
        bool stale = false;
    };

    void run(uint32_t seed);

    t_zor_context *ctx() { return env->ctx(); }
    t_zor_client *client(uint32_t id) { return zor_client_get(ctx(), id); }
    uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng() % n); }
    bool chance(uint32_t percent) { return pick(100) < percent; }

    std::vector<t_zor_db_entry *> tloc_entries()
    {
        std::vector<t_zor_db_entry *> out;
        avl_tree_t *tree = ctx()->trees[ZOR_AF_TLOC_IPV4];
        for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
             e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
            out.push_back(e);
        }
        return out;
    }
    std::vector<t_zor_af_link *> live_links()
    {
        std::vector<t_zor_af_link *> out;
        avl_tree_t *tree = ctx()->trees[ZOR_AF_LINK];
        for (auto *e = static_cast<t_zor_db_entry *>(avl_first(tree)); e != nullptr;
             e = static_cast<t_zor_db_entry *>(avl_walk(tree, e, AVL_AFTER))) {
            out.push_back(zor_af_link_of(e));
        }
        return out;
    }

    const zor_tloc_key_t &any_key() { return pool[pick(static_cast<uint32_t>(pool.size()))]; }
    const zor_tloc_key_t &remote_key() { return pool[4 + pick(static_cast<uint32_t>(pool.size()) - 4)]; }
    // A TLOC of the border device of a random region.
    const zor_tloc_key_t &border_key() { return pool[4 + 6 * pick(regions) + pick(2)]; }

    // ---- operations
    void announce_tloc()
    {
        const zor_tloc_key_t &key = any_key();
        const bool local = key.addr.u.v4 == local_addr;
        const uint32_t region = local ? 1 + pick(regions) : ((key.addr.u.v4 >> 16) & 0xff);
        // Device 1 of each region is its border device, mostly.
        const bool border_device = !local && (key.addr.u.v4 & 0xff00) == 0x100;
        TlocSpec spec;
        spec.border = local ? chance(25) : border_device ? chance(90) : chance(5);
        if (spec.border && !local) {
            spec.groups.push_back(0);
        }
        spec.groups.push_back(region);
        if (chance(25)) {
            spec.groups.push_back(1 + pick(regions));
        }
        spec.pref = chance(50) ? pick(4) : 0;
        spec.stale = chance(10);
        zor_msg_t msg = zt::tloc_msg(key, local ? 1 : 2, spec);
        (void)zor_af_add(ZOR_AF_TLOC_IPV4, ctx(), client(local ? OST_MODULE_CTLAGENT : OST_MODULE_ADVD), &msg);
    }
    void withdraw_tloc()
    {
        std::vector<t_zor_db_entry *> all = tloc_entries();
        if (all.empty()) {
            return;
        }
        zor_msg_t msg = zt::tloc_del_msg(zor_af_tloc_of(all[pick(static_cast<uint32_t>(all.size()))])->key);
        zor_af_delete(ZOR_AF_TLOC_IPV4, ctx(), client(OST_MODULE_CTLAGENT), &msg);
    }
    void peer_link()
    {
        // Mostly the links that make paths: from a local TLOC to a border
        // device, between border devices, from a border device to any
        // remote TLOC; now and then any pair.
        const uint32_t kind = pick(10);
        const zor_tloc_key_t &a = kind < 4 ? pool[pick(4)] : kind < 9 ? border_key() : any_key();
        const zor_tloc_key_t &b = kind < 7 ? border_key() : kind < 9 ? remote_key() : any_key();
        if (zor_af_tloc_key_cmp(&a, &b) == 0) {
            return;
        }
        const uint32_t mtus[] = {0, 1300, 1400, 1500};
        zor_msg_t msg = zt::peer_link_msg(a, b, chance(80) ? 1 : 0, mtus[pick(4)], 40000 + pick(200), pick(4));
        (void)zor_af_add(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &msg);
    }
    void peer_link_del()
    {
        std::vector<t_zor_af_link *> links = live_links();
        if (links.empty()) {
            return;
        }
        const t_zor_af_link *l = links[pick(static_cast<uint32_t>(links.size()))];
        zor_msg_t msg = zt::link_msg(ZOR_MSG_LINK_DEL, l->local_key, l->remote_key);
        // From the owner mostly; now and then from a client that does not
        // own the link, which must change nothing.
        zor_af_delete(ZOR_AF_LINK, ctx(), client(chance(80) ? OST_MODULE_PROBED : OST_MODULE_XFWD), &msg);
    }
    void link_status()
    {
        std::vector<t_zor_af_link *> links = live_links();
        if (links.empty()) {
            return;
        }
        const t_zor_af_link *l = links[pick(static_cast<uint32_t>(links.size()))];
        const uint32_t mtus[] = {0, 1350, 1450, 1500};
        zor_msg_t msg = zt::link_status_msg(l->local_key, l->remote_key, chance(75) ? 1 : 0, mtus[pick(4)]);
        zor_af_link_db_bfd_status(ZOR_AF_LINK, ctx(), client(OST_MODULE_PROBED), &msg);
    }
    void toggle_force()
    {
        force = !force;
        ASSERT_EQ(zor_client_register(ctx(), OST_MODULE_ADVD, ZOR_AF_LINK, 1, force ? 1 : 0), 0);
    }
    void walk(uint32_t budget_ms)
    {
        g_zor_path_walk_budget_ms = budget_ms;
        zor_path_walk(nullptr, ctx(), nullptr, nullptr, nullptr);
        g_zor_path_walk_budget_ms = 500;
    }

    // ---- checks
    void check_structure();
    void check_against_reference();
    std::vector<std::string> members(uint32_t group);
    std::vector<RefPath> reference_paths(const t_zor_af_tloc *r);
    void evaluate(RefPath *p);
    static int cmp(const RefPath &p, const RefPath &q);
    std::string text(const std::vector<const t_zor_af_link *> &links, uint32_t status, uint32_t mtu, uint32_t pref,
                     uint32_t local_links, bool stale);

    std::mt19937 rng;
    std::unique_ptr<zt::PeerEnv> env;
    std::vector<zor_tloc_key_t> pool;
    uint32_t local_addr = 0;
    uint32_t regions = 3;
    bool force = false;
    uint64_t compared_paths = 0;
    uint64_t compared_3hop = 0;
};

bool attr_bit(const zor_tloc_attr_t &a, int bit)
{
    return (a.flags & ZOR_TLOC_ATTR_BIT(bit)) != 0;
}

// The group list as the region rules read it: whatever the presence bit.
std::vector<uint32_t> group_list(const zor_tloc_attr_t &a)
{
    return std::vector<uint32_t>(a.groups, a.groups + std::min<uint32_t>(a.group_count, ZOR_TLOC_GROUP_MAX));
}

// The region test, written from its rules.
bool same_region(const zor_tloc_attr_t &a, const zor_tloc_attr_t &b)
{
    const std::vector<uint32_t> ga = group_list(a);
    const std::vector<uint32_t> gb = group_list(b);
    if (ga.empty() && gb.empty()) {
        return true;
    }
    if ((ga == std::vector<uint32_t>{0} && !a.border) || (gb == std::vector<uint32_t>{0} && !b.border)) {
        return true;
    }
    if ((a.border != 0) != (b.border != 0)) {
        return false;
    }
    if (a.border != 0) {
        return true;
    }
    for (uint32_t g : ga) {
        if (g != 0 && std::find(gb.begin(), gb.end(), g) != gb.end()) {
            return true;
        }
    }
    return false;
}

uint32_t last_region(const zor_tloc_attr_t &a)
{
    uint32_t last = 0;
    for (uint32_t g : group_list(a)) {
        if (g != 0) {
            last = g;
        }
    }
    return last;
}

std::vector<std::string> ZorPathRandom::members(uint32_t group)
{
    // Registered: a local TLOC carries 0 in front once it joined its
    // groups; a remote one has 0 among two or more groups.
    std::vector<std::string> out;
    for (t_zor_db_entry *e : tloc_entries()) {
        const t_zor_af_tloc *t = zor_af_tloc_of(e);
        const std::vector<uint32_t> g = group_list(t->attr);
        if (!attr_bit(t->attr, ZOR_TLOC_ATTR_GROUP) || std::find(g.begin(), g.end(), group) == g.end()) {
            continue;
        }
        const bool registered = t->origin == ZOR_TLOC_ORIGIN_LOCAL
                                    ? g.size() > 1 && g[0] == 0
                                    : g.size() > 1 && std::find(g.begin(), g.end(), 0u) != g.end();
        if (registered) {
            out.push_back(zt::kname(t->key));
        }
    }
    return out;
}

void ZorPathRandom::evaluate(RefPath *p)
{
    for (const t_zor_af_link *l : p->links) {
        for (const zor_tloc_key_t *end : {&l->local_key, &l->remote_key}) {
            t_zor_db_entry *e = zor_af_tloc_find(ZOR_AF_TLOC_IPV4, ctx(), end, nullptr);
            if (e != nullptr && attr_bit(zor_af_tloc_of(e)->attr, ZOR_TLOC_ATTR_STALE)) {
                p->stale = true;
            }
        }
        if (ip_addr_equal(&l->local_key.addr, &l->remote_key.addr)) {
            p->local_links++;
        }
        if (l->status == ZOR_LINK_STATUS_DOWN) {
            p->status = ZOR_PATH_STATUS_DOWN;
            break;
        }
        p->pref += l->preference;
        if (l->mtu != 0 && (p->mtu == 0 || l->mtu < p->mtu)) {
            p->mtu = l->mtu;
        }
    }
    if (p->status == ZOR_PATH_STATUS_DOWN) {
        p->mtu = 0;
        p->pref = 0;
    }
}

int ZorPathRandom::cmp(const RefPath &p, const RefPath &q)
{
    // Larger is better in every component once each is turned that way.
    auto key = [](const RefPath &x) {
        return std::make_tuple(x.status == ZOR_PATH_STATUS_UP, !x.stale, -static_cast<int>(x.links.size()),
                               x.local_links, x.pref, x.mtu);
    };
    return key(p) > key(q) ? -1 : key(q) > key(p) ? 1 : 0;
}

std::vector<ZorPathRandom::RefPath> ZorPathRandom::reference_paths(const t_zor_af_tloc *r)
{
    std::vector<RefPath> out;
    if (r->origin != ZOR_TLOC_ORIGIN_REMOTE) {
        return out;
    }
    auto find = [&](const zor_tloc_key_t &a, const zor_tloc_key_t &b) { return zor_af_link_lookup(ctx(), &a, &b); };
    auto key_of = [&](const std::string &name) {
        for (const zor_tloc_key_t &k : pool) {
            if (zt::kname(k) == name) {
                return k;
            }
        }
        return zor_tloc_key_t{};
    };
    for (auto *e = static_cast<t_zor_db_entry *>(avl_first(ctx()->local_tloc_db_p)); e != nullptr;
         e = static_cast<t_zor_db_entry *>(avl_walk(ctx()->local_tloc_db_p, e, AVL_AFTER))) {
        const t_zor_af_tloc *l = zor_af_tloc_of(e);
        if (same_region(l->attr, r->attr)) {
            continue;
        }
        const uint32_t gl = last_region(l->attr);
        const uint32_t gr = last_region(r->attr);
        if (gl == 0 || gr == 0) {
            continue;
        }
        const std::vector<std::string> ml = members(gl);
        const std::vector<std::string> mr = members(gr);
        if (ml.empty() || mr.empty()) {
            continue;
        }
        const bool lb = attr_bit(l->attr, ZOR_TLOC_ATTR_BORDER);
        const bool rb = attr_bit(r->attr, ZOR_TLOC_ATTR_BORDER);
        if (lb && rb) {
            continue;
        }
        // First hops: to a member of the group of the region crossed first,
        // on another device.
        const std::vector<std::string> &first_group = (!lb && !rb) || rb ? ml : mr;
        const std::vector<std::string> &last_group = (!lb && !rb) ? mr : first_group;
        for (const std::string &t1 : first_group) {
            const zor_tloc_key_t k1 = key_of(t1);
            const t_zor_af_link *f = find(l->key, k1);
            if (f == nullptr || ip_addr_equal(&k1.addr, &l->key.addr)) {
                continue;
            }
            for (const std::string &t2 : last_group) {
                const t_zor_af_link *h = find(key_of(t2), r->key);
                if (h == nullptr) {
                    continue;
                }
                if (lb || rb) {
                    if (ip_addr_equal(&h->local_key.addr, &f->remote_key.addr)) {
                        out.push_back(RefPath{{f, h}});
                    }
                    continue;
                }
                // Middle links: between any member of each group whose
                // addresses join the first and the last hop.
                for (const std::string &m1 : ml) {
                    for (const std::string &m2 : mr) {
                        const t_zor_af_link *m = find(key_of(m1), key_of(m2));
                        if (m != nullptr && ip_addr_equal(&m->local_key.addr, &f->remote_key.addr) &&
                            ip_addr_equal(&h->local_key.addr, &m->remote_key.addr)) {
                            out.push_back(RefPath{{f, m, h}});
                        }
                    }
                }
            }
        }
    }
    for (RefPath &p : out) {
        evaluate(&p);
    }
    return out;
}

std::string ZorPathRandom::text(const std::vector<const t_zor_af_link *> &links, uint32_t status, uint32_t mtu,
                                uint32_t pref, uint32_t local_links, bool stale)
{
    std::string out;
    for (const t_zor_af_link *l : links) {
        out += zt::kname(l->local_key) + ">" + zt::kname(l->remote_key) + " ";
    }
    return out + "status " + std::to_string(status) + " mtu " + std::to_string(mtu) + " pref " +
           std::to_string(pref) + " local " + std::to_string(local_links) + (stale ? " stale" : "");
}

void ZorPathRandom::check_structure()
{
    std::set<const t_zor_af_link *> live;
    for (t_zor_af_link *l : live_links()) {
        live.insert(l);
    }
    std::set<const t_zor_af_tloc *> tlocs;
    for (t_zor_db_entry *e : tloc_entries()) {
        tlocs.insert(zor_af_tloc_of(e));
    }
    // Every path hangs in its TLOC's list and uses only live links.
    for (const t_zor_af_tloc *t : tlocs) {
        const t_zor_path *prev = nullptr;
        for (const t_zor_path *p = t->path_list; p != nullptr; prev = p, p = p->next_p) {
            ASSERT_EQ(p->prev_p, prev);
            ASSERT_EQ(p->tloc_p, t);
            ASSERT_TRUE(p->link_count == 2 || p->link_count == 3);
            for (uint32_t i = 0; i < p->link_count; i++) {
                ASSERT_EQ(p->links[i].path_p, p);
                ASSERT_TRUE(live.count(p->links[i].link_p)) << "a path uses a withdrawn link";
            }
        }
    }
    // Every link's chain holds path-links of paths of live TLOCs.
    for (const t_zor_af_link *l : live) {
        const t_zor_path_link *prev = nullptr;
        for (const t_zor_path_link *pl = l->path_links; pl != nullptr; prev = pl, pl = pl->link_next_p) {
            ASSERT_EQ(pl->link_prev_p, prev);
            ASSERT_EQ(pl->link_p, l);
            ASSERT_TRUE(tlocs.count(pl->path_p->tloc_p)) << "a path of a withdrawn TLOC";
        }
    }
    // Withdrawn records still waiting for their deletions carry nothing.
    for (zor_af_t af : {ZOR_AF_TLOC_IPV4, ZOR_AF_LINK}) {
        for (t_zor_db_entry *e = ctx()->entry_lists[af]->first; e != nullptr; e = e->next) {
            if ((e->flags & ZOR_ENTRY_WITHDRAWN) && e->record != nullptr) {
                if (af == ZOR_AF_LINK) {
                    ASSERT_EQ(zor_af_link_of(e)->path_links, nullptr);
                } else {
                    ASSERT_EQ(zor_af_tloc_of(e)->path_list, nullptr);
                }
            }
        }
    }
}

void ZorPathRandom::check_against_reference()
{
    // Every TLOC computed afresh from what is there now.
    for (t_zor_db_entry *e : tloc_entries()) {
        zor_db_entry_schedule(ctx(), e);
    }
    walk(500);
    for (t_zor_db_entry *e : tloc_entries()) {
        const t_zor_af_tloc *r = zor_af_tloc_of(e);
        std::vector<RefPath> ref = reference_paths(r);
        std::vector<std::string> want_all;
        std::vector<std::string> want_best;
        for (const RefPath &p : ref) {
            want_all.push_back(text(p.links, p.status, p.mtu, p.pref, p.local_links, p.stale));
        }
        for (const RefPath &p : ref) {
            bool best = true;
            for (const RefPath &q : ref) {
                best = best && cmp(p, q) <= 0;
            }
            if (best) {
                want_best.push_back(text(p.links, p.status, p.mtu, p.pref, p.local_links, p.stale));
            }
        }
        std::vector<std::string> got_all;
        std::vector<std::string> got_best;
        for (const t_zor_path *p = r->path_list; p != nullptr; p = p->next_p) {
            std::vector<const t_zor_af_link *> links;
            for (uint32_t i = 0; i < p->link_count; i++) {
                links.push_back(p->links[i].link_p);
            }
            const std::string t = text(links, p->status, p->mtu, p->preference, p->local_links,
                                       (p->flags & ZOR_PATH_FLAG_STALE) != 0);
            got_all.push_back(t);
            if (p->flags & ZOR_PATH_FLAG_BEST) {
                got_best.push_back(t);
            }
            // Ordered best first.
            if (p->next_p != nullptr) {
                ASSERT_LE(zor_path_cmp(p, p->next_p), 0) << t;
            }
        }
        std::sort(want_all.begin(), want_all.end());
        std::sort(got_all.begin(), got_all.end());
        std::sort(want_best.begin(), want_best.end());
        std::sort(got_best.begin(), got_best.end());
        ASSERT_EQ(got_all, want_all) << zt::kname(r->key);
        ASSERT_EQ(got_best, want_best) << zt::kname(r->key);
        compared_paths += got_all.size();
        for (const RefPath &p : ref) {
            compared_3hop += p.links.size() == 3 ? 1 : 0;
        }
    }
    // zord's group database holds what the registration rules say.
    for (uint32_t g = 1; g <= regions; g++) {
        std::vector<std::string> want = members(g);
        std::vector<std::string> got;
        if (t_zor_group *group = zor_group_find(ctx(), g, nullptr)) {
            for (auto *m = static_cast<t_zor_group_tloc *>(avl_first(&group->members)); m != nullptr;
                 m = static_cast<t_zor_group_tloc *>(avl_walk(&group->members, m, AVL_AFTER))) {
                got.push_back(zt::kname(m->key));
            }
        }
        std::sort(want.begin(), want.end());
        std::sort(got.begin(), got.end());
        ASSERT_EQ(got, want) << "group " << g;
    }
}

void ZorPathRandom::run(uint32_t seed)
{
    rng.seed(seed);
    env = std::make_unique<zt::PeerEnv>();
    ASSERT_EQ(env->init_rc(), 0);
    FakePeer *xfwd = env->connect(OST_MODULE_XFWD);
    ASSERT_NE(xfwd, nullptr);
    xfwd->send_register(ZOR_AF_TLOC_IPV4);
    xfwd->send_register(ZOR_AF_LINK);
    ASSERT_TRUE(env->settle());
    force = false;
    regions = 2 + pick(3);
    pool.clear();
    local_addr = (10u << 24) | 1u;
    for (uint8_t color : {1, 2, 4, 5}) {
        zor_tloc_key_t k = zt::tloc_key("10.0.0.1", color, k_ipsec);
        pool.push_back(k);
    }
    for (uint32_t g = 1; g <= regions; g++) {
        for (uint32_t d = 1; d <= 3; d++) {
            for (uint8_t color : {1, 4}) {
                pool.push_back(zt::tloc_key("10." + std::to_string(g) + "." + std::to_string(d) + ".1", color, k_ipsec));
            }
        }
    }
    const int steps = 250;
    for (int step = 0; step < steps; step++) {
        const uint32_t op = pick(1000);
        if (op < 250) {
            announce_tloc();
        } else if (op < 320) {
            withdraw_tloc();
        } else if (op < 630) {
            peer_link();
        } else if (op < 700) {
            peer_link_del();
        } else if (op < 820) {
            link_status();
        } else if (op < 840) {
            toggle_force();
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
        check_structure();
        if (HasFatalFailure()) {
            return;
        }
    }
    check_against_reference();
    env->free();
    env.reset();
    EXPECT_EQ(zt::mem_unbalanced(), "");
}

TEST_F(ZorPathRandom, ManySeedsAgreeWithTheReference)
{
    // ZOR_PATH_SEEDS=N runs N seeds instead, ZOR_PATH_FIRST_SEED=S from S on.
    const char *n = getenv("ZOR_PATH_SEEDS");
    const char *first = getenv("ZOR_PATH_FIRST_SEED");
    const uint32_t seeds = n != nullptr ? static_cast<uint32_t>(strtoul(n, nullptr, 10)) : 80;
    const uint32_t from = first != nullptr ? static_cast<uint32_t>(strtoul(first, nullptr, 10)) : 1;
    for (uint32_t seed = from; seed < from + seeds; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        run(seed);
        if (HasFatalFailure()) {
            return;
        }
    }
    // The overlays did produce paths to compare.
    EXPECT_GT(compared_paths, 12u * seeds);
    EXPECT_GT(compared_3hop, 2u * seeds);
    RecordProperty("compared_paths", std::to_string(compared_paths));
    RecordProperty("compared_3hop", std::to_string(compared_3hop));
}

}  // namespace
