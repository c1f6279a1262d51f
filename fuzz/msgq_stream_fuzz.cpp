// Fuzz target: arbitrary byte streams into the message queue's readers.
//
// Input: byte 0 % 3 picks the connection (0: an ordinary connection that
// first registers as advd, 1: an ordinary connection that must register by
// itself, 2: an application-header connection) and byte 0 / 3 % 2 whether
// the peer reads what the server sends; byte 1 + 1 is the size of the pieces
// the rest is sent in, and the rest is the stream. The event loop runs
// between pieces. Messages whose first payload byte (last byte for
// application-header messages) is odd are echoed, so the send queue works
// both against a peer that never reads and then goes away and against one
// that reads: what that peer reads must be whole echoed messages, back to
// back.
//
// After each input the peer closes; the server must then let go of the
// connection and hold no message buffer or queue node. Any crash, sanitizer
// report or broken bookkeeping aborts.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <event2/event.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "msgq_util.h"
#include "ost_util.h"

namespace {

long g_live = 0;  // message buffers and queue nodes not yet freed

void *count_alloc(size_t size)
{
    void *p = malloc(size);
    g_live += p != nullptr;
    return p;
}

void count_free(void *p)
{
    g_live -= p != nullptr;
    free(p);
}

void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "msgq_stream_fuzz: %s\n", what);
        abort();
    }
}

void on_conn(msgq_handle_t *, void *, msgq_handle_t *, void *) {}

// A small send buffer, so that echoes of small inputs already fill the
// socket, queue up and leave in pieces.
void on_up(msgq_handle_t *h, void *, msgq_handle_t *, void *)
{
    int size = 4096;
    setsockopt(h->sock_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

void on_recv(msgq_handle_t *h, void *app, uint16_t size, void *)
{
    const auto *bytes = static_cast<const uint8_t *>(app);
    if (h->use_app_header) {
        check(size > h->app_hdr_len, "application message not longer than its header");
        check(bytes[h->app_size_offset] * 256 + bytes[h->app_size_offset + 1] == size, "length field differs");
    } else {
        msgq_hdr_t hdr;
        memcpy(&hdr, bytes - sizeof(hdr), sizeof(hdr));
        check(hdr.size == size + sizeof(hdr), "header size differs from the delivered size");
        check(size > 0, "empty payload delivered");
    }
    if ((bytes[h->use_app_header ? size - 1 : 0] & 1) != 0) {
        void *reply = msgq_alloc_msg(h, size);
        if (reply != nullptr) {
            memcpy(reply, app, size);
            if (msgq_write(h, reply, size) != 0) {
                msgq_free_msg(h, reply);
            }
        }
    }
    msgq_free_msg(h, app);
}

struct Harness {
    char dir[64] = "/tmp/msgq-fuzz.XXXXXX";
    std::string plain_path;
    std::string app_path;
    event_base *base = nullptr;
    msgq_handle_t *plain = nullptr;
    msgq_handle_t *app = nullptr;

    Harness()
    {
        check(mkdtemp(dir) != nullptr, "mkdtemp");
        setenv("ZOR_RUN_DIR", dir, 1);
        base = event_base_new();
        msgq_setup_t s = msgq_setup_unix(base, nullptr);
        msgq_params_t &p = s.params;
        msgq_callbacks_t &cbs = s.cbs;
        cbs.conn_up = on_up;
        cbs.conn_down = on_conn;
        cbs.recv_msg = on_recv;
        cbs.alloc_msg = count_alloc;
        cbs.free_msg = count_free;
        plain = msgq_init(OST_MODULE_ZORD, OST_MODULE_ADVD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, nullptr);
        plain_path = plain->path;

        p.use_app_header = 1;
        p.app_hdr_len = 6;
        p.app_size_offset = 2;
        app_path = std::string(dir) + "/.apphdr";
        snprintf(p.path, sizeof(p.path), "%s", app_path.c_str());
        app = msgq_init(OST_MODULE_ZORD, OST_MODULE_KLXD, MSGQ_HANDLE_TYPE_SERVER, &p, &cbs, nullptr);
    }

    // At exit: the socket files and the directory go, the instance is freed.
    ~Harness()
    {
        msgq_deinit(plain);
        msgq_deinit(app);
        event_base_free(base);
        rmdir(dir);
    }

    static Harness &harness()
    {
        static Harness h;
        return h;
    }

    bool idle() const
    {
        const msgq_inst_t *inst = msgq_inst_get();
        return inst->tmp_msgq_listhead.size() == 0 && plain->sock_fd == -1 && app->sock_fd == -1;
    }

    void pump(int passes = 3) const
    {
        for (int i = 0; i < passes; i++) {
            event_base_loop(base, EVLOOP_NONBLOCK);
        }
    }
};

// Checks the bytes a reading peer got: whole echoed messages back to back
// (the last one may still be on its way). Consumed bytes are removed.
void check_echo_stream(std::string &in, bool app_header)
{
    for (;;) {
        size_t hdr_len = app_header ? 6 : sizeof(msgq_hdr_t);
        if (in.size() < hdr_len) {
            return;
        }
        size_t total;
        if (app_header) {
            total = static_cast<uint8_t>(in[2]) * 256u + static_cast<uint8_t>(in[3]);
        } else {
            msgq_hdr_t hdr;
            memcpy(&hdr, in.data(), sizeof(hdr));
            check(hdr.magic1 == MAGIC1 && hdr.magic2 == MAGIC2, "echo: bad magic");
            check(hdr.src == OST_MODULE_ZORD && hdr.tgt == OST_MODULE_ADVD, "echo: bad modules");
            check(hdr.type == MSGQ_MSG_TYPE_DATA, "echo: bad type");
            total = hdr.size;
        }
        check(total > hdr_len, "echo: bad size");
        if (in.size() < total) {
            return;
        }
        uint8_t marker = static_cast<uint8_t>(app_header ? in[total - 1] : in[hdr_len]);
        check((marker & 1) != 0, "echo: a message that was not to be echoed");
        in.erase(0, total);
    }
}

void read_echo(int fd, std::string &in, bool app_header)
{
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
        in.append(buf, static_cast<size_t>(n));
    }
    check_echo_stream(in, app_header);
}

int connect_to(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    snprintf(sun.sun_path, sizeof(sun.sun_path), "%s", path.c_str());
    check(connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof(sun)) == 0, "connect");
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    Harness &h = Harness::harness();
    const uint8_t mode = data[0] % 3;
    const bool read_back = (data[0] / 3) % 2 != 0;
    const size_t piece = static_cast<size_t>(data[1]) + 1;
    data += 2;
    size -= 2;

    int fd = connect_to(mode == 2 ? h.app_path : h.plain_path);
    if (mode == 0) {
        msgq_hdr_t reg{MAGIC1, sizeof(msgq_hdr_t), OST_MODULE_ADVD, OST_MODULE_ZORD, MSGQ_MSG_TYPE_REGISTER, MAGIC2};
        check(send(fd, &reg, sizeof(reg), MSG_NOSIGNAL) == sizeof(reg), "register");
    }
    h.pump();

    std::string echo;
    size_t off = 0;
    int stalls = 0;
    while (off < size) {
        ssize_t n = send(fd, data + off, std::min(piece, size - off), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            off += static_cast<size_t>(n);
            stalls = 0;
        } else if (n < 0 && errno == EAGAIN) {
            // The server reads everything it is given; a socket that stays
            // full means a reader stopped reading.
            check(++stalls < 10000, "server stopped reading");
        } else {
            break;  // the server closed the connection
        }
        h.pump();
        if (read_back) {
            read_echo(fd, echo, mode == 2);
        }
    }
    // A reading peer takes the rest of the echoes before it closes.
    for (int i = 0; read_back && i < 1000 && (!h.plain->txq.empty() || !h.app->txq.empty()); i++) {
        h.pump(1);
        read_echo(fd, echo, mode == 2);
    }
    if (read_back) {
        read_echo(fd, echo, mode == 2);
    }
    close(fd);

    for (int i = 0; i < 10000 && !h.idle(); i++) {
        h.pump(1);
    }
    check(h.idle(), "connection not released after the peer closed");
    check(g_live == 0, "message buffer or queue node leaked");
    check(h.plain->stats.msg_allocs == h.plain->stats.msg_frees, "plain handle allocs != frees");
    check(h.app->stats.msg_allocs == h.app->stats.msg_frees, "app handle allocs != frees");
    check(h.plain->txq.empty() && h.app->txq.empty(), "send queue left after close");
    return 0;
}
