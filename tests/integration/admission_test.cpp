// Who gets in and for how long, with the real zord and real peers: local
// processes that connect and never register, a zord out of descriptors, and
// processes of other users that claim a module. Throughout, a registered
// ctlagent (zor-peer) must keep receiving what an advd announces.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "msgq_test_support.h"
#include "ost_util.h"
#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;
using Env = std::map<std::string, std::string>;
constexpr int k_nobody = 65534;
const char *const k_tloc = "tloc-add 10.0.0.2:biz-internet:ipsec origin=remote pref=100 site=200 encap=ipsec spi=1\n";

using Zord = zt::ZordProcess;

// Polls until done() holds, reading zord's and the other processes' pipes.
template <typename F>
bool wait_until(Zord &zord, std::vector<zt::Process *> procs, F done)
{
    for (int i = 0; i < 3000; i++) {
        if (done()) {
            return true;
        }
        zord.proc().poll_output(10);
        for (zt::Process *p : procs) {
            p->poll_output(0);
        }
    }
    return done();
}

std::unique_ptr<zt::Process> peer(Zord &zord, const std::string &module, const std::string &lines)
{
    auto p = std::make_unique<zt::Process>(zt::build_path("tools/zor-peer"),
                                           Strings{"--module", module, "--run-dir", zord.run_dir(), "--timeout", "30"});
    p->write_stdin(lines);
    return p;
}

bool received(zt::Process &p, const std::string &type)
{
    return p.out().find("\"type\":\"" + type + "\"") != std::string::npos;
}

// n connections that never register (every third sends part of a header);
// all of them end closed by zord, while ctlagent, registered before, gets
// advd's TLOC announced after.
void flood_and_recover(Zord &zord, int n)
{
    auto ctlagent = peer(zord, "ctlagent", "register TLOC-IPV4\n");
    ASSERT_TRUE(wait_until(zord, {ctlagent.get()}, [&] { return zord.count("Client ctlagent registered") == 1; }))
        << zord.proc().err();
    std::deque<zt::RawPeer> conns;
    for (int i = 0; i < n; i++) {
        ASSERT_TRUE(conns.emplace_back().connect_unix(zord.socket_path())) << i;
        if (i % 3 == 0) {
            conns.back().send("\xaf\xbe\x08");
        }
    }
    EXPECT_TRUE(wait_until(zord, {ctlagent.get()}, [&] {
        return std::all_of(conns.begin(), conns.end(), [](zt::RawPeer &c) { return c.eof(); });
    })) << "connections that never register stay open\n"
        << zord.proc().err();
    conns.clear();
    auto advd = peer(zord, "advd", k_tloc);
    EXPECT_TRUE(wait_until(zord, {ctlagent.get(), advd.get()}, [&] { return received(*ctlagent, "TLOC_ADD"); }))
        << ctlagent->out() << zord.proc().err();
}

TEST(Admission, ConnectionsThatNeverRegisterAreClosed)
{
    Zord zord(Env{{"ZOR_REGISTER_TIMEOUT_MS", "200"}, {"ZOR_MAX_UNREGISTERED", "4"}});
    flood_and_recover(zord, 30);
    EXPECT_GT(zord.count("not registered within 200 ms"), 0u);
    EXPECT_GT(zord.count("4 connections wait to register, the longest waiting goes"), 0u);
}

// Out of descriptors zord stops accepting for a moment instead of spinning
// on accept(), says so once, and takes the waiting connections afterwards.
TEST(Admission, OutOfDescriptorsPausesAccepting)
{
    Zord zord(Env{{"ZOR_REGISTER_TIMEOUT_MS", "300"}, {"ZOR_MAX_UNREGISTERED", "1000"}}, {}, [] {
        rlimit lim{32, 32};
        setrlimit(RLIMIT_NOFILE, &lim);
    });
    flood_and_recover(zord, 60);
    EXPECT_EQ(zord.count("Error from accept() call"), 0u);
    EXPECT_GE(zord.count("Out of descriptors accepting at " + zord.socket_path() + " (Too many open files)"), 1u);
    EXPECT_GE(zord.count("Accepting connections at " + zord.socket_path() + " again"), 1u);
}

// A process of another user registering as advd is refused, and advd's own
// connection (with the TLOC it announced) stays; once -G names its group it
// is admitted and replaces advd's connection as a reconnecting advd would.
TEST(Admission, OtherUsersMayNotRegisterUnlessInThePeerGroup)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run a peer as another user";
    }
    for (bool in_group : {false, true}) {
        Zord zord(Env{}, in_group ? Strings{"-G", std::to_string(k_nobody)} : Strings{});
        auto ctlagent = peer(zord, "ctlagent", "register TLOC-IPV4\n");
        auto advd = peer(zord, "advd", k_tloc);
        ASSERT_TRUE(wait_until(zord, {ctlagent.get(), advd.get()}, [&] { return received(*ctlagent, "TLOC_ADD"); }))
            << zord.proc().err();

        const std::string path = zord.socket_path();
        zt::Process intruder([path] {
            if (setgid(k_nobody) != 0 || setuid(k_nobody) != 0) {
                _exit(2);
            }
            zt::RawPeer claim;
            if (!claim.connect_unix(path)) {
                _exit(3);
            }
            claim.send_register(OST_MODULE_ADVD, OST_MODULE_ZORD);
            char c;
            _exit(recv(claim.fd(), &c, 1, 0) <= 0 ? 0 : 4);  // 0: closed by zord
        });
        if (!in_group) {
            ASSERT_TRUE(intruder.wait_exit(std::chrono::seconds(30)));
            EXPECT_EQ(intruder.result().exit_code, 0) << "refused";
            EXPECT_EQ(zord.count("Refused connection from pid " + std::to_string(intruder.pid()) + " uid " +
                                 std::to_string(k_nobody) + " registering as advd: not root, this daemon's user "
                                 "or the peer group"),
                      1u)
                << zord.proc().err();
            ctlagent->poll_output(200);
            EXPECT_FALSE(received(*ctlagent, "TLOC_DEL")) << "advd's TLOC stays";
        } else {
            EXPECT_TRUE(wait_until(zord, {ctlagent.get()}, [&] { return received(*ctlagent, "TLOC_DEL"); }))
                << zord.proc().err();
            EXPECT_EQ(zord.count("Client advd disconnected: withdrew TLOC-IPV4 1"), 1u) << zord.proc().err();
            EXPECT_EQ(zord.count("Client advd connected (pid " + std::to_string(intruder.pid()) + ", uid 65534)"), 1u)
                << zord.proc().err();
        }
    }
}

}  // namespace
