// CDB data sessions: reads of the running configuration and the
// operational store, writes to the operational store, and the database
// locks.
#include <cstring>

#include "confd_cdb.h"
#include "mgmtd_agent.h"
#include "ost_log.h"

namespace mgmtd {

namespace {

int lock_index(int db)
{
    return db == CDB_OPERATIONAL ? 1 : 0;
}

const char *db_name(int db)
{
    return db == CDB_OPERATIONAL ? "operational" : "running";
}

}  // namespace

const lyd_node *agent::read_tree(const conn &c, const lysc_node *target) const
{
    if (target != nullptr && (target->flags & LYS_CONFIG_R) != 0) {
        return store_.oper();
    }
    if (c.db == CDB_PRE_COMMIT_RUNNING && pending_tree_ != nullptr) {
        return pending_tree_;
    }
    return store_.running();
}

void agent::start_session(conn &c, uint32_t xid, int db, int flags)
{
    if (c.db != 0) {
        reply_err(c, xid, CONFD_ERR_BADSTATE, "a session is open on this socket already");
        return;
    }
    if (db < CDB_RUNNING || db > CDB_PRE_COMMIT_RUNNING) {
        reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "no database " + std::to_string(db));
        return;
    }
    if (phase_ < 1) {
        reply_err(c, xid, CONFD_ERR_UNAVAILABLE, "CDB is not available in start phase 0");
        return;
    }
    if ((flags & (CDB_LOCK_REQUEST | CDB_LOCK_SESSION)) == 0) {
        c.db = db;
        reply_ok(c, xid);
        return;
    }
    const int idx = lock_index(db);
    const uint64_t holder = lock_holder_[idx];
    if (holder == 0) {
        lock_holder_[idx] = c.id;
        c.locked = true;
        c.db = db;
        reply_ok(c, xid);
        return;
    }
    for (const auto &w : lock_waiters_[idx]) {
        if (w->conn == c.id) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "a session start waits on this socket already");
            return;
        }
    }
    if ((flags & CDB_LOCK_WAIT) == 0) {
        auto it = conns_.find(holder);
        std::string who = it != conns_.end() ? it->second->name : "?";
        reply_err(c, xid, CONFD_ERR_LOCKED,
                  std::string("the ") + db_name(db) + " database is locked by a session of " + who);
        return;
    }
    auto w = std::make_unique<lock_waiter>();
    w->owner = this;
    w->conn = c.id;
    w->xid = xid;
    w->db = db;
    w->timer.reset(evtimer_new(base_, lock_timeout_cb, w.get()));
    timeval tv{opt_.reply_timeout_ms / 1000, (opt_.reply_timeout_ms % 1000) * 1000};
    evtimer_add(w->timer.get(), &tv);
    lock_waiters_[idx].push_back(std::move(w));
}

void agent::lock_timeout_cb(evutil_socket_t, short, void *arg)
{
    auto *w = static_cast<lock_waiter *>(arg);
    agent *self = w->owner;
    auto &q = self->lock_waiters_[lock_index(w->db)];
    for (auto it = q.begin(); it != q.end(); ++it) {
        if (it->get() == w) {
            std::unique_ptr<lock_waiter> mine = std::move(*it);
            q.erase(it);
            self->reply_err_to(mine->conn, mine->xid, CONFD_ERR_LOCKED,
                               std::string("the ") + db_name(mine->db) + " database stayed locked for " +
                                   std::to_string(self->opt_.reply_timeout_ms) + " ms");
            return;
        }
    }
}

void agent::end_session(conn &c)
{
    if (c.locked) {
        const int idx = lock_index(c.db);
        if (lock_holder_[idx] == c.id) {
            lock_holder_[idx] = 0;
        }
        c.locked = false;
        c.db = 0;
        grant_locks(idx);
    }
    c.db = 0;
}

void agent::grant_locks(int idx)
{
    auto &q = lock_waiters_[idx];
    while (lock_holder_[idx] == 0 && !q.empty()) {
        std::unique_ptr<lock_waiter> w = std::move(q.front());
        q.pop_front();
        conn *c = find(w->conn);
        if (c == nullptr || c->db != 0) {
            continue;
        }
        lock_holder_[idx] = c->id;
        c->locked = true;
        c->db = w->db;
        reply_ok(*c, w->xid);
    }
}

void agent::oper_write(conn &c, uint32_t xid, mgmt_op op, const agent_path &p, const confd_value_t *v,
                       const std::string *text)
{
    const lysc_node *target = p.target();
    bool watched = false;
    for (const auto &[point, sub] : subs_) {
        watched = watched || (sub.type == CDB_SUB_OPERATIONAL && overlaps(sub.path, target));
    }
    tree_ptr before = watched ? store::dup(store_.oper()) : nullptr;
    result r;
    switch (op) {
    case MGMT_OP_CDB_SET_ELEM:
        r = store_.set(&store_.oper(), p, *v);
        break;
    case MGMT_OP_CDB_SET_ELEM_STR:
        r = store_.set_text(&store_.oper(), p, *text);
        break;
    case MGMT_OP_CDB_CREATE:
        r = store_.create(&store_.oper(), p);
        break;
    default:
        r = store_.remove(&store_.oper(), p);
        break;
    }
    if (!r.ok()) {
        reply_err(c, xid, r.code, r.text);
        return;
    }
    reply_ok(c, xid);
    if (watched) {
        notify_oper(target, before.get(), store_.oper());
    }
}

void agent::cdb_op(conn &c, mgmt_wire::reader &r)
{
    const uint32_t xid = r.xid();
    const mgmt_op op = r.op();
    switch (op) {
    case MGMT_OP_CDB_START_SESSION: {
        int64_t db = 0;
        int64_t flags = 0;
        if (!r.i64(db) || !r.i64(flags)) {
            bad_frame(c, "CDB_START_SESSION");
            return;
        }
        start_session(c, xid, static_cast<int>(db), static_cast<int>(flags));
        return;
    }
    case MGMT_OP_CDB_END_SESSION:
        if (c.db == 0) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "no session");
            return;
        }
        end_session(c);
        reply_ok(c, xid);
        return;
    case MGMT_OP_CDB_TRIGGER: {
        int64_t oper = 0;
        int64_t flags = 0;
        uint32_t n = 0;
        if (!r.i64(oper) || !r.i64(flags) || !r.list(n)) {
            bad_frame(c, "CDB_TRIGGER");
            return;
        }
        std::vector<int> points;
        for (uint32_t i = 0; i < n; i++) {
            int64_t p = 0;
            if (!r.i64(p)) {
                bad_frame(c, "CDB_TRIGGER");
                return;
            }
            points.push_back(static_cast<int>(p));
        }
        run_trigger(c.id, xid, oper != 0, static_cast<int>(flags), std::move(points));
        return;
    }
    case MGMT_OP_CDB_GET:
    case MGMT_OP_CDB_EXISTS:
    case MGMT_OP_CDB_NUM_INSTANCES:
    case MGMT_OP_CDB_SET_ELEM:
    case MGMT_OP_CDB_SET_ELEM_STR:
    case MGMT_OP_CDB_CREATE:
    case MGMT_OP_CDB_DELETE:
        break;
    default:
        unsupported(c, xid, op);
        return;
    }
    std::string text_path;
    if (!r.str(text_path)) {
        bad_frame(c, "CDB");
        return;
    }
    cvalue value;
    std::string text;
    if (op == MGMT_OP_CDB_SET_ELEM && !r.value(value.get())) {
        bad_frame(c, "CDB_SET_ELEM");
        return;
    }
    if (op == MGMT_OP_CDB_SET_ELEM_STR && !r.str(text)) {
        bad_frame(c, "CDB_SET_ELEM_STR");
        return;
    }
    if (c.db == 0) {
        reply_err(c, xid, CONFD_ERR_BADSTATE, "no session: start one first");
        return;
    }
    agent_path p;
    std::string err;
    if (parse_path(schema_, text_path, 0, &p, &err) != CONFD_OK) {
        reply_err(c, xid, CONFD_ERR_BADPATH, err);
        return;
    }
    const lysc_node *target = p.target();
    switch (op) {
    case MGMT_OP_CDB_GET: {
        cvalue out;
        result res = store_.get(read_tree(c, target), p, &out);
        if (!res.ok()) {
            reply_err(c, xid, res.code, res.text);
            return;
        }
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.value(out.get());
        send(c, w.finish());
        return;
    }
    case MGMT_OP_CDB_EXISTS: {
        bool yes = false;
        result res = store_.exists(read_tree(c, target), p, &yes);
        if (!res.ok()) {
            reply_err(c, xid, res.code, res.text);
            return;
        }
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.i64(yes ? 1 : 0);
        send(c, w.finish());
        return;
    }
    case MGMT_OP_CDB_NUM_INSTANCES: {
        int64_t n = 0;
        result res = store_.num_instances(read_tree(c, target), p, &n);
        if (!res.ok()) {
            reply_err(c, xid, res.code, res.text);
            return;
        }
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.i64(n);
        send(c, w.finish());
        return;
    }
    default:
        break;
    }
    if (c.db != CDB_OPERATIONAL) {
        reply_err(c, xid, CONFD_ERR_NOT_WRITABLE,
                  "the running configuration changes only through commits: write in an operational session");
        return;
    }
    if (target == nullptr || (target->flags & LYS_CONFIG_R) == 0) {
        reply_err(c, xid, CONFD_ERR_NOT_WRITABLE, path_text(p) + " is configuration, not operational data");
        return;
    }
    // Another session's lock keeps out the lock takers only; plain writers
    // go on (the lock orders the writers that ask for it).
    oper_write(c, xid, op, p, &value.get(), &text);
}

}  // namespace mgmtd
