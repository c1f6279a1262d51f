// Distribution through real processes: zord in the foreground on a
// temporary run directory, and zor-peer processes as its client daemons,
// each driven line by line through its standard input. What a client
// received is compared as a whole list of short summaries of its JSON lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

// Each test stops zord at its end: a clean stop, so nothing a peer sent broke it.
using Zord = zt::ZordProcess;

// The value of the first member called name in one of zor-peer's JSON lines,
// quotes removed; "" when there is none. Enough for its plain members, whose
// values hold no comma, brace or quote.
std::string member(const std::string &line, const std::string &name)
{
    const std::string key = "\"" + name + "\":";
    size_t at = line.find(key);
    if (at == std::string::npos) {
        return "";
    }
    at += key.size();
    std::string value = line.substr(at, line.find_first_of(",}", at) - at);
    return value.starts_with('"') ? value.substr(1, value.size() - 2) : value;
}

class Peer {
public:
    Peer(Zord &zord, const std::string &module, const std::string &first_lines)
        : zord_(zord),
          proc_(zt::build_path("tools/zor-peer"),
                {"--module", module, "--run-dir", zord.run_dir(), "--idle", "800", "--timeout", "20"})
    {
        send(first_lines);
    }

    void send(const std::string &lines) { proc_.write_stdin(lines); }
    zt::Process &proc() { return proc_; }

    // One short line per received message: type, key, and the fields the
    // tests look at.
    Strings summary() const
    {
        Strings out;
        for (const std::string &line : zt::split_lines(proc_.out())) {
            std::string s = member(line, "type");
            if (std::string tloc = member(line, "tloc"); !tloc.empty()) {
                s += " " + tloc;
                if (s.starts_with("TLOC_ADD")) {
                    s += " index=" + member(line, "index");
                    const std::string pref = member(line, "pref");  // only the attribute block has one
                    s += pref.empty() ? "" : " pref=" + pref;
                }
            } else if (std::string ip = member(line, "ip"); !ip.empty()) {
                s += " " + ip;
            }
            out.push_back(s);
        }
        return out;
    }

    // Waits until the summary holds every one of lines; zord's and the
    // peer's pipes are read meanwhile.
    bool wait_for(const Strings &lines)
    {
        auto deadline = std::chrono::steady_clock::now() + 30s;
        for (;;) {
            Strings got = summary();
            if (std::all_of(lines.begin(), lines.end(),
                            [&](const std::string &l) { return std::find(got.begin(), got.end(), l) != got.end(); })) {
                return true;
            }
            if (std::chrono::steady_clock::now() > deadline || proc_.wait_exit(0ms)) {
                ADD_FAILURE() << "waited for " << ::testing::PrintToString(lines) << "\n" << proc_.out() << proc_.err();
                return false;
            }
            proc_.poll_output(10);
            zord_.proc().poll_output(0);
        }
    }

    // Ends the script; the peer exits once nothing arrived for its idle
    // time, so whatever zord still had to send is in out() afterwards.
    void finish()
    {
        proc_.close_stdin();
        auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!proc_.wait_exit(10ms) && std::chrono::steady_clock::now() < deadline) {
            zord_.proc().poll_output(0);
        }
        EXPECT_TRUE(proc_.result().exited);
        EXPECT_EQ(proc_.result().exit_code, 0) << proc_.err();
    }

private:
    Zord &zord_;
    zt::Process proc_;
};

// Whether got is what a client may see of the changes in all (each line a
// distinct state): some of them, in change order. A client that lags behind
// is sent the current state of an entry once, however often it changed.
bool in_change_order(const Strings &got, const Strings &all)
{
    auto at = all.begin();
    for (const std::string &line : got) {
        at = std::find(at, all.end(), line);
        if (at == all.end()) {
            return false;
        }
        ++at;
    }
    return true;
}

const std::string T1 = "10.0.0.1:biz-internet:ipsec";
const std::string T2 = "10.0.0.1:lte:ipsec";
const std::string T3 = "10.0.0.2:biz-internet:ipsec";
const std::string T4 = "10.0.0.3:mpls:gre";

TEST(Distribution, ChangeOrderOnlyChangesAndTheEntriesOfALostOwner)
{
    Zord zord;
    Peer observer(zord, "ctlagent_1", "register TLOC-IPV4\n");
    Peer advd(zord, "advd",
              "tloc-add " + T1 + " pref=1\ntloc-add " + T2 + " pref=1\ntloc-add " + T3 + " pref=1\n" +
                  "tloc-add " + T1 + " pref=5\n");
    // The owner's messages are handled in order: once the last one reached a
    // client, zord holds all of them.
    ASSERT_TRUE(observer.wait_for({"TLOC_ADD " + T1 + " index=32770 pref=5"}));
    Peer xfwd(zord, "xfwd", "tloc-add " + T4 + "\n");
    ASSERT_TRUE(observer.wait_for({"TLOC_ADD " + T4 + " index=32773"}));

    // A registering client gets every entry in change order, then only the
    // changes.
    Peer client(zord, "ctlagent", "register TLOC-IPV4\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD " + T4 + " index=32773"}));
    advd.send("tloc-add " + T2 + " pref=7\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD " + T2 + " index=32771 pref=7"}));
    advd.send("tloc-del " + T1 + "\n");
    ASSERT_TRUE(client.wait_for({"TLOC_DEL " + T1}));

    // A lost connection withdraws the owner's entries: a disconnect, and a
    // killed process.
    advd.send("disconnect\n");
    ASSERT_TRUE(client.wait_for({"TLOC_DEL " + T2, "TLOC_DEL " + T3}));
    xfwd.proc().signal(SIGKILL);
    ASSERT_TRUE(client.wait_for({"TLOC_DEL " + T4}));
    // Back again, the owner announces anew.
    advd.send("reconnect\ntloc-add " + T1 + " pref=9\n");
    ASSERT_TRUE(client.wait_for({"TLOC_ADD " + T1 + " index=32774 pref=9"}));
    client.finish();

    Strings got = client.summary();
    ASSERT_EQ(got.size(), 10u);
    std::sort(got.begin() + 6, got.begin() + 8);  // the two of one disconnect come in either order
    EXPECT_EQ(got, (Strings{
                       "TLOC_ADD " + T2 + " index=32771 pref=1",
                       "TLOC_ADD " + T3 + " index=32772 pref=1",
                       "TLOC_ADD " + T1 + " index=32770 pref=5",
                       "TLOC_ADD " + T4 + " index=32773",
                       "TLOC_ADD " + T2 + " index=32771 pref=7",
                       "TLOC_DEL " + T1,
                       "TLOC_DEL " + T2,
                       "TLOC_DEL " + T3,
                       "TLOC_DEL " + T4,
                       "TLOC_ADD " + T1 + " index=32774 pref=9",
                   }));
    advd.finish();
    observer.finish();
    zord.stop();
}

TEST(Distribution, AStoppedClientHoldsUpNobodyAndCatchesUpWithTheCurrentStateInChangeOrder)
{
    Zord zord(std::map<std::string, std::string>{{"ZOR_CLIENT_HIGH_WATERMARK", "4096"},
                                                 {"ZOR_CLIENT_LOW_WATERMARK", "1024"}});
    Peer healthy(zord, "ctlagent_1", "register TLOC-IPV4\n");
    Peer stopped(zord, "ctlagent_2", "register TLOC-IPV4\n");
    Peer advd(zord, "advd", "tloc-add " + T1 + "\n");
    ASSERT_TRUE(healthy.wait_for({"TLOC_ADD " + T1 + " index=32770"}));
    ASSERT_TRUE(stopped.wait_for({"TLOC_ADD " + T1 + " index=32770"}));
    stopped.proc().signal(SIGSTOP);

    // Three rounds over 3000 TLOCs: far more than the stopped client's
    // socket holds.
    const int n = 3000;
    std::string script;
    Strings all = {"TLOC_ADD " + T1 + " index=32770"};
    Strings last_round;
    for (int round = 1; round <= 3; round++) {
        for (int i = 0; i < n; i++) {
            const std::string tloc = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1) + ":lte:gre";
            script += "tloc-add " + tloc + " pref=" + std::to_string(round) + "\n";
            all.push_back("TLOC_ADD " + tloc + " index=" + std::to_string(32771 + i) + " pref=" + std::to_string(round));
        }
    }
    last_round.assign(all.end() - n, all.end());
    advd.send(script);
    // The others never wait for it: the healthy client gets to the current
    // state of every TLOC while the stopped one still sleeps.
    ASSERT_TRUE(healthy.wait_for(last_round));
    EXPECT_TRUE(in_change_order(healthy.summary(), all));

    // Back again it is sent what it had queued before it stalled, then the
    // current state of every TLOC, in change order: the rest coalesced.
    stopped.proc().signal(SIGCONT);
    stopped.finish();
    const Strings got = stopped.summary();
    ASSERT_GT(got.size(), static_cast<size_t>(n));
    const auto before = static_cast<long>(got.size() - n);
    EXPECT_LT(before, static_cast<long>(all.size() - n)) << "it stalled before the last round";
    EXPECT_TRUE(in_change_order(Strings(got.begin(), got.begin() + before), all));
    EXPECT_EQ(Strings(got.begin() + before, got.end()), last_round);
    healthy.finish();
    advd.finish();
    zord.stop();
}

TEST(Distribution, DataDeviceMessagesAndGarbageFromAClientAreDropped)
{
    Zord zord;
    Peer client(zord, "ctlagent", "register DATA-DEVICE-IPV4\n");
    Peer rogue(zord, "policyd",
               "data-device-add 10.9.9.9 status=up\n"
               "data-device-del 10.9.9.9\n"
               "data-device-add 10.9.9.8 family=DATA-DEVICE-IPV4 sender=zord\n"
               "register 12\n"
               "tloc-add 10.9.9.7:lte:gre family=15\n"
               "raw 00\n"
               "raw 01ffff\n"
               "tloc-add 10.9.9.6:lte:gre carrier=0\n"
               "tloc-add 10.9.9.6:lte:gre carrier=10\n"
               "tloc-add 10.9.9.6:lte:gre weight=256\n"
               "tloc-add 10.9.9.6:0:gre\n"
               "tloc-add 10.9.9.6:23:gre\n"
               "tloc-add 10.8.8.8:lte:gre carrier=9 weight=255\n");
    ASSERT_TRUE(client.wait_for({"DATA_DEVICE_ADD 10.8.8.8"}));
    client.finish();
    // The path timer's sweep may send an unchanged device again.
    Strings got = client.summary();
    got.erase(std::unique(got.begin(), got.end()), got.end());
    EXPECT_EQ(got, (Strings{"DATA_DEVICE_ADD 10.8.8.8"}))
        << "types 11 and 12 from a client and every rejected add leave no entry";
    rogue.finish();
    zord.stop();
}

}  // namespace
