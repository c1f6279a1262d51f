// The message queue's clients: a connect attempt on every expiry of the
// one-shot retry timer (or in a loop for a blocking client), the register
// message once connected, and the IPv4 variant's wait for a delayed connect.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "msgq_util_priv.h"

using namespace msgq_priv;

namespace {

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

}  // namespace

namespace msgq_priv {

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

}  // namespace msgq_priv

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
