#include "msgq_util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <event2/listener.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "msgq_util_priv.h"
#include "ost_rundir.h"

namespace msgq_priv {

msgq_inst_t *g_inst = nullptr;
int g_debug = 0;

int log_pri()
{
    uint32_t facility = g_inst != nullptr ? g_inst->facility : LOG_LOCAL7;
    return static_cast<int>(facility) | LOG_DEBUG;
}

const char *module_name(uint32_t module)
{
    return module < OST_MODULE_MAX ? ost_module_str(module) : "invalid";
}

frame::~frame()
{
    if (--inst_->depth != 0) {
        return;
    }
    while (inst_->reap_list != nullptr) {
        msgq_handle_t *h = inst_->reap_list;
        inst_->reap_list = h->list_next;
        delete h;
    }
    if (inst_->reg_msgq_listhead.head == nullptr && inst_->unreg_msgq_listhead.head == nullptr) {
        inst_free(inst_);
    }
}

int64_t elapsed_ms(const timespec &start)
{
    timespec now{};
    timer_clock_now(&now);
    return (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

size_t app_offset(const msgq_handle_t *h)
{
    return h->use_app_header ? 0 : sizeof(msgq_hdr_t);
}

}  // namespace msgq_priv

using namespace msgq_priv;

namespace {

// ------------------------------------------------------------ deferred freeing

// The handle must be in no list.
void msgq_handle_free(msgq_handle_t *h)
{
    MSGQ_ASSERT(!h->in_reg_list && !h->in_unreg_list && !h->in_tmp_list);
    msgq_inst_t *inst = h->inst;
    if (inst != nullptr && inst->depth > 0) {
        h->free_pending = 1;
        h->list_next = inst->reap_list;
        inst->reap_list = h;
        return;
    }
    delete h;
}

// ------------------------------------------------------------ handle lists

msgq_handle_list_t *msgq_list_of(msgq_handle_t *h)
{
    if (h->in_reg_list) {
        return &h->inst->reg_msgq_listhead;
    }
    if (h->in_unreg_list) {
        return &h->inst->unreg_msgq_listhead;
    }
    if (h->in_tmp_list) {
        return &h->inst->tmp_msgq_listhead;
    }
    return nullptr;
}

void msgq_list_remove(msgq_handle_t *h)
{
    msgq_handle_list_t *list = msgq_list_of(h);
    if (list == nullptr) {
        return;
    }
    if (h->list_prev != nullptr) {
        h->list_prev->list_next = h->list_next;
    } else {
        list->head = h->list_next;
    }
    if (h->list_next != nullptr) {
        h->list_next->list_prev = h->list_prev;
    }
    h->list_next = nullptr;
    h->list_prev = nullptr;
    list->count--;
    h->in_reg_list = 0;
    h->in_unreg_list = 0;
    h->in_tmp_list = 0;
}

enum class msgq_list_id { reg, unreg, tmp };

// Removes the handle from its list (if any) and inserts it at the head of another.
void msgq_list_insert(msgq_handle_t *h, msgq_list_id which)
{
    msgq_list_remove(h);
    msgq_inst_t *inst = h->inst;
    msgq_handle_list_t *list = which == msgq_list_id::reg     ? &inst->reg_msgq_listhead
                               : which == msgq_list_id::unreg ? &inst->unreg_msgq_listhead
                                                              : &inst->tmp_msgq_listhead;
    h->list_prev = nullptr;
    h->list_next = list->head;
    if (list->head != nullptr) {
        list->head->list_prev = h;
    }
    list->head = h;
    list->count++;
    h->in_reg_list = which == msgq_list_id::reg;
    h->in_unreg_list = which == msgq_list_id::unreg;
    h->in_tmp_list = which == msgq_list_id::tmp;
}

bool msgq_same_path(const char *a, const char *b)
{
    return strncmp(a, b, MSGQ_PATH_LEN) == 0;
}

// The server handle that a peer registering as (peer_src -> peer_tgt) at path
// belongs to. Only server handles take accepted connections.
msgq_handle_t *msgq_find_server(const msgq_handle_list_t *list, uint8_t src, uint8_t tgt, const char *path)
{
    for (msgq_handle_t *h = list->head; h != nullptr; h = h->list_next) {
        if (h->type == MSGQ_HANDLE_TYPE_SERVER && h->src == src && h->tgt == tgt && msgq_same_path(h->path, path)) {
            return h;
        }
    }
    return nullptr;
}

bool msgq_is_duplicate(const msgq_inst_t *inst, uint8_t src, uint8_t tgt, uint8_t type, const char *path)
{
    for (const msgq_handle_list_t *list :
         {&inst->reg_msgq_listhead, &inst->unreg_msgq_listhead, &inst->tmp_msgq_listhead}) {
        for (const msgq_handle_t *h = list->head; h != nullptr; h = h->list_next) {
            if (h->src == src && h->tgt == tgt && h->type == type && msgq_same_path(h->path, path)) {
                return true;
            }
        }
    }
    return false;
}

// ------------------------------------------------------------ instance
// ------------------------------------------------------------ instance

msgq_inst_t *msgq_inst_init(const msgq_params_t *params)
{
    auto *inst = new (std::nothrow) msgq_inst_t();
    if (inst == nullptr) {
        return nullptr;
    }
    if (params != nullptr) {
        inst->evbase = params->evbase;
        inst->timer_mgr = params->timer_mgr;
        inst->facility = params->facility;
    } else {
        inst->facility = LOG_LOCAL7;  // only for the validation failure line that follows
    }
    g_inst = inst;
    return inst;
}

}  // namespace

// Runs at depth 0 once no handle is left: connections that never
// registered are closed and the next msgq_init starts afresh.
void msgq_priv::inst_free(msgq_inst_t *inst)
{
    MSGQ_ASSERT(inst->depth == 0 && inst->reap_list == nullptr);
    // A temporary connection owns only its socket and read event; it is
    // closed here directly, outside any frame (a frame's end would come
    // back here).
    while (inst->tmp_msgq_listhead.head != nullptr) {
        msgq_handle_t *tmp = inst->tmp_msgq_listhead.head;
        MSGQ_LOG("Closing connection with fd: %d", tmp->sock_fd);
        tmp->read_ev.reset();
        if (tmp->sock_fd != -1) {
            shutdown(tmp->sock_fd, SHUT_RDWR);
            close(tmp->sock_fd);
        }
        msgq_list_remove(tmp);
        delete tmp;
    }
    MSGQ_ASSERT(inst->server_list == nullptr);
    rx_inst_free(inst);
    g_inst = nullptr;
    delete inst;
}

namespace {

// ------------------------------------------------------------ connections

// A connection's events: a read event on fd (persistent, added) unless
// with_read is false, two write events and two read helpers. On failure
// nothing is left behind and the result is false.
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

}  // namespace

namespace msgq_priv {

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
    if (g_policy.max_unregistered == 0 || inst->tmp_msgq_listhead.count < g_policy.max_unregistered) {
        return;
    }
    msgq_handle_t *oldest = inst->tmp_msgq_listhead.head;
    while (oldest->list_next != nullptr) {
        oldest = oldest->list_next;
    }
    ost_log_peer_scope peer(reinterpret_cast<uintptr_t>(oldest));
    MSGQ_ERR("Closed connection from pid %d uid %u: %u connections wait to register, the longest waiting goes",
             oldest->peer_pid, oldest->peer_uid, inst->tmp_msgq_listhead.count);
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

// ------------------------------------------------------------ servers

void msgq_listener_resume_cb(evutil_socket_t /*fd*/, short /*what*/, void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    if (srv->listener != nullptr) {
        evconnlistener_enable(srv->listener.get());
    }
}

// accept() failed. Out of descriptors the listening socket stays readable,
// so retrying at once would spin: the listener waits instead, and the
// connections already served carry on meanwhile. One line per shortage, not
// one per retry.
void msgq_listener_error_cb(evconnlistener *listener, void *arg)
{
    auto *srv = static_cast<msgq_server_t *>(arg);
    int err = EVUTIL_SOCKET_ERROR();
    if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM) {
        MSGQ_ERR("Error from accept() at %s: %s", srv->path, strerror(err));
        return;
    }
    evconnlistener_disable(listener);
    if (srv->resume_ev == nullptr) {
        srv->resume_ev.reset(event_new(srv->inst->evbase, -1, 0, msgq_listener_resume_cb, srv));
    }
    timeval tv{static_cast<time_t>(g_policy.accept_pause_ms / 1000),
               static_cast<suseconds_t>(g_policy.accept_pause_ms % 1000) * 1000};
    if (srv->resume_ev == nullptr || event_add(srv->resume_ev.get(), &tv) != 0) {
        evconnlistener_enable(listener);  // better a busy listener than a dead one
        return;
    }
    if (!srv->accept_paused) {
        srv->accept_paused = 1;
        MSGQ_ERR("Out of descriptors accepting at %s (%s): new connections wait, tried again every %u ms",
                 srv->path, strerror(err), g_policy.accept_pause_ms);
    }
}

// Sockets bound by msgq_server_prebind, waiting for their server.
struct msgq_prebound_t {
    char path[MSGQ_PATH_LEN];
    int fd;
};
msgq_prebound_t g_prebound[4] = {{{}, -1}, {{}, -1}, {{}, -1}, {{}, -1}};

int msgq_take_prebound(const char *path)
{
    for (msgq_prebound_t &p : g_prebound) {
        if (p.fd != -1 && msgq_same_path(p.path, path)) {
            int fd = p.fd;
            p.fd = -1;
            return fd;
        }
    }
    return -1;
}

msgq_server_t *msgq_server_get(msgq_handle_t *h)
{
    msgq_inst_t *inst = h->inst;
    msgq_server_t *srv = inst->server_list;
    while (srv != nullptr && !msgq_same_path(srv->path, h->path)) {
        srv = srv->next;
    }
    if (srv != nullptr) {
        MSGQ_ASSERT(h->use_app_header == srv->listener_apphdr);
        MSGQ_ASSERT(!srv->listener_apphdr || srv->apphead_msgq_handle_p == nullptr);
        srv->refcnt++;
    } else {
        srv = new (std::nothrow) msgq_server_t();
        if (srv == nullptr) {
            MSGQ_ERR("Failed to allocate memory for server at %s", h->path);
            return nullptr;
        }
        srv->inst = inst;
        srv->src = h->src;
        memcpy(srv->path, h->path, MSGQ_PATH_LEN);
        srv->listener_apphdr = h->use_app_header;
        srv->refcnt = 1;
        srv->next = inst->server_list;
        inst->server_list = srv;
    }
    if (h->use_app_header) {
        srv->apphead_msgq_handle_p = h;
    }
    h->server_p = srv;
    return srv;
}

void msgq_server_put(msgq_handle_t *h)
{
    msgq_server_t *srv = h->server_p;
    h->server_p = nullptr;
    if (srv->apphead_msgq_handle_p == h) {
        srv->apphead_msgq_handle_p = nullptr;
    }
    if (--srv->refcnt > 0) {
        return;
    }
    msgq_server_t **pp = &srv->inst->server_list;
    while (*pp != srv) {
        pp = &(*pp)->next;
    }
    *pp = srv->next;
    srv->listener.reset();
    if (unlink(srv->path) != 0) {
        MSGQ_LOG("Failed to remove the file: %s", srv->path);
    }
    delete srv;
}

int msgq_init_start_server(msgq_handle_t *h)
{
    msgq_server_t *srv = msgq_server_get(h);
    if (srv == nullptr) {
        return MSGQ_START_FAILED;
    }
    if (srv->listener != nullptr) {
        MSGQ_LOG("Server is on at %s, ignore server start", srv->path);
        return MSGQ_START_ALREADY;
    }
    if (int fd = msgq_take_prebound(srv->path); fd != -1) {
        // Bound and listening already (backlog 0: no second listen).
        srv->listener.reset(
            evconnlistener_new(h->inst->evbase, msgq_listener_cb, srv, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC, 0, fd));
        if (srv->listener == nullptr) {
            MSGQ_ERR("Failed to start listener for %s error:%s", srv->path, strerror(errno));
            close(fd);
            return MSGQ_START_FAILED;
        }
        evconnlistener_set_error_cb(srv->listener.get(), msgq_listener_error_cb);
        return MSGQ_OK;
    }
    if (unlink(srv->path) != 0 && errno != ENOENT) {
        MSGQ_ERR("Path %s exists, failed to remove", srv->path);
        return MSGQ_START_ALREADY;
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    static_assert(MSGQ_PATH_LEN <= sizeof(sun.sun_path));
    memcpy(sun.sun_path, srv->path, strnlen(srv->path, MSGQ_PATH_LEN));
    srv->listener.reset(evconnlistener_new_bind(
        h->inst->evbase, msgq_listener_cb, srv, LEV_OPT_CLOSE_ON_FREE | LEV_OPT_CLOSE_ON_EXEC | LEV_OPT_REUSEABLE,
        -1, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)));
    if (srv->listener == nullptr) {
        MSGQ_ERR("Failed to start listener for %s error:%s", srv->path, strerror(errno));
        return MSGQ_START_FAILED;
    }
    evconnlistener_set_error_cb(srv->listener.get(), msgq_listener_error_cb);
    // Peers run under other users.
    if (chmod(srv->path, 0777) != 0) {
        MSGQ_ERR("Failed to change permission for %s", srv->path);
    }
    return MSGQ_OK;
}

// ------------------------------------------------------------ clients

int msgq_send_register(msgq_handle_t *h)
{
    msgq_hdr_t hdr{};
    hdr.magic1 = MAGIC1;
    hdr.magic2 = MAGIC2;
    hdr.src = h->src;
    hdr.tgt = h->tgt;
    hdr.type = MSGQ_MSG_TYPE_REGISTER;
    hdr.size = msgq_hdr_len(h);
    h->stats.tx_register++;
    ssize_t n = send(h->sock_fd, &hdr, sizeof(hdr), MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(sizeof(hdr)) ? 0 : -1;
}

// Waits for a non-blocking IPv4 connect to complete. On failure *err holds
// the reason. fn: the connect attempt named in the error lines.
bool msgq_connect_wait(int fd, int *err, const char *fn)
{
    // poll rather than select: a descriptor above FD_SETSIZE must not
    // overflow an fd_set in a daemon with many connections.
    pollfd pfd{fd, POLLOUT, 0};
    int rc;
    do {
        rc = poll(&pfd, 1, MSGQ_IPV4_CONNECT_WAIT_SECS * 1000);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        *err = errno;
        MSGQ_ERR_IN(fn, "Failed to connect for fd: %d, error: %d", fd, *err);
        return false;
    }
    if (rc == 0) {
        *err = ETIMEDOUT;
        MSGQ_ERR_IN(fn, "Timeout in select");
        return false;
    }
    int so_error = 0;
    socklen_t len = sizeof(so_error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
        *err = errno;
        MSGQ_ERR_IN(fn, "ERROR in getsockopt: %d - %s", *err, strerror(*err));
        return false;
    }
    if (so_error != 0) {
        *err = so_error;
        MSGQ_LOG("ERROR in delayed connection: %d - %s", so_error, strerror(so_error));
        return false;
    }
    return true;
}

void msgq_connect_established(msgq_handle_t *h, int fd, const char *fn)
{
    if (h->connect_timer != nullptr) {
        timer_disable(h->connect_timer);
    }
    h->sock_fd = fd;
    h->down_pending = 0;
    // A blocking client reads only right after each of its sends.
    if (!msgq_create_conn_events(h, fd, !h->blocking)) {
        // A connection without its events cannot be served: it is closed and
        // the client tries again like after any failed attempt.
        MSGQ_ERR_IN(fn, "Failed to create read helper events");
        msgq_close_connection(h, 1);
        return;
    }
    if (!h->skip_register && msgq_send_register(h) != 0) {
        MSGQ_LOG("Error in sending register message to %d, err %d", h->tgt, errno);
        msgq_close_connection(h, 1);
        return;
    }
    msgq_call_conn_up(h);
}

int msgq_init_start_client(msgq_handle_t *h)
{
    if (h->cbs.is_reboot_pending != nullptr && h->cbs.is_reboot_pending(h)) {
        MSGQ_ERR("Reboot in progress, skip connecting to server %s", h->path);
        return MSGQ_START_REBOOT_PENDING;
    }
    if (h->blocking) {
        // Retried until connected, with a short pause so a missing server
        // does not spin the processor.
        while (h->sock_fd == -1 && !h->free_pending) {
            msgq_connect_timer(nullptr, h, nullptr, nullptr, nullptr);
            if (h->sock_fd == -1) {
                usleep(100 * 1000);
            }
        }
        return MSGQ_OK;
    }
    h->connect_timer = timer_util_create(h->inst->timer_mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT,
                                         MSGQ_CONNECT_RETRY_MS, msgq_connect_timer, h, nullptr, nullptr, nullptr,
                                         MSGQ_CONNECT_TIMER_NAME);
    if (h->connect_timer == nullptr) {
        MSGQ_ERR("Failed to init connect timer for %p", static_cast<void *>(h));
        return MSGQ_START_FAILED;
    }
    timer_enable(h->connect_timer);
    return MSGQ_OK;
}

bool msgq_validate_params(uint32_t type, const msgq_params_t *params, const msgq_callbacks_t *cbs)
{
    if (params == nullptr || cbs == nullptr || params->evbase == nullptr) {
        return false;
    }
    if (type != MSGQ_HANDLE_TYPE_SERVER && type != MSGQ_HANDLE_TYPE_CLIENT) {
        return false;
    }
    if (type == MSGQ_HANDLE_TYPE_CLIENT && params->timer_mgr == nullptr) {
        return false;
    }
    // Messages and queue nodes come only from the user's allocator.
    if (cbs->recv_msg == nullptr || cbs->spare == nullptr || cbs->alloc_msg == nullptr ||
        cbs->free_msg == nullptr) {
        return false;
    }
    if ((params->use_app_header & 1) != 0) {
        // The 16-bit length must lie inside the application header, or the
        // reader would take it from beyond the bytes it read.
        if (params->app_hdr_len < 1 || params->app_hdr_len > MSGQ_MAX_HDR_LEN) {
            return false;
        }
        if (params->app_hdr_len < 2 || params->app_size_offset > params->app_hdr_len - 2) {
            return false;
        }
    }
    return true;
}

}  // namespace

// ============================================================ handles

msgq_inst_t *msgq_inst_get()
{
    return g_inst;
}

void msgq_set_accept_policy(const msgq_accept_policy_t *policy)
{
    g_policy = *policy;
}

const msgq_accept_policy_t *msgq_accept_policy()
{
    return &g_policy;
}

int msgq_server_prebind(uint32_t src, char *path, size_t len)
{
    char sock_path[MSGQ_PATH_LEN];
    int n = ost_run_path(sock_path, sizeof(sock_path), ".%s", module_name(src));
    snprintf(path, len, "%s", sock_path);
    if (n < 0 || n >= MSGQ_PATH_LEN) {
        return ENAMETOOLONG;
    }
    msgq_prebound_t *slot = nullptr;
    for (msgq_prebound_t &p : g_prebound) {
        if (p.fd == -1) {
            slot = &p;
            break;
        }
    }
    if (slot == nullptr) {
        return EMFILE;
    }
    // A socket left by a daemon that died: whoever could still be serving
    // it was refused by its instance lock before coming here.
    if (unlink(sock_path) != 0 && errno != ENOENT) {
        return errno;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return errno;
    }
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    memcpy(sun.sun_path, sock_path, static_cast<size_t>(n));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) != 0 || listen(fd, SOMAXCONN) != 0) {
        int err = errno;
        close(fd);
        return err;
    }
    // Peers run under other users; who may register is the accept policy's call.
    (void)chmod(sock_path, 0777);
    snprintf(slot->path, sizeof(slot->path), "%s", sock_path);
    slot->fd = fd;
    return 0;
}

msgq_handle_t *msgq_init(uint32_t src, uint32_t tgt, uint32_t type, const msgq_params_t *params,
                         const msgq_callbacks_t *cbs, void *user_arg)
{
    if (src < 1 || src >= OST_MODULE_MAX || tgt < 1 || tgt >= OST_MODULE_MAX) {
        return nullptr;
    }
    msgq_inst_t *inst = g_inst != nullptr ? g_inst : msgq_inst_init(params);
    if (inst == nullptr) {
        return nullptr;
    }
    frame guard(inst);
    MSGQ_LOG("Msg init with src: %s, tgt: %s, type: %d", ost_module_str(src), ost_module_str(tgt), type);

    bool valid = msgq_validate_params(type, params, cbs);
    if (!valid) {
        MSGQ_ERR("Validation of parameters failed");
    }
    MSGQ_ASSERT(valid);
    // The instance keeps the first caller's event base and timer manager; a
    // server-only first caller may have brought no manager, so the first
    // client's is taken then.
    if (inst->timer_mgr == nullptr) {
        inst->timer_mgr = params->timer_mgr;
    }

    char path[MSGQ_PATH_LEN];
    int n;
    if (params->path[0] != '\0') {
        n = static_cast<int>(strnlen(params->path, MSGQ_PATH_LEN));
        snprintf(path, sizeof(path), "%.*s", n, params->path);
    } else {
        n = ost_run_path(path, sizeof(path), ".%s",
                         ost_module_str(type == MSGQ_HANDLE_TYPE_SERVER ? src : tgt));
    }
    if (n < 0 || n >= MSGQ_PATH_LEN) {
        // A run directory too long for a socket path: no handle rather than
        // a cut path that another daemon would never find.
        MSGQ_ERR("Socket path for %s is longer than %d characters", ost_module_str(tgt), MSGQ_PATH_LEN - 1);
        return nullptr;
    }

    bool duplicate = msgq_is_duplicate(inst, static_cast<uint8_t>(src), static_cast<uint8_t>(tgt),
                                       static_cast<uint8_t>(type), path);
    if (duplicate) {
        MSGQ_ERR("Duplicate msgq_handle found");
    }
    MSGQ_ASSERT(!duplicate);

    bool supported = params->sock_type == MSGQ_SOCK_TYPE_UNIX || params->sock_type == MSGQ_SOCK_TYPE_IPV4;
    if (!supported) {
        MSGQ_ERR("Unsupported socket type");
    }
    MSGQ_ASSERT(supported);

    auto *h = new (std::nothrow) msgq_handle_t();
    if (h == nullptr) {
        MSGQ_ERR("Alloc failed");
        return nullptr;
    }
    h->src = static_cast<uint8_t>(src);
    h->tgt = static_cast<uint8_t>(tgt);
    h->type = static_cast<uint8_t>(type);
    h->inst = inst;
    h->use_app_header = params->use_app_header & 1;
    h->skip_register = (params->skip_register & 1) | h->use_app_header;
    h->app_hdr_len = static_cast<uint8_t>(params->app_hdr_len);
    h->app_size_offset = static_cast<uint8_t>(params->app_size_offset);
    h->blocking = type == MSGQ_HANDLE_TYPE_CLIENT ? (params->blocking & 1) : 0;
    h->sock_type = params->sock_type;
    // The path is kept for every socket type: it is part of a handle's identity.
    memcpy(h->path, path, sizeof(path));
    if (params->sock_type == MSGQ_SOCK_TYPE_IPV4) {
        h->port = params->port;
        snprintf(h->ipaddr, sizeof(h->ipaddr), "%.*s", MSGQ_IPADDR_LEN - 1, params->ipaddr);
    }
    h->cbs = *cbs;
    h->user_arg = user_arg;
    msgq_list_insert(h, msgq_list_id::unreg);

    if (type == MSGQ_HANDLE_TYPE_SERVER) {
        int rc = msgq_init_start_server(h);
        if (rc != MSGQ_OK && rc != MSGQ_START_ALREADY) {
            MSGQ_ERR("Error %u in initializing server for %s", rc, h->path);
        }
        MSGQ_ASSERT(rc == MSGQ_OK || rc == MSGQ_START_ALREADY);
    } else {
        msgq_init_start_client(h);
    }
    return h;
}

void msgq_deinit(msgq_handle_t *msgq_p)
{
    if (msgq_p == nullptr) {
        return;
    }
    MSGQ_ASSERT(!msgq_p->free_pending);
    frame guard(msgq_p->inst);
    msgq_close_connection(msgq_p, 0);
    MSGQ_ASSERT(msgq_p->in_unreg_list);
    msgq_list_remove(msgq_p);
    if (msgq_p->connect_timer != nullptr) {
        timer_util_delete(msgq_p->connect_timer);
        msgq_p->connect_timer = nullptr;
    }
    if (msgq_p->server_p != nullptr) {
        msgq_server_put(msgq_p);
    }
    msgq_handle_free(msgq_p);
}

void msgq_set_user_arg(msgq_handle_t *msgq_p, void *user_arg)
{
    msgq_p->user_arg = user_arg;
}

bool msgq_is_connected(const msgq_handle_t *msgq_p)
{
    return msgq_p != nullptr && msgq_p->sock_fd != -1 && !msgq_p->down_pending;
}

void msgq_close_connection(msgq_handle_t *msgq_p, int restart)
{
    frame guard(msgq_p->inst);
    MSGQ_LOG("Closing connection with fd: %d", msgq_p->sock_fd);
    msgq_p->stats.conn_close++;
    msgq_p->down_pending = 0;
    msgq_p->conn_gen++;

    msgq_p->read_ev.reset();
    for (int i = 0; i < 2; i++) {
        msgq_p->write_ev[i].reset();
        msgq_p->write_scheduled[i] = 0;
        msgq_p->read_helper_ev[i].reset();
        msgq_p->read_helper_scheduled[i] = 0;
    }
    msgq_p->write_idx = 0;
    msgq_p->read_helper_idx = 0;

    tx_queue_free(msgq_p);
    rx_reset(msgq_p);

    if (msgq_p->sock_fd != -1) {
        shutdown(msgq_p->sock_fd, SHUT_RDWR);
        close(msgq_p->sock_fd);
        msgq_p->sock_fd = -1;
    }
    if (msgq_p->in_reg_list) {
        msgq_list_insert(msgq_p, msgq_list_id::unreg);
        msgq_p->stats.conn_down++;
        if (msgq_p->cbs.conn_down != nullptr) {
            msgq_p->cbs.conn_down(msgq_p, msgq_p->user_arg, msgq_p, msgq_p->user_arg);
        }
    }
    if (restart && msgq_p->type == MSGQ_HANDLE_TYPE_CLIENT && msgq_p->connect_timer != nullptr) {
        timer_enable(msgq_p->connect_timer);
    }
}

// One connect attempt: the expiry of the retry timer (re-armed after a
// failure), or a direct call with timer NULL (a blocking client's start).
void msgq_connect_timer(timer_util_t *timer, void *arg1, void * /*arg2*/, void * /*arg3*/, void * /*arg4*/)
{
    auto *h = static_cast<msgq_handle_t *>(arg1);
    frame guard(h->inst);
    MSGQ_ASSERT(h->sock_fd == -1);
    const bool ipv4 = h->sock_type == MSGQ_SOCK_TYPE_IPV4;
    MSGQ_LOG("Connect retry timer expired for %p", static_cast<void *>(h));
    MSGQ_LOG("Trying to connect to server at %s", ipv4 ? h->ipaddr : h->path);

    sockaddr_storage ss{};
    socklen_t ss_len;
    if (ipv4) {
        auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(static_cast<uint16_t>(h->port));
        // Text that is no address cannot connect: it fails like an absent server.
        if (inet_pton(AF_INET, h->ipaddr, &sin->sin_addr) != 1) {
            sin->sin_addr.s_addr = htonl(INADDR_NONE);
        }
        ss_len = sizeof(sockaddr_in);
    } else {
        auto *sun = reinterpret_cast<sockaddr_un *>(&ss);
        sun->sun_family = AF_UNIX;
        memcpy(sun->sun_path, h->path, strnlen(h->path, MSGQ_PATH_LEN));
        ss_len = sizeof(sockaddr_un);
    }

    int type = SOCK_STREAM | SOCK_CLOEXEC | (h->blocking ? 0 : SOCK_NONBLOCK);
    int fd = socket(ss.ss_family, type, 0);
    if (fd < 0) {
        MSGQ_ERR("Socket init failed %d", errno);
        // Out of descriptors is usually passing: the client tries again
        // rather than staying unconnected for good.
        if (timer != nullptr) {
            timer_disable(timer);
            timer_enable(timer);
        }
        return;
    }
    int err = 0;
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&ss), ss_len) == 0;
    if (!ok) {
        err = errno;
        if (ipv4 && err == EINPROGRESS) {
            ok = msgq_connect_wait(fd, &err, __func__);
        }
    }
    if (!ok) {
        MSGQ_LOG("Failed to connect for fd: %d, error: %d", fd, err);
        close(fd);
        if (timer != nullptr) {
            timer_disable(timer);
            timer_enable(timer);
        }
        return;
    }
    msgq_connect_established(h, fd, __func__);
}

// ============================================================ messages

uint16_t msgq_hdr_len(const msgq_handle_t *msgq_p)
{
    return msgq_p->use_app_header ? msgq_p->app_hdr_len : static_cast<uint16_t>(sizeof(msgq_hdr_t));
}

uint16_t msgq_size_msg_to_app(const msgq_handle_t *msgq_p, uint16_t size)
{
    return msgq_p->use_app_header ? size : static_cast<uint16_t>(size - sizeof(msgq_hdr_t));
}

uint16_t msgq_size_app_to_msg(const msgq_handle_t *msgq_p, uint16_t size)
{
    return msgq_p->use_app_header ? size : static_cast<uint16_t>(size + sizeof(msgq_hdr_t));
}

void *msgq_alloc_msg(msgq_handle_t *msgq_p, uint32_t app_size)
{
    MSGQ_ASSERT(app_size <= (msgq_p->use_app_header ? MSGQ_MAX_MSG_SIZE : MSGQ_MAX_APP_SIZE));
    uint16_t size = msgq_size_app_to_msg(msgq_p, static_cast<uint16_t>(app_size));
    auto *buf = static_cast<uint8_t *>(msgq_p->cbs.alloc_msg(size));
    if (buf == nullptr) {
        msgq_p->stats.alloc_failed++;
        return nullptr;
    }
    msgq_p->stats.msg_allocs++;
    if (!msgq_p->use_app_header) {
        msgq_hdr_t hdr{};
        hdr.magic1 = MAGIC1;
        hdr.magic2 = MAGIC2;
        hdr.size = size;  // the capacity, checked when the message is written
        memcpy(buf, &hdr, sizeof(hdr));
    }
    return buf + app_offset(msgq_p);
}

void msgq_free_msg(msgq_handle_t *msgq_p, void *app_p)
{
    if (app_p == nullptr) {
        return;
    }
    msgq_p->stats.msg_frees++;
    msgq_p->cbs.free_msg(static_cast<uint8_t *>(app_p) - app_offset(msgq_p));
}

