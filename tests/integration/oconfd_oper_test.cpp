// The integration module's connection life: operational writes from its
// writer threads, reconnection after the agent restarts, and agent
// connections made from the default network namespace.
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include "../unit/oconfd/oconfd_harness.h"

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
    EXPECT_EQ(0u, logs.count("Failed to")) << logs.dump();
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

// With a namespace id the module reaches the agent from the default
// namespace although the daemon's thread lives in a namespace without a
// usable loopback, and the thread is back in its own namespace afterwards.
TEST(OconfdOper, ConnectsFromTheDefaultNamespace)
{
    oct::Loop loop;
    std::string own_ns = loop.run([] {
        if (unshare(CLONE_NEWNET) != 0) {
            return std::string();
        }
        return netns_of_thread();
    });
    if (own_ns.empty()) {
        GTEST_SKIP() << "no network namespaces here: " << strerror(errno);
    }
    zt::ScopedRunDir run_dir;
    mkdir(run_dir.file("netns").c_str(), 0755);
    pid_t tid = loop.run([] { return static_cast<pid_t>(syscall(SYS_gettid)); });
    std::string target = "/proc/" + std::to_string(getpid()) + "/task/" + std::to_string(tid) + "/ns/net";
    ASSERT_EQ(0, symlink(target.c_str(), run_dir.file("netns/7").c_str()));

    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    g_recorder.clear();
    oct::Daemon daemon(loop, OST_MODULE_ZORD, {sub_entry("octest/item", oct::record_cb, 1, 1)}, 7);
    ASSERT_EQ(0, daemon.init()) << logs.dump();
    EXPECT_EQ(own_ns, loop.run([] { return netns_of_thread(); }));
    EXPECT_NE(netns_of_thread(), own_ns);

    oct::Operator op;
    ASSERT_TRUE(op.ok());
    ASSERT_TRUE(logs.wait_for("Subscribed for octest/item ")) << logs.dump();
    ASSERT_TRUE(
        oct::wait_until([&] { return std::atomic_ref<uint8_t>(daemon.ctx()->initial_read_done).load() != 0; }));
    ASSERT_EQ("", op.commit({{1, "/octest/item{n}/value", "1"}}));
    EXPECT_EQ(1u, g_recorder.count("octest/item op=1 keys=[n]")) << g_recorder.dump();
    EXPECT_EQ(0u, logs.count("Failed to switch")) << logs.dump();
}
