// CDB subscriptions: subscribing, reading notifications, their
// modifications and diff, and synchronising.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "confd_cdb.h"
#include "confd_conn.h"
#include "confd_sub.h"

using namespace confd_impl;

namespace {

conn_ptr sub_conn(int sock)
{
    conn_ptr c = conn_for(sock, {MGMT_CONN_SUBSCRIPTION});
    if (c != nullptr && c->sub == nullptr) {
        c->sub = std::make_unique<sub_state>();
    }
    return c;
}

// A socket that may send a request now: before cdb_subscribe_done, or while
// it handles a notification (the agent pushes nothing meanwhile).
conn_ptr sub_conn_in_notification(int sock)
{
    conn_ptr c = sub_conn(sock);
    if (c != nullptr && !c->sub->in_notif) {
        fail(CONFD_ERR_BADSTATE, "no notification is being handled on this socket");
        return nullptr;
    }
    return c;
}

int malformed_reply()
{
    return fail(CONFD_ERR_PROTOUSAGE, "malformed reply from the agent");
}

int subscribe(int sock, cdb_sub_type type, int flags, int priority, int ns, int *spoint, const char *fmt, va_list ap)
{
    conn_ptr c = sub_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    if (c->sub->done) {
        return fail(CONFD_ERR_BADSTATE, "subscriptions are over: cdb_subscribe_done was called");
    }
    if (fmt == nullptr) {
        return fail(CONFD_ERR_BADPATH, "no path");
    }
    std::string path = vformat(fmt, ap);
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_SUB_SUBSCRIBE, xid);
    w.i64(type).i64(flags).i64(priority).i64(static_cast<uint32_t>(ns)).str(path);
    std::string reply;
    if (conn_call(*c, xid, w.finish(), reply) != CONFD_OK) {
        return CONFD_ERR;
    }
    mgmt_wire::reader rd = body_reader(reply);
    int64_t point = 0;
    if (!rd.i64(point)) {
        return malformed_reply();
    }
    c->sub->nsubs++;
    if (spoint != nullptr) {
        *spoint = static_cast<int>(point);
    }
    return CONFD_OK;
}

// Reads the next SUB_NOTIFY (other frames are not for this call).
int read_notify(conn &c, int64_t &type, int64_t &flags, std::vector<int> &points)
{
    std::string body;
    for (;;) {
        int r = conn_read(c, body);
        if (r != CONFD_OK) {
            return r;
        }
        mgmt_wire::reader rd = body_reader(body);
        if (rd.op() != MGMT_OP_SUB_NOTIFY) {
            lib_log(CONFD_DEBUG, "dropped op 0x%02x on subscription socket %d", rd.op(), c.fd);
            continue;
        }
        uint32_t n = 0;
        if (!rd.i64(type) || !rd.i64(flags) || !rd.list(n)) {
            return fail(CONFD_ERR_PROTOUSAGE, "malformed subscription notification");
        }
        points.clear();
        for (uint32_t i = 0; i < n; i++) {
            int64_t p;
            if (!rd.i64(p)) {
                return fail(CONFD_ERR_PROTOUSAGE, "malformed subscription notification");
            }
            points.push_back(static_cast<int>(p));
        }
        c.sub->in_notif = true;
        return CONFD_OK;
    }
}

// The tag-value list of a reply into a malloc'ed array the caller frees
// with free() after confd_free_value on each.
int copy_mods(const confd_tag_value_t *src, int n, confd_tag_value_t **values, int *nvalues)
{
    *values = nullptr;
    *nvalues = 0;
    if (n <= 0) {
        return CONFD_OK;
    }
    auto *out = static_cast<confd_tag_value_t *>(calloc(static_cast<size_t>(n), sizeof(confd_tag_value_t)));
    if (out == nullptr) {
        return fail(CONFD_ERR_MALLOC, "out of memory");
    }
    for (int i = 0; i < n; i++) {
        out[i].tag = src[i].tag;
        if (confd_value_dup_to(&src[i].v, &out[i].v) != CONFD_OK) {
            mgmt_wire::free_tag_values(out, i);
            return fail(CONFD_ERR_MALLOC, "out of memory");
        }
    }
    *values = out;
    *nvalues = n;
    return CONFD_OK;
}

bool read_diff_nodes(mgmt_wire::reader &rd, std::vector<std::unique_ptr<diff_node>> &out, int depth);

bool read_diff_node(mgmt_wire::reader &rd, diff_node &n, int depth)
{
    uint32_t fields = 0;
    int64_t op = 0;
    if (!rd.list(fields) || fields != 6 || !rd.keypath(n.kp) || !rd.i64(op)) {
        return false;
    }
    n.op = static_cast<int>(op);
    for (auto [v, has] : {std::pair{&n.oldv, &n.has_old}, std::pair{&n.newv, &n.has_new}}) {
        if (rd.peek() == mgmt_wire::kind::nil) {
            if (!rd.nil()) {
                return false;
            }
        } else if (!rd.value(*v)) {
            return false;
        } else {
            *has = true;
        }
    }
    return rd.tag_values(&n.mods, &n.nmods) && read_diff_nodes(rd, n.children, depth + 1);
}

bool read_diff_nodes(mgmt_wire::reader &rd, std::vector<std::unique_ptr<diff_node>> &out, int depth)
{
    uint32_t count = 0;
    if (depth > MAXDEPTH || !rd.list(count)) {
        return false;
    }
    for (uint32_t i = 0; i < count; i++) {
        auto n = std::make_unique<diff_node>();
        bool ok = read_diff_node(rd, *n, depth);
        out.push_back(std::move(n));
        if (!ok) {
            return false;
        }
    }
    return true;
}

using iter_fn = enum cdb_iter_ret (*)(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *oldv,
                                      confd_value_t *newv, void *state);

// Visits the nodes of one level. ITER_STOP ends the whole walk; ITER_UP
// ends this level, the caller going on with its next node.
cdb_iter_ret walk(sub_state &s, std::vector<std::unique_ptr<diff_node>> &nodes, iter_fn iter, void *state)
{
    for (auto &np : nodes) {
        diff_node &n = *np;
        s.iter_node = &n;
        cdb_iter_ret r = iter(&n.kp, static_cast<cdb_iter_op>(n.op), n.has_old ? &n.oldv : nullptr,
                              n.has_new ? &n.newv : nullptr, state);
        switch (r) {
        case ITER_STOP:
            return ITER_STOP;
        case ITER_UP:
            return ITER_UP;
        case ITER_RECURSE:
            if (walk(s, n.children, iter, state) == ITER_STOP) {
                return ITER_STOP;
            }
            break;
        default:
            break;
        }
    }
    return ITER_CONTINUE;
}

}  // namespace

extern "C" {

int cdb_subscribe(int sock, int priority, int nspace, int *spoint, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = subscribe(sock, CDB_SUB_RUNNING, 0, priority, nspace, spoint, fmt, ap);
    va_end(ap);
    return r;
}

int cdb_subscribe2(int sock, enum cdb_sub_type type, int flags, int priority, int *spoint, int nspace,
                   const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = subscribe(sock, type, flags, priority, nspace, spoint, fmt, ap);
    va_end(ap);
    return r;
}

int cdb_oper_subscribe(int sock, int nspace, int *spoint, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = subscribe(sock, CDB_SUB_OPERATIONAL, 0, 0, nspace, spoint, fmt, ap);
    va_end(ap);
    return r;
}

int cdb_subscribe_done(int sock)
{
    conn_ptr c = sub_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    if (c->sub->done) {
        return fail(CONFD_ERR_BADSTATE, "cdb_subscribe_done was called already");
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_SUB_DONE, xid);
    std::string reply;
    if (conn_call(*c, xid, w.finish(), reply) != CONFD_OK) {
        return CONFD_ERR;
    }
    c->sub->done = true;
    return CONFD_OK;
}

int cdb_read_subscription_socket2(int sock, enum cdb_sub_notification *type, int *flags, int **subpoints,
                                  int *resultlen)
{
    conn_ptr c = sub_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    int64_t t = 0, f = 0;
    std::vector<int> points;
    int r = read_notify(*c, t, f, points);
    if (r != CONFD_OK) {
        return r;
    }
    int *arr = static_cast<int *>(malloc((points.size() + 1) * sizeof(int)));
    if (arr == nullptr) {
        return fail(CONFD_ERR_MALLOC, "out of memory");
    }
    std::copy(points.begin(), points.end(), arr);
    if (type != nullptr) {
        *type = static_cast<cdb_sub_notification>(t);
    }
    if (flags != nullptr) {
        *flags = static_cast<int>(f);
    }
    if (resultlen != nullptr) {
        *resultlen = static_cast<int>(points.size());
    }
    if (subpoints != nullptr) {
        *subpoints = arr;
    } else {
        free(arr);
    }
    return CONFD_OK;
}

int cdb_read_subscription_socket(int sock, int *subpoints, int *resultlen)
{
    conn_ptr c = sub_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    int64_t t = 0, f = 0;
    std::vector<int> points;
    int r = read_notify(*c, t, f, points);
    if (r != CONFD_OK) {
        return r;
    }
    // The caller's array holds one entry per subscription of this socket.
    size_t n = std::min(points.size(), static_cast<size_t>(c->sub->nsubs));
    if (subpoints != nullptr) {
        std::copy(points.begin(), points.begin() + static_cast<long>(n), subpoints);
    }
    if (resultlen != nullptr) {
        *resultlen = static_cast<int>(n);
    }
    return CONFD_OK;
}

int cdb_sync_subscription_socket(int sock, enum cdb_subscription_sync_type st)
{
    conn_ptr c = sub_conn_in_notification(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_SUB_SYNC, xid);
    w.i64(st);
    std::string reply;
    c->sub->in_notif = false;
    return conn_call(*c, xid, w.finish(), reply);
}

int cdb_sub_abort_trans(int sock, enum confd_errcode code, uint32_t, uint32_t, const char *fmt, ...)
{
    conn_ptr c = sub_conn_in_notification(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    std::string text;
    if (fmt != nullptr) {
        va_list ap;
        va_start(ap, fmt);
        text = vformat(fmt, ap);
        va_end(ap);
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_SUB_ABORT, xid);
    w.i64(code).str(text);
    std::string reply;
    c->sub->in_notif = false;
    return conn_call(*c, xid, w.finish(), reply);
}

int cdb_get_modifications(int sock, int subid, int flags, confd_tag_value_t **values, int *nvalues,
                          const char *fmt, ...)
{
    if (values == nullptr || nvalues == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no result pointers");
    }
    *values = nullptr;
    *nvalues = 0;
    conn_ptr c = sub_conn_in_notification(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    std::string path;
    if (fmt != nullptr) {
        va_list ap;
        va_start(ap, fmt);
        path = vformat(fmt, ap);
        va_end(ap);
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_SUB_GET_MODS, xid);
    w.i64(subid).i64(flags).str(path);
    std::string reply;
    int r = conn_call(*c, xid, w.finish(), reply);
    if (r != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader rd = body_reader(reply);
    return rd.tag_values(values, nvalues) ? CONFD_OK : malformed_reply();
}

int cdb_get_modifications_iter(int sock, int, confd_tag_value_t **values, int *nvalues)
{
    if (values == nullptr || nvalues == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no result pointers");
    }
    *values = nullptr;
    *nvalues = 0;
    conn_ptr c = sub_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    const diff_node *n = c->sub->iter_node;
    if (n == nullptr) {
        return fail(CONFD_ERR_BADSTATE, "not inside cdb_diff_iterate");
    }
    return copy_mods(n->mods, n->nmods, values, nvalues);
}

int cdb_diff_iterate(int sock, int subid,
                     enum cdb_iter_ret (*iter)(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *oldv,
                                               confd_value_t *newv, void *state),
                     int flags, void *initstate)
{
    if (iter == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no iterator");
    }
    conn_ptr c = sub_conn_in_notification(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    if (c->sub->iter_node != nullptr) {
        return fail(CONFD_ERR_BADSTATE, "cdb_diff_iterate is running on this socket");
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_SUB_DIFF, xid);
    w.i64(subid).i64(flags);
    std::string reply;
    int r = conn_call(*c, xid, w.finish(), reply);
    if (r != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader rd = body_reader(reply);
    std::vector<std::unique_ptr<diff_node>> roots;
    if (!read_diff_nodes(rd, roots, 0)) {
        return malformed_reply();
    }
    walk(*c->sub, roots, iter, initstate);
    c->sub->iter_node = nullptr;
    return CONFD_OK;
}

}  // extern "C"
