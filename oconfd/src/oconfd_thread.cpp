// The sockets of the module's threads and the agent connections they make:
// registered while they live so that the loop can interrupt them.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

#include "oconfd_internal.h"

namespace {

constexpr int k_cdb_connect_attempts = 4;
constexpr useconds_t k_cdb_connect_pause_us = 100 * 1000;

// Unregisters fd; the caller closes it afterwards, outside the lock.
void unregister(struct oconfd_ctx *ctx, int fd)
{
    std::lock_guard<std::mutex> lock(ctx->priv->mu);
    auto &socks = ctx->priv->socks;
    socks.erase(std::remove_if(socks.begin(), socks.end(), [fd](const auto &s) { return s.first == fd; }),
                socks.end());
}

// One CDB socket, up to four attempts; sock_fn makes each attempt's socket
// and close_fn disposes of a failed one.
template <typename SockFn, typename CloseFn>
int cdb_connect_attempts(enum cdb_sock_type type, const struct sockaddr *addr, int addr_len, int *sock,
                         SockFn &&sock_fn, CloseFn &&close_fn)
{
    int err = CONFD_ERR_OS;
    for (int attempt = 1; attempt <= k_cdb_connect_attempts; ++attempt) {
        int fd = sock_fn();
        if (fd < 0) {
            err = CONFD_ERR_OS;
            OCONFD_LOG("cdb_connect failed, reason: %s (%s), retry %d", strerror(errno), "socket", attempt);
        } else if (cdb_connect(fd, type, addr, addr_len) == CONFD_OK) {
            *sock = fd;
            return 0;
        } else {
            err = confd_errno != 0 ? confd_errno : CONFD_ERR_OS;
            OCONFD_LOG("cdb_connect failed, reason: %s (%s), retry %d", confd_strerror(confd_errno),
                       confd_lasterr(), attempt);
            close_fn(fd);
        }
        if (attempt < k_cdb_connect_attempts) {
            usleep(k_cdb_connect_pause_us);
        }
    }
    *sock = -1;
    return err;
}

}  // namespace

int oconfd_thread_socket(struct oconfd_ctx *ctx, int owner)
{
    std::lock_guard<std::mutex> lock(ctx->priv->mu);
    if ((ctx->priv->refused & owner) != 0) {
        errno = ECANCELED;
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        ctx->priv->socks.emplace_back(fd, owner);
    }
    return fd;
}

void oconfd_thread_cdb_close(struct oconfd_ctx *ctx, int &fd)
{
    if (fd < 0) {
        return;
    }
    unregister(ctx, fd);
    cdb_close(fd);
    fd = -1;
}

void oconfd_thread_maapi_close(struct oconfd_ctx *ctx, int &fd)
{
    if (fd < 0) {
        return;
    }
    unregister(ctx, fd);
    maapi_close(fd);
    fd = -1;
}

void oconfd_thread_sockets_interrupt(struct oconfd_ctx *ctx, int owner_mask)
{
    std::lock_guard<std::mutex> lock(ctx->priv->mu);
    ctx->priv->refused |= owner_mask;
    for (const auto &[fd, owner] : ctx->priv->socks) {
        if ((owner & owner_mask) != 0) {
            shutdown(fd, SHUT_RDWR);
        }
    }
}

void oconfd_thread_sockets_allow(struct oconfd_ctx *ctx, int owner_mask)
{
    std::lock_guard<std::mutex> lock(ctx->priv->mu);
    ctx->priv->refused &= ~owner_mask;
}

int oconfd_thread_cdb_connect(struct oconfd_ctx *ctx, enum cdb_sock_type type, int owner, int *sock)
{
    struct sockaddr_in addr;
    socklen_t len = confd_agent_addr(&addr);
    return cdb_connect_attempts(
        type, reinterpret_cast<struct sockaddr *>(&addr), static_cast<int>(len), sock,
        [&] { return oconfd_thread_socket(ctx, owner); }, [&](int fd) { oconfd_thread_cdb_close(ctx, fd); });
}

int oconfd_cdb_connect(struct oconfd_ctx * /*ctx*/, enum cdb_sock_type type, const struct sockaddr *addr,
                       int addr_len, int *sock)
{
    return cdb_connect_attempts(
        type, addr, addr_len, sock, [] { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); },
        [](int fd) { cdb_close(fd); });
}
