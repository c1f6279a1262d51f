// Subscriptions against an in-test agent: a notification, its diff walked
// as the iterator steers, the modifications of the node being visited, and
// the answers that end a notification.
#include <gtest/gtest.h>
#include <poll.h>

#include "confd_cdb.h"
#include "fake_agent.h"

namespace {

// A diff node named by its tag: [keypath, op, old, new, mods, children].
void node(mgmt_wire::writer &w, uint32_t tag, int op, int old_v, int new_v, int nmods, uint32_t nchildren)
{
    confd_hkeypath_t kp{};
    kp.len = 1;
    CONFD_SET_XMLTAG(&kp.v[0][0], tag, 3);
    w.list(6).keypath(kp).i64(op);
    for (int v : {old_v, new_v}) {
        if (v < 0) {
            w.nil();
        } else {
            confd_value_t x{};
            CONFD_SET_UINT32(&x, static_cast<uint32_t>(v));
            w.value(x);
        }
    }
    std::vector<confd_tag_value_t> mods(static_cast<size_t>(nmods));
    for (int i = 0; i < nmods; i++) {
        CONFD_SET_TAG_UINT32(&mods[static_cast<size_t>(i)], 900 + static_cast<uint32_t>(i), tag);
    }
    w.tag_values(mods.data(), nmods).list(nchildren);
}

struct walk {
    int sock;
    std::vector<uint32_t> seen;
    std::vector<std::string> notes;
};

cdb_iter_ret iterate(confd_hkeypath_t *kp, cdb_iter_op op, confd_value_t *oldv, confd_value_t *newv, void *state)
{
    auto *w = static_cast<walk *>(state);
    uint32_t tag = kp->v[0][0].val.xmltag.tag;
    w->seen.push_back(tag);
    if (tag == 11) {
        w->notes.push_back("11 op " + std::to_string(op) + " " + std::to_string(oldv ? oldv->val.u32 : 0) + "->" +
                           std::to_string(newv ? newv->val.u32 : 0));
    }
    if (tag == 12) {
        confd_tag_value_t *mods = nullptr;
        int n = 0;
        EXPECT_EQ(cdb_get_modifications_iter(w->sock, 0, &mods, &n), CONFD_OK);
        for (int i = 0; i < n; i++) {
            w->notes.push_back("12 mod " + std::to_string(mods[i].tag.tag) + "=" + std::to_string(mods[i].v.val.u32));
            confd_free_value(&mods[i].v);
        }
        free(mods);
        EXPECT_EQ(newv, nullptr);
    }
    switch (tag) {
    case 1:
    case 3:
        return ITER_RECURSE;
    case 31:
        return ITER_UP;
    case 4:
        return ITER_STOP;
    default:
        return ITER_CONTINUE;
    }
}

TEST(ConfdCdbSub, NotificationDiffAndItsEnd)
{
    fake_agent agent;
    std::mutex mu;
    std::vector<std::string> log;
    int next_point = 0;
    agent.on(MGMT_CONN_SUBSCRIPTION, [&](fake_agent::peer &p, mgmt_wire::reader &r) {
        std::lock_guard<std::mutex> g(mu);
        int64_t a = 0, b = 0, c = 0, ns = 0;
        std::string path;
        switch (r.op()) {
        case MGMT_OP_SUB_SUBSCRIBE:
            r.i64(a), r.i64(b), r.i64(c), r.i64(ns), r.str(path);
            log.push_back("sub " + std::to_string(a) + " prio " + std::to_string(c) + " ns " + std::to_string(ns) +
                          " " + path);
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) { w.i64(++next_point); }));
            return true;
        case MGMT_OP_SUB_DONE:
            log.push_back("done");
            p.send(fake_agent::reply(r.xid()));
            return true;
        case MGMT_OP_SUB_GET_MODS: {
            r.i64(a), r.i64(b), r.str(path);
            log.push_back("mods " + std::to_string(a) + " " + path);
            confd_tag_value_t tv[3];
            CONFD_SET_TAG_XMLBEGIN(&tv[0], 5, 3);
            CONFD_SET_TAG_STR(&tv[1], 6, "v");
            CONFD_SET_TAG_XMLEND(&tv[2], 5, 3);
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) { w.tag_values(tv, 3); }));
            return true;
        }
        case MGMT_OP_SUB_DIFF:
            r.i64(a);
            log.push_back("diff " + std::to_string(a));
            p.send(fake_agent::reply(r.xid(), [&](mgmt_wire::writer &w) {
                w.list(5);
                node(w, 1, MOP_MODIFIED, -1, -1, 0, 2);
                node(w, 11, MOP_VALUE_SET, 1, 2, 0, 0);
                node(w, 12, MOP_CREATED, -1, -1, 2, 1);
                node(w, 121, MOP_VALUE_SET, -1, 5, 0, 0);
                node(w, 2, MOP_DELETED, -1, -1, 0, 1);
                node(w, 21, MOP_DELETED, -1, -1, 0, 0);
                node(w, 3, MOP_MODIFIED, -1, -1, 0, 2);
                node(w, 31, MOP_VALUE_SET, -1, 1, 0, 0);
                node(w, 32, MOP_VALUE_SET, -1, 1, 0, 0);
                node(w, 4, MOP_MODIFIED, -1, -1, 0, 0);
                node(w, 5, MOP_MODIFIED, -1, -1, 0, 0);
            }));
            return true;
        case MGMT_OP_SUB_SYNC:
            r.i64(a);
            log.push_back("sync " + std::to_string(a));
            // The next notification right behind the reply, in one segment.
            p.send(fake_agent::reply(r.xid()) + mgmt_wire::writer(MGMT_OP_SUB_NOTIFY, 0)
                                                    .i64(CDB_SUB_PREPARE).i64(0).list(1).i64(2).finish());
            return true;
        case MGMT_OP_SUB_ABORT:
            r.i64(a), r.str(path);
            log.push_back("abort " + std::to_string(a) + " " + path);
            p.send(fake_agent::reply(r.xid()));
            return true;
        default:
            return false;
        }
    });
    int s = client_socket();
    ASSERT_EQ(cdb_connect(s, CDB_SUBSCRIPTION_SOCKET, agent.addr(), agent.addrlen()), CONFD_OK);
    int p1 = 0, p2 = 0;
    ASSERT_EQ(cdb_subscribe(s, 1, 0x33, &p1, "/sample/%s", "items"), CONFD_OK);
    ASSERT_EQ(cdb_subscribe2(s, CDB_SUB_RUNNING_TWOPHASE, 0, 2, &p2, 0x33, "/sample/forbidden"), CONFD_OK);
    EXPECT_EQ(cdb_get_modifications_iter(s, 0, nullptr, nullptr), CONFD_ERR);
    ASSERT_EQ(cdb_subscribe_done(s), CONFD_OK);
    // No requests while no notification is being handled.
    confd_tag_value_t *mods = nullptr;
    int nmods = 0;
    EXPECT_EQ(cdb_get_modifications(s, p1, 0, &mods, &nmods, nullptr), CONFD_ERR);
    EXPECT_EQ(confd_errno, CONFD_ERR_BADSTATE);
    EXPECT_EQ(cdb_sync_subscription_socket(s, CDB_DONE_PRIORITY), CONFD_ERR);

    fake_agent::peer *p = agent.wait_peer(MGMT_CONN_SUBSCRIPTION);
    ASSERT_NE(p, nullptr);
    p->send(mgmt_wire::writer(MGMT_OP_SUB_NOTIFY, 0)
                .i64(CDB_SUB_COMMIT).i64(CDB_SUB_FLAG_IS_LAST).list(2).i64(p1).i64(p2).finish());
    cdb_sub_notification type{};
    int flags = 0, *points = nullptr, npoints = 0;
    ASSERT_EQ(cdb_read_subscription_socket2(s, &type, &flags, &points, &npoints), CONFD_OK);
    EXPECT_EQ(type, CDB_SUB_COMMIT);
    EXPECT_EQ(flags, CDB_SUB_FLAG_IS_LAST);
    ASSERT_EQ(npoints, 2);
    EXPECT_EQ(points[0], p1);
    EXPECT_EQ(points[1], p2);
    free(points);

    ASSERT_EQ(cdb_get_modifications(s, p1, 0, &mods, &nmods, "/sample/items{%d}", 4), CONFD_OK);
    ASSERT_EQ(nmods, 3);
    EXPECT_EQ(mods[0].v.type, C_XMLBEGIN);
    EXPECT_STREQ(CONFD_GET_CBUFPTR(&mods[1].v), "v");
    for (int i = 0; i < nmods; i++) {
        confd_free_value(&mods[i].v);
    }
    free(mods);

    walk w{s, {}, {}};
    ASSERT_EQ(cdb_diff_iterate(s, p1, iterate, 0, &w), CONFD_OK);
    // 1 recursed into; 12 not (its child 121 unseen); 2 not; 3 recursed,
    // 31 went up past 32 to 4, which stopped before 5.
    EXPECT_EQ(w.seen, (std::vector<uint32_t>{1, 11, 12, 2, 3, 31, 4}));
    EXPECT_EQ(w.notes, (std::vector<std::string>{"11 op 4 1->2", "12 mod 900=12", "12 mod 901=12"}));
    EXPECT_EQ(cdb_get_modifications_iter(s, 0, &mods, &nmods), CONFD_ERR);
    ASSERT_EQ(cdb_sync_subscription_socket(s, CDB_DONE_PRIORITY), CONFD_OK);

    // The notification that came with the sync's reply is left in the
    // socket for the owner's event loop to see. It is refused: the abort
    // replaces the sync.
    pollfd pfd{s, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 5000), 1);
    int arr[2] = {0, 0}, len = 0;
    ASSERT_EQ(cdb_read_subscription_socket(s, arr, &len), CONFD_OK);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(arr[0], p2);
    ASSERT_EQ(cdb_sub_abort_trans(s, CONFD_ERR_INCONSISTENT_VALUE, 0, 0, "Unable to apply %s", "changes"), CONFD_OK);
    EXPECT_EQ(cdb_sync_subscription_socket(s, CDB_DONE_PRIORITY), CONFD_ERR);
    {
        std::lock_guard<std::mutex> g(mu);
        EXPECT_EQ(log, (std::vector<std::string>{"sub 1 prio 1 ns 51 /sample/items",
                                                 "sub 2 prio 2 ns 51 /sample/forbidden", "done",
                                                 "mods 1 /sample/items{4}", "diff 1", "sync 1",
                                                 "abort 31 Unable to apply changes"}));
    }
    agent.hang_up(p);
    EXPECT_EQ(cdb_read_subscription_socket2(s, &type, &flags, &points, &npoints), CONFD_EOF);
    cdb_close(s);
}

}  // namespace
