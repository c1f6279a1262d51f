// Joining the agent: the module's init and free, the sockets and their
// events on the daemon's loop, the agent's transaction and action hooks,
// the pipe from the module's threads, and the reconnect procedure with its
// retry timer.
#include <atomic>
#include <cerrno>
#include <cstring>
#include <event2/event.h>
#include <fcntl.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "oconfd_internal.h"
#include "oconfd_notif.h"
#include "ost_assert.h"

namespace {

constexpr const char *k_retry_timer_name = "oconfd_timer";

bool registration_complete(const struct module_data *reg)
{
    return reg->sub_table != nullptr && reg->valpoint_table != nullptr && reg->action_table != nullptr &&
           reg->register_data_cbs != nullptr && reg->event_base != nullptr && reg->timer_mgr != nullptr &&
           reg->opaque != nullptr;
}

bool is_closed(int rc)
{
    return rc == CONFD_EOF || (rc == CONFD_ERR && confd_errno == CONFD_ERR_EOF);
}

void event_release(struct event *&ev)
{
    if (ev != nullptr) {
        event_free(ev);
        ev = nullptr;
    }
}

void fd_close(int &fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// The control socket: the agent's requests to start transactions and actions.
void ctl_handler(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg);
    int rc = confd_fd_ready(ctx->dctx, fd);
    if (is_closed(rc)) {
        OCONFD_LOG("Control socket closed");
        oconfd_retry_connect(ctx);
    } else if (rc != CONFD_OK && confd_errno != CONFD_ERR_EXTERNAL) {
        OCONFD_LOG("Error on control socket request: %s (%d): %s", confd_strerror(confd_errno), confd_errno,
                   confd_lasterr());
    }
}

// The worker socket: data, action and command callbacks.
void worker_handler(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg);
    int rc = confd_fd_ready(ctx->dctx, fd);
    if (is_closed(rc)) {
        OCONFD_LOGV("Worker socket closed");
        oconfd_retry_connect(ctx);
    } else if (rc != CONFD_OK && confd_errno != CONFD_ERR_EXTERNAL) {
        OCONFD_LOG("Error on worker socket request: %s (%d): %s", confd_strerror(confd_errno), confd_errno,
                   confd_lasterr());
    }
}

// The notification socket: the agent's events for a daemon that asked.
void notif_handler(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg);
    struct confd_notification n{};
    int rc = confd_read_notification(fd, &n);
    if (is_closed(rc)) {
        OCONFD_LOG("Notification socket closed");
        oconfd_retry_connect(ctx);
        return;
    }
    if (rc != CONFD_OK) {
        if (confd_errno != CONFD_ERR_EXTERNAL) {
            OCONFD_LOG("Error on notification socket request: %s (%d): %s", confd_strerror(confd_errno),
                       confd_errno, confd_lasterr());
        }
        return;
    }
    struct oconfd_notif_params *np = ctx->module.notif_params;
    if (np != nullptr && np->handler != nullptr) {
        np->handler(ctx, &n, np->data);
    }
    confd_free_notification(&n);
}

// Bytes from the module's threads.
void pipe_handler(evutil_socket_t fd, short, void *arg)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg);
    char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n != 1) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        OCONFD_LOG("Failed to read from the pipe");
        return;
    }
    if (byte == OCONFD_PIPE_RETRY) {
        OCONFD_LOGV("Thread notification for retry");
        oconfd_retry_connect(ctx);
        return;
    }
    if (byte != OCONFD_PIPE_ARM_SUB) {
        return;
    }
    // The registration thread has made the subscriptions and ends: wait for
    // it, listen on the subscription socket, and read the configuration if
    // this module's turn has come (the read's trigger needs the event armed).
    oconfd_reg_thread_stop(ctx, false);
    ctx->priv->subscribed = true;
    if (ctx->sub_event == nullptr || event_add(ctx->sub_event, nullptr) != 0) {
        OCONFD_LOG("Failed to add event for subscription socket");
        oconfd_retry_connect(ctx);
        return;
    }
    if (oconfd_can_read_initial_config(ctx) != 0 && oconfd_read_sub_config_all(ctx) != 0) {
        OCONFD_LOG("Initial trigger for subscriptions failed");
    }
}

void retry_timer_cb(timer_util_t *, void *arg1, void *, void *, void *)
{
    auto *ctx = static_cast<struct oconfd_ctx *>(arg1);
    if (oconfd_module_init(nullptr, ctx, nullptr) != 0) {
        OCONFD_LOGV("oconfd retry: Failed to init oconfd");
    }
}

// Transactions towards the daemon's validation points: bound to the worker
// socket, with MAAPI attached so that the validation can read them.
int validate_init(struct confd_trans_ctx *tctx)
{
    struct oconfd_ctx *ctx = oconfd_ctx_of(tctx->dx);
    if (confd_trans_set_fd(tctx, ctx->worker_sock) != CONFD_OK) {
        return CONFD_ERR;
    }
    return maapi_attach(ctx->maapi_sock, 0, tctx);
}

int validate_stop(struct confd_trans_ctx *tctx)
{
    struct oconfd_ctx *ctx = oconfd_ctx_of(tctx->dx);
    (void)maapi_detach(ctx->maapi_sock, tctx);
    return CONFD_OK;
}

// Transactions of operational reads: bound to the worker socket.
int trans_init(struct confd_trans_ctx *tctx)
{
    return confd_trans_set_fd(tctx, oconfd_ctx_of(tctx->dx)->worker_sock);
}

// Actions and commands: bound to the worker socket; their output goes to
// the operator's session through the module's MAAPI socket.
int action_init(struct confd_user_info *uinfo)
{
    struct oconfd_ctx *ctx = oconfd_ctx_of(uinfo->actx.dx);
    uinfo->msock = ctx->maapi_sock;
    return confd_action_set_fd(uinfo, ctx->worker_sock);
}

int tcp_socket()
{
    return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

// Opens the connection's sockets. False after logging the failure.
bool open_sockets(struct oconfd_ctx *ctx, const char *name)
{
    if ((ctx->ctl_sock = tcp_socket()) < 0) {
        OCONFD_LOG("Failed to open control socket (%s)", name);
        return false;
    }
    if ((ctx->worker_sock = tcp_socket()) < 0) {
        OCONFD_LOG("Failed to open worker socket (%s)", name);
        return false;
    }
    if ((ctx->data_sock = tcp_socket()) < 0) {
        OCONFD_LOG("Failed to open data socket (%s)", name);
        return false;
    }
    if ((ctx->sub_sock = tcp_socket()) < 0) {
        OCONFD_LOG("Failed to open subscription socket (%s)", name);
        return false;
    }
    if ((ctx->maapi_sock = tcp_socket()) < 0) {
        OCONFD_LOG("Failed to open maapi socket (%s)", name);
        return false;
    }
    if (ctx->module.notif_params != nullptr && (ctx->notif_sock = tcp_socket()) < 0) {
        OCONFD_LOG("Failed to open confd notification socket (%s)", name);
        return false;
    }
    return true;
}

bool connect_sockets(struct oconfd_ctx *ctx, const struct sockaddr *addr, int addr_len)
{
    if (confd_connect(ctx->dctx, ctx->ctl_sock, CONTROL_SOCKET, addr, addr_len) != CONFD_OK) {
        OCONFD_LOG("Failed to connect control socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (confd_connect(ctx->dctx, ctx->worker_sock, WORKER_SOCKET, addr, addr_len) != CONFD_OK) {
        OCONFD_LOG("Failed to connect worker socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (cdb_connect(ctx->data_sock, CDB_DATA_SOCKET, addr, addr_len) != CONFD_OK) {
        OCONFD_LOG("Failed to connect data socket to confd (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (maapi_connect(ctx->maapi_sock, addr, addr_len) != CONFD_OK) {
        OCONFD_LOG("Failed to do maapi_connect (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    if (ctx->notif_sock >= 0 &&
        confd_notifications_connect(ctx->notif_sock, addr, addr_len, ctx->module.notif_params->mask) != CONFD_OK) {
        OCONFD_LOG("Failed to connect to confd notifications(%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    return true;
}

bool make_events(struct oconfd_ctx *ctx)
{
    struct event_base *base = ctx->module.event_base;
    ctx->ctl_event = event_new(base, ctx->ctl_sock, EV_READ | EV_PERSIST, ctl_handler, ctx);
    ctx->worker_event = event_new(base, ctx->worker_sock, EV_READ | EV_PERSIST, worker_handler, ctx);
    ctx->sub_event = event_new(base, ctx->sub_sock, EV_READ | EV_PERSIST, oconfd_sub_handler, ctx);
    if (ctx->notif_sock >= 0) {
        ctx->notif_event = event_new(base, ctx->notif_sock, EV_READ | EV_PERSIST, notif_handler, ctx);
    }
    if (ctx->ctl_event == nullptr || ctx->worker_event == nullptr || ctx->sub_event == nullptr ||
        (ctx->notif_sock >= 0 && ctx->notif_event == nullptr)) {
        OCONFD_LOG("Failed to create events for the agent's sockets");
        return false;
    }
    // The subscription event waits for the registration thread.
    if (event_add(ctx->ctl_event, nullptr) != 0 || event_add(ctx->worker_event, nullptr) != 0 ||
        (ctx->notif_event != nullptr && event_add(ctx->notif_event, nullptr) != 0)) {
        OCONFD_LOG("Failed to add events for the agent's sockets");
        return false;
    }
    return true;
}

bool register_callbacks(struct oconfd_ctx *ctx)
{
    struct confd_trans_validate_cbs vcb{};
    vcb.init = validate_init;
    vcb.stop = validate_stop;
    if (confd_register_trans_validate_cb(ctx->dctx, &vcb) != CONFD_OK) {
        OCONFD_LOG("Failed to register transaction validation call backs (%s - %d)", confd_strerror(confd_errno),
                   confd_errno);
        return false;
    }
    // The registration record has no finish hook: a transaction needs no
    // more than its binding to the worker socket.
    struct confd_trans_cbs tcb{};
    tcb.init = trans_init;
    if (confd_register_trans_cb(ctx->dctx, &tcb) != CONFD_OK) {
        OCONFD_LOG("Failed to register transaction call backs (%s - %d)", confd_strerror(confd_errno),
                   confd_errno);
        return false;
    }
    for (struct confd_action_cbs *a = ctx->module.action_table; a->actionpoint[0] != '\0'; ++a) {
        struct confd_action_cbs copy = *a;
        copy.init = action_init;
        if (confd_register_action_cbs(ctx->dctx, &copy) != CONFD_OK) {
            OCONFD_LOG("Failed to register %s action call back (%s - %d)", a->actionpoint,
                       confd_strerror(confd_errno), confd_errno);
            return false;
        }
    }
    for (struct confd_valpoint_cb *v = ctx->module.valpoint_table; v->valpoint[0] != '\0'; ++v) {
        if (confd_register_valpoint_cb(ctx->dctx, v) != CONFD_OK) {
            OCONFD_LOG("Failed to register %s validation call back (%s - %d)", v->valpoint,
                       confd_strerror(confd_errno), confd_errno);
            return false;
        }
    }
    if (ctx->module.register_data_cbs(ctx) != 0) {
        OCONFD_LOG("Failed to register data call backs");
        return false;
    }
    struct confd_notification_stream_cbs ncb{};
    snprintf(ncb.streamname, sizeof(ncb.streamname), "%s", OCONFD_STREAM_NAME);
    ncb.fd = ctx->worker_sock;
    if (confd_register_notification_stream(ctx->dctx, &ncb, &ctx->stream_ctx) != CONFD_OK) {
        OCONFD_LOG("confd_register_notification_stream() failed (%s - %d)", confd_strerror(confd_errno),
                   confd_errno);
        return false;
    }
    if (confd_register_snmp_notification(ctx->dctx, ctx->worker_sock, &ctx->snmp_ctx, "",
                                         OCONFD_SNMP_NOTIFICATION) != CONFD_OK) {
        OCONFD_LOG("confd_register_snmp_notification() failed (%s - %d)", confd_strerror(confd_errno),
                   confd_errno);
        return false;
    }
    if (confd_register_done(ctx->dctx) != CONFD_OK) {
        OCONFD_LOG("confd_register_done() failed (%s - %d)", confd_strerror(confd_errno), confd_errno);
        return false;
    }
    return true;
}

bool make_pipe(struct oconfd_ctx *ctx)
{
    if (pipe(ctx->pipe_fds) != 0) {
        ctx->pipe_fds[0] = ctx->pipe_fds[1] = -1;
        OCONFD_LOG("Failed to setup pipe");
        return false;
    }
    for (int fd : ctx->pipe_fds) {
        if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
            OCONFD_LOG("Failed to set fd flags");
            return false;
        }
    }
    // The loop reads one byte per wake-up and must never block on it.
    (void)fcntl(ctx->pipe_fds[0], F_SETFL, O_NONBLOCK);
    ctx->pipe_event = event_new(ctx->module.event_base, ctx->pipe_fds[0], EV_READ | EV_PERSIST, pipe_handler, ctx);
    if (ctx->pipe_event == nullptr) {
        OCONFD_LOG("Failed to create event for pipe");
        return false;
    }
    if (event_add(ctx->pipe_event, nullptr) != 0) {
        OCONFD_LOG("Failed to add event for pipe");
        return false;
    }
    return true;
}

void free_context(struct oconfd_ctx *ctx, bool primary);

// A secondary context shares the process's throttler and schema with its
// primary: releasing it leaves both alone.
void release_secondary(struct oconfd_ctx *ctx)
{
    if (ctx->secondary != nullptr) {
        free_context(ctx->secondary, false);
        ctx->secondary = nullptr;
    }
}

// Closes the connection: the secondary context, the registration thread
// (it may use the subscription socket and the pipe), then the events, the
// daemon handle and the sockets. The context stays, ready for the next init.
void disconnect(struct oconfd_ctx *ctx)
{
    release_secondary(ctx);
    oconfd_reg_thread_stop(ctx, true);
    ctx->priv->subscribed = false;
    event_release(ctx->ctl_event);
    event_release(ctx->worker_event);
    event_release(ctx->sub_event);
    event_release(ctx->notif_event);
    event_release(ctx->pipe_event);
    // The notification contexts live in the handle.
    ctx->stream_ctx = nullptr;
    ctx->snmp_ctx = nullptr;
    // Released before its sockets close, so that a number handed out again
    // meanwhile is never taken for one of them.
    if (ctx->dctx != nullptr) {
        confd_release_daemon(ctx->dctx);
        ctx->dctx = nullptr;
    }
    fd_close(ctx->ctl_sock);
    fd_close(ctx->worker_sock);
    fd_close(ctx->notif_sock);
    if (ctx->data_sock >= 0) {
        cdb_close(ctx->data_sock);
        ctx->data_sock = -1;
    }
    if (ctx->sub_sock >= 0) {
        cdb_close(ctx->sub_sock);
        ctx->sub_sock = -1;
    }
    if (ctx->maapi_sock >= 0) {
        maapi_close(ctx->maapi_sock);
        ctx->maapi_sock = -1;
    }
    fd_close(ctx->pipe_fds[0]);
    fd_close(ctx->pipe_fds[1]);
    std::atomic_ref<int>(ctx->phase).store(0);
}

// The part of an init whose failure sends the module back to the retry
// timer: the daemon handle, the sockets and their events, the
// registrations, the pipe and the registration thread.
bool connect_all(struct oconfd_ctx *ctx, const char *name)
{
    ctx->dctx = confd_init_daemon(name);
    if (ctx->dctx == nullptr) {
        OCONFD_LOG("Failed to initialize confdlib (%s)", name);
        return false;
    }
    ctx->dctx->d_opaque = ctx;
    struct sockaddr_in sin;
    socklen_t sin_len = confd_agent_addr(&sin);
    const auto *addr = reinterpret_cast<const struct sockaddr *>(&sin);
    if (!open_sockets(ctx, name) || !connect_sockets(ctx, addr, static_cast<int>(sin_len)) || !make_events(ctx) ||
        !register_callbacks(ctx) || !make_pipe(ctx)) {
        return false;
    }
    bool any = false;
    oconfd_for_each_entry(ctx, [&](struct oconfd_sub_entry *) {
        any = true;
        return false;
    });
    return !any || oconfd_reg_thread_start(ctx) == 0;
}

struct oconfd_ctx *new_context(const struct module_data *reg)
{
    auto *ctx = new (std::nothrow) oconfd_ctx{};
    auto *priv = new (std::nothrow) oconfd_priv;
    if (ctx == nullptr || priv == nullptr) {
        delete ctx;
        delete priv;
        return nullptr;
    }
    ctx->module = *reg;
    ctx->priv = priv;
    ctx->pipe_fds[0] = ctx->pipe_fds[1] = -1;
    ctx->ctl_sock = ctx->sub_sock = ctx->worker_sock = ctx->data_sock = ctx->maapi_sock = ctx->notif_sock = -1;
    ctx->initial_read_point = -1;
    return ctx;
}

// Closes the context's connection, stops its retry timer, waits for its
// threads and frees it; the primary context also frees the process's schema.
void free_context(struct oconfd_ctx *ctx, bool primary)
{
    disconnect(ctx);
    if (ctx->retry_timer != nullptr) {
        timer_util_delete(ctx->retry_timer);
        ctx->retry_timer = nullptr;
    }
    oconfd_threads_wait(ctx);
    if (primary) {
        confd_free_schemas();
        ctx->ns_list = nullptr;
        ctx->ns_count = 0;
    }
    delete ctx->priv;
    delete ctx;
}

}  // namespace

struct oconfd_ctx *oconfd_ctx_of(struct confd_daemon_ctx *dx)
{
    return static_cast<struct oconfd_ctx *>(dx->d_opaque);
}

void oconfd_pipe_notify(struct oconfd_ctx *ctx, char byte)
{
    ssize_t n;
    do {
        n = write(ctx->pipe_fds[1], &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 1) {
        OCONFD_LOG("Failed to write to the pipe (%s)", strerror(errno));
    }
}

int oconfd_module_init(struct module_data *reg, struct oconfd_ctx *ctx, struct oconfd_ctx **out)
{
    if (reg == nullptr && ctx == nullptr) {
        return 3;
    }
    if (reg != nullptr && !registration_complete(reg)) {
        OCONFD_LOG("Invalid oconfd registration: NULL Parameters");
        OST_ASSERT(registration_complete(reg));
    }
    const struct module_data *m = reg != nullptr ? reg : &ctx->module;
    const char *name = oconfd_module_name(m);
    if (confd_init_vsn_sz(name, stderr, CONFD_SILENT, CONFD_LIB_API_VSN, MAXDEPTH, MAXKEYLEN) != CONFD_OK) {
        OCONFD_LOG("Failed to initialize confdlib (%s)", confd_lasterr());
    }
    if (reg != nullptr) {
        ctx = new_context(reg);
        if (ctx == nullptr) {
            OCONFD_LOG("Failed to allocate the oconfd context");
            return 2;
        }
        *out = ctx;
        name = oconfd_module_name(&ctx->module);
    }
    oconfd_set_module_id(ctx->module.module_id);

    if (ctx->module.ns_id != 0) {
        (void)oconfd_netns_enter_default(ctx->module.ns_id);
        ctx->ns_switched = 1;
    }
    bool ok = connect_all(ctx, name);
    if (ok) {
        if (ctx->retry_timer != nullptr) {
            timer_util_delete(ctx->retry_timer);
            ctx->retry_timer = nullptr;
        }
        if (ctx->module.post_init != nullptr) {
            ctx->module.post_init(ctx);
        }
        oconfd_notification_throttler_init(ctx);
    }
    if (ctx->ns_switched != 0) {
        (void)oconfd_netns_return(ctx->module.ns_id);
        ctx->ns_switched = 0;
    }
    if (!ok) {
        oconfd_retry_connect(ctx);
        return 3;
    }
    return 0;
}

void oconfd_retry_connect(struct oconfd_ctx *ctx)
{
    release_secondary(ctx);
    oconfd_notification_throttler_connection_reset();
    disconnect(ctx);
    if (ctx->retry_timer != nullptr) {
        return;
    }
    ctx->retry_timer = timer_util_create(ctx->module.timer_mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, OCONFD_RETRY_MS,
                                         retry_timer_cb, ctx, nullptr, nullptr, nullptr, k_retry_timer_name);
    if (ctx->retry_timer == nullptr) {
        OCONFD_LOG("Failed to create the retry timer %s", k_retry_timer_name);
        return;
    }
    timer_enable(ctx->retry_timer);
}

void oconfd_module_free(struct oconfd_ctx **holder)
{
    struct oconfd_ctx *ctx = holder != nullptr ? *holder : nullptr;
    if (ctx == nullptr) {
        return;
    }
    oconfd_notification_throttler_free();
    free_context(ctx, true);
    *holder = nullptr;
}
