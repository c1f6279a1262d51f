// zord under the management agent, through real processes only: the agent
// (mgmtd), zord, peer daemons (zor-peer) and the operator's CLI (zorctl).
// The configuration reaches zord through its subscriptions, its commands
// print its live tables, its operational data lists the TLOCs, paths and
// links the peers' announcements made, and it keeps its place with the agent
// when the agent comes late or restarts, and from a VPN's namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "zord_mgmt_support.h"

namespace {

using namespace zm;
using Strings = std::vector<std::string>;

// zord serves its commands once it has joined the agent.
bool joined(int port, const std::string &command = "zor_dump_all")
{
    return wait_until([&] { return zorctl(port, {"command", command}).rc == 0; });
}

std::string first_line(const std::string &text)
{
    return text.substr(0, text.find('\n'));
}

size_t matches(const std::string &text, const std::string &pattern)
{
    const std::regex re(pattern);
    return static_cast<size_t>(
        std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// The rows of one of zorctl's tables, split at blanks; the heading and its
// rule are left out.
std::vector<Strings> table_rows(const std::string &text)
{
    std::vector<Strings> rows;
    const Strings lines = zt::split_lines(text);
    for (size_t i = 2; i < lines.size(); i++) {
        std::istringstream in(lines[i]);
        Strings cells;
        for (std::string cell; in >> cell;) {
            cells.push_back(cell);
        }
        rows.push_back(cells);
    }
    return rows;
}

Strings tloc_column(const std::string &text)
{
    Strings out;
    for (const Strings &row : table_rows(text)) {
        out.push_back(row.at(0) + ":" + row.at(1) + ":" + row.at(2));
    }
    return out;
}

bool debug_leaf(int port)
{
    return zorctl(port, {"show", "oper", "/debugs"}).out.find("events") != std::string::npos;
}

const std::string k_local_border = "10.0.0.1:biz-internet:ipsec";
const std::string k_remote = "10.2.0.7:biz-internet:ipsec";

std::string border(int i)
{
    return "10.2.1." + std::to_string(i) + ":biz-internet:ipsec";
}

// Two regions: this router (ctlagent_0) is a border router of region 1;
// advd announces region 2's border TLOCs, each with a tunnel to 10.2.0.7
// behind them, so that zord computes one two-link path to 10.2.0.7 through
// each border; xfwd reports the tunnel to the first border up, which makes
// that path the best, and the only one up. An IPv6 TLOC and a tracker come
// along.
class Regions {
public:
    Regions(const std::string &run_dir, int borders, const Strings &peer_args = {})
        : ctl(run_dir, "ctlagent_0", peer_args), adv(run_dir, "advd", peer_args), xfw(run_dir, "xfwd", peer_args),
          borders_(borders)
    {
    }

    // True once the agent lists the path through the first border up;
    // tenant is what zorctl needs to reach the instance's tables.
    bool build(int port, const Strings &tenant = {})
    {
        xfw.send("register TLOC-IPV4\nregister LINK\n");
        ctl.send("register TLOC-IPV4 originate=1\nregister TRACKER originate=1\n"
                 "tloc-add " + k_local_border +
                 " origin=local pref=100 region=1 groups=1 border=1 encap=ipsec spi=1001\n"
                 "tloc-add 10.0.0.1:lte:ipsec origin=local pref=50 region=1 groups=1 carrier=2 encap=ipsec spi=1002\n"
                 "tracker-add name=t1 attach=ge0/1 vpn=10\n");
        std::string script = "register TLOC-IPV4 originate=1\n"
                             "tloc-add 10.0.0.2:biz-internet:ipsec pref=100 region=1 groups=1\n"
                             "tloc-add 2001:db8::7:biz-internet:ipsec pref=100 region=2 groups=2\n";
        for (int i = 1; i <= borders_; i++) {
            script += "tloc-add " + border(i) + " pref=100 region=2 groups=0,2 border=1\n";
        }
        script += "tloc-add " + k_remote + " pref=100 region=2 groups=2\n";
        for (int i = 1; i <= borders_; i++) {
            script += "link-add " + border(i) + " " + k_remote + " bfd=up mtu=1400 pref=10 label=" +
                      std::to_string(5000 + i) + "\n";
        }
        adv.send(script);
        // zord builds the tunnel between the two routers' borders itself.
        const Strings tunnel = {"\"LINK_ADD\"", "\"local\":\"" + k_local_border + "\"",
                                "\"remote\":\"" + border(1) + "\""};
        if (!xfw.wait_received(tunnel)) {
            return false;
        }
        xfw.send("link-status " + k_local_border + " " + border(1) + " bfd=up mtu=1420\n");
        Strings up = tunnel;
        up.push_back("\"mtu\":1420");
        if (!xfw.wait_received(up)) {
            return false;
        }
        // zord computes the paths of a TLOC when it changes: announce it again.
        adv.send("tloc-add " + k_remote + " pref=150 region=2 groups=2\n");
        Strings args = {"show", "tloc", "10.2.0.7", "biz-internet", "ipsec", "paths"};
        args.insert(args.end(), tenant.begin(), tenant.end());
        if (!wait_until([&] { return zorctl(port, args).out.find(" up ") != std::string::npos; })) {
            return false;
        }
        // Once every peer has been sent 10.2.0.7 up with its paths, zord's
        // tables rest, and its dumps hold still between two commands.
        for (Peer *p : {&ctl, &adv, &xfw}) {
            if (!p->wait_received({"\"TLOC_ADD\"", tloc_member(k_remote), "\"status\":1,", "\"paths\":[{"})) {
                return false;
            }
        }
        return true;
    }

    // The IPv4 TLOCs in key order.
    Strings ipv4_tlocs() const
    {
        Strings out = {k_local_border, "10.0.0.1:lte:ipsec", "10.0.0.2:biz-internet:ipsec", k_remote};
        for (int i = 1; i <= borders_; i++) {
            out.push_back(border(i));
        }
        return out;
    }

    bool finish() { return ctl.finish() && adv.finish() && xfw.finish(); }

    Peer ctl;
    Peer adv;
    Peer xfw;

private:
    int borders_;
};

// One agent and one zord joined to it, with their clean stop checked.
class ZordMgmt : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(agent.start());
        zord = std::make_unique<Zord>(port);
        ASSERT_TRUE(zord->started()) << zord->err();
        ASSERT_TRUE(joined(port)) << zord->err();
    }
    void TearDown() override
    {
        if (zord != nullptr && zord->started()) {
            EXPECT_TRUE(zord->stop());
        }
        EXPECT_TRUE(agent.stop());
    }
    std::string personality() { return first_line(zorctl(port, {"show", "zor", "all"}).out); }

    zt::TempDir db;
    int port = free_port();
    Agent agent{port, db.path()};
    std::unique_ptr<Zord> zord;
};

TEST_F(ZordMgmt, PersonalityAndEventDebuggingFromTheOperator)
{
    EXPECT_EQ(personality(), "Personality: Unknown");
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    for (const auto &[value, name] : Pairs{{"solon", "Solon"}, {"brink", "Brink"}, {"steward", "Steward"}}) {
        ASSERT_EQ(zorctl(port, {"set", "system", "personality", value}).rc, 0);
        EXPECT_EQ(personality(), "Personality: " + name);
    }
    ASSERT_EQ(zorctl(port, {"delete", "system/personality"}).rc, 0);
    EXPECT_EQ(personality(), "Personality: Unknown");

    // Event debugging: zord's debug lines and the operational leaf exist
    // while it is on, and only then.
    EXPECT_FALSE(debug_leaf(port));
    Peer listener(zord->run_dir(), "xfwd");
    Peer sender(zord->run_dir(), "advd");
    listener.send("register TLOC-IPV4\n");
    sender.send("register TLOC-IPV4 announce=0 originate=1\n");
    ASSERT_EQ(zorctl(port, {"debug", "zor", "events"}).rc, 0);
    EXPECT_TRUE(wait_until([&] { return debug_leaf(port); }));
    sender.send("tloc-add 10.0.0.2:biz-internet:ipsec\n");
    ASSERT_TRUE(listener.wait_received({tloc_member("10.0.0.2:biz-internet:ipsec")}));
    EXPECT_TRUE(zord->wait_log("Received ZOR Msg TLOC-ADD, Client: advd, AF: TLOC-IPV4")) << zord->err();
    EXPECT_TRUE(zord->wait_log("TLOC: 10.0.0.2 : biz-internet : ipsec"));
    // The operational-data callbacks log their requests only above level 1.
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs"}).out), Strings{"10.0.0.2:biz-internet:ipsec"});
    zord->live().proc().poll_output(100);
    EXPECT_EQ(zord->err().find("ZOR tloc "), std::string::npos);

    ASSERT_EQ(zorctl(port, {"no", "debug", "zor", "events"}).rc, 0);
    EXPECT_TRUE(wait_until([&] { return !debug_leaf(port); }));
    sender.send("tloc-add 10.0.0.3:biz-internet:ipsec\n");
    ASSERT_TRUE(listener.wait_received({tloc_member("10.0.0.3:biz-internet:ipsec")}));
    // Lines about the TLOC would have been written before it was sent on.
    zord->live().proc().poll_output(100);
    EXPECT_EQ(zord->err().find("10.0.0.3 : biz-internet"), std::string::npos) << zord->err();
    EXPECT_TRUE(listener.finish());
    EXPECT_TRUE(sender.finish());
}

// With pairwise keys on, a local IPsec TLOC goes to xfwd until the
// forwarding plane has installed it and to advd only once it has, and only
// xfwd sees its second encryption key; with the switch off both are sent
// every change, keys whole. A remote TLOC announced behind each change marks
// what a peer has been sent by then.
TEST_F(ZordMgmt, PairwiseKeysDecideWhatAdvdAndXfwdReceive)
{
    Peer ctl(zord->run_dir(), "ctlagent");
    Peer adv(zord->run_dir(), "advd");
    Peer xfw(zord->run_dir(), "xfwd");
    ctl.send("register TLOC-IPV4 announce=0 originate=1\n");
    adv.send("register TLOC-IPV4\n");
    xfw.send("register TLOC-IPV4\n");
    auto local = [](const std::string &ip, int installed) {
        return "tloc-add " + ip + ":biz-internet:ipsec origin=local pref=100 groups=1 encap=ipsec spi=1001 "
               "security=spi:4096,proto:0,enc:0+3,integrity:0,enc-keys:2 installed=" + std::to_string(installed) + "\n";
    };
    auto marker = [](int n) { return "tloc-add 10.9.9." + std::to_string(n) + ":lte:gre\n"; };
    auto marked = [&](Peer &p, int n) {
        return p.wait_received({tloc_member("10.9.9." + std::to_string(n) + ":lte:gre")});
    };
    const std::string zeroed_key(128, '0');

    ASSERT_EQ(zorctl(port, {"set", "security", "pairwise-keys", "true"}).rc, 0);
    const std::string x = tloc_member("10.0.0.1:biz-internet:ipsec");
    ctl.send(local("10.0.0.1", 0) + marker(1));
    ASSERT_TRUE(marked(adv, 1) && marked(xfw, 1));
    EXPECT_EQ(adv.received({x}).size(), 0u);
    const Strings to_xfw = xfw.received({x});
    ASSERT_EQ(to_xfw.size(), 1u);
    EXPECT_EQ(to_xfw[0].find(zeroed_key), std::string::npos) << to_xfw[0];
    xfw.send(local("10.0.0.1", 1));
    ASSERT_TRUE(adv.wait_received({x, "\"installed\":1"}));
    ctl.send(marker(2));
    ASSERT_TRUE(marked(xfw, 2));
    EXPECT_EQ(xfw.received({x}).size(), 1u) << "xfwd is not sent back what it installed";
    const Strings to_adv = adv.received({x});
    ASSERT_EQ(to_adv.size(), 1u);
    EXPECT_NE(to_adv[0].find(zeroed_key), std::string::npos) << to_adv[0];

    ASSERT_EQ(zorctl(port, {"delete", "security/pairwise-keys"}).rc, 0);
    const std::string y = tloc_member("10.0.0.5:biz-internet:ipsec");
    ctl.send(local("10.0.0.5", 0) + marker(3));
    ASSERT_TRUE(marked(adv, 3) && marked(xfw, 3));
    xfw.send(local("10.0.0.5", 1));
    ASSERT_TRUE(adv.wait_received({y, "\"installed\":1"}));
    ctl.send(marker(4));
    ASSERT_TRUE(marked(xfw, 4));
    for (Peer *p : {&adv, &xfw}) {
        const Strings got = p->received({y});
        ASSERT_EQ(got.size(), 2u);
        EXPECT_NE(got[0].find("\"installed\":0"), std::string::npos) << got[0];
        EXPECT_NE(got[1].find("\"installed\":1"), std::string::npos) << got[1];
        for (const std::string &line : got) {
            EXPECT_EQ(line.find(zeroed_key), std::string::npos) << line;
        }
    }
    EXPECT_TRUE(ctl.finish() && adv.finish() && xfw.finish());
}

// The operational lists and the dump commands, read through the agent
// after a scenario with paths across two regions, each checked against
// what the peers announced and against each other.
TEST_F(ZordMgmt, TablesAndDumpsShowThePathsAcrossRegions)
{
    ASSERT_EQ(zorctl(port, {"set", "system", "personality", "brink"}).rc, 0);
    constexpr int k_borders = 70;
    Regions net(zord->run_dir(), k_borders);
    ASSERT_TRUE(net.build(port)) << zord->err();

    // The TLOCs in key order; the IPv6 one, which zord holds, never.
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs"}).out), net.ipv4_tlocs());
    const std::string db_dump = zorctl(port, {"show", "zor", "db"}).out;
    EXPECT_EQ(matches(db_dump, "\n    TLOC: 10\\.2\\.1\\.\\d+ : biz-internet : ipsec, Origin: remote"),
              size_t{k_borders});
    EXPECT_NE(db_dump.find("    TLOC: 2001:db8::7 : biz-internet : ipsec, Origin: remote"), std::string::npos);

    // 10.2.0.7 has one path through each border; the agent lists the first
    // 64, the best (the one up) first, as zord's own dump shows it.
    const Strings paths_of = {"show", "tloc", "10.2.0.7", "biz-internet", "ipsec", "paths"};
    const std::vector<Strings> paths = table_rows(zorctl(port, paths_of).out);
    ASSERT_EQ(paths.size(), 64u);
    for (size_t i = 0; i < paths.size(); i++) {
        EXPECT_EQ(paths[i].at(0), std::to_string(i));
        EXPECT_EQ(paths[i].at(4), i == 0 ? "up" : "down") << i;
    }
    EXPECT_EQ(paths[0].at(2), "1400");
    EXPECT_EQ(paths[0].at(3), "best");
    const std::string remote_dump =
        zorctl(port, {"show", "support", "zor", "tlocs", "--tlocip=10.2.0.7:biz-internet:ipsec"}).out;
    EXPECT_EQ(first_line(remote_dump), "Looking up TLOC 10.2.0.7 : biz-internet : ipsec");
    EXPECT_EQ(matches(remote_dump, "Path-\\d+: "), size_t{k_borders});
    const std::string best = "*>  Path-1: MTU: 1400 Pref: " + paths[0].at(1) + " Status: Up #LocalLinks: 0 #Links: 2";
    EXPECT_NE(remote_dump.find(best), std::string::npos) << remote_dump;

    // The links of the best path; the label zord gave its own tunnel is the
    // one its link lookup shows.
    const std::vector<Strings> links =
        table_rows(zorctl(port, {"show", "tloc", "10.2.0.7", "biz-internet", "ipsec", "path", "0", "links"}).out);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[1], (Strings{"1", border(1), k_remote, "5001"}));
    ASSERT_EQ(links[0].size(), 4u);
    EXPECT_EQ(links[0][1] + " " + links[0][2], k_local_border + " " + border(1));
    const std::string tunnel = zorctl(port, {"show", "support", "zor", "links", "--localtlocip=" + k_local_border,
                                             "--remotetlocip=" + border(1)})
                                   .out;
    EXPECT_NE(tunnel.find("MTU: 1420, Label: " + links[0][3] + ","), std::string::npos) << tunnel;
    EXPECT_EQ(matches(zorctl(port, {"show", "support", "zor", "links"}).out,
                      "\\[10\\.2\\.1\\.\\d+ : biz-internet : ipsec\\] \\[\\d+\\] ==> \\[10\\.2\\.0\\.7 "),
              size_t{k_borders});

    // One instance by its keys: a path beyond those listed is still found;
    // none past the last, none of an IPv6 TLOC: the operator is told so.
    const std::string at = "/tlocs/tloc{10.2.0.7 biz-internet ipsec}";
    EXPECT_NE(zorctl(port, {"show", "oper", at + "/path{0}/link{1}"}).out.find("label 5001"), std::string::npos);
    EXPECT_NE(zorctl(port, {"show", "oper", at + "/path{69}"}).out.find("path 69\n"), std::string::npos);
    const CliResult past = zorctl(port, {"show", "oper", at + "/path{70}"});
    EXPECT_EQ(past.rc, 1);
    EXPECT_EQ(past.err, "zorctl: no such instance: " + at + "/path{70}\n");
    const CliResult v6 = zorctl(port, {"show", "tloc", "2001:db8::7", "biz-internet", "ipsec", "paths"});
    EXPECT_EQ(v6.rc, 1);
    EXPECT_EQ(v6.err, "zorctl: no such instance: /tlocs/tloc{2001:db8::7 biz-internet ipsec}\n");

    // The TLOCs of one system IP: the listing starts at the first TLOC at or
    // after that address and stops at the first of another.
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs", "10.2.1.5"}).out), Strings{border(5)});
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs", "10.0.0.1"}).out),
              (Strings{"10.0.0.1:biz-internet:ipsec", "10.0.0.1:lte:ipsec"}));
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs", "10.2.1.200"}).out), Strings{});

    // The dumps against the state the peers made.
    const std::string all = zorctl(port, {"show", "zor", "all"}).out;
    EXPECT_TRUE(all.starts_with("Personality: Brink\nLocal Border Count: 1\n")) << first_line(all);
    const std::string tech = zorctl(port, {"show", "zor", "admin-tech"}).out;
    EXPECT_EQ(all.substr(all.find("\n", all.find('\n') + 1) + 1), tech);
    EXPECT_TRUE(tech.starts_with(db_dump)) << "the database first";
    const size_t clients_at = tech.find("DUMPING CLIENTS");
    EXPECT_LT(clients_at, tech.find("DUMPING MSGQs"));
    const std::string clients = zorctl(port, {"show", "zor", "clients"}).out;
    const size_t advd_at = clients.find("\nClient: advd (");
    ASSERT_NE(advd_at, std::string::npos) << clients;
    const std::string advd = clients.substr(advd_at, clients.find("\nClient: ", advd_at + 1) - advd_at);
    // advd sent its register and 73 IPv4 TLOCs (10.2.0.7 twice), one IPv6
    // TLOC and 70 links.
    EXPECT_EQ(matches(advd, "TLOC-IPV4    Announce: 1  Originate: 1  Sent: \\d+  Received: 74\n"), 1u) << advd;
    EXPECT_EQ(matches(advd, "TLOC-IPV6    Announce: 0  Originate: 0  Sent: 0  Received: 1\n"), 1u) << advd;
    EXPECT_EQ(matches(advd, "LINK    Announce: 0  Originate: 0  Sent: 0  Received: 70\n"), 1u) << advd;
    EXPECT_NE(tech.find(clients), std::string::npos);

    const std::string local = zorctl(port, {"show", "zor", "local-tlocs"}).out;
    EXPECT_NE(local.find("ZOR Local TLOC Database"), std::string::npos);
    EXPECT_EQ(matches(local, "\n    TLOC: 10\\.0\\.0\\.1 : [a-z-]+ : ipsec, Origin: local"), 2u) << local;
    EXPECT_EQ(matches(local, "\n    TLOC: "), 2u);
    EXPECT_NE(zorctl(port, {"show", "zor", "groups"}).out.find("Group: 2, TLOC-count: 70\n"), std::string::npos);
    const std::string tracker = "    Name: t1 Attach-Point: ge0/1 VPN Id : 10 Status: Up\n";
    EXPECT_NE(zorctl(port, {"show", "zor", "tracker"}).out.find(tracker), std::string::npos);
    EXPECT_NE(zorctl(port, {"show", "zor", "msgq"}).out.find("Src: zord, Tgt: advd"), std::string::npos);
    EXPECT_NE(zorctl(port, {"show", "zor", "memory"}).out.find("MEMORY STATISTICS"), std::string::npos);

    // Every IPv4 TLOC in key order and only those; one looked up; refusals.
    const std::string every = zorctl(port, {"show", "support", "zor", "tlocs"}).out;
    Strings shown;
    const std::regex tloc_line("(?:^|\n)    TLOC: ([0-9.]+) : ([a-z-]+) : ([a-z]+), ");
    for (auto it = std::sregex_iterator(every.begin(), every.end(), tloc_line); it != std::sregex_iterator(); ++it) {
        shown.push_back((*it)[1].str() + ":" + (*it)[2].str() + ":" + (*it)[3].str());
    }
    EXPECT_EQ(shown, net.ipv4_tlocs());
    EXPECT_EQ(every.find("2001:db8"), std::string::npos);
    EXPECT_EQ(zorctl(port, {"show", "support", "zor", "tlocs", "--tlocip=10.9.9.9:lte:gre"}).out,
              "Looking up TLOC 10.9.9.9 : lte : gre\nTLOC 10.9.9.9 : lte : gre not found\n");
    EXPECT_EQ(zorctl(port, {"show", "support", "zor", "tlocs", "--tlocip=300.1.1.1:biz-internet:ipsec"}).out,
              "Bad IP address specified 300.1.1.1:biz-internet:ipsec\n");
    EXPECT_TRUE(net.finish());
}

// zord started before the agent joins it within a few seconds and reads the
// configuration committed meanwhile; when the agent restarts, zord joins
// again: its subscriptions, commands, actions and callpoints all work.
TEST(ZordMgmtLife, JoinsALateAgentAndRejoinsAfterItsRestart)
{
    zt::TempDir db;
    Agent agent(free_port(), db.path());
    const int port = agent.port();
    Zord zord(port);
    ASSERT_TRUE(zord.started()) << zord.err();
    ASSERT_TRUE(agent.start());
    ASSERT_EQ(zorctl(port, {"set", "system", "personality", "solon"}).rc, 0);
    ASSERT_TRUE(joined(port)) << zord.err();
    auto personality_is = [&](const std::string &name) {
        return wait_until(
            [&] { return first_line(zorctl(port, {"show", "zor", "all"}).out) == "Personality: " + name; });
    };
    EXPECT_TRUE(personality_is("Solon"));
    Peer adv(zord.run_dir(), "advd");
    adv.send("register TLOC-IPV4 originate=1\ntloc-add 10.0.0.2:biz-internet:ipsec\n");

    ASSERT_TRUE(agent.stop());
    ASSERT_TRUE(zord.wait_log("socket closed")) << zord.err();
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(joined(port)) << zord.err();
    EXPECT_TRUE(personality_is("Solon"));
    ASSERT_EQ(zorctl(port, {"set", "system", "personality", "brink"}).rc, 0);
    EXPECT_TRUE(personality_is("Brink"));
    ASSERT_EQ(zorctl(port, {"debug", "zor", "events"}).rc, 0);
    EXPECT_TRUE(wait_until([&] { return debug_leaf(port); }));
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs"}).out), Strings{"10.0.0.2:biz-internet:ipsec"});
    EXPECT_TRUE(adv.finish());
    EXPECT_TRUE(zord.stop());
    EXPECT_TRUE(agent.stop());
}

constexpr int k_no_namespaces = 77;

// Relays the signals of set to child until it ends, then ends with its
// status. Never returns.
[[noreturn]] void relay_until_exit(pid_t child, const sigset_t &set)
{
    for (;;) {
        int sig = 0;
        sigwait(&set, &sig);
        if (sig != SIGCHLD) {
            kill(child, sig);
            continue;
        }
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) {
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
    }
}

// Runs argv in a network namespace of its own, bound onto
// <run dir>/netns/7 as a VPN's namespace is kept. It runs in a PID
// namespace whose process 1 stays in the agent's network namespace: the
// default namespace from which zord reaches the agent. SIGUSR2 and SIGTERM
// are passed on to it.
void run_in_vpn_namespace(const std::vector<std::string> &argv)
{
    // The relays never exec: the test's other pipes (a peer's stdin) must
    // not stay open in them.
    close_range(3, ~0U, 0);
    sigset_t relay;
    sigset_t old;
    sigemptyset(&relay);
    for (int s : {SIGUSR2, SIGTERM, SIGCHLD}) {
        sigaddset(&relay, s);
    }
    sigprocmask(SIG_BLOCK, &relay, &old);
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
        _exit(k_no_namespaces);
    }
    const pid_t init = fork();
    if (init != 0) {
        relay_until_exit(init, relay);
    }
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("proc", "/proc", "proc", 0, nullptr) != 0) {
        _exit(k_no_namespaces);
    }
    const std::string dir = std::string(getenv("ZOR_RUN_DIR")) + "/netns";
    const std::string ns_file = dir + "/7";
    mkdir(dir.c_str(), 0755);
    close(open(ns_file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    const pid_t zord = fork();
    if (zord != 0) {
        relay_until_exit(zord, relay);
    }
    if (unshare(CLONE_NEWNET) != 0 || mount("/proc/self/ns/net", ns_file.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        fprintf(stderr, "no VPN namespace: %s\n", strerror(errno));
        _exit(k_no_namespaces);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    std::vector<char *> args;
    for (const std::string &a : argv) {
        args.push_back(const_cast<char *>(a.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

bool namespaces_work()
{
    if (geteuid() != 0) {
        return false;
    }
    zt::Process probe([] { _exit(unshare(CLONE_NEWPID | CLONE_NEWNS | CLONE_NEWNET) == 0 ? 0 : k_no_namespaces); });
    return probe.wait_exit() && probe.result().exited && probe.result().exit_code == 0;
}

// A tenant instance in its VPN's namespace registers its callpoints,
// commands and actions under its tenant id, beside the main instance that
// holds the plain names, and serves its own tables, reached from the
// default namespace.
TEST(ZordMgmtLife, TenantInstanceInItsOwnNamespace)
{
    if (!namespaces_work()) {
        GTEST_SKIP() << "a VPN's namespace needs root and network, PID and mount namespaces";
    }
    zt::TempDir db;
    Agent agent(free_port(), db.path());
    const int port = agent.port();
    ASSERT_TRUE(agent.start());
    Zord main_zord(port);
    ASSERT_TRUE(main_zord.started()) << main_zord.err();
    ASSERT_TRUE(joined(port));
    Peer main_peer(main_zord.run_dir(), "advd");
    main_peer.send("register TLOC-IPV4 originate=1\ntloc-add 10.5.5.5:lte:gre\n");
    Zord zord(port, run_in_vpn_namespace, {"-T", "blue#one", "-V", "7", "-I", "7"}, "advd.7.pid");
    if (!zord.started() && zord.live().proc().result().exit_code == k_no_namespaces) {
        GTEST_SKIP() << "no VPN namespace here: " << zord.err();
    }
    ASSERT_TRUE(zord.started()) << zord.err();
    ASSERT_TRUE(joined(port, "zor_dump_all-tenant7")) << zord.err();
    const std::string status = zorctl(port, {"agent", "status"}).out;
    const std::string points = "zor-show-paths-links-tenant7 zor-show-paths-tenant7 zor-show-tlocs-tenant7";
    EXPECT_NE(status.find("\n    callpoints " + points + "\n"), std::string::npos) << status;
    EXPECT_EQ(matches(status, "zor_[a-z_]+-tenant7"), 13u) << status;

    // Its peers reach it as module 165 - 7.
    Regions net(zord.run_dir(), 2, {"--target", "158"});
    ASSERT_TRUE(net.build(port, {"--tenant", "7"})) << zord.err();
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs", "--tenant", "7"}).out), net.ipv4_tlocs());
    EXPECT_EQ(tloc_column(zorctl(port, {"show", "tlocs"}).out), Strings{"10.5.5.5:lte:gre"});
    const Strings links_of = {"show", "tloc", "10.2.0.7", "biz-internet", "ipsec",
                              "path", "0",    "links",    "--tenant",     "7"};
    const std::vector<Strings> links = table_rows(zorctl(port, links_of).out);
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(links[1], (Strings{"1", border(1), k_remote, "5001"}));
    EXPECT_TRUE(zorctl(port, {"command", "zor_dump_all-tenant7"})
                    .out.starts_with("Personality: Unknown\nLocal Border Count: 1\n"));
    ASSERT_EQ(zorctl(port, {"action", "zor_debug_event-tenant7"}).rc, 0);
    EXPECT_TRUE(wait_until([&] { return debug_leaf(port); }));
    EXPECT_TRUE(
        zorctl(port, {"command", "zor_dump_all"}).out.starts_with("Personality: Unknown\nLocal Border Count: 0\n"));
    EXPECT_TRUE(net.finish() && main_peer.finish());
    EXPECT_TRUE(zord.stop());
    EXPECT_TRUE(main_zord.stop());
    EXPECT_TRUE(agent.stop());
}

}  // namespace
