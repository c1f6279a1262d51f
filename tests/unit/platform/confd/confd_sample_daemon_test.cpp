// The sample daemon as a process against an in-test agent: its
// registrations and subscriptions, the lines it prints for a commit and a
// refused prepare, a command's output ordered before its completion, and a
// data listing.
#include <deque>
#include <gtest/gtest.h>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "fake_agent.h"
#include "test_support.h"

namespace {

const uint32_t NS = mgmt_name_hash("urn:ostrana:mgmt-sample");

struct sn {
    const char *name;
    int parent;
    int kind;
    confd_vtype vtype;
    std::vector<const char *> keys;
};
// The part of the sample module the test's diffs and listings touch.
const std::vector<sn> sample_nodes = {
    {"sample", -1, CS_NODE_IS_CONTAINER, C_NOEXISTS, {}},
    {"first", 0, CS_NODE_IS_LIST, C_NOEXISTS, {"name"}},
    {"name", 1, CS_NODE_IS_LEAF, C_STR, {}},
    {"value", 1, CS_NODE_IS_LEAF, C_UINT32, {}},
    {"forbidden", 0, CS_NODE_IS_LEAF, C_STR, {}},
    {"sample-state", -1, CS_NODE_IS_CONTAINER, C_NOEXISTS, {}},
    {"group", 5, CS_NODE_IS_LIST, C_NOEXISTS, {"gid"}},
    {"gid", 6, CS_NODE_IS_LEAF, C_UINT32, {}},
};

void schema(mgmt_wire::writer &w)
{
    w.list(1).list(5).i64(NS).str("urn:ostrana:mgmt-sample").str("ms").str("mgmt-sample").str("2026-12-07");
    w.list(static_cast<uint32_t>(sample_nodes.size()));
    for (const sn &n : sample_nodes) {
        w.list(12).i64(mgmt_name_hash(n.name)).i64(NS).i64(n.parent).i64(n.kind).i64(n.vtype).str(n.name).str("");
        w.list(static_cast<uint32_t>(n.keys.size()));
        for (const char *k : n.keys) {
            w.i64(mgmt_name_hash(k));
        }
        w.list(0).str("").i64(0).i64(-1);
    }
}

// A keypath of names and string keys, outermost first: {"sample", "first", "{a}", "value"}.
confd_hkeypath_t path(std::vector<std::string> elems)
{
    confd_hkeypath_t kp{};
    kp.len = static_cast<int>(elems.size());
    for (size_t i = 0; i < elems.size(); i++) {
        confd_value_t *e = kp.v[elems.size() - 1 - i];
        if (elems[i][0] == '{') {
            static std::deque<std::string> keep;  // key text outlives the writer
            keep.push_back(elems[i].substr(1, elems[i].size() - 2));
            CONFD_SET_STR(&e[0], keep.back().c_str());
            e[1].type = C_NOEXISTS;
        } else {
            CONFD_SET_XMLTAG(&e[0], mgmt_name_hash(elems[i]), NS);
        }
    }
    return kp;
}

void diff_node(mgmt_wire::writer &w, const confd_hkeypath_t &kp, int op, const confd_value_t *newv, uint32_t nchildren)
{
    w.list(6).keypath(kp).i64(op).nil();
    if (newv != nullptr) {
        w.value(*newv);
    } else {
        w.nil();
    }
    w.list(0).list(nchildren);
}

bool wait_line(zt::Process &p, const std::string &line)
{
    for (int i = 0; i < 250; i++) {
        if (p.out().find(line + "\n") != std::string::npos) {
            return true;
        }
        p.poll_output(20);
    }
    return false;
}

TEST(ConfdSampleDaemon, PrintsEventsAndAnswersTheAgent)
{
    fake_agent agent;
    std::mutex mu;
    std::vector<std::string> log;
    std::string cli;
    std::map<int64_t, std::string> points;  // point -> "prio path"
    auto wait_log = [&](size_t n) {
        for (int i = 0; i < 250; i++) {
            {
                std::lock_guard<std::mutex> g(mu);
                if (log.size() >= n) {
                    return;
                }
            }
            usleep(20000);
        }
    };
    auto note = [&](const std::string &s) {
        std::lock_guard<std::mutex> g(mu);
        log.push_back(s);
    };
    agent.on(MGMT_CONN_MAAPI, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        if (r.op() == MGMT_OP_SCHEMA_GET) {
            p.send(fake_agent::reply(r.xid(), schema));
            return true;
        }
        int64_t usid = 0;
        std::string text;
        if (r.op() == MGMT_OP_MAAPI_CLI_WRITE && r.i64(usid) && r.str(text)) {
            std::lock_guard<std::mutex> g(mu);
            cli += std::to_string(usid) + ":" + text;
            p.send(fake_agent::reply(r.xid()));
            return true;
        }
        return false;
    });
    agent.on(MGMT_CONN_CONTROL, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        if (r.op() < MGMT_OP_REG_TRANS || r.op() > MGMT_OP_REG_DONE) {
            return false;
        }
        std::string name;
        if (r.op() == MGMT_OP_REG_DATA_CB || r.op() == MGMT_OP_REG_ACTION) {
            r.str(name);
        }
        note("reg " + std::to_string(r.op()) + (name.empty() ? "" : " " + name));
        p.send(fake_agent::reply(r.xid()));
        return true;
    });
    // Once subscribed, the daemon asks for its configuration: none here.
    agent.on(MGMT_CONN_CDB_DATA, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        int64_t oper = -1, flags = 0;
        uint32_t n = 1;
        if (r.op() != MGMT_OP_CDB_TRIGGER || !r.i64(oper) || !r.i64(flags) || !r.list(n)) {
            return false;
        }
        note("trigger " + std::to_string(oper) + " " + std::to_string(n));
        p.send(fake_agent::reply(r.xid()));
        return true;
    });
    confd_value_t five{}, x{};
    CONFD_SET_UINT32(&five, 5);
    CONFD_SET_STR(&x, "x");
    agent.on(MGMT_CONN_SUBSCRIPTION, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        int64_t type = 0, flags = 0, prio = 0, ns = 0, point = 0;
        std::string text;
        switch (r.op()) {
        case MGMT_OP_SUB_SUBSCRIBE: {
            r.i64(type), r.i64(flags), r.i64(prio), r.i64(ns), r.str(text);
            std::lock_guard<std::mutex> g(mu);
            int64_t id = static_cast<int64_t>(points.size()) + 1;
            points[id] = std::to_string(type) + " " + std::to_string(prio) + " " + text +
                         (ns == NS ? "" : " wrong ns");
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) { w.i64(id); }));
            return true;
        }
        case MGMT_OP_SUB_DIFF:
            r.i64(point);
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) {
                if (point == 1 || point == 3) {  // a new list instance with its value
                    w.list(1);
                    diff_node(w, path({"sample", "first", "{a}"}), MOP_CREATED, nullptr, 1);
                    diff_node(w, path({"sample", "first", "{a}", "value"}), MOP_VALUE_SET, &five, 0);
                } else {
                    w.list(1);
                    diff_node(w, path({"sample", "forbidden"}), MOP_VALUE_SET, &x, 0);
                }
            }));
            return true;
        case MGMT_OP_SUB_SYNC:
        case MGMT_OP_SUB_DONE:
            note(r.op() == MGMT_OP_SUB_SYNC ? "sync" : "done");
            p.send(fake_agent::reply(r.xid()));
            return true;
        case MGMT_OP_SUB_ABORT:
            r.i64(type), r.str(text);
            note("abort " + std::to_string(type) + " " + text);
            p.send(fake_agent::reply(r.xid()));
            return true;
        default:
            return false;
        }
    });

    zt::Process d(zt::build_path("tools/mgmt-sample-daemon"), {"--name", "sample-t"},
                  {{MGMT_ENV_PORT, std::to_string(agent.port())}});
    ASSERT_TRUE(wait_line(d, "ready")) << d.out() << d.err();
    {
        std::lock_guard<std::mutex> g(mu);
        EXPECT_EQ(log, (std::vector<std::string>{"reg 16", "reg 19 sample-groups", "reg 19 sample-members",
                                                 "reg 20 sample-action", "reg 20 sample-show", "reg 23", "done",
                                                 "trigger 0 0"}));
        EXPECT_EQ(points, (std::map<int64_t, std::string>{{1, "1 1 /sample/first"},
                                                           {2, "1 2 /sample/second"},
                                                           {3, "1 3 /sample/first"},
                                                           {4, "2 0 /sample/forbidden"}}));
        log.clear();
    }
    fake_agent::peer *sub = agent.wait_peer(MGMT_CONN_SUBSCRIPTION);
    fake_agent::peer *ctl = agent.wait_peer(MGMT_CONN_CONTROL);
    fake_agent::peer *wrk = agent.wait_peer(MGMT_CONN_WORKER);
    ASSERT_TRUE(sub != nullptr && ctl != nullptr && wrk != nullptr);
    EXPECT_EQ(ctl->name, "sample-t");

    // A commit to priority 1 and the delete subscription; then a refused prepare.
    sub->send(mgmt_wire::writer(MGMT_OP_SUB_NOTIFY, 0).i64(CDB_SUB_COMMIT).i64(0).list(2).i64(1).i64(3).finish());
    ASSERT_TRUE(wait_line(d, "commit first: created /sample/first{a}; set /sample/first{a}/value=5")) << d.out();
    // The agent pushes the next notification once this one is synchronised.
    wait_log(1);
    sub->send(mgmt_wire::writer(MGMT_OP_SUB_NOTIFY, 0).i64(CDB_SUB_PREPARE).i64(0).list(1).i64(4).finish());
    ASSERT_TRUE(wait_line(d, "refused forbidden: Unable to apply changes")) << d.out();
    EXPECT_NE(d.out().find("prepare forbidden: set /sample/forbidden=x\n"), std::string::npos);
    // The delete subscription saw no deletion, so printed nothing.
    EXPECT_EQ(d.out().find("first-deletes"), std::string::npos);
    wait_log(2);
    {
        std::lock_guard<std::mutex> g(mu);
        EXPECT_EQ(log, (std::vector<std::string>{"sync", "abort 31 Unable to apply changes"}));
    }

    // A command: its output reached the agent before its completion.
    ctl->send(mgmt_wire::writer(MGMT_OP_ACTION_INIT, 5).i64(8).str("admin").str("cli").str("sample-show").finish());
    std::string init_body = ctl->next();
    mgmt_wire::reader init{std::string_view(init_body)};
    int64_t worker_id = 0;
    ASSERT_TRUE(init.op() == MGMT_OP_REPLY && init.i64(worker_id));
    EXPECT_EQ(worker_id, wrk->id);
    wrk->send(mgmt_wire::writer(MGMT_OP_ACTION_COMMAND, 6)
                  .i64(8).str("sample-show").str("sample-show").list(2).str("sample-show").str("--lines=2").finish());
    std::string done = wrk->next();
    EXPECT_EQ(mgmt_wire::reader{std::string_view(done)}.op(), MGMT_OP_REPLY);
    {
        std::lock_guard<std::mutex> g(mu);
        EXPECT_EQ(cli, "8:sample line 1 of 2\n8:sample line 2 of 2\n");
    }
    EXPECT_TRUE(wait_line(d, "command sample-show user=admin usid=8 args --lines=2"));

    // A listing of the groups in one reply.
    ctl->send(mgmt_wire::writer(MGMT_OP_TRANS_INIT, 7).i64(3).i64(8).str("admin").str("cli").finish());
    ASSERT_EQ(mgmt_wire::reader{std::string_view(ctl->next())}.op(), MGMT_OP_REPLY);
    wrk->send(mgmt_wire::writer(MGMT_OP_DATA_GET_NEXT_OBJECT, 8)
                  .i64(3).str("sample-groups").keypath(path({"sample-state", "group"})).i64(-1).finish());
    std::string list = wrk->next();
    mgmt_wire::reader lr{std::string_view(list)};
    int64_t kind = 0, timeout = 0;
    uint32_t nobj = 0;
    ASSERT_TRUE(lr.i64(kind) && lr.i64(timeout) && lr.list(nobj)) << d.out() << d.err();
    EXPECT_EQ(kind, MGMT_DATA_NEXT_OBJECTS);
    EXPECT_EQ(nobj, 4u);  // three groups and the end
    EXPECT_TRUE(wait_line(d, "get_next_object sample-groups /sample-state/group next=-1"));

    // The agent going away ends the daemon.
    agent.hang_up(ctl);
    ASSERT_TRUE(d.wait_exit());
    EXPECT_EQ(d.result().exit_code, 1);
    EXPECT_NE(d.err().find("the agent closed the connection"), std::string::npos);
}

}  // namespace
