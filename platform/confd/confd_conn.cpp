#include "confd_conn.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include "confd_sub.h"

__thread int confd_errno;

namespace confd_impl {

namespace {

thread_local std::string t_lasterr;

std::mutex g_table_mu;
std::map<int, conn_ptr> &table()
{
    static std::map<int, conn_ptr> t;
    return t;
}

// confd_init's settings; read by every thread, written rarely.
std::mutex g_init_mu;
std::string g_name;
FILE *g_estream = nullptr;
confd_debug_level g_debug = CONFD_SILENT;

// Waits for events on fd up to timeout_ms (0 or less: no limit); poll's result.
int poll_wait(int fd, short events, int timeout_ms)
{
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r;
    }
}

int connect_socket(int sock, const struct sockaddr *srv, int addrsz)
{
    if (srv == nullptr || addrsz <= 0) {
        return fail(CONFD_ERR_PROTOUSAGE, "no agent address");
    }
    // Small frames go out at once: a one-way notification must not wait
    // for the agent's delayed acknowledgement of the previous one.
    const int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int r = connect(sock, srv, static_cast<socklen_t>(addrsz));
    if (r == 0) {
        return CONFD_OK;
    }
    if (errno != EINPROGRESS && errno != EINTR) {
        return failf(CONFD_ERR_OS, "connect: %s", strerror(errno));
    }
    // A non-blocking socket (or an interrupted connect) finishes in the background.
    if (poll_wait(sock, POLLOUT, 0) < 0) {
        return failf(CONFD_ERR_OS, "connect: %s", strerror(errno));
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) {
        return failf(CONFD_ERR_OS, "connect: %s", strerror(err != 0 ? err : errno));
    }
    return CONFD_OK;
}

// The proof of the handshake: HMAC-SHA256 of the nonce keyed with the
// secret file's content, or empty without a secret. CONFD_ERR when the
// file is named but cannot be read: a silent empty proof would only be
// refused later with a less helpful error.
int make_proof(std::string_view nonce, std::string &proof)
{
    proof.clear();
    const char *file = getenv(MGMT_ENV_SECRET_FILE);
    if (file == nullptr || *file == 0) {
        return CONFD_OK;
    }
    FILE *f = fopen(file, "rb");
    if (f == nullptr) {
        return failf(CONFD_ERR_OS, "cannot read the IPC secret %s: %s", file, strerror(errno));
    }
    std::string secret;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        secret.append(buf, n);
    }
    bool bad = ferror(f) != 0;
    fclose(f);
    if (bad) {
        return failf(CONFD_ERR_OS, "cannot read the IPC secret %s", file);
    }
    if (!mgmt_wire::hello_proof(secret, nonce, &proof)) {
        return fail(CONFD_ERR_INTERNAL, "HMAC failed");
    }
    return CONFD_OK;
}

int handshake(conn &c, std::string_view name, int64_t daemon_id)
{
    std::string body;
    int r = conn_read(c, body);
    if (r != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader ch = body_reader(body);
    if (ch.op() == MGMT_OP_ERROR) {
        return fail_from_error(ch);
    }
    std::string_view nonce;
    if (ch.op() != MGMT_OP_CHALLENGE || !ch.bytes(nonce)) {
        return fail(CONFD_ERR_PROTOUSAGE, "the agent did not start with a challenge");
    }
    std::string proof;
    if (make_proof(nonce, proof) != CONFD_OK) {
        return CONFD_ERR;
    }
    uint32_t xid = conn_xid(c);
    mgmt_wire::writer w(MGMT_OP_HELLO, xid);
    w.i64(MGMT_PROTO_VERSION).i64(c.kind).str(name).i64(daemon_id).bytes(proof).i64(getpid());
    std::string reply;
    if ((r = conn_call(c, xid, w.finish(), reply)) != CONFD_OK) {
        return r;
    }
    mgmt_wire::reader rr = body_reader(reply);
    if (!rr.i64(c.id) || !rr.i64(c.phase)) {
        return fail(CONFD_ERR_PROTOUSAGE, "malformed handshake reply");
    }
    return CONFD_OK;
}

}  // namespace

diff_node::~diff_node()
{
    mgmt_wire::free_keypath(kp);
    confd_free_value(&oldv);
    confd_free_value(&newv);
    mgmt_wire::free_tag_values(mods, nmods);
}

conn::~conn() = default;

conn_ptr conn_find(int fd)
{
    std::lock_guard<std::mutex> g(g_table_mu);
    auto it = table().find(fd);
    return it == table().end() ? nullptr : it->second;
}

void conn_forget(int fd)
{
    conn_ptr old;  // released outside the lock
    std::lock_guard<std::mutex> g(g_table_mu);
    auto it = table().find(fd);
    if (it != table().end()) {
        old = std::move(it->second);
        table().erase(it);
    }
}

conn_ptr conn_for(int fd, std::initializer_list<mgmt_conn_kind> kinds)
{
    conn_ptr c = conn_find(fd);
    if (c != nullptr) {
        for (mgmt_conn_kind k : kinds) {
            if (c->kind == k) {
                return c;
            }
        }
    }
    failf(CONFD_ERR_PROTOUSAGE, "socket %d is not connected for this call", fd);
    return nullptr;
}

int conn_open(int sock, const struct sockaddr *srv, int addrsz, mgmt_conn_kind kind, std::string_view name,
              int64_t daemon_id, conn_ptr *out)
{
    // Whatever a socket of this number left behind is gone now: the old
    // socket was closed, or is being connected anew.
    conn_forget(sock);
    if (connect_socket(sock, srv, addrsz) != CONFD_OK) {
        return CONFD_ERR;
    }
    auto c = std::make_shared<conn>();
    c->fd = sock;
    c->kind = kind;
    int r = handshake(*c, name, daemon_id);
    if (r != CONFD_OK) {
        lib_log(CONFD_DEBUG, "handshake on %d failed: %s", sock, confd_lasterr());
        return CONFD_ERR;
    }
    {
        std::lock_guard<std::mutex> g(g_table_mu);
        table()[sock] = c;
    }
    if (out != nullptr) {
        *out = std::move(c);
    }
    return CONFD_OK;
}

int conn_send(conn &c, const std::string &frame)
{
    std::lock_guard<std::mutex> g(c.write_mu);
    size_t off = 0;
    while (off < frame.size()) {
        ssize_t n = send(c.fd, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
        if (n > 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A socket its owner made non-blocking for its event loop.
            if (poll_wait(c.fd, POLLOUT, 0) < 0) {
                return failf(CONFD_ERR_OS, "send: %s", strerror(errno));
            }
            continue;
        }
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) {
            return fail_eof();
        }
        return failf(CONFD_ERR_OS, "send: %s", strerror(errno));
    }
    return CONFD_OK;
}

bool conn_buffered(conn &c, std::string &body)
{
    std::span<const uint8_t> span;
    if (!c.rx.next(span)) {
        return false;
    }
    body.assign(reinterpret_cast<const char *>(span.data()), span.size());
    return true;
}

namespace {

// One read of what is there, at most limit bytes; blocking reads are
// preceded by a poll.
int read_some(conn &c, bool wait, size_t limit = 16384)
{
    char buf[16384];
    for (;;) {
        ssize_t n = recv(c.fd, buf, std::min(limit, sizeof(buf)), MSG_DONTWAIT);
        if (n > 0) {
            c.rx.append(buf, static_cast<size_t>(n));
            return CONFD_OK;
        }
        if (n == 0) {
            return fail_eof();
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == ECONNRESET) {
            return fail_eof();
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return failf(CONFD_ERR_OS, "recv: %s", strerror(errno));
        }
        if (!wait) {
            return CONFD_OK;
        }
        int p = poll_wait(c.fd, POLLIN, c.timeout_ms);
        if (p < 0) {
            return failf(CONFD_ERR_OS, "poll: %s", strerror(errno));
        }
        if (p == 0) {
            return failf(CONFD_ERR_TIMEOUT, "no answer from the agent within %d ms", c.timeout_ms);
        }
    }
}

}  // namespace

int conn_fill(conn &c)
{
    return read_some(c, false);
}

int conn_read(conn &c, std::string &body)
{
    for (;;) {
        if (conn_buffered(c, body)) {
            return CONFD_OK;
        }
        if (c.rx.error()) {
            return fail(CONFD_ERR_PROTOUSAGE, "malformed frame from the agent");
        }
        // Never more than this frame: what follows it (a notification right
        // after the reply to a sync) must stay in the socket, where the
        // owner's event loop sees it.
        int r = read_some(c, true, std::max<size_t>(c.rx.missing(), 1));
        if (r != CONFD_OK) {
            return r;
        }
    }
}

uint32_t conn_xid(conn &c)
{
    uint32_t x = c.next_xid++;
    if (c.next_xid == 0) {
        c.next_xid = 1;
    }
    return x;
}

int conn_call(conn &c, uint32_t xid, const std::string &frame, std::string &reply)
{
    int r = conn_send(c, frame);
    if (r != CONFD_OK) {
        return r;
    }
    for (;;) {
        r = conn_read(c, reply);
        if (r != CONFD_OK) {
            return r;
        }
        mgmt_wire::reader rd = body_reader(reply);
        if (!rd.ok()) {
            return fail(CONFD_ERR_PROTOUSAGE, "malformed frame from the agent");
        }
        if (rd.xid() != xid || (rd.op() != MGMT_OP_REPLY && rd.op() != MGMT_OP_ERROR)) {
            // A late answer to a call that timed out, or a push the
            // protocol does not allow here: not this call's answer.
            lib_log(CONFD_DEBUG, "dropped op 0x%02x xid %u on %d while waiting for %u", rd.op(), rd.xid(), c.fd,
                    xid);
            continue;
        }
        if (rd.op() == MGMT_OP_ERROR) {
            return fail_from_error(rd);
        }
        return CONFD_OK;
    }
}

int fail(int code, std::string_view text)
{
    confd_errno = code;
    t_lasterr.assign(text.data(), text.size());
    return CONFD_ERR;
}

int failf(int code, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return fail(code, s);
}

int fail_eof()
{
    fail(CONFD_ERR_EOF, "connection closed by the agent");
    return CONFD_EOF;
}

int fail_from_error(mgmt_wire::reader &r)
{
    int64_t code = 0;
    std::string text;
    if (!r.i64(code) || !r.str(text)) {
        return fail(CONFD_ERR_PROTOUSAGE, "malformed error from the agent");
    }
    if (code <= 0 || code > 0xffff) {
        code = CONFD_ERR_INTERNAL;
    }
    return fail(static_cast<int>(code), text);
}

std::string vformat(const char *fmt, va_list ap)
{
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = vsnprintf(small, sizeof(small), fmt, ap);
    std::string out;
    if (n < 0) {
        va_end(copy);
        return out;
    }
    if (static_cast<size_t>(n) < sizeof(small)) {
        out.assign(small, static_cast<size_t>(n));
    } else {
        out.resize(static_cast<size_t>(n) + 1);
        vsnprintf(out.data(), out.size(), fmt, copy);
        out.resize(static_cast<size_t>(n));
    }
    va_end(copy);
    return out;
}

std::string format(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    return s;
}

std::string lib_name()
{
    std::lock_guard<std::mutex> g(g_init_mu);
    return g_name;
}

void lib_log(confd_debug_level level, const char *fmt, ...)
{
    std::lock_guard<std::mutex> g(g_init_mu);
    if (g_estream == nullptr || level > g_debug) {
        return;
    }
    va_list ap;
    va_start(ap, fmt);
    std::string s = vformat(fmt, ap);
    va_end(ap);
    fprintf(g_estream, "%s: %s\n", g_name.empty() ? "confd" : g_name.c_str(), s.c_str());
    fflush(g_estream);
}

}  // namespace confd_impl

using namespace confd_impl;

extern "C" {

const char *confd_lasterr(void)
{
    return t_lasterr.c_str();
}

const char *confd_strerror(int code)
{
    switch (code) {
    case CONFD_ERR_NOEXISTS:
        return "item does not exist";
    case CONFD_ERR_ALREADY_EXISTS:
        return "item already exists";
    case CONFD_ERR_ACCESS_DENIED:
        return "access denied";
    case CONFD_ERR_NOT_WRITABLE:
        return "item is not writable";
    case CONFD_ERR_BADTYPE:
        return "bad value type";
    case CONFD_ERR_BADPATH:
        return "bad path";
    case CONFD_ERR_LOCKED:
        return "database is locked";
    case CONFD_ERR_BADSTATE:
        return "bad state";
    case CONFD_ERR_INTERNAL:
        return "internal error";
    case CONFD_ERR_EXTERNAL:
        return "application error";
    case CONFD_ERR_MALLOC:
        return "out of memory";
    case CONFD_ERR_PROTOUSAGE:
        return "protocol usage error";
    case CONFD_ERR_NOSESSION:
        return "no such user session";
    case CONFD_ERR_OS:
        return "system call failed";
    case CONFD_ERR_LIB_NOT_INITIALIZED:
        return "library not initialized";
    case CONFD_ERR_INCONSISTENT_VALUE:
        return "inconsistent value";
    case CONFD_ERR_UNAVAILABLE:
        return "unavailable";
    case CONFD_ERR_EOF:
        return "connection closed";
    case CONFD_ERR_TIMEOUT:
        return "timeout";
    case CONFD_ERR_ABORTED:
        return "transaction aborted";
    default:
        return "unknown error";
    }
}

void confd_init(const char *name, FILE *estream, enum confd_debug_level debug)
{
    std::lock_guard<std::mutex> g(g_init_mu);
    g_name = name != nullptr ? name : "";
    g_estream = estream;
    g_debug = debug;
}

int confd_init_vsn_sz(const char *name, FILE *estream, enum confd_debug_level debug, int vsn, int maxdepth,
                      int maxkeylen)
{
    if (vsn != CONFD_LIB_API_VSN) {
        return failf(CONFD_ERR_PROTOUSAGE, "library API version 0x%08x, caller built for 0x%08x", CONFD_LIB_API_VSN,
                     static_cast<unsigned>(vsn));
    }
    if (maxdepth > MAXDEPTH || maxkeylen > MAXKEYLEN || maxdepth <= 0 || maxkeylen <= 0) {
        return failf(CONFD_ERR_PROTOUSAGE, "keypath size %d x %d exceeds the library's %d x %d", maxdepth, maxkeylen,
                     MAXDEPTH, MAXKEYLEN);
    }
    confd_init(name, estream, debug);
    return CONFD_OK;
}

socklen_t confd_agent_addr(struct sockaddr_in *out)
{
    memset(out, 0, sizeof(*out));
    out->sin_family = AF_INET;
    out->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    unsigned port = CONFD_PORT;
    const char *env = getenv(MGMT_ENV_PORT);
    if (env != nullptr && *env != 0) {
        char *end = nullptr;
        unsigned long p = strtoul(env, &end, 10);
        if (end != nullptr && *end == 0 && p > 0 && p < 65536) {
            port = static_cast<unsigned>(p);
        }
    }
    out->sin_port = htons(static_cast<uint16_t>(port));
    return sizeof(*out);
}

}  // extern "C"
