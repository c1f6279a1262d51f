// The library's connections against an in-test agent on a real socket:
// handshake and its proof, synchronous calls, errors, end of stream,
// timeouts, socket reuse and the CLI output path.
#include <cstdlib>
#include <gtest/gtest.h>

#include "confd_cdb.h"
#include "confd_maapi.h"
#include "fake_agent.h"
#include "test_support.h"

namespace {

class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) { setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name_); }

private:
    const char *name_;
};

TEST(ConfdConn, HandshakeCarriesKindNameAndProof)
{
    zt::TempDir dir;
    const std::string secret = "s3cret\nwith a line feed";
    {
        FILE *f = fopen(dir.file("secret").c_str(), "w");
        fputs(secret.c_str(), f);
        fclose(f);
    }
    fake_agent agent(secret);
    confd_init("conn-test", nullptr, CONFD_SILENT);

    // Without the secret the agent refuses, and says why.
    int s1 = client_socket();
    EXPECT_EQ(cdb_connect(s1, CDB_DATA_SOCKET, agent.addr(), agent.addrlen()), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_ACCESS_DENIED);
    EXPECT_STREQ(confd_lasterr(), "wrong IPC secret");
    close(s1);

    // A named file that cannot be read is an error of its own, not an empty proof.
    {
        ScopedEnv env(MGMT_ENV_SECRET_FILE, dir.file("missing"));
        int s = client_socket();
        EXPECT_EQ(maapi_connect(s, agent.addr(), agent.addrlen()), CONFD_ERR);
        EXPECT_EQ(confd_errno, CONFD_ERR_OS);
        close(s);
    }

    ScopedEnv env(MGMT_ENV_SECRET_FILE, dir.file("secret"));
    int s2 = client_socket();
    ASSERT_EQ(cdb_connect(s2, CDB_SUBSCRIPTION_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK) << confd_lasterr();
    fake_agent::peer *p = agent.wait_peer(MGMT_CONN_SUBSCRIPTION);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name, "conn-test");
    EXPECT_EQ(p->daemon_id, 0);
    EXPECT_EQ(p->pid, getpid());

    // A daemon's worker names the daemon its control connection opened.
    confd_daemon_ctx *dx = confd_init_daemon("conn-daemon");
    int ctl = client_socket(), wrk = client_socket();
    EXPECT_EQ(confd_connect(dx, wrk, WORKER_SOCKET, agent.addr(), agent.addrlen()), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_PROTOUSAGE);
    ASSERT_EQ(confd_connect(dx, ctl, CONTROL_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    ASSERT_EQ(confd_connect(dx, wrk, WORKER_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    fake_agent::peer *pc = agent.wait_peer(MGMT_CONN_CONTROL);
    fake_agent::peer *pw = agent.wait_peer(MGMT_CONN_WORKER);
    ASSERT_TRUE(pc != nullptr && pw != nullptr);
    EXPECT_EQ(pc->name, "conn-daemon");
    EXPECT_EQ(pw->daemon_id, pc->id);
    confd_release_daemon(dx);
    close(ctl);
    close(wrk);
    cdb_close(s2);
}

TEST(ConfdConn, CallsErrorsEndOfStreamAndTimeouts)
{
    fake_agent agent;
    std::atomic<int> sessions{0};
    agent.on(MGMT_CONN_CDB_DATA, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        std::string path;
        switch (r.op()) {
        case MGMT_OP_CDB_START_SESSION: {
            int64_t db = 0, flags = 0;
            r.i64(db);
            r.i64(flags);
            sessions++;
            p.send(db == CDB_OPERATIONAL && flags == CDB_LOCK_REQUEST
                       ? fake_agent::reply(r.xid())
                       : fake_agent::error(r.xid(), CONFD_ERR_LOCKED, "locked by session 7"));
            return true;
        }
        case MGMT_OP_CDB_GET:
            r.str(path);
            if (path == "/system/host-name") {
                confd_value_t v{};
                CONFD_SET_STR(&v, "edge1");
                p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) { w.value(v); }));
            } else if (path == "/slow") {
                return false;  // never answered
            } else {
                p.send(fake_agent::error(r.xid(), CONFD_ERR_NOEXISTS, "no " + path));
            }
            return true;
        case MGMT_OP_CDB_EXISTS:
            r.str(path);
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) { w.i64(path == "/a{x y}" ? 1 : 0); }));
            return true;
        case MGMT_OP_CDB_SET_ELEM: {
            confd_value_t v;
            r.str(path);
            r.value(v);
            bool ok = path == "/oper/count" && v.type == C_UINT32 && v.val.u32 == 9;
            confd_free_value(&v);
            p.send(ok ? fake_agent::reply(r.xid()) : fake_agent::error(r.xid(), CONFD_ERR_BADTYPE, "bad"));
            return true;
        }
        default:
            return false;
        }
    });
    int s = client_socket();
    ASSERT_EQ(cdb_connect(s, CDB_DATA_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    EXPECT_EQ(cdb_start_session2(s, CDB_OPERATIONAL, CDB_LOCK_REQUEST), CONFD_OK);
    EXPECT_EQ(cdb_start_session(s, CDB_RUNNING), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_LOCKED);
    EXPECT_STREQ(confd_lasterr(), "locked by session 7");
    EXPECT_EQ(sessions.load(), 2);

    confd_value_t v{};
    ASSERT_EQ(cdb_get(s, &v, "/system/%s", "host-name"), CONFD_OK);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&v), "edge1");
    confd_free_value(&v);
    EXPECT_EQ(cdb_get(s, &v, "/system/%d", 5), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_NOEXISTS);
    EXPECT_STREQ(confd_lasterr(), "no /system/5");
    EXPECT_EQ(cdb_exists(s, "/a{%s %s}", "x", "y"), 1);
    EXPECT_EQ(cdb_exists(s, "/b"), 0);
    confd_value_t n{};
    CONFD_SET_UINT32(&n, 9);
    EXPECT_EQ(cdb_set_elem(s, &n, "/oper/count"), CONFD_OK);

    // The error state is per thread: another thread's failure leaves ours.
    std::thread([&] {
        EXPECT_EQ(cdb_exists(-5, "/x"), CONFD_ERR);
        EXPECT_EQ(confd_errno, CONFD_ERR_PROTOUSAGE);
    }).join();
    EXPECT_EQ(confd_errno, CONFD_ERR_NOEXISTS);

    // A call the agent does not answer fails after the socket's timeout,
    // and the late answer is not taken for the next call's.
    ASSERT_EQ(cdb_set_timeout(s, 1), CONFD_OK);
    EXPECT_EQ(cdb_get(s, &v, "/slow"), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_TIMEOUT);
    fake_agent::peer *p = agent.wait_peer(MGMT_CONN_CDB_DATA);
    std::string slow_body = p->next();
    mgmt_wire::reader slow{std::string_view(slow_body)};
    ASSERT_EQ(slow.op(), MGMT_OP_CDB_GET);
    p->send(fake_agent::error(slow.xid(), CONFD_ERR_INTERNAL, "late"));
    EXPECT_EQ(cdb_exists(s, "/a{x y}"), 1);
    ASSERT_EQ(cdb_set_timeout(s, 0), CONFD_OK);

    // The agent going away: CONFD_EOF and CONFD_ERR_EOF.
    agent.hang_up(p);
    EXPECT_EQ(cdb_get(s, &v, "/system/host-name"), CONFD_EOF);
    EXPECT_EQ(confd_errno, CONFD_ERR_EOF);
    cdb_close(s);
}

TEST(ConfdConn, EventNotificationsAreRead)
{
    fake_agent agent;
    agent.on(MGMT_CONN_NOTIFICATION, [](fake_agent::peer &p, mgmt_wire::reader &r) {
        int64_t mask = 0;
        bool ok = r.op() == MGMT_OP_NOTIF_SUBSCRIBE && r.i64(mask) &&
                  mask == (CONFD_NOTIF_COMMIT_SIMPLE | CONFD_NOTIF_STREAM_EVENT);
        p.send(ok ? fake_agent::reply(r.xid()) : fake_agent::error(r.xid(), CONFD_ERR_PROTOUSAGE, "bad mask"));
        confd_value_t when{};
        CONFD_SET_DATETIME(&when, (confd_datetime{2026, 1, 2, 3, 4, 5, 0, 0, 0}));
        confd_tag_value_t tv[1];
        CONFD_SET_TAG_STR(&tv[0], 8, "up");
        mgmt_wire::writer commit(MGMT_OP_NOTIF_EVENT, 0), stream(MGMT_OP_NOTIF_EVENT, 0), odd(MGMT_OP_NOTIF_EVENT, 0);
        commit.i64(CONFD_NOTIF_COMMIT_SIMPLE).i64(CDB_RUNNING).i64(12).str("admin");
        stream.i64(CONFD_NOTIF_STREAM_EVENT).str("ostrana").value(when).tag_values(tv, 1);
        odd.i64(99);
        p.send(commit.finish() + stream.finish() + odd.finish());
        return true;
    });
    int s = client_socket();
    ASSERT_EQ(confd_notifications_connect(s, agent.addr(), agent.addrlen(),
                                          CONFD_NOTIF_COMMIT_SIMPLE | CONFD_NOTIF_STREAM_EVENT),
              CONFD_OK);
    confd_notification n;
    ASSERT_EQ(confd_read_notification(s, &n), CONFD_OK);
    EXPECT_EQ(n.type, CONFD_NOTIF_COMMIT_SIMPLE);
    EXPECT_EQ(n.n.commit.usid, 12);
    EXPECT_STREQ(n.n.commit.username, "admin");
    ASSERT_EQ(confd_read_notification(s, &n), CONFD_OK);
    ASSERT_EQ(n.type, CONFD_NOTIF_STREAM_EVENT);
    EXPECT_STREQ(n.n.stream.streamname, "ostrana");
    EXPECT_EQ(n.n.stream.event_time.sec, 5);
    ASSERT_EQ(n.n.stream.nvalues, 1);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&n.n.stream.values[0].v), "up");
    confd_free_notification(&n);
    EXPECT_EQ(confd_read_notification(s, &n), CONFD_ERR);  // a type it does not know
    close(s);
}

TEST(ConfdConn, ReusedSocketNumberStartsAfresh)
{
    fake_agent agent;
    agent.on(MGMT_CONN_SUBSCRIPTION, [](fake_agent::peer &p, mgmt_wire::reader &r) {
        if (r.op() == MGMT_OP_SUB_DONE || r.op() == MGMT_OP_SUB_SUBSCRIBE) {
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) {
                if (r.op() == MGMT_OP_SUB_SUBSCRIBE) {
                    w.i64(11);
                }
            }));
            return true;
        }
        return false;
    });
    int s = client_socket();
    ASSERT_EQ(cdb_connect(s, CDB_SUBSCRIPTION_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    ASSERT_EQ(cdb_subscribe_done(s), CONFD_OK);
    int point = 0;
    EXPECT_EQ(cdb_subscribe(s, 1, 0, &point, "/a"), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_BADSTATE);
    // Closed behind the library's back, the number comes back as a new
    // socket: a new connect forgets the old one's state.
    close(s);
    int s2 = client_socket();
    ASSERT_EQ(s2, s);
    ASSERT_EQ(cdb_connect(s2, CDB_SUBSCRIPTION_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    EXPECT_EQ(cdb_subscribe(s2, 1, 0, &point, "/a"), CONFD_OK) << confd_lasterr();
    EXPECT_EQ(point, 11);
    // A subscription socket is not a data socket.
    EXPECT_EQ(cdb_get(s2, nullptr, "/a"), CONFD_ERR);
    EXPECT_EQ(cdb_exists(s2, "/a"), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_PROTOUSAGE);
    cdb_close(s2);
}

void collect(int, int, const char *text, size_t len, void *arg)
{
    static_cast<std::string *>(arg)->append(text, len);
}

TEST(ConfdConn, CliOutputGoesToTheSinkOrTheAgentInOrder)
{
    fake_agent agent;
    std::mutex mu;
    std::string written;
    agent.on(MGMT_CONN_MAAPI, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        int64_t usid = 0;
        std::string text;
        if (r.op() != MGMT_OP_MAAPI_CLI_WRITE || !r.i64(usid) || !r.str(text)) {
            return false;
        }
        if (usid != 4) {
            p.send(fake_agent::error(r.xid(), CONFD_ERR_NOSESSION, "no session"));
            return true;
        }
        std::lock_guard<std::mutex> g(mu);
        written += text;
        p.send(fake_agent::reply(r.xid()));
        return true;
    });
    int m = client_socket();
    ASSERT_EQ(maapi_connect(m, agent.addr(), agent.addrlen()), CONFD_OK);
    for (int i = 0; i < 50; i++) {
        ASSERT_EQ(maapi_cli_printf(m, 4, "line %d\n", i), CONFD_OK);
    }
    std::string big(100000, 'x');
    EXPECT_EQ(maapi_cli_write(m, 4, big.data(), static_cast<int>(big.size())), CONFD_OK);
    EXPECT_EQ(maapi_cli_printf(m, 5, "gone"), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_NOSESSION);
    {
        std::lock_guard<std::mutex> g(mu);
        std::string want;
        for (int i = 0; i < 50; i++) {
            want += "line " + std::to_string(i) + "\n";
        }
        EXPECT_EQ(written, want + big);
    }
    // A sink takes the text of its session only, without a round trip.
    std::string sunk;
    maapi_cli_sink_register(m, 5, collect, &sunk);
    EXPECT_EQ(maapi_cli_printf(m, 5, "%s=%d", "a", 1), CONFD_OK);
    EXPECT_EQ(maapi_cli_printf(m, 4, "to agent"), CONFD_OK);
    maapi_cli_sink_unregister(m, 5);
    EXPECT_EQ(maapi_cli_printf(m, 5, "after"), CONFD_ERR);
    EXPECT_EQ(sunk, "a=1");
    maapi_close(m);
}

}  // namespace
