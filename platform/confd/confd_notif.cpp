// Event notifications: a socket that receives the agent's commit and
// stream events.
#include <cstdlib>
#include <cstring>

#include "confd_conn.h"

using namespace confd_impl;

extern "C" {

int confd_notifications_connect(int sock, const struct sockaddr *srv, int addrsz, int mask)
{
    conn_ptr c;
    if (conn_open(sock, srv, addrsz, MGMT_CONN_NOTIFICATION, lib_name(), 0, &c) != CONFD_OK) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_NOTIF_SUBSCRIBE, xid);
    w.i64(mask);
    std::string reply;
    return conn_call(*c, xid, w.finish(), reply);
}

int confd_read_notification(int sock, struct confd_notification *n)
{
    if (n == nullptr) {
        return fail(CONFD_ERR_PROTOUSAGE, "no notification record");
    }
    memset(n, 0, sizeof(*n));
    conn_ptr c = conn_for(sock, {MGMT_CONN_NOTIFICATION});
    if (c == nullptr) {
        return CONFD_ERR;
    }
    std::string body;
    for (;;) {
        int r = conn_read(*c, body);
        if (r != CONFD_OK) {
            return r;
        }
        mgmt_wire::reader rd = body_reader(body);
        if (rd.op() == MGMT_OP_NOTIF_EVENT) {
            break;
        }
        lib_log(CONFD_DEBUG, "dropped op 0x%02x on notification socket %d", rd.op(), sock);
    }
    mgmt_wire::reader rd = body_reader(body);
    int64_t type = 0;
    if (!rd.i64(type)) {
        return fail(CONFD_ERR_PROTOUSAGE, "malformed event notification");
    }
    if (type == CONFD_NOTIF_COMMIT_SIMPLE) {
        int64_t db = 0, usid = 0;
        std::string user;
        if (!rd.i64(db) || !rd.i64(usid) || !rd.str(user)) {
            return fail(CONFD_ERR_PROTOUSAGE, "malformed commit notification");
        }
        n->type = CONFD_NOTIF_COMMIT_SIMPLE;
        n->n.commit.database = static_cast<int>(db);
        n->n.commit.usid = static_cast<int>(usid);
        snprintf(n->n.commit.username, sizeof(n->n.commit.username), "%s", user.c_str());
        return CONFD_OK;
    }
    if (type == CONFD_NOTIF_STREAM_EVENT) {
        std::string stream;
        confd_value_t when{};
        if (!rd.str(stream) || !rd.value(when)) {
            confd_free_value(&when);
            return fail(CONFD_ERR_PROTOUSAGE, "malformed stream notification");
        }
        if (when.type != C_DATETIME) {
            confd_free_value(&when);
            return fail(CONFD_ERR_PROTOUSAGE, "stream notification without a time");
        }
        confd_stream_notification &s = n->n.stream;
        if (!rd.tag_values(&s.values, &s.nvalues)) {
            return fail(CONFD_ERR_PROTOUSAGE, "malformed stream notification");
        }
        n->type = CONFD_NOTIF_STREAM_EVENT;
        snprintf(s.streamname, sizeof(s.streamname), "%s", stream.c_str());
        s.event_time = when.val.datetime;
        return CONFD_OK;
    }
    return failf(CONFD_ERR_PROTOUSAGE, "unknown event notification type %lld", static_cast<long long>(type));
}

void confd_free_notification(struct confd_notification *n)
{
    if (n != nullptr && n->type == CONFD_NOTIF_STREAM_EVENT) {
        mgmt_wire::free_tag_values(n->n.stream.values, n->n.stream.nvalues);
        n->n.stream.values = nullptr;
        n->n.stream.nvalues = 0;
    }
}

}  // extern "C"
