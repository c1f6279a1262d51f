// The message queue's listeners: one per socket path, shared by the server
// handles of that path, bound at msgq_init or taken over from
// msgq_server_prebind, and paused for a while when the process runs out of
// descriptors.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <event2/listener.h>
#include <new>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "msgq_util_priv.h"
#include "ost_rundir.h"

using namespace msgq_priv;

namespace {

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
    timeval tv{static_cast<time_t>(msgq_accept_policy()->accept_pause_ms / 1000),
               static_cast<suseconds_t>(msgq_accept_policy()->accept_pause_ms % 1000) * 1000};
    if (srv->resume_ev == nullptr || event_add(srv->resume_ev.get(), &tv) != 0) {
        evconnlistener_enable(listener);  // better a busy listener than a dead one
        return;
    }
    if (!srv->accept_paused) {
        srv->accept_paused = 1;
        MSGQ_ERR("Out of descriptors accepting at %s (%s): new connections wait, tried again every %u ms",
                 srv->path, strerror(err), msgq_accept_policy()->accept_pause_ms);
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
    msgq_server_t *srv = nullptr;
    for (msgq_server_t &rec : inst->server_list) {
        if (msgq_same_path(rec.path, h->path)) {
            srv = &rec;
            break;
        }
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
        inst->server_list.push_front(*srv);
    }
    if (h->use_app_header) {
        srv->apphead_msgq_handle_p = h;
    }
    h->server_p = srv;
    return srv;
}

}  // namespace

namespace msgq_priv {

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
    srv->inst->server_list.erase(msgq_server_list_t::s_iterator_to(*srv));
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

}  // namespace msgq_priv

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
