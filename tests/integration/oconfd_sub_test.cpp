// A daemon in the test process joins the real agent through the
// integration module; the operator commits configuration and the daemon's
// callbacks show what the module delivered.
#include "../unit/oconfd/oconfd_daemon_harness.h"

namespace {

using oct::g_recorder;
using oct::sub_entry;

constexpr const char *k_item = "octest/item op=";

}  // namespace

// The initial read delivers what was configured before the daemon came;
// list entries get their keys; an entry with a delete subscription of its
// own gets deletions only there (its add subscription suppresses them and
// sees no deleted leaves); a two-phase entry refusing a value makes the
// commit fail with "Unable to apply changes", and nothing of it is applied.
TEST(OconfdSubscriptions, KeysDeletePointAndTwoPhaseRefusal)
{
    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    oct::Operator op;
    ASSERT_TRUE(op.ok());
    ASSERT_EQ("", op.commit({{1, "/octest/item{a}/value", "1"}, {1, "/system/host-name", "r1"}}));

    g_recorder.clear();
    oconfd_debug_enable(1);
    oct::Loop loop;
    oct::Daemon daemon(loop, OST_MODULE_ZORD,
                       {sub_entry("octest/item", oct::record_cb, 1, 0x21),
                        sub_entry("octest/guarded", oct::guarded_cb, 0, 3, OCONFD_SUB_TWO_PHASE)});
    ASSERT_EQ(0, daemon.init());
    ASSERT_TRUE(g_recorder.wait_for("octest/item op=1 keys=[a]")) << g_recorder.dump() << logs.dump();
    EXPECT_TRUE(logs.wait_for("System hostname set to r1"));
    char host[64];
    oconfd_host_name(host, sizeof(host));
    EXPECT_STREQ("r1", host);
    std::vector<std::string> subscribed = logs.at(LOG_LOCAL7 | LOG_DEBUG, "Subscribed for octest/item (add spoint: ");
    ASSERT_EQ(1u, subscribed.size()) << logs.dump();
    EXPECT_NE(std::string::npos, subscribed[0].find("type: list)")) << subscribed[0];
    EXPECT_EQ(std::string::npos, subscribed[0].find("del spoint: 0,")) << subscribed[0];

    g_recorder.clear();
    ASSERT_EQ("", op.commit({{1, "/octest/item{b}/value", "2"}, {1, "/octest/item{b}/note", "n"}}));
    // The commit returns once every subscriber synchronised.
    EXPECT_EQ((std::vector<std::string>{"octest/item op=1 keys=[b] vals=[value=2,note=n]"}),
              g_recorder.lines());

    g_recorder.clear();
    ASSERT_EQ("", op.commit({{2, "/octest/item{a}", ""}, {2, "/octest/item{b}/note", ""}}));
    // The add side sees neither the deleted instance nor the deleted leaf;
    // the delete side sees both.
    EXPECT_EQ((std::vector<std::string>{"octest/item op=2 keys=[a] vals=[]",
                                        "octest/item op=3 keys=[b] vals=[note=-]"}),
              g_recorder.lines());
    EXPECT_EQ(1u, logs.count("Delete suppressed in add subscription (/octest/item{a})")) << logs.dump();
    // Once for the add side now, once for the delete side when b was made.
    EXPECT_EQ(2u, logs.count("Received zero applicable modifications (/octest/item{b})")) << logs.dump();

    g_recorder.clear();
    std::string refused = op.commit({{1, "/octest/guarded", "forbidden"}, {1, "/octest/item{c}/value", "3"}});
    EXPECT_NE(std::string::npos, refused.find("Unable to apply changes")) << refused;
    EXPECT_EQ(1u, logs.count("Aborting transaction"));
    EXPECT_EQ(0u, g_recorder.count(k_item)) << g_recorder.dump();
    ASSERT_EQ("", op.commit({{1, "/octest/guarded", "fine"}}));
    EXPECT_EQ((std::vector<std::string>{"octest/guarded op=3 keys=[] vals=[guarded=forbidden]",
                                        "octest/guarded op=3 keys=[] vals=[guarded=fine]"}),
              g_recorder.lines());
    oconfd_debug_disable();
}

// A module of read priority 2 (xfwd) reads its configuration only once the
// bits of priorities 0 and 1 are set in the initial-read leaf; a change that
// arrives before is not delivered; after its read the module sets its own
// bit.
TEST(OconfdSubscriptions, InitialReadWaitsForLowerPriorities)
{
    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    oct::Operator op;
    ASSERT_TRUE(op.ok());
    ASSERT_EQ("", op.commit({{1, "/octest/item{x}/value", "7"}}));

    g_recorder.clear();
    oconfd_debug_enable(1);
    oct::Loop loop;
    oct::Daemon daemon(loop, OST_MODULE_XFWD, {sub_entry("octest/item", oct::record_cb, 1, 1)});
    ASSERT_EQ(0, daemon.init());
    ASSERT_TRUE(logs.wait_for("Initial config read not allowed (curr priority:0, mod priority:2)")) << logs.dump();

    ASSERT_EQ("", op.commit({{1, "/octest/item{y}/value", "8"}}));
    EXPECT_EQ(0u, g_recorder.count(k_item)) << g_recorder.dump();

    auto set_bits = [](uint32_t bits) {
        oct::OperSession s;
        confd_value_t v;
        CONFD_SET_BIT32(&v, bits);
        return s.ok() && cdb_set_elem(s.fd(), &v, "%s", OCONFD_INITIAL_READ_PATH) == CONFD_OK;
    };
    ASSERT_TRUE(set_bits(0x02));
    ASSERT_TRUE(logs.wait_for("Initial config read not allowed (curr priority:2, mod priority:2)")) << logs.dump();
    EXPECT_EQ(0u, g_recorder.count(k_item));

    ASSERT_TRUE(set_bits(0x03));
    ASSERT_TRUE(g_recorder.wait_for("octest/item op=1 keys=[x] vals=[value=7]")) << logs.dump();
    ASSERT_TRUE(g_recorder.wait_for("octest/item op=1 keys=[y] vals=[value=8]"));
    ASSERT_TRUE(oct::wait_until([] {
        oct::OperSession s;
        return s.get_u32(OCONFD_INITIAL_READ_PATH) == 0x07;
    }));
    EXPECT_TRUE(logs.wait_for("Set oconfd-initial-read-priority to 7"));
    oconfd_debug_disable();
}
