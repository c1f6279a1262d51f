// The message queue's accepting side: what a server socket accepts waits
// as a temporary connection, admitted or not by the accept policy, until its
// register message binds it to the server handle of its pair (or an
// application-header server takes it at once); connections that never
// register are closed on a timeout and their number is capped.
#include <cerrno>
#include <cstring>
#include <event2/listener.h>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "msgq_util_priv.h"

using namespace msgq_priv;

namespace msgq_priv {

bool msgq_create_conn_events(msgq_handle_t *h, int fd, bool with_read)
{
    event_base *base = h->inst->evbase;
    bool ok = true;
    if (with_read) {
        h->read_ev.reset(event_new(base, fd, EV_READ | EV_PERSIST, msgq_read_cb, h));
        // While reading is paused on the total watermark the event waits
        // to be added with everybody else's.
        ok = h->read_ev != nullptr && (!rx_should_listen() || event_add(h->read_ev.get(), nullptr) == 0);
    }
    for (int i = 0; i < 2 && ok; i++) {
        h->write_ev[i].reset(event_new(base, fd, EV_WRITE, msgq_write_cb, h));
        h->read_helper_ev[i].reset(event_new(base, -1, EV_READ | EV_PERSIST, msgq_read_helper_cb, h));
        ok = h->write_ev[i] != nullptr && h->read_helper_ev[i] != nullptr;
    }
    h->write_scheduled[0] = h->write_scheduled[1] = 0;
    h->write_idx = 0;
    h->read_helper_scheduled[0] = h->read_helper_scheduled[1] = 0;
    h->read_helper_idx = 0;
    if (!ok) {
        h->read_ev.reset();
        for (int i = 0; i < 2; i++) {
            h->write_ev[i].reset();
            h->read_helper_ev[i].reset();
        }
    }
    return ok;
}

// A registered (or app-header) server handle takes an accepted socket.
bool msgq_attach_connection(msgq_handle_t *h, int fd)
{
    if (!msgq_create_conn_events(h, fd, true)) {
        return false;
    }
    h->sock_fd = fd;
    h->down_pending = 0;
    return true;
}

void msgq_call_conn_up(msgq_handle_t *h)
{
    msgq_list_insert(h, msgq_list_id::reg);
    h->stats.conn_up++;
    if (h->cbs.conn_up != nullptr) {
        h->cbs.conn_up(h, h->user_arg, h, h->user_arg);
    }
}

// Ends a temporary connection: closed, unlinked, freed.
void msgq_tmp_drop(msgq_handle_t *tmp)
{
    tmp->reg_timeout_ev.reset();
    msgq_close_connection(tmp, 0);
    msgq_list_remove(tmp);
    msgq_handle_free(tmp);
}

// Closes the connection a peer broke: a temporary one is dropped, a handle's
// connection is closed with restart.
void msgq_drop_connection(msgq_handle_t *h)
{
    if (h->in_tmp_list) {
        msgq_tmp_drop(h);
    } else {
        msgq_close_connection(h, 1);
    }
}

void msgq_read_error(msgq_handle_t *h, ssize_t rc, int err)
{
    if (rc < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
        return;
    }
    h->stats.rx_fail++;
    msgq_drop_connection(h);
}

void msgq_reject_stream(msgq_handle_t *h)
{
    h->stats.rx_fail++;
    msgq_drop_connection(h);
}

void msgq_handle_register_msg(msgq_handle_t *tmp, const msgq_hdr_t *hdr)
{
    msgq_inst_t *inst = tmp->inst;
    tmp->stats.rx_register++;
    // Refused before its name is looked up: a process that may not speak
    // for a module must not close the connection of the one that does.
    if (!tmp->peer_admitted) {
        MSGQ_ERR("Refused connection from pid %d uid %u registering as %s: not root, this daemon's user or the "
                 "peer group",
                 tmp->peer_pid, tmp->peer_uid, module_name(hdr->src));
        msgq_tmp_drop(tmp);
        return;
    }
    // The peer names itself as src and the server module as tgt.
    msgq_handle_t *h = msgq_find_server(&inst->unreg_msgq_listhead, hdr->tgt, hdr->src, tmp->path);
    if (h == nullptr) {
        h = msgq_find_server(&inst->reg_msgq_listhead, hdr->tgt, hdr->src, tmp->path);
    }
    if (h == nullptr) {
        MSGQ_ERR("Refused connection from pid %d uid %u registering as %s: no server for it at %s", tmp->peer_pid,
                 tmp->peer_uid, module_name(hdr->src), tmp->path);
        msgq_tmp_drop(tmp);
        return;
    }
    if (h->in_reg_list) {
        // The peer reconnected: its new connection replaces the old one.
        h->stats.conn_exist++;
        msgq_close_connection(h, 1);
        if (h->free_pending) {  // conn_down deleted the handle
            msgq_tmp_drop(tmp);
            return;
        }
    }
    MSGQ_LOG("Found matching handle: src: %s, tgt: %s", module_name(h->src), module_name(h->tgt));
    if (!msgq_attach_connection(h, tmp->sock_fd)) {
        // Without its events the connection could never be served: the
        // peer sees it closed and may try again; the handle stays unregistered.
        MSGQ_ERR("Failed to create read helper events");
        msgq_tmp_drop(tmp);
        return;
    }
    tmp->sock_fd = -1;
    tmp->read_ev.reset();
    tmp->reg_timeout_ev.reset();
    h->peer_pid = tmp->peer_pid;
    h->peer_uid = tmp->peer_uid;
    msgq_list_remove(tmp);
    msgq_handle_free(tmp);
    msgq_call_conn_up(h);
}

}  // namespace msgq_priv

namespace {

msgq_accept_policy_t g_policy;

// Whether the accept policy admits the peer of fd (credentials in cred,
// valid when have_cred).
bool msgq_peer_admitted(int fd, const ucred &cred, bool have_cred)
{
    if (!g_policy.check_peer) {
        return true;
    }
    if (!have_cred) {
        return false;
    }
    if (cred.uid == 0 || cred.uid == geteuid()) {
        return true;
    }
    if (g_policy.admit_gid < 0) {
        return false;
    }
    const auto gid = static_cast<gid_t>(g_policy.admit_gid);
    if (cred.gid == gid) {
        return true;
    }
#ifdef SO_PEERGROUPS
    gid_t groups[256];
    socklen_t len = sizeof(groups);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &len) == 0) {
        for (size_t i = 0; i < len / sizeof(gid_t); i++) {
            if (groups[i] == gid) {
                return true;
            }
        }
    }
#endif
    return false;
}

// Takes the peer's credentials and the policy's verdict on them.
void msgq_note_peer(msgq_handle_t *h, int fd)
{
    ucred cred{};
    socklen_t len = sizeof(cred);
    bool have = getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
    if (have) {
        h->peer_pid = cred.pid;
        h->peer_uid = cred.uid;
    }
    h->peer_admitted = msgq_peer_admitted(fd, cred, have) ? 1 : 0;
}

void msgq_tmp_timeout_cb(evutil_socket_t /*fd*/, short /*what*/, void *arg)
{
    auto *tmp = static_cast<msgq_handle_t *>(arg);
    frame guard(tmp->inst);
    ost_log_peer_scope peer(reinterpret_cast<uintptr_t>(tmp));
    MSGQ_ERR("Closed connection from pid %d uid %u: not registered within %u ms", tmp->peer_pid, tmp->peer_uid,
             g_policy.register_timeout_ms);
    msgq_tmp_drop(tmp);
}

// Makes room for one more connection waiting to register: the one that has
// waited longest goes (the list holds the newest first).
void msgq_tmp_make_room(msgq_inst_t *inst)
{
    const size_t waiting = inst->tmp_msgq_listhead.size();
    if (g_policy.max_unregistered == 0 || waiting < g_policy.max_unregistered) {
        return;
    }
    msgq_handle_t *oldest = &inst->tmp_msgq_listhead.back();
    ost_log_peer_scope peer(reinterpret_cast<uintptr_t>(oldest));
    MSGQ_ERR("Closed connection from pid %d uid %u: %u connections wait to register, the longest waiting goes",
             oldest->peer_pid, oldest->peer_uid, static_cast<uint32_t>(waiting));
    msgq_tmp_drop(oldest);
}

void msgq_handle_msghdr_accept(msgq_server_t *srv, evutil_socket_t fd)
{
    msgq_tmp_make_room(srv->inst);
    auto *tmp = new (std::nothrow) msgq_handle_t();
    bool armed = true;
    if (tmp != nullptr) {
        tmp->type = MSGQ_HANDLE_TYPE_SERVER;
        tmp->sock_fd = fd;
        tmp->inst = srv->inst;
        memcpy(tmp->path, srv->path, MSGQ_PATH_LEN);
        msgq_note_peer(tmp, fd);
        // Not persistent: it serves the register message only (re-armed by
        // msgq_read_cb while the message is incomplete).
        tmp->read_ev.reset(event_new(srv->inst->evbase, fd, EV_READ, msgq_read_cb, tmp));
        if (g_policy.register_timeout_ms > 0) {
            tmp->reg_timeout_ev.reset(event_new(srv->inst->evbase, -1, 0, msgq_tmp_timeout_cb, tmp));
            timeval tv{static_cast<time_t>(g_policy.register_timeout_ms / 1000),
                       static_cast<suseconds_t>(g_policy.register_timeout_ms % 1000) * 1000};
            armed = tmp->reg_timeout_ev != nullptr && event_add(tmp->reg_timeout_ev.get(), &tv) == 0;
        }
    }
    if (tmp == nullptr || !armed || tmp->read_ev == nullptr || event_add(tmp->read_ev.get(), nullptr) != 0) {
        MSGQ_ERR("Alloc failed");
        // The socket is closed rather than left open: nothing would ever read it.
        close(fd);
        if (tmp != nullptr) {
            tmp->sock_fd = -1;
            tmp->reg_timeout_ev.reset();
            delete tmp;
        }
        return;
    }
    msgq_list_insert(tmp, msgq_list_id::tmp);
}

void msgq_handle_apphdr_accept(msgq_server_t *srv, evutil_socket_t fd)
{
    msgq_handle_t *h = srv->apphead_msgq_handle_p;
    if (h == nullptr) {  // the record lives exactly as long as its one handle
        close(fd);
        return;
    }
    msgq_handle_t probe;
    msgq_note_peer(&probe, fd);
    if (!probe.peer_admitted) {
        MSGQ_ERR("Refused connection from pid %d uid %u as %s: not root, this daemon's user or the peer group",
                 probe.peer_pid, probe.peer_uid, module_name(h->tgt));
        close(fd);
        return;
    }
    if (h->sock_fd != -1) {
        h->stats.conn_exist++;
        msgq_close_connection(h, 1);
        if (h->free_pending) {
            close(fd);
            return;
        }
    }
    if (!msgq_attach_connection(h, fd)) {
        // As with a registering peer: the new connection is closed and the
        // handle stays unregistered until the peer connects again.
        MSGQ_ERR("Failed to create read helper events");
        close(fd);
        return;
    }
    msgq_call_conn_up(h);
}
}  // namespace

namespace msgq_priv {

void msgq_listener_cb(evconnlistener * /*listener*/, evutil_socket_t fd, sockaddr * /*addr*/, int /*len*/,
                      void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    frame guard(srv->inst);
    if (srv->accept_paused) {
        srv->accept_paused = 0;
        MSGQ_ERR("Accepting connections at %s again", srv->path);
    }
    // The listener hands over non-blocking, close-on-exec sockets.
    if (srv->listener_apphdr) {
        msgq_handle_apphdr_accept(srv, fd);
    } else {
        msgq_handle_msghdr_accept(srv, fd);
    }
}

}  // namespace msgq_priv

void msgq_set_accept_policy(const msgq_accept_policy_t *policy)
{
    g_policy = *policy;
}

const msgq_accept_policy_t *msgq_accept_policy()
{
    return &g_policy;
}
