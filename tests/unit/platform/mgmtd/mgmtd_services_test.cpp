// The agent's services to daemons and operators through raw connections:
// commands with streamed output and actions, notifications to followers
// and notification sockets, the schema, registrations that clash or go
// with their daemon, operational subscriptions and triggers.
#include <gtest/gtest.h>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "mgmtd_client.h"

namespace {

using mt::client;
using mt::frame;

bool reg(client &control, mgmt_op op, const std::string &name, int expect_op = MGMT_OP_REPLY)
{
    mgmt_wire::writer w = control.req(op);
    w.str(name);
    if (op == MGMT_OP_REG_DATA_CB || op == MGMT_OP_REG_ACTION) {
        w.i64(3);
    }
    return control.request(w).op == expect_op;
}

bool reg_done(client &control)
{
    mgmt_wire::writer w = control.req(MGMT_OP_REG_DONE);
    return control.request(w).op == MGMT_OP_REPLY;
}

TEST(MgmtdServices, CommandsStreamTheirOutputAndActionsReturnResults)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    client control;
    ASSERT_TRUE(control.connect(agent.port(), MGMT_CONN_CONTROL, "zord"));
    ASSERT_TRUE(reg(control, MGMT_OP_REG_ACTION, "zor-show"));
    ASSERT_TRUE(reg(control, MGMT_OP_REG_STREAM, "ostrana"));
    ASSERT_TRUE(reg_done(control));
    client worker;
    ASSERT_TRUE(worker.connect(agent.port(), MGMT_CONN_WORKER, "zord", control.id()));
    client maapi;
    ASSERT_TRUE(maapi.connect(agent.port(), MGMT_CONN_MAAPI, "zord"));
    client cli;
    ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));

    // A second daemon may share the stream, not the action point.
    client rival;
    ASSERT_TRUE(rival.connect(agent.port(), MGMT_CONN_CONTROL, "rival"));
    EXPECT_TRUE(reg(rival, MGMT_OP_REG_STREAM, "ostrana"));
    mgmt_wire::writer taken = rival.req(MGMT_OP_REG_ACTION);
    taken.str("zor-show").i64(2);
    frame clash = rival.request(taken);
    EXPECT_EQ(clash.code(), CONFD_ERR_ALREADY_EXISTS);
    EXPECT_NE(clash.text().find("zord"), std::string::npos) << clash.text();

    mgmt_wire::writer cmd = cli.req(MGMT_OP_CLI_COMMAND);
    cmd.str("zor-show").list(2).str("show").str("tlocs");
    cli.send(cmd.finish());
    const uint32_t cmd_xid = cli.last_xid();
    std::optional<frame> init = control.read();
    ASSERT_TRUE(init && init->op == MGMT_OP_ACTION_INIT);
    int64_t usid = 0;
    mgmt_wire::reader ir = init->fields();
    ir.i64(usid);
    EXPECT_EQ(usid, cli.id());
    mgmt_wire::writer bound(MGMT_OP_REPLY, init->xid);
    bound.i64(worker.id());
    control.send(bound.finish());
    std::optional<frame> run = worker.read();
    ASSERT_TRUE(run && run->op == MGMT_OP_ACTION_COMMAND);
    for (const char *line : {"first line\n", "second line\n"}) {
        mgmt_wire::writer out = maapi.req(MGMT_OP_MAAPI_CLI_WRITE);
        out.i64(usid).bytes(line);
        ASSERT_EQ(maapi.request(out).op, MGMT_OP_REPLY);
    }
    mgmt_wire::writer ok(MGMT_OP_REPLY, run->xid);
    worker.send(ok.finish());
    EXPECT_EQ(cli.reply_to(cmd_xid).op, MGMT_OP_REPLY);
    ASSERT_EQ(cli.pushes().size(), 2u);
    for (const frame &p : cli.pushes()) {
        EXPECT_EQ(p.op, MGMT_OP_CLI_OUTPUT);
        EXPECT_EQ(p.xid, cmd_xid);
    }
    EXPECT_NE(cli.pushes()[1].str().find("second"), std::string::npos);

    // An action whose callback fails shows the daemon's text.
    mgmt_wire::writer act = cli.req(MGMT_OP_CLI_ACTION);
    act.str("zor-show").list(1).list(2).str("what").str("paths");
    cli.send(act.finish());
    const uint32_t act_xid = cli.last_xid();
    init = control.read();
    ASSERT_TRUE(init && init->op == MGMT_OP_ACTION_INIT);
    mgmt_wire::writer bound2(MGMT_OP_REPLY, init->xid);
    bound2.i64(worker.id());
    control.send(bound2.finish());
    run = worker.read();
    ASSERT_TRUE(run && run->op == MGMT_OP_ACTION_RUN);
    mgmt_wire::writer failed(MGMT_OP_ERROR, run->xid);
    failed.i64(CONFD_ERR_EXTERNAL).str("no such path set");
    worker.send(failed.finish());
    frame shown = cli.reply_to(act_xid);
    EXPECT_EQ(shown.code(), CONFD_ERR_EXTERNAL);
    EXPECT_EQ(shown.text(), "no such path set");

    mgmt_wire::writer none = cli.req(MGMT_OP_CLI_COMMAND);
    none.str("nobody").list(0);
    frame unserved = cli.request(none);
    EXPECT_EQ(unserved.code(), CONFD_ERR_UNAVAILABLE);
    EXPECT_EQ(unserved.text(), "no daemon serves nobody");

    // The daemon goes: its action point goes with it, its worker is closed.
    control.close_now();
    EXPECT_TRUE(worker.wait_closed());
    mgmt_wire::writer after = cli.req(MGMT_OP_CLI_COMMAND);
    after.str("zor-show").list(0);
    EXPECT_EQ(cli.request(after).code(), CONFD_ERR_UNAVAILABLE);
    mgmt_wire::writer gone = maapi.req(MGMT_OP_MAAPI_CLI_WRITE);
    gone.i64(9999).bytes("x");
    EXPECT_EQ(maapi.request(gone).code(), CONFD_ERR_NOSESSION);
}

TEST(MgmtdServices, NotificationsReachFollowersAndNotificationSockets)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    client control;
    ASSERT_TRUE(control.connect(agent.port(), MGMT_CONN_CONTROL, "zord"));
    ASSERT_TRUE(reg_done(control));
    client worker;
    ASSERT_TRUE(worker.connect(agent.port(), MGMT_CONN_WORKER, "zord", control.id()));
    client events;
    ASSERT_TRUE(events.connect(agent.port(), MGMT_CONN_NOTIFICATION, "listener"));
    mgmt_wire::writer sub = events.req(MGMT_OP_NOTIF_SUBSCRIBE);
    sub.i64(CONFD_NOTIF_STREAM_EVENT | CONFD_NOTIF_COMMIT_SIMPLE);
    ASSERT_EQ(events.request(sub).op, MGMT_OP_REPLY);
    client follower;
    ASSERT_TRUE(follower.connect(agent.port(), MGMT_CONN_CLI, "admin"));
    mgmt_wire::writer follow = follower.req(MGMT_OP_CLI_NOTIFS);
    follow.str("ostrana").i64(1);
    follower.send(follow.finish());
    const uint32_t follow_xid = follower.last_xid();

    confd_datetime when{2026, 12, 7, 10, 11, 12, 0, 0, 0};
    confd_value_t t{};
    t.type = C_DATETIME;
    t.val.datetime = when;
    confd_tag_value_t tv[3] = {};
    CONFD_SET_TAG_XMLBEGIN(&tv[0], mgmt_name_hash("tloc-down"), 0);
    CONFD_SET_TAG_STR(&tv[1], mgmt_name_hash("label"), "edge9");
    CONFD_SET_TAG_XMLEND(&tv[2], mgmt_name_hash("tloc-down"), 0);
    mgmt_wire::writer n(MGMT_OP_NOTIF_SEND, 0);
    n.str("ostrana").value(t).tag_values(tv, 3);
    worker.send(n.finish());
    mgmt_wire::writer trap(MGMT_OP_SNMP_SEND, 0);
    trap.str("traps").str("linkDown").list(1).list(2).str("ifIndex");
    confd_value_t idx{};
    CONFD_SET_UINT32(&idx, 4);
    trap.value(idx);
    worker.send(trap.finish());

    std::optional<frame> line = follower.read();
    ASSERT_TRUE(line && line->op == MGMT_OP_CLI_NOTIF);
    EXPECT_EQ(line->xid, follow_xid);
    EXPECT_NE(line->str().find("\"label\":\"edge9\""), std::string::npos) << line->str();
    EXPECT_NE(line->str().find("2026-12-07T10:11:12"), std::string::npos) << line->str();
    EXPECT_FALSE(follower.read(150).has_value());  // the trap is on stream snmp
    for (const char *stream : {"ostrana", "snmp"}) {
        std::optional<frame> ev = events.read();
        ASSERT_TRUE(ev && ev->op == MGMT_OP_NOTIF_EVENT);
        mgmt_wire::reader r = ev->fields();
        int64_t type = 0;
        std::string name;
        ASSERT_TRUE(r.i64(type) && r.str(name));
        EXPECT_EQ(type, CONFD_NOTIF_STREAM_EVENT);
        EXPECT_EQ(name, stream);
    }

    // Both are replayed to a later reader; a commit raises its event.
    client reader;
    ASSERT_TRUE(reader.connect(agent.port(), MGMT_CONN_CLI, "admin"));
    mgmt_wire::writer replay = reader.req(MGMT_OP_CLI_NOTIFS);
    replay.str("").i64(0);
    EXPECT_EQ(reader.request(replay).op, MGMT_OP_REPLY);
    ASSERT_EQ(reader.pushes().size(), 2u);
    EXPECT_NE(reader.pushes()[1].str().find("\"varbinds\":{\"ifIndex\":\"4\"}"), std::string::npos)
        << reader.pushes()[1].str();
    ASSERT_EQ(mt::commit(reader, {{MGMT_EDIT_SET, "/system/personality", "steward"}}).op, MGMT_OP_REPLY);
    std::optional<frame> commit = events.read();
    ASSERT_TRUE(commit && commit->op == MGMT_OP_NOTIF_EVENT);
    mgmt_wire::reader cr = commit->fields();
    int64_t type = 0;
    int64_t db = 0;
    int64_t usid = 0;
    ASSERT_TRUE(cr.i64(type) && cr.i64(db) && cr.i64(usid));
    EXPECT_EQ(type, CONFD_NOTIF_COMMIT_SIMPLE);
    EXPECT_EQ(usid, reader.id());
}

TEST(MgmtdServices, SchemaOperationalSubscriptionsAndTriggers)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    client maapi;
    ASSERT_TRUE(maapi.connect(agent.port(), MGMT_CONN_MAAPI, "zord"));
    mgmt_wire::writer sg = maapi.req(MGMT_OP_SCHEMA_GET);
    sg.list(1).i64(0x5840b9be);
    frame schema = maapi.request(sg);
    ASSERT_EQ(schema.op, MGMT_OP_REPLY);
    {
        mgmt_wire::reader r = schema.fields();
        uint32_t nns = 0;
        uint32_t parts = 0;
        int64_t hash = 0;
        std::string uri;
        ASSERT_TRUE(r.list(nns) && r.list(parts) && r.i64(hash) && r.str(uri));
        EXPECT_EQ(nns, 1u);
        EXPECT_EQ(hash, 0x5840b9be);
        std::string prefix;
        std::string module;
        std::string revision;
        ASSERT_TRUE(r.str(prefix) && r.str(module) && r.str(revision));
        uint32_t nodes = 0;
        ASSERT_TRUE(r.list(nodes));
        bool saw_personality = false;
        for (uint32_t i = 0; i < nodes; i++) {
            int64_t tag = 0, ns = 0, parent = 0, flags = 0, vtype = 0, min = 0, max = 0;
            std::string name, cp, type_name;
            uint32_t keys = 0, enums = 0;
            ASSERT_TRUE(r.list(parts) && r.i64(tag) && r.i64(ns) && r.i64(parent) && r.i64(flags) && r.i64(vtype) &&
                        r.str(name) && r.str(cp) && r.list(keys));
            for (uint32_t k = 0; k < keys; k++) {
                ASSERT_TRUE(r.skip());
            }
            ASSERT_TRUE(r.list(enums));
            std::vector<std::string> labels;
            for (uint32_t k = 0; k < enums; k++) {
                std::string label;
                int64_t value = 0;
                ASSERT_TRUE(r.list(parts) && r.str(label) && r.i64(value));
                labels.push_back(label + "=" + std::to_string(value));
            }
            ASSERT_TRUE(r.str(type_name) && r.i64(min) && r.i64(max));
            if (name == "personality") {
                saw_personality = true;
                EXPECT_EQ(tag, 0x67f87854);
                EXPECT_EQ(vtype, C_ENUM_VALUE);
                EXPECT_EQ(labels, (std::vector<std::string>{"brink=1", "solon=2", "steward=3"}));
            }
            if (name == "oconfd-initial-read-priority") {
                EXPECT_EQ(vtype, C_BIT32);
                EXPECT_NE(flags & CS_NODE_CONFIG_FALSE, 0);
            }
        }
        EXPECT_TRUE(saw_personality);
    }

    // An operational subscriber hears of writes under its path, and a
    // trigger delivers what is there as created.
    client subs;
    ASSERT_TRUE(subs.connect(agent.port(), MGMT_CONN_SUBSCRIPTION, "zord"));
    mgmt_wire::writer s = subs.req(MGMT_OP_SUB_SUBSCRIBE);
    s.i64(CDB_SUB_OPERATIONAL).i64(0).i64(0).i64(0).str("/debugs/zor");
    frame point_reply = subs.request(s);
    int64_t point = 0;
    mgmt_wire::reader pr = point_reply.fields();
    ASSERT_TRUE(pr.i64(point));
    mgmt_wire::writer sd = subs.req(MGMT_OP_SUB_DONE);
    ASSERT_EQ(subs.request(sd).op, MGMT_OP_REPLY);
    client cdb;
    ASSERT_TRUE(cdb.connect(agent.port(), MGMT_CONN_CDB_DATA, "zord"));
    mgmt_wire::writer st = cdb.req(MGMT_OP_CDB_START_SESSION);
    st.i64(CDB_OPERATIONAL).i64(0);
    ASSERT_EQ(cdb.request(st).op, MGMT_OP_REPLY);
    mgmt_wire::writer create = cdb.req(MGMT_OP_CDB_CREATE);
    create.str("/debugs/zor/events");
    ASSERT_EQ(cdb.request(create).op, MGMT_OP_REPLY);

    auto expect_events_created = [&](int want_flags) {
        std::optional<frame> n = subs.read();
        ASSERT_TRUE(n && n->op == MGMT_OP_SUB_NOTIFY);
        mgmt_wire::reader r = n->fields();
        int64_t type = 0;
        int64_t flags = 0;
        ASSERT_TRUE(r.i64(type) && r.i64(flags));
        EXPECT_EQ(type, CDB_SUB_OPER);
        EXPECT_EQ(flags & CDB_SUB_FLAG_TRIGGER, want_flags);
        mgmt_wire::writer m = subs.req(MGMT_OP_SUB_GET_MODS);
        m.i64(point).i64(0).str("");
        frame mods = subs.request(m);
        confd_tag_value_t *tv = nullptr;
        int count = 0;
        mgmt_wire::reader mr = mods.fields();
        ASSERT_TRUE(mr.tag_values(&tv, &count));
        ASSERT_EQ(count, 2);  // events opened and closed: a presence container created
        EXPECT_EQ(tv[0].v.type, C_XMLBEGIN);
        EXPECT_EQ(tv[0].tag.tag, mgmt_name_hash("events"));
        EXPECT_EQ(tv[1].v.type, C_XMLEND);
        mgmt_wire::free_tag_values(tv, count);
        mgmt_wire::writer sync = subs.req(MGMT_OP_SUB_SYNC);
        sync.i64(CDB_DONE_OPERATIONAL);
        ASSERT_EQ(subs.request(sync).op, MGMT_OP_REPLY);
    };
    expect_events_created(0);

    mgmt_wire::writer trig = cdb.req(MGMT_OP_CDB_TRIGGER);
    trig.i64(1).i64(0).list(0);
    cdb.send(trig.finish());
    const uint32_t trig_xid = cdb.last_xid();
    expect_events_created(CDB_SUB_FLAG_TRIGGER);
    EXPECT_EQ(cdb.reply_to(trig_xid).op, MGMT_OP_REPLY);

    mgmt_wire::writer bad = cdb.req(MGMT_OP_CDB_TRIGGER);
    bad.i64(0).i64(0).list(1).i64(777);
    EXPECT_EQ(cdb.request(bad).code(), CONFD_ERR_BADSTATE);
}

}  // namespace
