// A daemon on the library against an in-test agent: registrations, the
// dispatch of transaction, data and action requests to the callbacks, the
// reply frames they produce, and notification sends from two threads.
#include <gtest/gtest.h>
#include <poll.h>

#include "confd_lib.h"
#include "fake_agent.h"

namespace {

struct daemon_state {
    int worker = -1;
    int finished = 0;
    std::vector<std::string> argv;
    std::string user;
    int msock = 0;
    int usid = 0;
};
daemon_state g;

std::string key_of(const confd_hkeypath_t *kp)
{
    // /items/item{KEY}: v[0] holds the key.
    return kp->len >= 1 && kp->v[0][0].type == C_STR ? CONFD_GET_CBUFPTR(&kp->v[0][0]) : "";
}

int t_init(confd_trans_ctx *tctx)
{
    return confd_trans_set_fd(tctx, g.worker);
}

int t_finish(confd_trans_ctx *)
{
    g.finished++;
    return CONFD_OK;
}

int get_object(confd_trans_ctx *tctx, confd_hkeypath_t *kp)
{
    std::string key = key_of(kp);
    if (key == "missing") {
        return confd_data_reply_not_found(tctx);
    }
    if (key == "fail") {
        confd_trans_seterr(tctx, "item %s is broken", key.c_str());
        return CONFD_ERR;
    }
    if (key == "silent") {
        return CONFD_OK;
    }
    confd_tag_value_t tv[2];
    CONFD_SET_TAG_STR(&tv[0], 10, key.c_str());
    CONFD_SET_TAG_UINT32(&tv[1], 11, static_cast<uint32_t>(key.size()));
    int r = confd_data_reply_tag_value_array(tctx, tv, 2);
    // A second answer to the same request is refused.
    EXPECT_EQ(confd_data_reply_not_found(tctx), CONFD_ERR);
    return r;
}

int get_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *, long next)
{
    confd_tag_value_t a[1], b[1];
    CONFD_SET_TAG_STR(&a[0], 10, "a");
    CONFD_SET_TAG_STR(&b[0], 10, "b");
    confd_tag_next_object objs[3] = {{a, 1, next + 1}, {b, 1, next + 2}, {nullptr, -1, 0}};
    return confd_data_reply_next_object_tag_value_arrays(tctx, objs, 3, 0);
}

int find_next_object(confd_trans_ctx *tctx, confd_hkeypath_t *, int type, confd_value_t *keys, int nkeys)
{
    if (nkeys != 1 || keys[0].type != C_STR) {
        return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, 0);
    }
    std::string k = std::string(CONFD_GET_CBUFPTR(&keys[0])) + (type == CONFD_FIND_NEXT ? "+" : "=");
    confd_tag_value_t tv[1];
    CONFD_SET_TAG_STR(&tv[0], 10, k.c_str());
    return confd_data_reply_next_object_tag_value_array(tctx, tv, 1, -1);
}

int a_init(confd_user_info *uinfo)
{
    uinfo->msock = 33;
    return confd_action_set_fd(uinfo, g.worker);
}

int a_command(confd_user_info *uinfo, char *, int argc, char **argv)
{
    g.argv.assign(argv, argv + argc);
    EXPECT_EQ(argv[argc], nullptr);
    g.user = uinfo->username;
    g.msock = uinfo->msock;
    g.usid = uinfo->usid;
    if (argc > 0 && std::string(argv[0]) == "bad") {
        confd_action_seterr(uinfo, "cannot do %s", argv[0]);
        return CONFD_ERR;
    }
    return CONFD_OK;
}

int a_action(confd_user_info *uinfo, xml_tag *name, confd_hkeypath_t *, confd_tag_value_t *params, int n)
{
    confd_tag_value_t out[1];
    CONFD_SET_TAG_UINT32(&out[0], name->tag, static_cast<uint32_t>(n > 0 ? params[0].v.val.u32 * 2 : 0));
    return confd_action_reply_values(uinfo, out, 1);
}

bool readable(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

// Sends frames to the daemon's socket in one write and serves them with one
// confd_fd_ready call.
int deliver(confd_daemon_ctx *dx, fake_agent::peer *p, int fd, const std::vector<std::string> &frames)
{
    std::string all;
    for (const auto &f : frames) {
        all += f;
    }
    p->send(all);
    EXPECT_TRUE(readable(fd));
    return confd_fd_ready(dx, fd);
}

confd_hkeypath_t item_path(const char *key)
{
    confd_hkeypath_t kp{};
    kp.len = 3;
    CONFD_SET_XMLTAG(&kp.v[2][0], 1, 7);
    CONFD_SET_XMLTAG(&kp.v[1][0], 2, 7);
    CONFD_SET_STR(&kp.v[0][0], key);
    kp.v[0][1].type = C_NOEXISTS;
    return kp;
}

std::string get_object_req(uint32_t xid, int64_t th, const char *point, const char *key)
{
    confd_hkeypath_t kp = item_path(key);
    return mgmt_wire::writer(MGMT_OP_DATA_GET_OBJECT, xid).i64(th).str(point).keypath(kp).finish();
}

// The op, xid and first integer of a reply.
struct reply_head {
    mgmt_op op;
    uint32_t xid;
    int64_t first;
    std::string text;  // ERROR text
};
reply_head head(const std::string &body)
{
    mgmt_wire::reader r{std::string_view(body)};
    reply_head h{r.op(), r.xid(), -99, ""};
    r.i64(h.first);
    if (h.op == MGMT_OP_ERROR) {
        r.str(h.text);
    }
    return h;
}

TEST(ConfdDaemon, RequestsReachTheCallbacksAndGetOneReplyEach)
{
    fake_agent agent;
    std::vector<std::string> regs;
    agent.on(MGMT_CONN_CONTROL, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        if (r.op() < MGMT_OP_REG_TRANS || r.op() > MGMT_OP_REG_DONE) {
            return false;
        }
        std::string name;
        int64_t mask = 0;
        if (r.op() == MGMT_OP_REG_DATA_CB || r.op() == MGMT_OP_REG_ACTION) {
            r.str(name);
            r.i64(mask);
        }
        regs.push_back(std::to_string(r.op()) + ":" + name + ":" + std::to_string(mask));
        p.send(fake_agent::reply(r.xid()));
        return true;
    });
    confd_daemon_ctx *dx = confd_init_daemon("d");
    int ctl = client_socket();
    g.worker = client_socket();
    ASSERT_EQ(confd_connect(dx, ctl, CONTROL_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    ASSERT_EQ(confd_connect(dx, g.worker, WORKER_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    confd_trans_cbs tcb{};
    tcb.init = t_init;
    tcb.finish = t_finish;
    confd_data_cbs dcb{};
    snprintf(dcb.callpoint, sizeof(dcb.callpoint), "items");
    dcb.get_object = get_object;
    dcb.get_next_object = get_next_object;
    dcb.find_next_object = find_next_object;
    confd_action_cbs acb{};
    snprintf(acb.actionpoint, sizeof(acb.actionpoint), "do");
    acb.init = a_init;
    acb.command = a_command;
    acb.action = a_action;
    ASSERT_EQ(confd_register_trans_cb(dx, &tcb), CONFD_OK);
    ASSERT_EQ(confd_register_data_cb(dx, &dcb), CONFD_OK);
    ASSERT_EQ(confd_register_action_cbs(dx, &acb), CONFD_OK);
    ASSERT_EQ(confd_register_done(dx), CONFD_OK);
    EXPECT_EQ(confd_register_data_cb(dx, &dcb), CONFD_ERR);
    int data_mask = MGMT_DATA_GET_OBJECT | MGMT_DATA_GET_NEXT_OBJECT | MGMT_DATA_FIND_NEXT_OBJECT;
    int action_mask = MGMT_ACTION_ACTION | MGMT_ACTION_COMMAND;
    EXPECT_EQ(regs, (std::vector<std::string>{"16::0", "19:items:" + std::to_string(data_mask),
                                              "20:do:" + std::to_string(action_mask), "23::0"}));

    fake_agent::peer *pc = agent.wait_peer(MGMT_CONN_CONTROL);
    fake_agent::peer *pw = agent.wait_peer(MGMT_CONN_WORKER);
    ASSERT_TRUE(pc != nullptr && pw != nullptr);

    // Two transactions opened at once are both bound to the worker.
    ASSERT_EQ(deliver(dx, pc, ctl,
                      {mgmt_wire::writer(MGMT_OP_TRANS_INIT, 1).i64(5).i64(9).str("admin").str("cli").finish(),
                       mgmt_wire::writer(MGMT_OP_TRANS_INIT, 2).i64(6).i64(9).str("admin").str("cli").finish()}),
              CONFD_OK);
    for (uint32_t xid : {1u, 2u}) {
        reply_head h = head(pc->next());
        EXPECT_EQ(h.op, MGMT_OP_REPLY);
        EXPECT_EQ(h.xid, xid);
        EXPECT_EQ(h.first, pw->id);
    }

    // Five requests in one write: each answered, in order, by one call.
    confd_value_t key{};
    CONFD_SET_STR(&key, "k");
    confd_hkeypath_t list = item_path("x");
    list.len = 2;  // the list itself
    int r = deliver(dx, pw, g.worker,
                    {get_object_req(10, 5, "items", "abc"), get_object_req(11, 5, "items", "missing"),
                     get_object_req(12, 5, "items", "fail"), get_object_req(13, 5, "items", "silent"),
                     mgmt_wire::writer(MGMT_OP_DATA_GET_NEXT_OBJECT, 14)
                         .i64(6).str("items").keypath(list).i64(-1).finish(),
                     mgmt_wire::writer(MGMT_OP_DATA_FIND_NEXT_OBJECT, 15)
                         .i64(6).str("items").keypath(list).i64(CONFD_FIND_NEXT).list(1).value(key).finish(),
                     get_object_req(16, 5, "nosuch", "abc"), get_object_req(17, 99, "items", "abc"),
                     mgmt_wire::writer(MGMT_OP_DATA_GET_ELEM, 18).i64(5).str("items").keypath(list).finish()});
    // The failed callback shows as an application error of the call.
    EXPECT_EQ(r, CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_EXTERNAL);

    std::string b = pw->next();
    mgmt_wire::reader r10{std::string_view(b)};
    int64_t kind = 0, n = 0;
    confd_tag_value_t *tv = nullptr;
    int ntv = 0;
    ASSERT_EQ(r10.xid(), 10u);
    ASSERT_TRUE(r10.i64(kind) && r10.i64(n) && r10.tag_values(&tv, &ntv));
    EXPECT_EQ(kind, MGMT_DATA_TV_ARRAY);
    ASSERT_EQ(ntv, 2);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&tv[0].v), "abc");
    EXPECT_EQ(tv[1].v.val.u32, 3u);
    mgmt_wire::free_tag_values(tv, ntv);

    reply_head h = head(pw->next());
    EXPECT_EQ(h.xid, 11u);
    EXPECT_EQ(h.first, MGMT_DATA_NOT_FOUND);
    h = head(pw->next());
    EXPECT_EQ(h.xid, 12u);
    EXPECT_EQ(h.op, MGMT_OP_ERROR);
    EXPECT_EQ(h.text, "item fail is broken");
    h = head(pw->next());
    EXPECT_EQ(h.xid, 13u);
    EXPECT_EQ(h.op, MGMT_OP_ERROR);
    EXPECT_EQ(h.text, "no reply");

    b = pw->next();
    mgmt_wire::reader r14{std::string_view(b)};
    int64_t timeout = -1;
    uint32_t nobj = 0;
    ASSERT_TRUE(r14.i64(kind) && r14.i64(timeout) && r14.list(nobj));
    EXPECT_EQ(kind, MGMT_DATA_NEXT_OBJECTS);
    ASSERT_EQ(nobj, 3u);
    std::vector<std::pair<int64_t, int64_t>> objs;
    for (uint32_t i = 0; i < nobj; i++) {
        uint32_t three = 0;
        int64_t on = 0, next = 0;
        ASSERT_TRUE(r14.list(three) && r14.i64(on) && r14.i64(next) && r14.tag_values(&tv, &ntv));
        mgmt_wire::free_tag_values(tv, ntv);
        objs.emplace_back(on, next);
    }
    EXPECT_EQ(objs, (std::vector<std::pair<int64_t, int64_t>>{{1, 0}, {1, 1}, {-1, 0}}));

    b = pw->next();
    mgmt_wire::reader r15{std::string_view(b)};
    int64_t next = 0;
    ASSERT_TRUE(r15.i64(kind) && r15.i64(n) && r15.i64(next) && r15.tag_values(&tv, &ntv));
    EXPECT_EQ(kind, MGMT_DATA_NEXT_OBJECT);
    EXPECT_EQ(next, -1);
    ASSERT_EQ(ntv, 1);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&tv[0].v), "k+");
    mgmt_wire::free_tag_values(tv, ntv);

    // Unknown callpoint, unknown transaction, a callback not registered.
    for (uint32_t xid : {16u, 17u, 18u}) {
        h = head(pw->next());
        EXPECT_EQ(h.xid, xid);
        EXPECT_EQ(h.op, MGMT_OP_ERROR);
    }

    // A command: the user information its init prepared, the arguments.
    ASSERT_EQ(deliver(dx, pc, ctl,
                      {mgmt_wire::writer(MGMT_OP_ACTION_INIT, 3).i64(42).str("oper").str("cli").str("do").finish()}),
              CONFD_OK);
    h = head(pc->next());
    EXPECT_EQ(h.op, MGMT_OP_REPLY);
    EXPECT_EQ(h.first, pw->id);
    ASSERT_EQ(deliver(dx, pw, g.worker,
                      {mgmt_wire::writer(MGMT_OP_ACTION_COMMAND, 20)
                           .i64(42).str("do").str("/do").list(2).str("show").str("all").finish()}),
              CONFD_OK);
    EXPECT_EQ(g.argv, (std::vector<std::string>{"show", "all"}));
    EXPECT_EQ(g.user, "oper");
    EXPECT_EQ(g.msock, 33);
    EXPECT_EQ(g.usid, 42);
    h = head(pw->next());
    EXPECT_EQ(h.op, MGMT_OP_REPLY);
    EXPECT_EQ(h.xid, 20u);
    // Without an init the session has no MAAPI socket; a failure carries its text.
    EXPECT_EQ(deliver(dx, pw, g.worker,
                      {mgmt_wire::writer(MGMT_OP_ACTION_COMMAND, 21)
                           .i64(43).str("do").str("/do").list(1).str("bad").finish()}),
              CONFD_ERR);
    EXPECT_EQ(g.msock, -1);
    h = head(pw->next());
    EXPECT_EQ(h.op, MGMT_OP_ERROR);
    EXPECT_EQ(h.text, "cannot do bad");

    // An action with parameters and results.
    confd_tag_value_t param[1];
    CONFD_SET_TAG_UINT32(&param[0], 30, 21);
    ASSERT_EQ(deliver(dx, pw, g.worker,
                      {mgmt_wire::writer(MGMT_OP_ACTION_RUN, 22)
                           .i64(42).str("do").i64(77).i64(7).keypath(list).tag_values(param, 1).finish()}),
              CONFD_OK);
    b = pw->next();
    mgmt_wire::reader r22{std::string_view(b)};
    ASSERT_EQ(r22.op(), MGMT_OP_REPLY);
    ASSERT_TRUE(r22.tag_values(&tv, &ntv));
    ASSERT_EQ(ntv, 1);
    EXPECT_EQ(tv[0].tag.tag, 77u);
    EXPECT_EQ(tv[0].v.val.u32, 42u);
    mgmt_wire::free_tag_values(tv, ntv);

    // The transaction ends; a request the worker does not serve is refused.
    ASSERT_EQ(deliver(dx, pw, g.worker,
                      {mgmt_wire::writer(MGMT_OP_TRANS_FINISH, 23).i64(5).finish(),
                       mgmt_wire::writer(MGMT_OP_TRANS_INIT, 24).i64(7).i64(1).str("x").str("cli").finish()}),
              CONFD_OK);
    EXPECT_EQ(g.finished, 1);
    EXPECT_EQ(head(pw->next()).op, MGMT_OP_REPLY);
    EXPECT_EQ(head(pw->next()).op, MGMT_OP_ERROR);

    // Garbage from the agent is refused, not served.
    pw->send(std::string("\0\0\0\2xx", 6));
    ASSERT_TRUE(readable(g.worker));
    EXPECT_EQ(confd_fd_ready(dx, g.worker), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_PROTOUSAGE);

    agent.hang_up(pc);
    ASSERT_TRUE(readable(ctl));
    EXPECT_EQ(confd_fd_ready(dx, ctl), CONFD_EOF);
    confd_release_daemon(dx);
    close(ctl);
    close(g.worker);
}

TEST(ConfdDaemon, NotificationsFromTwoThreadsArriveWhole)
{
    fake_agent agent;
    agent.on(MGMT_CONN_CONTROL, [](fake_agent::peer &p, mgmt_wire::reader &r) {
        p.send(fake_agent::reply(r.xid()));
        return true;
    });
    confd_daemon_ctx *dx = confd_init_daemon("n");
    int ctl = client_socket(), wrk = client_socket();
    ASSERT_EQ(confd_connect(dx, ctl, CONTROL_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    ASSERT_EQ(confd_connect(dx, wrk, WORKER_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    confd_notification_stream_cbs ncb{};
    snprintf(ncb.streamname, sizeof(ncb.streamname), "events");
    ncb.fd = wrk;
    confd_notification_ctx *nctx = nullptr;
    ASSERT_EQ(confd_register_notification_stream(dx, &ncb, &nctx), CONFD_OK);
    ASSERT_EQ(confd_register_done(dx), CONFD_OK);

    constexpr int per_thread = 300;
    std::string big(5000, 'z');  // frames larger than one socket write
    auto sender = [&](uint32_t who) {
        for (int i = 0; i < per_thread; i++) {
            confd_tag_value_t tv[3];
            CONFD_SET_TAG_XMLBEGIN(&tv[0], 50, 7);
            CONFD_SET_TAG_UINT32(&tv[1], 51, who * 1000 + static_cast<uint32_t>(i));
            CONFD_SET_TAG_STR(&tv[2], 52, big.c_str());
            EXPECT_EQ(confd_notification_send(nctx, nullptr, tv, 3), CONFD_OK);
        }
    };
    std::thread t1(sender, 1), t2(sender, 2);
    t1.join();
    t2.join();
    fake_agent::peer *pw = agent.wait_peer(MGMT_CONN_WORKER);
    ASSERT_NE(pw, nullptr);
    std::map<uint32_t, int> last{{1, -1}, {2, -1}};
    for (int i = 0; i < 2 * per_thread; i++) {
        std::string b = pw->next();
        mgmt_wire::reader r{std::string_view(b)};
        std::string stream;
        confd_value_t when;
        confd_tag_value_t *tv = nullptr;
        int n = 0;
        ASSERT_EQ(r.op(), MGMT_OP_NOTIF_SEND) << i;
        ASSERT_TRUE(r.str(stream) && r.value(when) && r.tag_values(&tv, &n) && r.at_end());
        EXPECT_EQ(stream, "events");
        EXPECT_EQ(when.type, C_DATETIME);
        ASSERT_EQ(n, 3);
        uint32_t v = tv[1].v.val.u32;
        // Each thread's notifications arrive in its order.
        EXPECT_EQ(static_cast<int>(v % 1000), last[v / 1000] + 1);
        last[v / 1000] = static_cast<int>(v % 1000);
        EXPECT_EQ(tv[2].v.val.buf.size, big.size());
        mgmt_wire::free_tag_values(tv, n);
    }
    confd_release_daemon(dx);
    close(ctl);
    close(wrk);
}

}  // namespace
