#include "zorctl_conn.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string errno_text(int e)
{
    return strerror(e);
}

zc_error unreachable(uint16_t port, const std::string &why)
{
    return zc_fail(ZC_EXIT_UNREACHABLE, "cannot reach the agent at 127.0.0.1:" + std::to_string(port) + ": " + why);
}

// Waits for fd to be ready for events; 0 on timeout, -1 on error (errno).
int wait_fd(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

}  // namespace

zc_error zc_fail(int code, std::string_view text)
{
    zc_error e;
    e.code = code;
    e.text.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (c == '\n' || c == '\r') {
            // A trailing newline is dropped; inner ones separate clauses.
            const size_t rest = text.find_first_not_of("\r\n", i);
            if (rest != std::string_view::npos && !e.text.empty()) {
                e.text += "; ";
            }
            i = rest == std::string_view::npos ? text.size() : rest - 1;
            continue;
        }
        e.text += c;
    }
    return e;
}

bool zc_read_secret(std::string &secret, zc_error &err)
{
    secret.clear();
    const char *file = getenv(MGMT_ENV_SECRET_FILE);
    if (file == nullptr || *file == '\0') {
        return true;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        err = zc_fail(ZC_EXIT_USAGE, std::string("cannot read the IPC secret file ") + file + ": " + errno_text(errno));
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    secret = text.str();
    return true;
}

bool zc_pick_port(uint32_t option_port, uint16_t &port, zc_error &err)
{
    if (option_port != 0) {
        port = static_cast<uint16_t>(option_port);
        return true;
    }
    const char *env = getenv(MGMT_ENV_PORT);
    if (env == nullptr || *env == '\0') {
        port = ZC_DEFAULT_PORT;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    const long v = strtol(env, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > 65535) {
        err = zc_fail(ZC_EXIT_USAGE, std::string(MGMT_ENV_PORT) + " is not a port number: " + env);
        return false;
    }
    port = static_cast<uint16_t>(v);
    return true;
}

zc_conn::~zc_conn()
{
    close();
}

void zc_conn::close()
{
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
    in_ = mgmt_wire::frame_buffer();
}

bool zc_conn::open(uint16_t port, int timeout_ms, const std::string &secret, zc_error &err)
{
    close();
    port_ = port;
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) {
        err = unreachable(port, errno_text(errno));
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS) {
            err = unreachable(port, errno_text(errno));
            close();
            return false;
        }
        const int n = wait_fd(fd_, POLLOUT, timeout_ms);
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (n == 0) {
            so_error = ETIMEDOUT;
        } else if (n < 0) {
            so_error = errno;
        } else if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
            so_error = errno;
        }
        if (so_error != 0) {
            err = unreachable(port, errno_text(so_error));
            close();
            return false;
        }
    }
    if (!handshake(secret, timeout_ms, err)) {
        close();
        return false;
    }
    return true;
}

bool zc_conn::handshake(const std::string &secret, int timeout_ms, zc_error &err)
{
    std::string body;
    if (!read_frame(timeout_ms, body, err)) {
        return false;
    }
    mgmt_wire::reader rd(body);
    std::string_view nonce;
    if (rd.op() != MGMT_OP_CHALLENGE || !rd.bytes(nonce)) {
        err = unreachable(port_, "the peer did not greet as the agent does");
        return false;
    }
    std::string proof;
    if (!secret.empty() && !mgmt_wire::hello_proof(secret, nonce, &proof)) {
        err = zc_fail(ZC_EXIT_UNREACHABLE, "cannot compute the handshake proof (OpenSSL HMAC failed)");
        return false;
    }
    const uint32_t xid = next_xid();
    mgmt_wire::writer w(MGMT_OP_HELLO, xid);
    w.i64(MGMT_PROTO_VERSION).i64(MGMT_CONN_CLI).str("zorctl").i64(0).bytes(proof).i64(getpid());
    if (!send_all(w.finish(), err) || !read_frame(timeout_ms, body, err)) {
        return false;
    }
    mgmt_wire::reader reply(body);
    if (reply.op() == MGMT_OP_ERROR) {
        int64_t code = 0;
        std::string text;
        if (!reply.i64(code) || !reply.str(text)) {
            text = "malformed ERROR";
        }
        err = zc_fail(ZC_EXIT_REFUSED, "the agent refused the connection: " + text);
        return false;
    }
    if (reply.op() != MGMT_OP_REPLY || !reply.i64(usid_) || !reply.i64(phase_)) {
        err = unreachable(port_, "malformed handshake reply");
        return false;
    }
    return true;
}

bool zc_conn::send_all(const std::string &frame, zc_error &err)
{
    size_t off = 0;
    while (off < frame.size()) {
        const ssize_t n = send(fd_, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_fd(fd_, POLLOUT, -1) >= 0) {
                continue;
            }
        }
        err = zc_fail(ZC_EXIT_UNREACHABLE, "lost the connection to the agent: " + errno_text(errno));
        close();
        return false;
    }
    return true;
}

bool zc_conn::read_frame(int timeout_ms, std::string &body, zc_error &err)
{
    for (;;) {
        std::span<const uint8_t> frame;
        if (in_.next(frame)) {
            body.assign(reinterpret_cast<const char *>(frame.data()), frame.size());
            return true;
        }
        if (in_.error()) {
            err = zc_fail(ZC_EXIT_UNREACHABLE, "the agent sent a frame of impossible length");
            close();
            return false;
        }
        const int ready = wait_fd(fd_, POLLIN, timeout_ms);
        if (ready == 0) {
            err = zc_fail(ZC_EXIT_UNREACHABLE,
                          "no answer from the agent within " + std::to_string(timeout_ms / 1000) + " s");
            close();
            return false;
        }
        char buf[65536];
        const ssize_t n = ready < 0 ? -1 : recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            in_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        err = zc_fail(ZC_EXIT_UNREACHABLE, n == 0 ? std::string("the agent closed the connection")
                                                  : "lost the connection to the agent: " + errno_text(errno));
        close();
        return false;
    }
}

bool zc_conn::call(const std::string &frame, uint32_t xid, int timeout_ms, const zc_push_fn &on_push,
                   std::string &reply, zc_error &err)
{
    if (fd_ < 0) {
        err = zc_fail(ZC_EXIT_UNREACHABLE, "not connected to the agent");
        return false;
    }
    if (!send_all(frame, err)) {
        return false;
    }
    for (;;) {
        if (!read_frame(timeout_ms, reply, err)) {
            return false;
        }
        mgmt_wire::reader rd(reply);
        if (!rd.ok()) {
            err = zc_fail(ZC_EXIT_UNREACHABLE, "the agent sent a malformed frame");
            close();
            return false;
        }
        if (rd.xid() != xid) {
            continue;  // a late push of an earlier request: nobody waits for it any more
        }
        switch (rd.op()) {
        case MGMT_OP_REPLY:
            return true;
        case MGMT_OP_ERROR: {
            int64_t code = 0;
            std::string text;
            if (!rd.i64(code) || !rd.str(text)) {
                text = "the agent refused the request (malformed ERROR)";
            } else if (text.empty()) {
                text = "the agent refused the request (error " + std::to_string(code) + ")";
            }
            err = zc_fail(ZC_EXIT_REFUSED, text);
            return false;
        }
        case MGMT_OP_CLI_OUTPUT:
        case MGMT_OP_CLI_NOTIF:
            if (on_push && !on_push(rd.op(), rd, err)) {
                close();  // the agent would keep pushing into a request we stopped reading
                return false;
            }
            break;
        default:
            break;  // an op the CLI connection does not expect: ignored, as agents may grow
        }
    }
}
