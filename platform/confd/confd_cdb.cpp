// CDB data sessions: connect, sessions, reads, operational writes,
// triggers.
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <unistd.h>

#include "confd_cdb.h"
#include "confd_conn.h"
#include "confd_sub.h"

using namespace confd_impl;

namespace {

conn_ptr data_conn(int sock)
{
    return conn_for(sock, {MGMT_CONN_CDB_DATA});
}

// One request with a path; the reply's fields are read from *reply.
int path_call(int sock, mgmt_op op, const char *fmt, va_list ap, std::string &reply,
              const confd_value_t *value = nullptr, const char *text = nullptr)
{
    conn_ptr c = data_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    if (fmt == nullptr) {
        return fail(CONFD_ERR_BADPATH, "no path");
    }
    std::string path = vformat(fmt, ap);
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(op, xid);
    w.str(path);
    if (value != nullptr) {
        w.value(*value);
    }
    if (text != nullptr) {
        w.str(text);
    }
    return conn_call(*c, xid, w.finish(), reply);
}

int simple_call(conn &c, mgmt_wire::writer &w, uint32_t xid)
{
    std::string reply;
    return conn_call(c, xid, w.finish(), reply);
}

int trigger(int sock, int oper, int flags, const int points[], int len)
{
    conn_ptr c = data_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    if (len < 0 || (len > 0 && points == nullptr)) {
        return fail(CONFD_ERR_PROTOUSAGE, "bad subscription point list");
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_CDB_TRIGGER, xid);
    w.i64(oper).i64(flags).list(static_cast<uint32_t>(len));
    for (int i = 0; i < len; i++) {
        w.i64(points[i]);
    }
    return simple_call(*c, w, xid);
}

int malformed_reply()
{
    return fail(CONFD_ERR_PROTOUSAGE, "malformed reply from the agent");
}

}  // namespace

extern "C" {

int cdb_connect(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int addrsz)
{
    mgmt_conn_kind kind;
    switch (type) {
    case CDB_READ_SOCKET:
    case CDB_DATA_SOCKET:
        kind = MGMT_CONN_CDB_DATA;
        break;
    case CDB_SUBSCRIPTION_SOCKET:
        kind = MGMT_CONN_SUBSCRIPTION;
        break;
    default:
        return fail(CONFD_ERR_PROTOUSAGE, "unknown CDB socket type");
    }
    conn_ptr c;
    if (conn_open(sock, srv, addrsz, kind, lib_name(), 0, &c) != CONFD_OK) {
        return CONFD_ERR;
    }
    if (kind == MGMT_CONN_SUBSCRIPTION) {
        c->sub = std::make_unique<sub_state>();
    }
    return CONFD_OK;
}

int cdb_close(int sock)
{
    conn_forget(sock);
    if (close(sock) != 0) {
        return failf(CONFD_ERR_OS, "close: %s", strerror(errno));
    }
    return CONFD_OK;
}

int cdb_start_session(int sock, enum cdb_db_type db)
{
    return cdb_start_session2(sock, db, 0);
}

int cdb_start_session2(int sock, enum cdb_db_type db, int flags)
{
    conn_ptr c = data_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_CDB_START_SESSION, xid);
    w.i64(db).i64(flags);
    return simple_call(*c, w, xid);
}

int cdb_end_session(int sock)
{
    conn_ptr c = data_conn(sock);
    if (c == nullptr) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_CDB_END_SESSION, xid);
    return simple_call(*c, w, xid);
}

int cdb_set_timeout(int sock, int timeout_secs)
{
    conn_ptr c = conn_for(sock, {MGMT_CONN_CDB_DATA, MGMT_CONN_SUBSCRIPTION});
    if (c == nullptr) {
        return CONFD_ERR;
    }
    if (timeout_secs < 0 || timeout_secs > 24 * 3600) {
        return fail(CONFD_ERR_PROTOUSAGE, "timeout out of range");
    }
    c->timeout_ms = timeout_secs * 1000;
    return CONFD_OK;
}

int cdb_get(int sock, confd_value_t *v, const char *fmt, ...)
{
    if (v == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no value to fill");
    }
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_GET, fmt, ap, reply);
    va_end(ap);
    if (r != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader rd = body_reader(reply);
    return rd.value(*v) ? CONFD_OK : malformed_reply();
}

int cdb_exists(int sock, const char *fmt, ...)
{
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_EXISTS, fmt, ap, reply);
    va_end(ap);
    if (r != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader rd = body_reader(reply);
    int64_t v = 0;
    if (!rd.i64(v)) {
        return malformed_reply();
    }
    return v != 0 ? 1 : 0;
}

int cdb_num_instances(int sock, const char *fmt, ...)
{
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_NUM_INSTANCES, fmt, ap, reply);
    va_end(ap);
    if (r != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader rd = body_reader(reply);
    int64_t v = 0;
    if (!rd.i64(v) || v < 0 || v > INT32_MAX) {
        return malformed_reply();
    }
    return static_cast<int>(v);
}

int cdb_set_elem(int sock, const confd_value_t *v, const char *fmt, ...)
{
    if (v == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no value");
    }
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_SET_ELEM, fmt, ap, reply, v);
    va_end(ap);
    return r;
}

int cdb_set_elem2(int sock, const char *strval, const char *fmt, ...)
{
    if (strval == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no value");
    }
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_SET_ELEM_STR, fmt, ap, reply, nullptr, strval);
    va_end(ap);
    return r;
}

int cdb_create(int sock, const char *fmt, ...)
{
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_CREATE, fmt, ap, reply);
    va_end(ap);
    return r;
}

int cdb_delete(int sock, const char *fmt, ...)
{
    std::string reply;
    va_list ap;
    va_start(ap, fmt);
    int r = path_call(sock, MGMT_OP_CDB_DELETE, fmt, ap, reply);
    va_end(ap);
    return r;
}

int cdb_trigger_subscriptions(int sock, int sub_points[], int len)
{
    return trigger(sock, 0, 0, sub_points, len);
}

int cdb_trigger_oper_subscriptions(int sock, int sub_points[], int len, int flags)
{
    return trigger(sock, 1, flags, sub_points, len);
}

}  // extern "C"
