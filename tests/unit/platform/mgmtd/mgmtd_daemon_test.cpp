// The agent against raw daemons that speak the wire protocol by hand:
// commit notifications in priority order with a two-phase refusal and a
// subscriber that never syncs, and operational reads over callpoints from
// a daemon that answers and from one that does not.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "mgmtd_client.h"

namespace {

using mt::client;
using mt::frame;

constexpr uint32_t k_system_ns = 0x5840b9be;
constexpr uint32_t k_personality = 0x67f87854;

int subscribe(client &c, int type, int prio, uint32_t ns, const std::string &path)
{
    mgmt_wire::writer w = c.req(MGMT_OP_SUB_SUBSCRIBE);
    w.i64(type).i64(0).i64(prio).i64(ns).str(path);
    frame r = c.request(w);
    EXPECT_EQ(r.op, MGMT_OP_REPLY) << r.text();
    int64_t point = -1;
    mgmt_wire::reader rr = r.fields();
    rr.i64(point);
    return static_cast<int>(point);
}

void done(client &c, mgmt_op op)
{
    mgmt_wire::writer w = c.req(op);
    if (op == MGMT_OP_SUB_SYNC) {
        w.i64(CDB_DONE_PRIORITY);
    }
    EXPECT_EQ(c.request(w).op, MGMT_OP_REPLY);
}

// The type and points of the next notification on a subscription socket.
std::pair<int64_t, std::vector<int64_t>> notification(client &c, int timeout_ms = 5000)
{
    std::optional<frame> f = c.read(timeout_ms);
    if (!f || f->op != MGMT_OP_SUB_NOTIFY) {
        return {-1, {}};
    }
    mgmt_wire::reader r = f->fields();
    int64_t type = 0;
    int64_t flags = 0;
    uint32_t n = 0;
    r.i64(type);
    r.i64(flags);
    r.list(n);
    std::vector<int64_t> points(n);
    for (auto &p : points) {
        r.i64(p);
    }
    return {type, points};
}

TEST(MgmtdDaemons, CommitNotifiesByPriorityAndATwoPhaseRefusalAbortsIt)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    client cli;
    client sys;
    client traps;
    ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));
    ASSERT_TRUE(sys.connect(agent.port(), MGMT_CONN_SUBSCRIPTION, "setkeeper"));
    ASSERT_TRUE(traps.connect(agent.port(), MGMT_CONN_SUBSCRIPTION, "snmpd"));
    const int p_sys = subscribe(sys, CDB_SUB_RUNNING, 1, k_system_ns, "system");
    const int p_traps = subscribe(traps, CDB_SUB_RUNNING_TWOPHASE, 2, 0, "/snmp/trap/group/enable");
    done(sys, MGMT_OP_SUB_DONE);
    done(traps, MGMT_OP_SUB_DONE);

    mgmt_wire::writer w = cli.req(MGMT_OP_CLI_COMMIT);
    w.list(3);
    w.list(3).i64(MGMT_EDIT_SET).str("/system/personality").str("brink");
    w.list(3).i64(MGMT_EDIT_CREATE).str("/snmp/trap/group{g1}/enable{all}").str("");
    w.list(3).i64(MGMT_EDIT_SET).str("/snmp/trap/group{g1}/enable{all}/level").str("critical");
    cli.send(w.finish());
    const uint32_t commit_xid = cli.last_xid();

    // Prepare goes to the two-phase subscriber only.
    auto [type, points] = notification(traps);
    ASSERT_EQ(type, CDB_SUB_PREPARE);
    EXPECT_EQ(points, std::vector<int64_t>{p_traps});
    EXPECT_FALSE(sys.read(150).has_value());
    mgmt_wire::writer d = traps.req(MGMT_OP_SUB_DIFF);
    d.i64(p_traps).i64(0);
    frame diff = traps.request(d);
    ASSERT_EQ(diff.op, MGMT_OP_REPLY) << diff.text();
    mgmt_wire::reader dr = diff.fields();
    uint32_t nodes = 0;
    uint32_t parts = 0;
    confd_hkeypath_t kp;
    int64_t op = 0;
    ASSERT_TRUE(dr.list(nodes) && dr.list(parts) && dr.keypath(kp) && dr.i64(op));
    EXPECT_EQ(nodes, 1u);
    EXPECT_EQ(op, MOP_CREATED);
    ASSERT_EQ(kp.len, 6);  // snmp trap group {g1} enable {all}
    EXPECT_EQ(kp.v[0][0].type, C_ENUM_VALUE);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(kp.v[2][0].val.buf.ptr)), "g1");
    EXPECT_EQ(kp.v[1][0].val.xmltag.tag, mgmt_name_hash("enable"));
    mgmt_wire::free_keypath(kp);
    done(traps, MGMT_OP_SUB_SYNC);

    // Commit: priority 1 is synchronised before priority 2 hears of it.
    std::tie(type, points) = notification(sys);
    ASSERT_EQ(type, CDB_SUB_COMMIT);
    EXPECT_EQ(points, std::vector<int64_t>{p_sys});
    EXPECT_FALSE(traps.read(150).has_value());
    mgmt_wire::writer m = sys.req(MGMT_OP_SUB_GET_MODS);
    m.i64(p_sys).i64(0).str("");
    frame mods = sys.request(m);
    ASSERT_EQ(mods.op, MGMT_OP_REPLY) << mods.text();
    confd_tag_value_t *tv = nullptr;
    int n = 0;
    mgmt_wire::reader mr = mods.fields();
    ASSERT_TRUE(mr.tag_values(&tv, &n));
    ASSERT_EQ(n, 1);
    EXPECT_EQ(tv[0].tag.tag, k_personality);
    EXPECT_EQ(tv[0].v.type, C_ENUM_VALUE);
    EXPECT_EQ(tv[0].v.val.enumvalue, 1);
    mgmt_wire::free_tag_values(tv, n);
    done(sys, MGMT_OP_SUB_SYNC);
    std::tie(type, points) = notification(traps);
    ASSERT_EQ(type, CDB_SUB_COMMIT);
    EXPECT_FALSE(cli.read(150).has_value());  // the operator waits for the last subscriber
    done(traps, MGMT_OP_SUB_SYNC);
    EXPECT_EQ(cli.reply_to(commit_xid).op, MGMT_OP_REPLY);

    // A refusal at prepare: nothing is committed, the operator reads why.
    const std::string before = mt::get_config(cli).str();
    mgmt_wire::writer w2 = cli.req(MGMT_OP_CLI_COMMIT);
    w2.list(1).list(3).i64(MGMT_EDIT_SET).str("/snmp/trap/group{g1}/enable{all}/level").str("minor");
    cli.send(w2.finish());
    const uint32_t refused_xid = cli.last_xid();
    ASSERT_EQ(notification(traps).first, CDB_SUB_PREPARE);
    mgmt_wire::writer a = traps.req(MGMT_OP_SUB_ABORT);
    a.i64(CONFD_ERR_EXTERNAL).str("Unable to apply changes");
    ASSERT_EQ(traps.request(a).op, MGMT_OP_REPLY);
    frame refused = cli.reply_to(refused_xid);
    EXPECT_EQ(refused.code(), CONFD_ERR_ABORTED);
    EXPECT_EQ(refused.text(), "Unable to apply changes");
    EXPECT_EQ(mt::get_config(cli).str(), before);
    EXPECT_FALSE(sys.read(150).has_value());

    // A subscriber that never syncs is dropped and the commit goes on.
    frame dropped_commit = mt::commit(cli, {{MGMT_EDIT_SET, "/system/host-name", "edge7"}});
    EXPECT_EQ(notification(sys).first, CDB_SUB_COMMIT);
    EXPECT_EQ(dropped_commit.op, MGMT_OP_REPLY);
    EXPECT_TRUE(sys.wait_closed());
    EXPECT_NE(mt::get_config(cli).str().find("edge7"), std::string::npos);
}

// A daemon's control and worker connections with its callpoint registered.
struct raw_daemon {
    client control;
    client worker;
    bool join(int port, const std::string &name, const std::string &callpoint)
    {
        if (!control.connect(port, MGMT_CONN_CONTROL, name)) {
            return false;
        }
        mgmt_wire::writer r = control.req(MGMT_OP_REG_DATA_CB);
        r.str(callpoint).i64(MGMT_DATA_GET_OBJECT | MGMT_DATA_GET_NEXT_OBJECT | MGMT_DATA_FIND_NEXT_OBJECT);
        if (control.request(r).op != MGMT_OP_REPLY) {
            return false;
        }
        mgmt_wire::writer d = control.req(MGMT_OP_REG_DONE);
        return control.request(d).op == MGMT_OP_REPLY && worker.connect(port, MGMT_CONN_WORKER, name, control.id());
    }
    // The next request on c, which must be op.
    frame expect(client &c, mgmt_op op)
    {
        std::optional<frame> f = c.read();
        EXPECT_TRUE(f.has_value() && f->op == op) << "expected op " << int(op) << ", got " << (f ? int(f->op) : -1);
        return f.value_or(frame{});
    }
};

confd_tag_value_t tv_ip(const char *text)
{
    confd_tag_value_t tv{};
    tv.tag.tag = mgmt_name_hash("system-ip");
    if (inet_pton(AF_INET, text, &tv.v.val.ip) == 1) {
        tv.v.type = C_IPV4;
    } else {
        inet_pton(AF_INET6, text, &tv.v.val.ip6);
        tv.v.type = C_IPV6;
    }
    return tv;
}

confd_tag_value_t tv_enum(const char *name, int32_t v)
{
    confd_tag_value_t tv{};
    CONFD_SET_TAG_ENUM_VALUE(&tv, mgmt_name_hash(name), v);
    return tv;
}

TEST(MgmtdDaemons, OperationalReadsFollowTheDaemonsRepliesAndASilentDaemonTimesOut)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    raw_daemon zord;
    ASSERT_TRUE(zord.join(agent.port(), "zord", "zor-show-tlocs"));
    client cli;
    ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));

    mgmt_wire::writer q = cli.req(MGMT_OP_CLI_GET_OPER);
    q.str("/tlocs").i64(0);
    cli.send(q.finish());
    const uint32_t read_xid = cli.last_xid();

    frame init = zord.expect(zord.control, MGMT_OP_TRANS_INIT);
    int64_t th = 0;
    mgmt_wire::reader ir = init.fields();
    ir.i64(th);
    mgmt_wire::writer bound(MGMT_OP_REPLY, init.xid);
    bound.i64(zord.worker.id());
    zord.control.send(bound.finish());

    // First object with a next value, then two objects at once, the last
    // asking for a find-next on its keys, then the end.
    frame first = zord.expect(zord.worker, MGMT_OP_DATA_GET_NEXT_OBJECT);
    {
        mgmt_wire::reader r = first.fields();
        int64_t rth = 0;
        std::string cp;
        confd_hkeypath_t kp;
        int64_t next = 0;
        ASSERT_TRUE(r.i64(rth) && r.str(cp) && r.keypath(kp) && r.i64(next));
        EXPECT_EQ(rth, th);
        EXPECT_EQ(cp, "zor-show-tlocs");
        EXPECT_EQ(kp.len, 2);
        EXPECT_EQ(kp.v[0][0].val.xmltag.tag, mgmt_name_hash("tloc"));
        EXPECT_EQ(next, -1);
    }
    confd_tag_value_t t1[] = {tv_ip("10.0.0.1"), tv_enum("color", 10), tv_enum("encapsulation", 2)};
    mgmt_wire::writer r1(MGMT_OP_REPLY, first.xid);
    r1.i64(MGMT_DATA_NEXT_OBJECT).i64(3).i64(7).tag_values(t1, 3);
    zord.worker.send(r1.finish());

    frame second = zord.expect(zord.worker, MGMT_OP_DATA_GET_NEXT_OBJECT);
    {
        mgmt_wire::reader r = second.fields();
        int64_t rth = 0;
        std::string cp;
        confd_hkeypath_t kp;
        int64_t next = 0;
        ASSERT_TRUE(r.i64(rth) && r.str(cp) && r.keypath(kp) && r.i64(next));
        EXPECT_EQ(next, 7);
    }
    confd_tag_value_t t2[] = {tv_ip("10.0.0.2"), tv_enum("color", 4), tv_enum("encapsulation", 1)};
    confd_tag_value_t t3[] = {tv_ip("2001:db8::5"), tv_enum("color", 17), tv_enum("encapsulation", 2)};
    mgmt_wire::writer r2(MGMT_OP_REPLY, second.xid);
    r2.i64(MGMT_DATA_NEXT_OBJECTS).i64(0).list(2);
    r2.list(3).i64(3).i64(8).tag_values(t2, 3);
    r2.list(3).i64(3).i64(-1).tag_values(t3, 3);
    zord.worker.send(r2.finish());

    frame third = zord.expect(zord.worker, MGMT_OP_DATA_FIND_NEXT_OBJECT);
    {
        mgmt_wire::reader r = third.fields();
        int64_t rth = 0;
        std::string cp;
        confd_hkeypath_t kp;
        int64_t type = -1;
        uint32_t nkeys = 0;
        confd_value_t k0{};
        ASSERT_TRUE(r.i64(rth) && r.str(cp) && r.keypath(kp) && r.i64(type) && r.list(nkeys) && r.value(k0));
        EXPECT_EQ(type, 0);
        EXPECT_EQ(nkeys, 3u);
        EXPECT_EQ(k0.type, C_IPV6);
    }
    mgmt_wire::writer r3(MGMT_OP_REPLY, third.xid);
    r3.i64(MGMT_DATA_NOT_FOUND);
    zord.worker.send(r3.finish());

    frame fin = zord.expect(zord.worker, MGMT_OP_TRANS_FINISH);
    mgmt_wire::writer r4(MGMT_OP_REPLY, fin.xid);
    zord.worker.send(r4.finish());
    frame shown = cli.reply_to(read_xid);
    ASSERT_EQ(shown.op, MGMT_OP_REPLY) << shown.text();
    const std::string json = shown.str();
    for (const char *want : {"\"10.0.0.1\"", "\"blue\"", "\"ipsec\"", "\"10.0.0.2\"", "\"biz-internet\"", "\"gre\"",
                             "\"2001:db8::5\"", "\"private1\""}) {
        EXPECT_NE(json.find(want), std::string::npos) << want << " in " << json;
    }

    // A tenant instance that registered but never answers: the operator
    // gets a timeout, and the agent serves everyone meanwhile.
    raw_daemon tenant;
    ASSERT_TRUE(tenant.join(agent.port(), "zord-t7", "zor-show-tlocs-tenant7"));
    mgmt_wire::writer q2 = cli.req(MGMT_OP_CLI_GET_OPER);
    q2.str("/tenants/tenant{7}/tlocs").i64(MGMT_OPER_DEPTH_ONE);
    cli.send(q2.finish());
    const uint32_t silent_xid = cli.last_xid();
    tenant.expect(tenant.control, MGMT_OP_TRANS_INIT);
    client other;
    ASSERT_TRUE(other.connect(agent.port(), MGMT_CONN_CLI, "admin2"));
    mgmt_wire::writer st = other.req(MGMT_OP_CLI_STATUS);
    frame status = other.request(st);
    ASSERT_EQ(status.op, MGMT_OP_REPLY);
    EXPECT_NE(status.str().find("zor-show-tlocs-tenant7"), std::string::npos) << status.str();
    frame timed_out = cli.reply_to(silent_xid);
    EXPECT_EQ(timed_out.code(), CONFD_ERR_TIMEOUT);
    EXPECT_NE(timed_out.text().find("zord-t7"), std::string::npos) << timed_out.text();

    // A tenant without an instance shows an empty list; one whose
    // daemon goes mid-read fails at once.
    mgmt_wire::writer q3 = cli.req(MGMT_OP_CLI_GET_OPER);
    q3.str("/tenants/tenant{9}/tlocs").i64(0);
    EXPECT_EQ(cli.request(q3).op, MGMT_OP_REPLY);
    mgmt_wire::writer q4 = cli.req(MGMT_OP_CLI_GET_OPER);
    q4.str("/tenants/tenant{7}/tlocs").i64(0);
    cli.send(q4.finish());
    const uint32_t gone_xid = cli.last_xid();
    tenant.expect(tenant.control, MGMT_OP_TRANS_INIT);
    tenant.control.close_now();
    frame gone = cli.reply_to(gone_xid);
    EXPECT_EQ(gone.code(), CONFD_ERR_EXTERNAL);
    EXPECT_NE(gone.text().find("went away"), std::string::npos) << gone.text();
}

}  // namespace
