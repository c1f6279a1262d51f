// Subscriptions and what notifies them: commits (two-phase prepare, abort,
// commit in priority order), operational writes and triggers.
#include "confd_cdb.h"
#include "mgmtd_agent.h"
#include "ost_log.h"

namespace mgmtd {

namespace {

bool is_config_sub(int type)
{
    return type == CDB_SUB_RUNNING || type == CDB_SUB_RUNNING_TWOPHASE;
}

}  // namespace

bool agent::overlaps(const agent_path &sub, const lysc_node *target) const
{
    const lysc_node *s = sub.target();
    if (s == nullptr || target == nullptr) {
        return true;
    }
    for (const lysc_node *n = target; n != nullptr; n = n->parent) {
        if (n == s) {
            return true;
        }
    }
    for (const lysc_node *n = s; n != nullptr; n = n->parent) {
        if (n == target) {
            return true;
        }
    }
    return false;
}

void agent::sub_op(conn &c, mgmt_wire::reader &r)
{
    const uint32_t xid = r.xid();
    switch (r.op()) {
    case MGMT_OP_SUB_SUBSCRIBE: {
        int64_t type = 0;
        int64_t flags = 0;
        int64_t prio = 0;
        int64_t ns = 0;
        std::string text;
        if (!r.i64(type) || !r.i64(flags) || !r.i64(prio) || !r.i64(ns) || !r.str(text)) {
            bad_frame(c, "SUB_SUBSCRIBE");
            return;
        }
        if (c.sub_done) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "subscriptions are done on this socket");
            return;
        }
        if (type < CDB_SUB_RUNNING || type > CDB_SUB_OPERATIONAL) {
            reply_err(c, xid, CONFD_ERR_PROTOUSAGE, "no subscription type " + std::to_string(type));
            return;
        }
        subscription s;
        std::string err;
        if (parse_path(schema_, text, static_cast<uint32_t>(ns), &s.path, &err) != CONFD_OK) {
            reply_err(c, xid, CONFD_ERR_BADPATH, err);
            return;
        }
        if (s.path.steps.empty()) {
            reply_err(c, xid, CONFD_ERR_BADPATH, "bad path " + text + ": subscribe to an element");
            return;
        }
        s.point = next_point_++;
        s.conn = c.id;
        s.type = static_cast<int>(type);
        s.priority = static_cast<int>(prio);
        s.ns = static_cast<uint32_t>(ns);
        s.text = path_text(s.path);
        const int point = s.point;
        subs_[point] = std::move(s);
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        w.i64(point);
        send(c, w.finish());
        return;
    }
    case MGMT_OP_SUB_DONE:
        c.sub_done = true;
        reply_ok(c, xid);
        return;
    case MGMT_OP_SUB_SYNC: {
        int64_t type = 0;
        if (!r.i64(type)) {
            bad_frame(c, "SUB_SYNC");
            return;
        }
        if (!c.busy) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "no notification to synchronise");
            return;
        }
        reply_ok(c, xid);
        sub_outcome o;
        o.kind = sub_outcome::synced;
        finish_delivery(c, o);
        return;
    }
    case MGMT_OP_SUB_ABORT: {
        int64_t code = 0;
        std::string text;
        if (!r.i64(code) || !r.str(text)) {
            bad_frame(c, "SUB_ABORT");
            return;
        }
        if (!c.busy || c.queue.front().type != CDB_SUB_PREPARE) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "only a prepare notification can be aborted");
            return;
        }
        reply_ok(c, xid);
        sub_outcome o;
        o.kind = sub_outcome::aborted;
        o.code = static_cast<int>(code);
        o.text = text.empty() ? "the transaction was aborted by " + c.name : text;
        finish_delivery(c, o);
        return;
    }
    case MGMT_OP_SUB_GET_MODS:
    case MGMT_OP_SUB_DIFF: {
        int64_t point = 0;
        int64_t flags = 0;
        std::string text;
        const bool mods = r.op() == MGMT_OP_SUB_GET_MODS;
        if (!r.i64(point) || !r.i64(flags) || (mods && !r.str(text))) {
            bad_frame(c, mods ? "SUB_GET_MODS" : "SUB_DIFF");
            return;
        }
        if (!c.busy) {
            reply_err(c, xid, CONFD_ERR_BADSTATE, "no notification is being handled");
            return;
        }
        const delivery &d = c.queue.front();
        auto it = subs_.find(static_cast<int>(point));
        bool ours = it != subs_.end() && it->second.conn == c.id;
        bool in_notif = false;
        for (int p : d.points) {
            in_notif = in_notif || p == point;
        }
        if (!ours || !in_notif || !d.changes) {
            reply_err(c, xid, CONFD_ERR_BADSTATE,
                      "point " + std::to_string(point) + " is not in the notification being handled");
            return;
        }
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        if (mods && !text.empty()) {
            agent_path narrow;
            std::string err;
            if (parse_path(schema_, text, it->second.ns, &narrow, &err) != CONFD_OK) {
                reply_err(c, xid, CONFD_ERR_BADPATH, err);
                return;
            }
            write_mods(w, schema_, find_level(schema_, *d.changes, narrow), true);
        } else if (mods) {
            write_mods(w, schema_, find_level(schema_, *d.changes, it->second.path), false);
        } else {
            write_diff(w, schema_, find_level(schema_, *d.changes, it->second.path));
        }
        send(c, w.finish());
        return;
    }
    default:
        unsupported(c, xid, r.op());
        return;
    }
}

void agent::deliver(uint64_t conn_id, delivery d)
{
    conn *c = find(conn_id);
    if (c == nullptr) {
        sub_outcome o;
        o.kind = sub_outcome::dropped;
        if (d.done) {
            d.done(o);
        }
        return;
    }
    c->queue.push_back(std::move(d));
    if (c->queue.size() > 10000) {
        close_conn(*c, "more than 10000 notifications waiting: subscriber dropped");
        return;
    }
    pump(*c);
}

void agent::pump(conn &c)
{
    if (c.dead || c.busy || c.queue.empty()) {
        return;
    }
    c.busy = true;
    const delivery &d = c.queue.front();
    mgmt_wire::writer w(MGMT_OP_SUB_NOTIFY, c.next_xid++);
    w.i64(d.type).i64(d.flags).list(static_cast<uint32_t>(d.points.size()));
    for (int p : d.points) {
        w.i64(p);
    }
    c.sub_timer.reset(evtimer_new(base_, sub_timeout_cb, &c));
    timeval tv{opt_.reply_timeout_ms / 1000, (opt_.reply_timeout_ms % 1000) * 1000};
    evtimer_add(c.sub_timer.get(), &tv);
    send(c, w.finish());
}

void agent::sub_timeout_cb(evutil_socket_t, short, void *arg)
{
    auto *c = static_cast<conn *>(arg);
    char why[96];
    snprintf(why, sizeof(why), "no sync within %d ms: subscriber dropped", c->owner->opt_.reply_timeout_ms);
    c->owner->close_conn(*c, why);
}

void agent::finish_delivery(conn &c, const sub_outcome &o)
{
    c.sub_timer.reset();
    delivery d = std::move(c.queue.front());
    c.queue.pop_front();
    c.busy = false;
    if (d.done) {
        d.done(o);
    }
    pump(c);
}

task<void> agent::notify_group(std::map<uint64_t, std::vector<int>> socks, int type, int flags,
                               std::shared_ptr<const change_set> cs, std::vector<sub_outcome> *outcomes,
                               std::vector<uint64_t> *synced)
{
    auto g = std::make_shared<gate>();
    g->left = static_cast<int>(socks.size());
    for (auto &[conn_id, points] : socks) {
        delivery d;
        d.type = type;
        d.flags = flags;
        d.points = points;
        d.changes = cs;
        const uint64_t id = conn_id;
        d.done = [this, g, outcomes, synced, id](const sub_outcome &o) {
            if (outcomes != nullptr) {
                outcomes->push_back(o);
            }
            if (synced != nullptr && o.kind == sub_outcome::synced) {
                synced->push_back(id);
            }
            gate_done(g);
        };
        deliver(conn_id, std::move(d));
    }
    gate_awaiter wait{g};
    co_await wait;
}

void agent::notify_oper(const lysc_node *target, const lyd_node *before, const lyd_node *after)
{
    auto cs = std::make_shared<change_set>();
    std::string err;
    if (!build_changes(schema_, before, after, cs.get(), &err)) {
        OST_LOGF(LOG_ERR, "operational subscribers not notified: %s", err.c_str());
        return;
    }
    if (cs->empty()) {
        return;
    }
    std::map<uint64_t, std::vector<int>> socks;
    for (const auto &[point, sub] : subs_) {
        if (sub.type == CDB_SUB_OPERATIONAL && overlaps(sub.path, target) &&
            !find_level(schema_, *cs, sub.path).empty()) {
            socks[sub.conn].push_back(point);
        }
    }
    for (auto &[conn_id, points] : socks) {
        delivery d;
        d.type = CDB_SUB_OPER;
        d.points = std::move(points);
        d.changes = cs;
        deliver(conn_id, std::move(d));
    }
}

root_task agent::run_commit(uint64_t cli, uint32_t xid, std::vector<commit_edit> edits)
{
    co_await commit_lock_awaiter{this};
    struct releaser {
        agent *a;
        ~releaser() { a->release_commit(); }
    } hold{this};

    lyd_node *t = store::dup(store_.running()).release();
    for (const commit_edit &e : edits) {
        result r;
        const lysc_node *target = e.path.target();
        if (target != nullptr && (target->flags & LYS_CONFIG_R) != 0) {
            r = result::error(CONFD_ERR_NOT_WRITABLE, path_text(e.path) + " is operational data, not configuration");
        } else if (e.op == MGMT_EDIT_SET) {
            r = store_.set_text(&t, e.path, e.value);
        } else if (e.op == MGMT_EDIT_DELETE) {
            r = store_.remove(&t, e.path);
        } else {
            r = store_.create(&t, e.path);
        }
        if (!r.ok()) {
            lyd_free_all(t);
            reply_err_to(cli, xid, r.code, r.text);
            co_return;
        }
    }
    tree_ptr next(t);
    result v = store_.validate(next);
    if (!v.ok()) {
        reply_err_to(cli, xid, v.code, v.text);
        co_return;
    }
    auto cs = std::make_shared<change_set>();
    std::string err;
    if (!build_changes(schema_, store_.running(), next.get(), cs.get(), &err)) {
        reply_err_to(cli, xid, CONFD_ERR_INTERNAL, err);
        co_return;
    }
    if (cs->empty()) {
        if (conn *c = find(cli)) {
            reply_ok(*c, xid);
        }
        co_return;
    }
    std::map<int, std::map<uint64_t, std::vector<int>>> all;
    std::map<int, std::map<uint64_t, std::vector<int>>> twophase;
    for (const auto &[point, sub] : subs_) {
        if (!is_config_sub(sub.type) || find_level(schema_, *cs, sub.path).empty()) {
            continue;
        }
        all[sub.priority][sub.conn].push_back(point);
        if (sub.type == CDB_SUB_RUNNING_TWOPHASE) {
            twophase[sub.priority][sub.conn].push_back(point);
        }
    }
    pending_tree_ = next.get();
    std::vector<uint64_t> prepared;
    std::optional<sub_outcome> refusal;
    for (auto &[prio, socks] : twophase) {
        std::vector<sub_outcome> outs;
        co_await notify_group(socks, CDB_SUB_PREPARE, 0, cs, &outs, &prepared);
        for (const sub_outcome &o : outs) {
            if (o.kind == sub_outcome::aborted && !refusal) {
                refusal = o;
                refusal->code = CONFD_ERR_ABORTED;
            }
        }
        if (refusal) {
            break;
        }
    }
    if (!refusal && !store_.persist(next.get(), &err)) {
        OST_LOGF(LOG_ERR, "commit refused: %s", err.c_str());
        refusal = sub_outcome{sub_outcome::aborted, CONFD_ERR_INTERNAL, err};
    }
    if (refusal) {
        pending_tree_ = nullptr;
        std::map<uint64_t, std::vector<int>> undo;
        for (uint64_t id : prepared) {
            for (auto &[prio, socks] : twophase) {
                auto it = socks.find(id);
                if (it != socks.end()) {
                    undo[id].insert(undo[id].end(), it->second.begin(), it->second.end());
                }
            }
        }
        if (!undo.empty()) {
            co_await notify_group(undo, CDB_SUB_ABORT, 0, cs, nullptr, nullptr);
        }
        reply_err_to(cli, xid, refusal->code, refusal->text);
        co_return;
    }
    store_.set_running(std::move(next));
    pending_tree_ = nullptr;
    commits_++;
    for (auto &[prio, socks] : all) {
        co_await notify_group(socks, CDB_SUB_COMMIT, 0, cs, nullptr, nullptr);
    }
    std::string user;
    if (conn *c = find(cli)) {
        user = c->name;
    }
    for (auto &[id, n] : conns_) {
        if (!n->dead && n->kind == MGMT_CONN_NOTIFICATION && (n->notif_mask & CONFD_NOTIF_COMMIT_SIMPLE) != 0) {
            mgmt_wire::writer w(MGMT_OP_NOTIF_EVENT, n->next_xid++);
            w.i64(CONFD_NOTIF_COMMIT_SIMPLE).i64(CDB_RUNNING).i64(static_cast<int64_t>(cli)).str(user);
            send(*n, w.finish());
        }
    }
    if (conn *c = find(cli)) {
        reply_ok(*c, xid);
    }
}

root_task agent::run_trigger(uint64_t from, uint32_t xid, bool oper, int flags, std::vector<int> points)
{
    conn *c = find(from);
    if (c == nullptr) {
        co_return;
    }
    const int64_t pid = c->pid;
    std::map<uint64_t, std::vector<int>> socks;
    if (points.empty()) {
        for (const auto &[point, sub] : subs_) {
            conn *s = find(sub.conn);
            if (s != nullptr && s->pid == pid && (oper ? sub.type == CDB_SUB_OPERATIONAL : is_config_sub(sub.type))) {
                socks[sub.conn].push_back(point);
            }
        }
    } else {
        for (int p : points) {
            auto it = subs_.find(p);
            if (it == subs_.end()) {
                reply_err(*c, xid, CONFD_ERR_BADSTATE, "no subscription point " + std::to_string(p));
                co_return;
            }
            socks[it->second.conn].push_back(p);
        }
    }
    auto cs = std::make_shared<change_set>();
    std::string err;
    const lyd_node *tree = oper ? store_.oper() : store_.running();
    if (!build_changes(schema_, nullptr, tree, cs.get(), &err)) {
        reply_err(*c, xid, CONFD_ERR_INTERNAL, err);
        co_return;
    }
    co_await notify_group(socks, oper ? CDB_SUB_OPER : CDB_SUB_COMMIT, flags | CDB_SUB_FLAG_TRIGGER, cs,
                          nullptr, nullptr);
    if (conn *back = find(from)) {
        reply_ok(*back, xid);
    }
}

}  // namespace mgmtd
