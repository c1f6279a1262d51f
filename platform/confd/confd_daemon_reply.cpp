// What callbacks send back: bindings, error texts, data and action
// replies; and the notification streams a daemon sends on.
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <new>
#include <sys/time.h>

#include "confd_daemon_priv.h"

using namespace confd_impl;

namespace {

// The worker state of sock when it is a worker of dx.
conn_ptr worker_of(confd_daemon_ctx *dx, int sock)
{
    if (dx == nullptr || dx->priv == nullptr) {
        fail(CONFD_ERR_PROTOUSAGE, "no daemon handle");
        return nullptr;
    }
    for (int fd : dx->priv->workers) {
        if (fd == sock) {
            conn_ptr c = conn_find(sock);
            if (c != nullptr) {
                return c;
            }
        }
    }
    failf(CONFD_ERR_PROTOUSAGE, "socket %d is not a worker socket of this daemon", sock);
    return nullptr;
}

int data_reply(confd_trans_ctx *tctx, mgmt_wire::writer &w)
{
    return send_reply_to(tctx->fd, static_cast<uint32_t>(tctx->xid), w);
}

bool bad_tctx(const confd_trans_ctx *tctx)
{
    if (tctx == nullptr || tctx->fd < 0) {
        fail(CONFD_ERR_PROTOUSAGE, "the transaction is bound to no worker socket");
        return true;
    }
    return false;
}

confd_datetime now_utc()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    gmtime_r(&tv.tv_sec, &t);
    confd_datetime d{};
    d.year = static_cast<int16_t>(t.tm_year + 1900);
    d.month = static_cast<uint8_t>(t.tm_mon + 1);
    d.day = static_cast<uint8_t>(t.tm_mday);
    d.hour = static_cast<uint8_t>(t.tm_hour);
    d.min = static_cast<uint8_t>(t.tm_min);
    d.sec = static_cast<uint8_t>(t.tm_sec);
    d.micro = static_cast<uint32_t>(tv.tv_usec);
    return d;
}

// A one-way frame on the context's worker socket.
int notif_send(confd_notification_ctx *nctx, mgmt_wire::writer &w)
{
    conn_ptr c = conn_find(nctx->fd);
    if (c == nullptr || c->kind != MGMT_CONN_WORKER) {
        return failf(CONFD_ERR_PROTOUSAGE, "notification socket %d is not a connected worker socket", nctx->fd);
    }
    return conn_send(*c, w.finish());
}

int new_notif_ctx(confd_daemon_ctx *dx, int fd, confd_notification_ctx **out)
{
    auto ctx = std::unique_ptr<confd_notification_ctx>(new (std::nothrow) confd_notification_ctx);
    if (ctx == nullptr) {
        return fail(CONFD_ERR_MALLOC, "out of memory");
    }
    ctx->dx = dx;
    ctx->fd = fd;
    *out = ctx.get();
    dx->priv->notif_ctxs.push_back(std::move(ctx));
    return CONFD_OK;
}

// A registration on the control socket before confd_register_done.
int control_call(confd_daemon_ctx *dx, mgmt_wire::writer &w, uint32_t xid)
{
    conn_ptr c = conn_find(dx->priv->ctl_fd);
    std::string reply;
    return conn_call(*c, xid, w.finish(), reply);
}

// The control socket for a stream registration: before confd_register_done
// only, as afterwards the agent's requests may meet the registration's reply.
conn_ptr control_of(confd_daemon_ctx *dx)
{
    if (dx == nullptr || dx->priv == nullptr) {
        fail(CONFD_ERR_PROTOUSAGE, "no daemon handle");
        return nullptr;
    }
    if (dx->priv->registered) {
        fail(CONFD_ERR_PROTOUSAGE, "registrations are over: confd_register_done was called");
        return nullptr;
    }
    conn_ptr c = dx->priv->ctl_fd < 0 ? nullptr : conn_find(dx->priv->ctl_fd);
    if (c == nullptr) {
        fail(CONFD_ERR_PROTOUSAGE, "the daemon's control socket is not connected");
    }
    return c;
}

}  // namespace

extern "C" {

int confd_trans_set_fd(struct confd_trans_ctx *tctx, int sock)
{
    if (tctx == nullptr || worker_of(tctx->dx, sock) == nullptr) {
        return CONFD_ERR;
    }
    tctx->fd = sock;
    return CONFD_OK;
}

int confd_action_set_fd(struct confd_user_info *uinfo, int sock)
{
    if (uinfo == nullptr || worker_of(uinfo->actx.dx, sock) == nullptr) {
        return CONFD_ERR;
    }
    uinfo->actx.fd = sock;
    return CONFD_OK;
}

void confd_action_seterr(struct confd_user_info *, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    callback_error() = vformat(fmt, ap);
    va_end(ap);
}

void confd_trans_seterr(struct confd_trans_ctx *, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    callback_error() = vformat(fmt, ap);
    va_end(ap);
}

int confd_action_reply_values(struct confd_user_info *uinfo, confd_tag_value_t *values, int nvalues)
{
    if (uinfo == nullptr || uinfo->actx.fd < 0) {
        return fail(CONFD_ERR_PROTOUSAGE, "the action is bound to no worker socket");
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, static_cast<uint32_t>(uinfo->actx.xid));
    w.tag_values(values, nvalues);
    return send_reply_to(uinfo->actx.fd, static_cast<uint32_t>(uinfo->actx.xid), w);
}

int confd_data_reply_not_found(struct confd_trans_ctx *tctx)
{
    if (bad_tctx(tctx)) {
        return CONFD_ERR;
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, static_cast<uint32_t>(tctx->xid));
    w.i64(MGMT_DATA_NOT_FOUND);
    return data_reply(tctx, w);
}

int confd_data_reply_value(struct confd_trans_ctx *tctx, const confd_value_t *v)
{
    if (bad_tctx(tctx) || v == nullptr) {
        return v == nullptr ? fail(CONFD_ERR_PROTOUSAGE, "no value") : CONFD_ERR;
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, static_cast<uint32_t>(tctx->xid));
    w.i64(MGMT_DATA_VALUE).value(*v);
    return data_reply(tctx, w);
}

int confd_data_reply_tag_value_array(struct confd_trans_ctx *tctx, confd_tag_value_t *tv, int n)
{
    if (bad_tctx(tctx)) {
        return CONFD_ERR;
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, static_cast<uint32_t>(tctx->xid));
    w.i64(MGMT_DATA_TV_ARRAY).i64(n < 0 ? -1 : n).tag_values(tv, n);
    return data_reply(tctx, w);
}

int confd_data_reply_next_object_tag_value_array(struct confd_trans_ctx *tctx, confd_tag_value_t *tv, int n,
                                                  long next)
{
    if (bad_tctx(tctx)) {
        return CONFD_ERR;
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, static_cast<uint32_t>(tctx->xid));
    w.i64(MGMT_DATA_NEXT_OBJECT).i64(n < 0 ? -1 : n).i64(next).tag_values(tv, n);
    return data_reply(tctx, w);
}

int confd_data_reply_next_object_tag_value_arrays(struct confd_trans_ctx *tctx, struct confd_tag_next_object *tobj,
                                                   int nobj, long timeout_millisecs)
{
    if (bad_tctx(tctx)) {
        return CONFD_ERR;
    }
    if (nobj < 0 || (nobj > 0 && tobj == nullptr)) {
        return fail(CONFD_ERR_PROTOUSAGE, "bad object array");
    }
    mgmt_wire::writer w(MGMT_OP_REPLY, static_cast<uint32_t>(tctx->xid));
    w.i64(MGMT_DATA_NEXT_OBJECTS).i64(timeout_millisecs).list(static_cast<uint32_t>(nobj));
    for (int i = 0; i < nobj; i++) {
        w.list(3).i64(tobj[i].n <= 0 ? -1 : tobj[i].n).i64(tobj[i].next).tag_values(tobj[i].tv, tobj[i].n);
    }
    return data_reply(tctx, w);
}

int confd_register_notification_stream(struct confd_daemon_ctx *dx, const struct confd_notification_stream_cbs *ncb,
                                       struct confd_notification_ctx **nctx)
{
    conn_ptr c = control_of(dx);
    if (c == nullptr || ncb == nullptr || nctx == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no stream record");
    }
    if (worker_of(dx, ncb->fd) == nullptr) {
        return CONFD_ERR;
    }
    std::string name(ncb->streamname, strnlen(ncb->streamname, sizeof(ncb->streamname)));
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_STREAM, xid);
    w.str(name);
    if (control_call(dx, w, xid) != CONFD_OK || new_notif_ctx(dx, ncb->fd, nctx) != CONFD_OK) {
        return CONFD_ERR;
    }
    (*nctx)->stream = name;
    return CONFD_OK;
}

int confd_register_snmp_notification(struct confd_daemon_ctx *dx, int fd, struct confd_notification_ctx **nctx,
                                     const char *ctx_name, const char *notify_name)
{
    conn_ptr c = control_of(dx);
    if (c == nullptr || nctx == nullptr) {
        return c == nullptr ? CONFD_ERR : fail(CONFD_ERR_PROTOUSAGE, "no context pointer");
    }
    if (worker_of(dx, fd) == nullptr) {
        return CONFD_ERR;
    }
    std::string notify = notify_name != nullptr ? notify_name : "";
    std::string context = ctx_name != nullptr ? ctx_name : "";
    uint32_t xid = conn_xid(*c);
    mgmt_wire::writer w(MGMT_OP_REG_SNMP, xid);
    w.str(notify).str(context);
    if (control_call(dx, w, xid) != CONFD_OK || new_notif_ctx(dx, fd, nctx) != CONFD_OK) {
        return CONFD_ERR;
    }
    (*nctx)->snmp = true;
    (*nctx)->stream = "snmp";
    (*nctx)->notify_name = notify;
    (*nctx)->ctx_name = context;
    return CONFD_OK;
}

int confd_notification_send(struct confd_notification_ctx *nctx, struct confd_datetime *time,
                            confd_tag_value_t *values, int nvalues)
{
    if (nctx == nullptr || nvalues < 0 || (nvalues > 0 && values == nullptr)) {
        return fail(CONFD_ERR_PROTOUSAGE, "bad notification");
    }
    confd_value_t when{};
    when.type = C_DATETIME;
    when.val.datetime = time != nullptr ? *time : now_utc();
    mgmt_wire::writer w(MGMT_OP_NOTIF_SEND, 0);
    w.str(nctx->stream).value(when).tag_values(values, nvalues);
    return notif_send(nctx, w);
}

int confd_notification_set_snmp_notify_name(struct confd_notification_ctx *nctx, const char *notify_name)
{
    if (nctx == nullptr || !nctx->snmp) {
        return fail(CONFD_ERR_PROTOUSAGE, "not an SNMP notification context");
    }
    nctx->notify_name = notify_name != nullptr ? notify_name : "";
    return CONFD_OK;
}

int confd_notification_send_snmp(struct confd_notification_ctx *nctx, const char *notification,
                                 struct confd_snmp_varbind *varbinds, int num_vars)
{
    if (nctx == nullptr || notification == nullptr || num_vars < 0 || (num_vars > 0 && varbinds == nullptr)) {
        return fail(CONFD_ERR_PROTOUSAGE, "bad SNMP notification");
    }
    mgmt_wire::writer w(MGMT_OP_SNMP_SEND, 0);
    w.str(nctx->notify_name).str(notification).list(static_cast<uint32_t>(num_vars));
    for (int i = 0; i < num_vars; i++) {
        w.list(2).str(std::string_view(varbinds[i].name, strnlen(varbinds[i].name, sizeof(varbinds[i].name))));
        w.value(varbinds[i].val);
    }
    return notif_send(nctx, w);
}

// The agent keeps no keys for encrypted leaf types, so there is nothing to
// fetch: daemons that call this at start-up carry on as if it worked.
int confd_install_crypto_keys(struct confd_daemon_ctx *)
{
    return CONFD_OK;
}

}  // extern "C"
