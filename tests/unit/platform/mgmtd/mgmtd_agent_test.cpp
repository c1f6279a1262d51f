// The agent through its real socket: handshake and IPC secret, persistence
// across a restart and the refusal of a damaged database, validation,
// start phases, CDB locks and operational writes.
#include <gtest/gtest.h>

#include <fstream>

#include "confd_cdb.h"
#include "mgmtd_client.h"

namespace {

using mt::client;
using mt::frame;

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

TEST(MgmtdAgent, HandshakeProvesTheIpcSecretAndMalformedInputClosesOnlyItsConnection)
{
    zt::TempDir dir;
    write_file(dir.file("secret"), "s3cret\n");
    mt::agent_process agent(dir.file("db"), {"--ipc-secret", dir.file("secret")});

    client good;
    ASSERT_TRUE(good.connect(agent.port(), MGMT_CONN_CLI, "op", 0, std::string("s3cret\n")));
    EXPECT_GT(good.id(), 0);
    EXPECT_EQ(good.phase(), 2);

    for (std::optional<std::string> proof : {std::optional<std::string>("s3cret"), std::optional<std::string>()}) {
        client bad;
        EXPECT_FALSE(bad.connect(agent.port(), MGMT_CONN_CLI, "intruder", 0, proof));
        EXPECT_EQ(bad.hello_reply().op, MGMT_OP_ERROR);
        EXPECT_EQ(bad.hello_reply().code(), CONFD_ERR_ACCESS_DENIED);
        EXPECT_TRUE(bad.wait_closed());
    }

    // A worker of a daemon that does not exist, a length out of range, a
    // frame whose items do not parse: each closes its own connection.
    client worker;
    EXPECT_FALSE(worker.connect(agent.port(), MGMT_CONN_WORKER, "w", 4242, std::string("s3cret\n")));
    EXPECT_EQ(worker.hello_reply().code(), CONFD_ERR_BADSTATE);
    client huge;
    ASSERT_TRUE(huge.connect(agent.port(), MGMT_CONN_CDB_DATA, "d", 0, std::string("s3cret\n")));
    huge.send(std::string("\xff\xff\xff\xff\x40", 5));
    EXPECT_TRUE(huge.wait_closed());
    client garbled;
    ASSERT_TRUE(garbled.connect(agent.port(), MGMT_CONN_CDB_DATA, "d", 0, std::string("s3cret\n")));
    garbled.send(std::string("\0\0\0\x08\x42\0\0\0\x07\x02\0\0", 12));
    EXPECT_TRUE(garbled.wait_closed());

    mgmt_wire::writer w = good.req(MGMT_OP_CLI_STATUS);
    frame st = good.request(w);
    ASSERT_EQ(st.op, MGMT_OP_REPLY);
    EXPECT_NE(st.str().find("\"phase\":2"), std::string::npos) << st.str();
}

TEST(MgmtdAgent, ConfigurationSurvivesARestartAndADamagedFileStopsTheStart)
{
    zt::TempDir dir;
    const std::string db = dir.file("db");
    {
        mt::agent_process agent(db);
        client cli;
        ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));
        frame r = mt::commit(cli, {{MGMT_EDIT_SET, "/system/personality", "solon"},
                                   {MGMT_EDIT_SET, "/system/system-ip", "10.1.1.1"},
                                   {MGMT_EDIT_SET, "/sec:security/pairwise-keys", "true"},
                                   {MGMT_EDIT_CREATE, "/snmp/trap/group{g1}/enable{bfd}", ""},
                                   {MGMT_EDIT_SET, "/snmp/trap/group{g1}/enable{bfd}/level", "major"}});
        ASSERT_EQ(r.op, MGMT_OP_REPLY) << r.text();
        ASSERT_TRUE(agent.stop());
        EXPECT_EQ(agent.proc().result().exit_code, 0);
    }
    {
        mt::agent_process agent(db);
        client cli;
        ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));
        std::string json = mt::get_config(cli).str();
        EXPECT_NE(json.find("\"personality\": \"solon\""), std::string::npos) << json;
        EXPECT_NE(json.find("\"system-ip\": \"10.1.1.1\""), std::string::npos) << json;
        EXPECT_NE(json.find("\"pairwise-keys\": true"), std::string::npos) << json;
        std::string snmp = mt::get_config(cli, "/snmp/trap/group{g1}").str();
        EXPECT_NE(snmp.find("\"trap-type\": \"bfd\""), std::string::npos) << snmp;
        EXPECT_NE(snmp.find("\"major\""), std::string::npos) << snmp;
        ASSERT_TRUE(agent.stop());
    }
    for (const std::string &damage : {std::string("{\"system:system\": {\"personality\": "),
                                      std::string("{\"system:system\": {\"personality\": \"nobody\"}}")}) {
        write_file(db + "/running.json", damage);
        mt::agent_process agent(db);
        ASSERT_TRUE(agent.proc().wait_exit());
        EXPECT_EQ(agent.proc().result().exit_code, 1);
        std::vector<std::string> lines = zt::split_lines(agent.proc().err());
        ASSERT_EQ(lines.size(), 1u) << agent.proc().err();
        EXPECT_NE(lines[0].find(db + "/running.json"), std::string::npos) << lines[0];
        EXPECT_EQ(zt::read_file(db + "/running.json"), damage);
    }
}

TEST(MgmtdAgent, BadValuesAndPathsAreRefusedWithNothingApplied)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    client cli;
    ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));
    ASSERT_EQ(mt::commit(cli, {{MGMT_EDIT_SET, "/system/host-name", "edge1"}}).op, MGMT_OP_REPLY);
    const std::string before = mt::get_config(cli).str();

    struct refusal {
        std::vector<std::tuple<int, std::string, std::string>> edits;
        int code;
        std::string says;
    };
    const std::vector<refusal> cases = {
        {{{MGMT_EDIT_SET, "/system/host-name", "edge2"}, {MGMT_EDIT_SET, "/system/personality", "boss"}},
         CONFD_ERR_BADTYPE,
         "personality"},
        {{{MGMT_EDIT_SET, "/system/host-name", ""}}, CONFD_ERR_BADTYPE, "host-name"},
        {{{MGMT_EDIT_SET, "/system/system-ip", "10.0.0.300"}}, CONFD_ERR_BADTYPE, "system-ip"},
        {{{MGMT_EDIT_SET, "/system/no-such-leaf", "1"}}, CONFD_ERR_BADPATH, "no-such-leaf"},
        {{{MGMT_EDIT_CREATE, "/snmp/trap/group{g1 g2}", ""}}, CONFD_ERR_BADPATH, "1 key"},
        {{{MGMT_EDIT_DELETE, "/snmp/trap/group{nope}", ""}}, CONFD_ERR_NOEXISTS, "nope"},
        {{{MGMT_EDIT_SET, "/oconfd-initial-read-priority", "xfwd"}}, CONFD_ERR_NOT_WRITABLE, "operational"},
    };
    for (const refusal &c : cases) {
        frame r = mt::commit(cli, c.edits);
        ASSERT_EQ(r.op, MGMT_OP_ERROR) << c.says;
        EXPECT_EQ(r.code(), c.code) << r.text();
        EXPECT_NE(r.text().find(c.says), std::string::npos) << r.text();
        EXPECT_EQ(mt::get_config(cli).str(), before);
    }
    // A list instance that exists already.
    ASSERT_EQ(mt::commit(cli, {{MGMT_EDIT_CREATE, "/snmp/trap/group{g1}", ""}}).op, MGMT_OP_REPLY);
    frame again = mt::commit(cli, {{MGMT_EDIT_CREATE, "/snmp/trap/group{g1}", ""}});
    EXPECT_EQ(again.code(), CONFD_ERR_ALREADY_EXISTS);
}

TEST(MgmtdAgent, StartPhasesMoveOnlyForwardAndReleaseTheirWaiters)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"), {"--start-phase0"});
    client cli;
    ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));
    EXPECT_EQ(cli.phase(), 0);
    client maapi;
    ASSERT_TRUE(maapi.connect(agent.port(), MGMT_CONN_MAAPI, "daemon"));
    client cdb;
    ASSERT_TRUE(cdb.connect(agent.port(), MGMT_CONN_CDB_DATA, "daemon"));

    mgmt_wire::writer s = cdb.req(MGMT_OP_CDB_START_SESSION);
    s.i64(CDB_OPERATIONAL).i64(0);
    EXPECT_EQ(cdb.request(s).code(), CONFD_ERR_UNAVAILABLE);

    mgmt_wire::writer wait = maapi.req(MGMT_OP_MAAPI_WAIT_START);
    wait.i64(2);
    maapi.send(wait.finish());
    const uint32_t wait_xid = maapi.last_xid();

    mgmt_wire::writer p1 = cli.req(MGMT_OP_CLI_PHASE);
    p1.i64(1);
    ASSERT_EQ(cli.request(p1).op, MGMT_OP_REPLY);
    mgmt_wire::writer s1 = cdb.req(MGMT_OP_CDB_START_SESSION);
    s1.i64(CDB_OPERATIONAL).i64(0);
    EXPECT_EQ(cdb.request(s1).op, MGMT_OP_REPLY);
    frame early = mt::commit(cli, {{MGMT_EDIT_SET, "/system/personality", "brink"}});
    EXPECT_EQ(early.code(), CONFD_ERR_UNAVAILABLE);
    EXPECT_NE(early.text().find("phase 2"), std::string::npos) << early.text();
    EXPECT_FALSE(maapi.read(200).has_value());  // still phase 1: the wait goes on

    mgmt_wire::writer p2 = cli.req(MGMT_OP_CLI_PHASE);
    p2.i64(2);
    ASSERT_EQ(cli.request(p2).op, MGMT_OP_REPLY);
    frame released = maapi.reply_to(wait_xid);
    EXPECT_EQ(released.op, MGMT_OP_REPLY);
    EXPECT_EQ(mt::commit(cli, {{MGMT_EDIT_SET, "/system/personality", "brink"}}).op, MGMT_OP_REPLY);

    mgmt_wire::writer back = maapi.req(MGMT_OP_MAAPI_START_PHASE);
    back.i64(1).i64(1);
    EXPECT_EQ(maapi.request(back).code(), CONFD_ERR_BADSTATE);
    mgmt_wire::writer reached = maapi.req(MGMT_OP_MAAPI_WAIT_START);
    reached.i64(1);
    EXPECT_EQ(maapi.request(reached).op, MGMT_OP_REPLY);
}

frame start(client &c, int db, int flags)
{
    mgmt_wire::writer w = c.req(MGMT_OP_CDB_START_SESSION);
    w.i64(db).i64(flags);
    return c.request(w);
}

frame path_op(client &c, mgmt_op op, const std::string &path)
{
    mgmt_wire::writer w = c.req(op);
    w.str(path);
    return c.request(w);
}

TEST(MgmtdAgent, OperationalLockPassesToTheWaiterWhenItsHolderGoes)
{
    zt::TempDir dir;
    mt::agent_process agent(dir.file("db"));
    auto holder = std::make_unique<client>();
    client refused;
    client waiter;
    client cli;
    ASSERT_TRUE(holder->connect(agent.port(), MGMT_CONN_CDB_DATA, "holder"));
    ASSERT_TRUE(refused.connect(agent.port(), MGMT_CONN_CDB_DATA, "refused"));
    ASSERT_TRUE(waiter.connect(agent.port(), MGMT_CONN_CDB_DATA, "next"));
    ASSERT_TRUE(cli.connect(agent.port(), MGMT_CONN_CLI, "admin"));
    // The agent's status names the holder of each lock.
    auto status = [&cli] {
        mgmt_wire::writer w = cli.req(MGMT_OP_CLI_STATUS);
        return cli.request(w).str();
    };
    ASSERT_EQ(start(*holder, CDB_OPERATIONAL, CDB_LOCK_REQUEST).op, MGMT_OP_REPLY);
    const std::string held = status();
    EXPECT_NE(held.find("\"name\":\"holder\",\"db\":\"operational\",\"lock\":true"), std::string::npos) << held;
    EXPECT_EQ(start(refused, CDB_OPERATIONAL, CDB_LOCK_REQUEST).code(), CONFD_ERR_LOCKED);
    // The running configuration has a lock of its own.
    EXPECT_EQ(start(refused, CDB_RUNNING, CDB_LOCK_REQUEST).op, MGMT_OP_REPLY);

    mgmt_wire::writer w = waiter.req(MGMT_OP_CDB_START_SESSION);
    w.i64(CDB_OPERATIONAL).i64(CDB_LOCK_REQUEST | CDB_LOCK_WAIT);
    waiter.send(w.finish());
    const uint32_t xid = waiter.last_xid();
    EXPECT_FALSE(waiter.read(150).has_value());
    holder.reset();  // the holder's process goes
    ASSERT_EQ(waiter.reply_to(xid).op, MGMT_OP_REPLY);
    const std::string after = status();
    EXPECT_NE(after.find("\"name\":\"next\",\"db\":\"operational\",\"lock\":true"), std::string::npos) << after;
    EXPECT_EQ(after.find("\"holder\""), std::string::npos) << after;

    // The new holder writes operational data.
    EXPECT_EQ(path_op(waiter, MGMT_OP_CDB_CREATE, "/debugs/zor/events").op, MGMT_OP_REPLY);
    frame twice = path_op(waiter, MGMT_OP_CDB_CREATE, "/debugs/zor/events");
    EXPECT_EQ(twice.code(), CONFD_ERR_ALREADY_EXISTS);
    mgmt_wire::writer set = waiter.req(MGMT_OP_CDB_SET_ELEM);
    confd_value_t bits{};
    CONFD_SET_BIT32(&bits, 5);
    set.str("/oconfd-initial-read-priority").value(bits);
    ASSERT_EQ(waiter.request(set).op, MGMT_OP_REPLY);
    frame got = path_op(waiter, MGMT_OP_CDB_GET, "/system:oconfd-initial-read-priority");
    ASSERT_EQ(got.op, MGMT_OP_REPLY);
    mgmt_wire::reader gr = got.fields();
    confd_value_t v{};
    ASSERT_TRUE(gr.value(v));
    EXPECT_EQ(v.type, C_BIT32);
    EXPECT_EQ(v.val.b32, 5u);
    EXPECT_EQ(path_op(waiter, MGMT_OP_CDB_DELETE, "/debugs/zor/events").op, MGMT_OP_REPLY);
    EXPECT_EQ(path_op(waiter, MGMT_OP_CDB_DELETE, "/debugs/zor/events").code(), CONFD_ERR_NOEXISTS);
    EXPECT_EQ(path_op(waiter, MGMT_OP_CDB_CREATE, "/system/host-name").code(), CONFD_ERR_NOT_WRITABLE);
    EXPECT_EQ(path_op(waiter, MGMT_OP_CDB_GET, "/nowhere").code(), CONFD_ERR_BADPATH);
    mgmt_wire::writer wrong = waiter.req(MGMT_OP_CDB_SET_ELEM);
    confd_value_t num{};
    CONFD_SET_UINT32(&num, 3);
    wrong.str("/oconfd-initial-read-priority").value(num);
    EXPECT_EQ(waiter.request(wrong).code(), CONFD_ERR_BADTYPE);
}

}  // namespace
