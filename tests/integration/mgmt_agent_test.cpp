// The management side end to end, every piece a real process: the agent
// (mgmtd) on a port and database of its own, the sample daemon on the
// client library, zorctl, and small library clients forked from the test.
// A commit's path through two-phase and plain subscribers in priority
// order, refusals that leave nothing behind, operational reads of nested
// lists and an answer of more than 16 MiB, streamed command output,
// daemons killed in the middle, start phases and the IPC secret. The sample daemon sends no notifications: those are the agent's
// own tests' (mgmtd_services_test).
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "confd_lib.h"
#include "confd_maapi.h"
#include "mgmt_process_support.h"

namespace {

using mp::Agent;
using mp::SampleDaemon;

const uint32_t k_sample_ns = mgmt_name_hash("urn:ostrana:mgmt-sample");

// Where a line is among lines; lines.size() when it is not.
size_t index_of(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// A library client in a forked child: joins the agent on port under name
// and runs body with the agent's address; what body prints is the child's
// stdout. The child's exit status is 0 when body returned true.
std::unique_ptr<zt::Process> library_child(uint16_t port, const char *name,
                                           const std::function<bool(const sockaddr *, int)> &body)
{
    return std::make_unique<zt::Process>([=] {
        confd_init(name, stderr, CONFD_SILENT);
        const sockaddr_in sa = mp::agent_addr(port);
        if (!body(reinterpret_cast<const sockaddr *>(&sa), sizeof sa)) {
            fprintf(stderr, "%s: %s\n", name, confd_lasterr());
            fflush(stderr);
            _exit(1);
        }
    });
}

void say(const char *line)
{
    printf("%s\n", line);
    fflush(stdout);
}

TEST(MgmtAgent, ConfigurationOutlivesTheAgentAndARejoiningDaemonIsGivenIt)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"));
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    auto daemon = std::make_unique<SampleDaemon>(agent.port(), std::vector<std::string>{"--parts", "subs"});
    ASSERT_TRUE(daemon->wait_line("ready")) << daemon->proc().err();
    ASSERT_EQ(mp::zorctl(agent.port(), {"set", "sample", "first", "a", "value", "5"}).exit_code, 0);
    ASSERT_EQ(mp::zorctl(agent.port(), {"set", "sample/second{7}/tags", "x", "y"}).exit_code, 0);
    EXPECT_TRUE(daemon->wait_line("commit second: created /sample/second{7}; set /sample/second{7}/id=7; "
                                  "set /sample/second{7}/tags=x y"))
        << daemon->proc().out();
    const zt::ChildResult before = mp::zorctl(agent.port(), {"show", "running-config", "sample"});
    EXPECT_EQ(before.out, "sample\n  first a\n    value 5\n  second 7\n    tags x\n    tags y\n");

    // The daemon goes with the agent that it joined.
    ASSERT_TRUE(agent.stop()) << agent.proc().err();
    ASSERT_TRUE(daemon->proc().wait_exit());
    EXPECT_EQ(daemon->proc().result().exit_code, 1);
    EXPECT_NE(daemon->proc().err().find("the agent closed the connection"), std::string::npos);

    ASSERT_TRUE(agent.restart()) << agent.proc().err();
    EXPECT_EQ(mp::zorctl(agent.port(), {"show", "running-config", "sample"}).out, before.out);
    // A daemon that joins asks for its configuration: the whole of it, as a
    // triggered commit at each of its subscriptions.
    daemon = std::make_unique<SampleDaemon>(agent.port(), std::vector<std::string>{"--parts", "subs"});
    ASSERT_TRUE(daemon->wait_line("commit second (trigger): created /sample/second{7}; set /sample/second{7}/id=7; "
                                  "set /sample/second{7}/tags=x y"))
        << daemon->proc().out() << daemon->proc().err();
    std::vector<std::string> lines = daemon->lines();
    EXPECT_LT(index_of(lines, "commit first (trigger): created /sample/first{a}; set /sample/first{a}/name=a; "
                              "set /sample/first{a}/value=5"),
              lines.size())
        << daemon->proc().out();
    // Deletions only: nothing to say about a configuration given whole.
    for (const std::string &l : lines) {
        EXPECT_EQ(l.find("first-deletes"), std::string::npos) << l;
    }
}

TEST(MgmtAgent, PrioritiesAreNotifiedInOrderEachSynchronisedBeforeTheNext)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"));
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    SampleDaemon daemon(agent.port(), {"--parts", "subs"});
    ASSERT_TRUE(daemon.wait_line("ready")) << daemon.proc().err();

    // The test subscribes as well, at priority 1 beside the daemon's first
    // list, and holds its notification.
    confd_init("prio-1", stderr, CONFD_SILENT);
    const sockaddr_in sa = mp::agent_addr(agent.port());
    struct owned_socket {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ~owned_socket() { cdb_close(fd); }
    } owned;
    const int sub = owned.fd;
    int point = -1;
    ASSERT_EQ(cdb_connect(sub, CDB_SUBSCRIPTION_SOCKET, reinterpret_cast<const sockaddr *>(&sa), sizeof sa),
              CONFD_OK);
    ASSERT_EQ(cdb_subscribe(sub, 1, static_cast<int>(k_sample_ns), &point, "/sample/second"), CONFD_OK);
    ASSERT_EQ(cdb_subscribe_done(sub), CONFD_OK);

    std::unique_ptr<zt::Process> cli =
        mp::zorctl_start(agent.port(), {}, "config\nset sample first a value 1\nset sample second 2 colour blue\n"
                                           "set sample first b value 3\ncommit\n");
    pollfd p{sub, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 30000), 1) << cli->err();
    cdb_sub_notification type{};
    int flags = 0;
    int *points = nullptr;
    int n = 0;
    ASSERT_EQ(cdb_read_subscription_socket2(sub, &type, &flags, &points, &n), CONFD_OK);
    EXPECT_EQ(type, CDB_SUB_COMMIT);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(points[0], point);
    free(points);
    ASSERT_TRUE(daemon.wait_line("commit first: created /sample/first{a}; set /sample/first{a}/name=a; "
                                 "set /sample/first{a}/value=1; created /sample/first{b}; "
                                 "set /sample/first{b}/name=b; set /sample/first{b}/value=3"))
        << daemon.proc().out();
    // Priority 2 waits for every priority-1 subscriber, and so does the operator.
    EXPECT_FALSE(mp::wait_output(daemon.proc(), "commit second", std::chrono::milliseconds(300)));
    EXPECT_FALSE(cli->wait_exit(std::chrono::milliseconds(0)));

    ASSERT_EQ(cdb_sync_subscription_socket(sub, CDB_DONE_PRIORITY), CONFD_OK);
    EXPECT_TRUE(daemon.wait_line("commit second: created /sample/second{2}; set /sample/second{2}/id=2; "
                                 "set /sample/second{2}/colour=blue"))
        << daemon.proc().out();
    ASSERT_TRUE(cli->wait_exit(std::chrono::seconds(30)));
    EXPECT_EQ(cli->result().exit_code, 0) << cli->err();
}

TEST(MgmtAgent, RefusedCommitsLeaveTheConfigurationAndTheOtherSubscribersAlone)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"));
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    SampleDaemon daemon(agent.port());
    SampleDaemon other(agent.port(), {"--parts", "subs", "--name", "other"});
    ASSERT_TRUE(daemon.wait_line("ready") && other.wait_line("ready")) << daemon.proc().err() << other.proc().err();
    ASSERT_EQ(mp::zorctl(agent.port(), {"set", "sample", "first", "a", "value", "1"}).exit_code, 0);
    ASSERT_TRUE(other.wait_line("commit first: created /sample/first{a}; set /sample/first{a}/name=a; "
                                "set /sample/first{a}/value=1"));
    const size_t mark = daemon.lines().size();
    const size_t other_mark = other.lines().size();
    const std::string config = mp::zorctl(agent.port(), {"show", "running-config"}).out;

    // The two-phase subscriber refuses the whole transaction.
    zt::ChildResult r = mp::zorctl(agent.port(), {},
                                   "config\nset sample first c value 2\nset sample forbidden x\ncommit\n");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(zt::split_lines(r.err).at(0), "zorctl: Unable to apply changes") << r.err;

    // Values and paths the schema refuses: one line each, with the status
    // of an agent's refusal (1) or of a bad command line (2).
    struct refusal {
        std::vector<std::string> args;
        int status;
        std::string line;
    };
    const std::vector<refusal> refusals = {
        {{"set", "sample", "first", "a", "value", "many"}, 1, "zorctl: bad value for /sample/first{a}/value: "},
        {{"set", "sample", "second", "4", "colour", "purple"}, 1, "zorctl: bad value for /sample/second{4}/colour: "},
        {{"set", "sample", "second", "x", "colour", "red"}, 1, "zorctl: bad value for /sample/second{x}/colour: "},
        {{"set", "sample", "nosuch", "1"}, 2, "zorctl: no nosuch under sample"},
        {{"delete", "sample", "first", "zz"}, 1, "zorctl: /sample/first{zz} does not exist"},
    };
    for (const refusal &c : refusals) {
        r = mp::zorctl(agent.port(), c.args);
        EXPECT_EQ(r.exit_code, c.status) << c.line;
        ASSERT_EQ(zt::split_lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind(c.line, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(mp::zorctl(agent.port(), {"show", "running-config"}).out, config);

    // A commit after them is the next thing either daemon hears of.
    ASSERT_EQ(mp::zorctl(agent.port(), {"create", "sample", "second", "9"}).exit_code, 0);
    const std::string next = "commit second: created /sample/second{9}; set /sample/second{9}/id=9";
    ASSERT_TRUE(daemon.wait_line(next) && other.wait_line(next)) << daemon.proc().out() << other.proc().out();
    EXPECT_EQ(daemon.lines(mark), (std::vector<std::string>{"prepare forbidden: set /sample/forbidden=x",
                                                            "refused forbidden: Unable to apply changes", next}));
    EXPECT_EQ(other.lines(other_mark), std::vector<std::string>{next});
}

TEST(MgmtAgent, NestedOperationalListsAreReadThroughTheDaemonsCallbacks)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"));
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    SampleDaemon daemon(agent.port(), {"--parts", "data"});
    ASSERT_TRUE(daemon.wait_line("ready")) << daemon.proc().err();

    zt::ChildResult r = mp::zorctl(agent.port(), {"show", "oper", "sample-state"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "sample-state\n"
                     "  group 1\n    label one\n    colour red\n"
                     "    member 1\n      address 10.0.0.1\n      up true\n"
                     "    member 2\n      address 10.0.0.2\n      up false\n"
                     "    member 5\n      address 10.0.0.5\n      up true\n"
                     "  group 2\n    label two\n    colour green\n"
                     "    member 1\n      address 10.0.1.1\n      up true\n"
                     "  group 4\n    label four\n    colour blue\n");
    // Groups come in one reply; members one at a time, each found by the
    // key of the one before, until the daemon says the list ended.
    EXPECT_EQ(daemon.lines(1), (std::vector<std::string>{
                                   "get_next_object sample-groups /sample-state/group next=-1",
                                   "get_next_object sample-members /sample-state/group{1}/member next=-1",
                                   "find_next_object sample-members /sample-state/group{1}/member type=0 key=1",
                                   "find_next_object sample-members /sample-state/group{1}/member type=0 key=2",
                                   "find_next_object sample-members /sample-state/group{1}/member type=0 key=5",
                                   "get_next_object sample-members /sample-state/group{2}/member next=-1",
                                   "find_next_object sample-members /sample-state/group{2}/member type=0 key=1",
                                   "get_next_object sample-members /sample-state/group{4}/member next=-1",
                               }));

    r = mp::zorctl(agent.port(), {"--json", "show", "oper", "sample-state/group{2}"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, R"({
  "mgmt-sample:sample-state": {
    "group": [
      {
        "gid": 2,
        "label": "two",
        "colour": "green",
        "member": [
          {
            "mid": 1,
            "address": "10.0.1.1",
            "up": true
          }
        ]
      }
    ]
  }
}
)");
    const size_t mark = daemon.lines().size();
    r = mp::zorctl(agent.port(), {"--json", "show", "oper", "sample-state/group{1}/member{5}"});
    EXPECT_NE(r.out.find("\"address\": \"10.0.0.5\""), std::string::npos) << r.out;
    // Instances the daemon does not have: the operator is told which.
    for (const char *absent : {"sample-state/group{3}", "sample-state/group{1}/member{9}"}) {
        r = mp::zorctl(agent.port(), {"show", "oper", absent});
        EXPECT_EQ(r.exit_code, 1) << absent;
        EXPECT_EQ(r.err, "zorctl: no such instance: /" + std::string(absent) + "\n");
    }
    EXPECT_EQ(daemon.lines(mark), (std::vector<std::string>{
                                      "get_object sample-groups /sample-state/group{1}",
                                      "get_object sample-members /sample-state/group{1}/member{5}",
                                      "get_object sample-groups /sample-state/group{3}",
                                      "get_object sample-groups /sample-state/group{1}",
                                      "get_object sample-members /sample-state/group{1}/member{9}",
                                  }));
}

// A daemon whose groups carry labels of a MiB each, served one group a
// reply: reading them all makes one answer of more than 16 MiB.
constexpr int k_big_groups = 20;
int g_big_worker = -1;

int big_group(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    const uint32_t member = mgmt_name_hash("member");
    const bool members = kp->v[0][0].type == C_XMLTAG && kp->v[0][0].val.xmltag.tag == member;
    const long at = next < 0 ? 0 : next;
    if (members || at >= k_big_groups) {
        return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, 0);
    }
    const std::string label(1u << 20, static_cast<char>('a' + at));
    confd_tag_value_t tv[2];
    CONFD_SET_TAG_UINT32(&tv[0], mgmt_name_hash("gid"), static_cast<uint32_t>(at + 1));
    CONFD_SET_TAG_STR(&tv[1], mgmt_name_hash("label"), label.c_str());
    return confd_data_reply_next_object_tag_value_array(tctx, tv, 2, at + 1);
}

bool serve_big_groups(const sockaddr *sa, int len)
{
    confd_daemon_ctx *dx = confd_init_daemon("big");
    const int ctl = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    g_big_worker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    confd_trans_cbs tcb{};
    tcb.init = [](confd_trans_ctx *t) { return confd_trans_set_fd(t, g_big_worker); };
    tcb.finish = [](confd_trans_ctx *) { return static_cast<int>(CONFD_OK); };
    if (confd_connect(dx, ctl, CONTROL_SOCKET, sa, len) != CONFD_OK ||
        confd_connect(dx, g_big_worker, WORKER_SOCKET, sa, len) != CONFD_OK ||
        confd_register_trans_cb(dx, &tcb) != CONFD_OK) {
        return false;
    }
    for (const char *point : {"sample-groups", "sample-members"}) {
        confd_data_cbs dcb{};
        snprintf(dcb.callpoint, sizeof dcb.callpoint, "%s", point);
        dcb.get_next_object = big_group;
        if (confd_register_data_cb(dx, &dcb) != CONFD_OK) {
            return false;
        }
    }
    if (confd_register_done(dx) != CONFD_OK) {
        return false;
    }
    say("ready");
    for (;;) {
        pollfd fds[2] = {{ctl, POLLIN, 0}, {g_big_worker, POLLIN, 0}};
        poll(fds, 2, -1);
        for (const pollfd &f : fds) {
            if (f.revents != 0 && confd_fd_ready(dx, f.fd) != CONFD_OK) {
                return false;
            }
        }
    }
}

TEST(MgmtAgent, AnAnswerLargerThanSixteenMebibytesArrivesWhole)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"), 60000);
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    std::unique_ptr<zt::Process> daemon = library_child(agent.port(), "big", serve_big_groups);
    ASSERT_TRUE(mp::wait_output(*daemon, "ready\n")) << daemon->err();
    zt::ChildResult r = mp::zorctl(agent.port(), {"--json", "show", "oper", "sample-state"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_GT(r.out.size(), static_cast<size_t>(k_big_groups) << 20);
    for (int i = 0; i < k_big_groups; i++) {
        const std::string label = "\"label\": \"" + std::string(1u << 20, static_cast<char>('a' + i)) + "\"";
        EXPECT_NE(r.out.find(label), std::string::npos) << "group " << i + 1;
    }
}

TEST(MgmtAgent, CommandOutputArrivesWholeAndInOrderBeforeTheCommandEnds)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"));
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    SampleDaemon daemon(agent.port(), {"--parts", "command"});
    ASSERT_TRUE(daemon.wait_line("ready")) << daemon.proc().err();

    constexpr int k_lines = 3000;
    zt::ChildResult r = mp::zorctl(agent.port(), {"command", "sample-show", "--lines=" + std::to_string(k_lines)});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::string expected;
    for (int i = 1; i <= k_lines; i++) {
        expected += "sample line " + std::to_string(i) + " of " + std::to_string(k_lines) + "\n";
    }
    EXPECT_TRUE(r.out == expected) << "got " << zt::split_lines(r.out).size() << " lines, from: "
                                   << r.out.substr(0, 200);
    r = mp::zorctl(agent.port(), {"command", "sample-show", "fail"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "zorctl: sample command failed\n");
    // The daemon was given each command's own arguments after its name.
    std::vector<std::string> lines = daemon.lines(1);
    ASSERT_EQ(lines.size(), 2u) << daemon.proc().out();
    EXPECT_EQ(lines[0].rfind("command sample-show user=zorctl usid=", 0), 0u) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(" args --lines=3000")) << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" args fail")) << lines[1];
}

TEST(MgmtAgent, ADaemonKilledMidRequestFailsOnlyThatRequest)
{
    zt::TempDir dir;
    // Without the daemon's end noticed, zorctl would wait for this timeout.
    Agent agent(dir.file("db"), 600000);
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    ASSERT_EQ(mp::zorctl(agent.port(), {"create", "sample", "first", "a"}).exit_code, 0);

    struct stuck {
        std::vector<std::string> cli;
        std::string hang_line;
        std::string error;
    };
    const std::vector<stuck> cases = {
        {{"command", "sample-show"}, "hanging in command", "zorctl: daemon hanger went away (sample-show)\n"},
        {{"show", "oper", "sample-state"}, "hanging in get_next_object",
         "zorctl: daemon hanger went away (callpoint sample-groups)\n"},
    };
    for (const stuck &c : cases) {
        SampleDaemon hanger(agent.port(), {"--hang-command", "--hang-data", "--parts", "command,data", "--name",
                                           "hanger"});
        ASSERT_TRUE(hanger.wait_line("ready")) << hanger.proc().err();
        std::unique_ptr<zt::Process> cli = mp::zorctl_start(agent.port(), c.cli);
        ASSERT_TRUE(hanger.wait_line(c.hang_line)) << hanger.proc().out();
        // Other sessions go on meanwhile.
        zt::ChildResult r = mp::zorctl(agent.port(), {"show", "running-config", "sample"});
        EXPECT_EQ(r.out, "sample\n  first a\n") << r.err;
        r = mp::zorctl(agent.port(), {"--json", "agent", "status"});
        EXPECT_NE(r.out.find("\"name\":\"hanger\""), std::string::npos) << r.out;

        hanger.proc().signal(SIGKILL);
        ASSERT_TRUE(cli->wait_exit(std::chrono::seconds(60))) << c.hang_line;
        EXPECT_EQ(cli->result().exit_code, 1);
        EXPECT_EQ(cli->err(), c.error);
        ASSERT_TRUE(hanger.proc().wait_exit());
    }

    // The points the killed daemon held are free for the next one.
    SampleDaemon daemon(agent.port(), {"--parts", "command,data"});
    ASSERT_TRUE(daemon.wait_line("ready")) << daemon.proc().err();
    zt::ChildResult r = mp::zorctl(agent.port(), {"command", "sample-show", "--lines=1"});
    EXPECT_EQ(r.out, "sample line 1 of 1\n") << r.err;
    r = mp::zorctl(agent.port(), {"show", "oper", "sample-state/group{4}"});
    EXPECT_EQ(r.out, "sample-state\n  group 4\n    label four\n    colour blue\n") << r.err;
}

TEST(MgmtAgent, StartPhasesHoldCommitsAndWaitingDaemonsUntilPhaseTwo)
{
    zt::TempDir dir;
    Agent agent(dir.file("db"), 5000, {"--start-phase0"});
    ASSERT_TRUE(agent.started()) << agent.proc().err();
    auto waiter = [](int phase) {
        return [phase](const sockaddr *sa, int len) {
            const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (maapi_connect(s, sa, len) != CONFD_OK) {
                return false;
            }
            say("waiting");
            if (maapi_wait_start(s, phase) != CONFD_OK) {
                return false;
            }
            printf("phase %d\n", phase);
            return true;
        };
    };
    std::unique_ptr<zt::Process> for2 = library_child(agent.port(), "w2", waiter(2));
    std::unique_ptr<zt::Process> for1 = library_child(agent.port(), "w1", waiter(1));
    ASSERT_TRUE(mp::wait_output(*for2, "waiting\n") && mp::wait_output(*for1, "waiting\n"));

    const std::vector<std::string> set = {"create", "sample", "first", "a"};
    zt::ChildResult r = mp::zorctl(agent.port(), set);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("phase 2"), std::string::npos) << r.err;
    ASSERT_EQ(mp::zorctl(agent.port(), {"agent", "phase", "1"}).exit_code, 0);
    ASSERT_TRUE(for1->wait_exit(std::chrono::seconds(30)));
    EXPECT_EQ(for1->out(), "waiting\nphase 1\n") << for1->err();
    EXPECT_EQ(mp::zorctl(agent.port(), set).exit_code, 1);
    EXPECT_FALSE(for2->wait_exit(std::chrono::milliseconds(0)));

    ASSERT_EQ(mp::zorctl(agent.port(), {"agent", "phase", "2"}).exit_code, 0);
    ASSERT_TRUE(for2->wait_exit(std::chrono::seconds(30)));
    EXPECT_EQ(for2->out(), "waiting\nphase 2\n") << for2->err();
    EXPECT_EQ(for2->result().exit_code, 0);
    r = mp::zorctl(agent.port(), set);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = mp::zorctl(agent.port(), {"agent", "phase", "1"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "zorctl: the agent is in start phase 2 already: phases only move on\n");
}

TEST(MgmtAgent, DaemonsAndOperatorsProveTheIpcSecret)
{
    zt::TempDir dir;
    const std::string secret = dir.file("secret");
    const std::string wrong = dir.file("wrong");
    std::ofstream(secret) << "a shared secret\n";
    std::ofstream(wrong) << "a shared secret";
    Agent agent(dir.file("db"), 5000, {"--ipc-secret", secret});
    ASSERT_TRUE(agent.started()) << agent.proc().err();

    SampleDaemon daemon(agent.port(), {"--parts", "subs"}, secret);
    ASSERT_TRUE(daemon.wait_line("ready")) << daemon.proc().err();
    zt::ChildResult r = mp::zorctl(agent.port(), {"create", "sample", "first", "a"}, "", secret);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(daemon.wait_line("commit first: created /sample/first{a}; set /sample/first{a}/name=a"))
        << daemon.proc().out();

    for (const std::string &file : {std::string(), wrong}) {
        SampleDaemon refused(agent.port(), {"--parts", "subs", "--name", "intruder"}, file);
        ASSERT_TRUE(refused.proc().wait_exit(std::chrono::seconds(30)));
        EXPECT_EQ(refused.proc().result().exit_code, 3);
        EXPECT_EQ(refused.proc().out(), "");
        EXPECT_NE(refused.proc().err().find("intruder: connect: "), std::string::npos) << refused.proc().err();
        r = mp::zorctl(agent.port(), {"create", "sample", "first", "b"}, "", file);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.err.rfind("zorctl: the agent refused the connection: ", 0), 0u) << r.err;
    }
    r = mp::zorctl(agent.port(), {"show", "running-config", "sample"}, "", secret);
    EXPECT_EQ(r.out, "sample\n  first a\n") << r.err;
}

}  // namespace
