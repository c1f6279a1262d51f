// The notification throttler, driven through the module against a real
// agent: the agent's replay of its "ostrana" and "snmp" streams shows what
// left the throttler, and in which order.
#include <numeric>
#include <regex>

#include "oconfd_daemon_harness.h"
#include "oconfd_notif.h"

namespace {

using oct::Notification;

// The seq leaf of each replayed notification, in replay order.
std::vector<int> seqs(const std::vector<std::string> &lines)
{
    static const std::regex seq(R"("(?:[a-z-]+:)?seq"\s*:\s*"?(\d+))");
    std::vector<int> out;
    for (const auto &l : lines) {
        std::smatch m;
        out.push_back(std::regex_search(l, m, seq) ? std::stoi(m[1]) : -1);
    }
    return out;
}

bool move_agent_to_phase2()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    socklen_t len = confd_agent_addr(&sin);
    bool ok = maapi_connect(fd, reinterpret_cast<sockaddr *>(&sin), static_cast<int>(len)) == CONFD_OK &&
              maapi_start_phase(fd, 1, 1) == CONFD_OK && maapi_start_phase(fd, 2, 1) == CONFD_OK;
    maapi_close(fd);
    return ok;
}

}  // namespace

// Below start phase 2 a notification is dropped; malformed ones are
// refused by a running throttler; while the connection is reset the queues
// fill to their limits (100 critical, 50 major, 50 minor) and refuse the
// next one with -2; a free drops what is queued and a terminated throttler
// queues nothing.
TEST(OconfdThrottler, PhaseGateLimitsAndFree)
{
    oct::Logs logs;
    oct::Agent agent({"--start-phase0"});
    ASSERT_TRUE(agent.start());
    oct::Loop loop;
    oct::Daemon daemon(loop, 0, {});
    ASSERT_EQ(0, daemon.init());

    Notification early(1, 0);
    EXPECT_EQ(0, loop.run([&] { return oconfd_event_send_notification(daemon.ctx(), early.tv, 5); }));
    EXPECT_EQ(1u, logs.count("Confd in phase 0, not sending notification")) << logs.dump();

    ASSERT_TRUE(move_agent_to_phase2());
    ASSERT_TRUE(oct::wait_until([&] { return daemon.phase() == 2; })) << logs.dump();

    confd_tag_value_t many[20];
    for (auto &tv : many) {
        CONFD_SET_TAG_ENUM_VALUE(&tv, oct::k_tag_severity, 1);
    }
    Notification no_enum(1, 0);
    CONFD_SET_TAG_UINT32(&no_enum.tv[1], oct::k_tag_seq, 7);
    EXPECT_EQ(1, loop.run([&] { return oconfd_event_send_notification(daemon.ctx(), many, 20); }));
    EXPECT_EQ(1, loop.run([&] { return oconfd_event_send_notification(daemon.ctx(), no_enum.tv, 5); }));

    loop.run([&] {
        oconfd_notification_throttler_connection_reset();
        EXPECT_EQ(OCONFD_THROTTLER_RESET, oconfd_notification_throttler_state());
        const std::pair<int, int> limits[] = {{1, 100}, {2, 50}, {3, 50}};
        for (auto [severity, limit] : limits) {
            for (int i = 0; i < limit; ++i) {
                Notification n(severity, static_cast<uint32_t>(i));
                ASSERT_EQ(0, oconfd_enqueue_notification(n.tv, 5)) << severity << " " << i;
            }
            Notification over(severity, 999);
            EXPECT_EQ(OCONFD_NOTIF_DROPPED, oconfd_enqueue_notification(over.tv, 5)) << severity;
        }
    });
    daemon.free();
    for (int q = 0; q < 3; ++q) {
        EXPECT_EQ(1u, logs.count("Pending notifications from queue " + std::to_string(q) + " are being dropped"));
    }
    EXPECT_EQ(OCONFD_THROTTLER_TERMINATED, oconfd_notification_throttler_state());
    Notification late(1, 0);
    EXPECT_EQ(OCONFD_NOTIF_NOT_QUEUED, oconfd_enqueue_notification(late.tv, 5));
    // Only a running throttler looks at the severity.
    EXPECT_EQ(OCONFD_NOTIF_NOT_QUEUED, oconfd_enqueue_notification(no_enum.tv, 5));

    oct::Operator op;
    ASSERT_TRUE(op.ok());
    EXPECT_TRUE(op.notifications("ostrana").empty());
}

// Items queued while the connection is reset stay, and leave after the next
// init: all criticals first in their order, then the major, then the minor.
// Each leaves with its syslog line, and the criticals also as traps to the
// one trap group that takes bfd traps at critical level.
TEST(OconfdThrottler, ResetKeepsItemsThatLeaveBySeverityAfterInit)
{
    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    oct::Loop loop;
    oct::Daemon daemon(loop, 0, {});
    ASSERT_EQ(0, daemon.init());
    ASSERT_TRUE(oct::wait_until([&] { return daemon.phase() == 2; })) << logs.dump();
    ASSERT_TRUE(logs.wait_for("Subscribed for snmp ")) << logs.dump();

    oct::Operator op;
    ASSERT_TRUE(op.ok());
    ASSERT_EQ("", op.commit({{1, "/snmp/trap/group{g1}/enable{bfd}/level", "critical"}}));
    ASSERT_TRUE(logs.wait_for("SNMP traps enabled")) << logs.dump();

    loop.run([&] {
        oconfd_notification_throttler_connection_reset();
        Notification minor(3, 1);
        Notification major(2, 2);
        EXPECT_EQ(0, oconfd_enqueue_notification(minor.tv, 5));
        EXPECT_EQ(0, oconfd_enqueue_notification(major.tv, 5));
        for (uint32_t seq = 3; seq <= 12; ++seq) {
            Notification critical(1, seq);
            EXPECT_EQ(0, oconfd_enqueue_notification(critical.tv, 5));
        }
        oconfd_notification_throttler_init(daemon.ctx());
    });
    ASSERT_TRUE(oct::wait_until([&] { return op.notifications("ostrana").size() >= 12; })) << logs.dump();
    EXPECT_EQ((std::vector<int>{3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 2, 1}), seqs(op.notifications("ostrana")));

    char host[32] = {};
    ASSERT_EQ(0, gethostname(host, sizeof(host) - 1));
    std::string head = std::string("%Ostrana-") + host + "-unknown-6-INFO-1400002: Notification: ";
    std::vector<std::string> lines = logs.at(LOG_LOCAL7 | LOG_INFO, "Notification: ");
    ASSERT_EQ(12u, lines.size()) << logs.dump();
    EXPECT_EQ(head + "bfd-state-change severity-level:critical seq:3 text:hello ", lines[0]);
    EXPECT_EQ(head + "bfd-state-change severity-level:minor seq:1 text:hello ", lines[11]);

    ASSERT_TRUE(oct::wait_until([&] { return op.notifications("snmp").size() >= 10; }));
    std::vector<std::string> traps = op.notifications("snmp");
    EXPECT_EQ(10u, traps.size());
    for (const auto &t : traps) {
        EXPECT_NE(std::string::npos, t.find("ostranaBfdStateChange")) << t;
        EXPECT_NE(std::string::npos, t.find("g1")) << t;
    }
}

// The agent going away while the throttler sends: the reset waits for the
// send in progress, what is still queued stays, and after the module joins
// the restarted agent the rest leaves; every item leaves once, in order.
TEST(OconfdThrottler, AgentLossDuringSendsKeepsTheRest)
{
    oct::Logs logs;
    oct::Agent agent;
    ASSERT_TRUE(agent.start());
    oct::Loop loop;
    oct::Daemon daemon(loop, 0, {});
    ASSERT_EQ(0, daemon.init());
    ASSERT_TRUE(oct::wait_until([&] { return daemon.phase() == 2; })) << logs.dump();

    constexpr int k_count = 15;
    loop.run([&] {
        for (int i = 0; i < k_count; ++i) {
            Notification n(3, static_cast<uint32_t>(i));
            ASSERT_EQ(0, oconfd_event_send_notification(daemon.ctx(), n.tv, 5));
        }
    });
    ASSERT_TRUE(logs.wait_for("Notification: bfd-state-change", 3)) << logs.dump();
    agent.kill();
    ASSERT_TRUE(logs.wait_for("socket closed")) << logs.dump();
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(logs.wait_for("Notification: bfd-state-change", k_count)) << logs.dump();

    std::vector<int> order;
    static const std::regex seq(R"( seq:(\d+) )");
    for (const auto &line : logs.at(LOG_LOCAL7 | LOG_INFO, "Notification: ")) {
        std::smatch m;
        order.push_back(std::regex_search(line, m, seq) ? std::stoi(m[1]) : -1);
    }
    std::vector<int> expected(k_count);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(expected, order);
}
