// The integration module's connection life: operational writes from its
// writer threads, reconnection after the agent restarts, and agent
// connections made from the default network namespace.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "../unit/oconfd/oconfd_daemon_harness.h"
#include "oconfd_notif.h"

namespace {

using oct::g_recorder;
using oct::sub_entry;

std::string netns_of_thread()
{
    char buf[128] = {};
    ssize_t n = readlink("/proc/thread-self/ns/net", buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

}  // namespace

// Writes land in call order although each runs in a thread of its own; a
// create of an element that exists and a delete of one that does not are
// silent.
TEST(OconfdOper, WritesLandInCallOrder)
{
    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    oct::Loop loop;
    oct::Daemon daemon(loop, OST_MODULE_ZORD, {});
    ASSERT_EQ(0, daemon.init());
    ASSERT_TRUE(
        oct::wait_until([&] { return std::atomic_ref<uint8_t>(daemon.ctx()->initial_read_done).load() != 0; }));

    loop.run([&] {
        for (uint32_t i = 1; i <= 40; ++i) {
            confd_value_t v;
            CONFD_SET_UINT32(&v, i);
            ASSERT_EQ(0, oconfd_set_cdb_oper_value(daemon.ctx(), &v, "/octest-state/counter", OCONFD_OPER_SET,
                                                   i % 2));
        }
        ASSERT_EQ(0, oconfd_set_cdb_oper_value(daemon.ctx(), nullptr, "/octest-state/entry{1}",
                                               OCONFD_OPER_CREATE, 1));
        ASSERT_EQ(0, oconfd_set_cdb_oper_value(daemon.ctx(), nullptr, "/octest-state/entry{1}",
                                               OCONFD_OPER_CREATE, 0));
        ASSERT_EQ(0, oconfd_set_cdb_oper_value(daemon.ctx(), nullptr, "/octest-state/entry{2}",
                                               OCONFD_OPER_DELETE, 1));
        std::string long_path = "/octest-state/" + std::string(100, 'x');
        EXPECT_EQ(1, oconfd_set_cdb_oper_value(daemon.ctx(), nullptr, long_path.c_str(), OCONFD_OPER_CREATE, 0));
    });
    // The free waits for the last writer, which waited for all before it.
    daemon.free();
    oct::OperSession s;
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(40, s.get_u32("/octest-state/counter"));
    EXPECT_EQ(1, cdb_exists(s.fd(), "/octest-state/entry{1}"));
    EXPECT_EQ(0u, logs.count("Failed to do operation")) << logs.dump();
    EXPECT_EQ(0u, logs.count(" elem ")) << logs.dump();
}

// When the agent goes, the module notices its sockets closing, retries every
// two seconds, and once the agent is back makes its subscriptions again and
// receives the configuration committed since.
TEST(OconfdOper, ReconnectsAfterAgentRestart)
{
    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    g_recorder.clear();
    oconfd_debug_enable(1);
    oct::Loop loop;
    oct::Daemon daemon(loop, OST_MODULE_ZORD, {sub_entry("octest/item", oct::record_cb, 1, 1)});
    ASSERT_EQ(0, daemon.init());
    // Each connection's subscriptions are done when its initial read runs.
    ASSERT_TRUE(logs.wait_for("Triggered 6 config subscriptions")) << logs.dump();

    agent.kill();
    ASSERT_TRUE(logs.wait_for("socket closed")) << logs.dump();
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(logs.wait_for("Subscribed for octest/item ", 2)) << logs.dump();
    ASSERT_TRUE(logs.wait_for("Triggered 6 config subscriptions", 2)) << logs.dump();
    oconfd_debug_disable();

    oct::Operator op;
    ASSERT_TRUE(op.ok());
    ASSERT_EQ("", op.commit({{1, "/octest/item{z}/value", "5"}}));
    EXPECT_EQ(1u, g_recorder.count("octest/item op=1 keys=[z]")) << g_recorder.dump() << logs.dump();
}

// The registration thread blocks on the agent until its start phases: when
// the agent goes meanwhile, the module reconnects and waits again on the
// next agent; a read asked for meanwhile is refused; a free while the
// thread waits on a live agent interrupts it and returns, with nothing
// subscribed or read.
TEST(OconfdOper, RegistrationWaitIsInterruptedByRestartAndFree)
{
    oct::Logs logs;
    oct::Agent agent({"--start-phase0"});
    ASSERT_TRUE(agent.start());
    oct::Loop loop;
    oct::Daemon daemon(loop, 0, {sub_entry("octest/item", oct::record_cb, 1, 1)});
    ASSERT_EQ(0, daemon.init());
    ASSERT_TRUE(logs.wait_for("Waiting for confd phase 1")) << logs.dump();
    // Nothing is subscribed yet: no read can count as the initial one.
    EXPECT_EQ(1, loop.run([&] { return oconfd_read_sub_config_all(daemon.ctx()); }));

    // The thread or the control socket notices first; either way the retry
    // timer runs until the agent is back.
    agent.kill();
    ASSERT_TRUE(logs.wait_for("oconfd retry: Failed to init oconfd")) << logs.dump();
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(logs.wait_for("Waiting for confd phase 1", 2)) << logs.dump();

    daemon.free();
    EXPECT_EQ(0u, logs.count("Subscribed for")) << logs.dump();
    EXPECT_EQ(0u, logs.count("Initial config read done")) << logs.dump();
    EXPECT_EQ(OCONFD_THROTTLER_TERMINATED, oconfd_notification_throttler_state());
}

namespace {

// With a namespace id the module reaches the agent from the default
// namespace (the one of process 1) although the daemon's thread lives in a
// namespace without a usable loopback, and the thread is back in its own
// namespace afterwards. "" when all went so, else what did not.
std::string namespace_scenario()
{
    if (!oct::wait_until([] { return oct::Operator().ok(); })) {
        return "no agent";
    }
    oct::Loop loop;
    std::string own_ns = loop.run([] { return unshare(CLONE_NEWNET) == 0 ? netns_of_thread() : std::string(); });
    if (own_ns.empty()) {
        return std::string("unshare: ") + strerror(errno);
    }
    // As a VPN's namespace is kept: its file bound onto netns/<id>.
    zt::ScopedRunDir run_dir;
    mkdir(run_dir.file("netns").c_str(), 0755);
    std::string ns_file = run_dir.file("netns/7");
    close(open(ns_file.c_str(), O_CREAT | O_WRONLY, 0644));
    if (!loop.run([&] { return mount("/proc/thread-self/ns/net", ns_file.c_str(), nullptr, MS_BIND, nullptr) == 0; })) {
        return std::string("bind mount: ") + strerror(errno);
    }
    oct::Logs logs;
    g_recorder.clear();
    oct::Daemon daemon(loop, OST_MODULE_ZORD, {sub_entry("octest/item", oct::record_cb, 1, 1)}, 7);
    if (daemon.init() != 0) {
        return "init: " + logs.dump();
    }
    if (loop.run([] { return netns_of_thread(); }) != own_ns || netns_of_thread() == own_ns) {
        return "the loop thread is not back in its namespace";
    }
    if (!oct::wait_until(
            [&] { return std::atomic_ref<uint8_t>(daemon.ctx()->initial_read_done).load() != 0; })) {
        return "no initial read: " + logs.dump();
    }
    oct::Operator op;
    if (!op.ok() || op.commit({{1, "/octest/item{n}/value", "1"}}) != "") {
        return "commit";
    }
    if (g_recorder.count("octest/item op=1 keys=[n]") != 1 || logs.count("Failed to switch") != 0) {
        return "delivery: " + g_recorder.dump() + logs.dump();
    }
    return "";
}

}  // namespace

// Process 1 of the box is not ours to open here: the scenario runs as
// process 1 of a PID namespace of its own, with its own /proc, in the
// agent's network namespace. The child is forked before the agent's
// threads exist (thread checkers cannot follow a fork of a threaded
// process), and waits for the agent.
TEST(OconfdOper, ConnectsFromTheDefaultNamespace)
{
    oct::Agent agent;
    constexpr int k_skip = 77;
    zt::Process child([] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
            _exit(k_skip);
        }
        pid_t pid = fork();
        if (pid == 0) {
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", 0, nullptr) != 0) {
                _exit(k_skip);
            }
            std::string failure = namespace_scenario();
            fprintf(stderr, "%s\n", failure.c_str());
            _exit(failure.empty() ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 2);
    });
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(child.wait_exit(std::chrono::seconds(60)));
    if (child.result().exited && child.result().exit_code == k_skip) {
        GTEST_SKIP() << "no PID and mount namespaces here";
    }
    EXPECT_TRUE(child.result().exited);
    EXPECT_EQ(0, child.result().exit_code) << child.err();
}
