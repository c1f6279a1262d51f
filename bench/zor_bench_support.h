// Pieces of the end-to-end benchmarks that start the real zord: peer
// processes on the transport client library and the codec (as the real
// daemons are) that report to this process through a pipe, zord on a
// temporary run directory, its CPU time and memory from /proc, and the plain
// AF_UNIX pump that every figure is set beside.
//
// Header only, so that a benchmark stays one .cpp with a main of its own.
// Everything runs in the benchmark's own processes: no threads.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "msgq_util.h"
#include "ost_event.h"
#include "ost_log.h"
#include "ost_rundir.h"
#include "ost_util.h"
#include "timer.h"
#include "zor_msg.h"

namespace zb {

inline uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// A remote TLOC add of device address device, colour color, with the
// attributes an advd announcement carries (one group, 1; callers change
// what their scenario needs). i varies the per-TLOC values.
inline zor_msg_t remote_tloc(uint32_t device, uint8_t color, uint32_t i)
{
    zor_msg_t m{};
    m.type = ZOR_MSG_TLOC_ADD;
    m.sender = OST_MODULE_ADVD;
    m.family = 0;
    zor_msg_tloc_t &t = m.body.tloc;
    t.key.addr = ip_addr_v4(device);
    t.key.color = color;
    t.key.encap = 2;
    t.origin = ZOR_MSG_ORIGIN_REMOTE;
    zor_tloc_attr_t &a = t.attr;
    for (int bit : {ZOR_TLOC_ATTR_PREF, ZOR_TLOC_ATTR_WEIGHT, ZOR_TLOC_ATTR_SITE_ID, ZOR_TLOC_ATTR_VERSION,
                    ZOR_TLOC_ATTR_GEN_ID, ZOR_TLOC_ATTR_ENCAP, ZOR_TLOC_ATTR_TLOCV4_PUB, ZOR_TLOC_ATTR_TLOCV4_PRI,
                    ZOR_TLOC_ATTR_CARRIER, ZOR_TLOC_ATTR_RESTRICT, ZOR_TLOC_ATTR_GROUP, ZOR_TLOC_ATTR_BANDWIDTH}) {
        a.flags |= ZOR_TLOC_ATTR_BIT(bit);
    }
    a.preference = 0;
    a.weight = 1;
    a.site_id = 1000 + i / 2;
    a.version = 1;
    a.gen_id = 5 + i;
    a.encap = ZOR_TUNNEL_ENCAP_IPSEC;
    a.spi = 256 + i;
    a.integrity = 0x18;
    a.cipher = 4;
    for (int b = 0; b < ZOR_TLOC_ENCAP_KEY_LEN; b++) {
        a.key1[b] = static_cast<uint8_t>(i * 31 + b);
        a.key2[b] = static_cast<uint8_t>(i * 17 + b * 3);
    }
    a.tloc_v4_public.addr = ip_addr_v4(0xC6330000 + i);  // 198.51.x.y
    a.tloc_v4_public.port = 12346;
    a.tloc_v4_private.addr = ip_addr_v4(0xC0A80000 + i);  // 192.168.x.y
    a.tloc_v4_private.port = 12346;
    a.carrier = 1;
    a.restricted = 0;
    a.group_count = 1;
    a.groups[0] = 1;
    a.bandwidth = 1000000;
    return m;
}

// The bytes of a message on the wire (codec output and transport header);
// 0 when the codec refuses it.
inline size_t wire_size(const zor_msg_t &m)
{
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    return zor_msg_encode(&m, buf, &len) == 0 ? len + sizeof(msgq_hdr_t) : 0;
}

// ---------------------------------------------------------------- peers

// One line to the benchmark process ("ready", "done <ns>", "error ...").
inline void report(int fd, const std::string &line)
{
    std::string l = line + "\n";
    (void)!write(fd, l.data(), l.size());
}

// Encodes and queues a message on a peer's handle; false when the codec or
// the transport refuses it.
inline bool send_msg(msgq_handle_t *h, const zor_msg_t &m)
{
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    if (zor_msg_encode(&m, buf, &len) != 0) {
        return false;
    }
    void *app = msgq_alloc_msg(h, len);
    if (app == nullptr) {
        return false;
    }
    memcpy(app, buf, len);
    if (msgq_write(h, app, len) != 0) {
        msgq_free_msg(h, app);
        return false;
    }
    return true;
}

namespace detail {

inline void *peer_alloc(size_t n)
{
    return malloc(n);
}

inline void peer_free(void *p)
{
    free(p);
}

inline void peer_tick(evutil_socket_t, short, void *arg)
{
    timer_mgr_exec(static_cast<timer_mgr_t *>(arg), 3, 50);
}

}  // namespace detail

// The body of a peer process: a client handle of module towards zord on an
// event loop of its own, with the given callbacks (spare, alloc_msg and
// free_msg are filled in) and user argument, until the process is killed.
// base_out, when given, receives the loop before it runs (for timers of the
// peer's own). Never returns.
[[noreturn]] inline void run_peer(uint32_t module, msgq_callbacks_t cbs, void *arg, int report_fd,
                                  event_base **base_out = nullptr)
{
    ost_log_open("ZOR-BENCH", LOG_PID, LOG_LOCAL7, false);
    ost_event_base_ptr base(event_base_new());
    timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_100MS, nullptr, nullptr, nullptr, 3);
    ost_event_ptr tick(event_new(base.get(), -1, EV_PERSIST, detail::peer_tick, mgr));
    struct timeval tv = {0, 100000};
    event_add(tick.get(), &tv);
    if (base_out != nullptr) {
        *base_out = base.get();
    }
    msgq_setup_t s = msgq_setup_unix(base.get(), mgr);
    cbs.spare = s.cbs.spare;
    cbs.alloc_msg = detail::peer_alloc;
    cbs.free_msg = detail::peer_free;
    if (msgq_init(module, OST_MODULE_ZORD, MSGQ_HANDLE_TYPE_CLIENT, &s.params, &cbs, arg) == nullptr) {
        report(report_fd, "error msgq_init");
        _exit(1);
    }
    event_base_dispatch(base.get());
    _exit(0);
}

// A child process and the report lines it wrote so far.
struct child {
    pid_t pid = -1;
    int fd = -1;
    std::string buf;
    std::vector<std::string> lines;
};

// Forks a child that runs body with the write end of its report pipe (body
// must not return; run_peer does not).
inline child spawn(const std::function<void(int report_fd)> &body)
{
    int fds[2];
    if (pipe(fds) != 0) {
        perror("pipe");
        exit(1);
    }
    child c;
    c.pid = fork();
    if (c.pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    c.fd = fds[0];
    fcntl(c.fd, F_SETFL, O_NONBLOCK);
    return c;
}

// Reads the children's report lines until pred holds (true), a child
// reports an error or the limit passes (false).
inline bool wait_reports(const std::vector<child *> &kids, const std::function<bool()> &pred, int limit_s)
{
    const uint64_t deadline = now_ns() + static_cast<uint64_t>(limit_s) * 1000000000ull;
    while (!pred()) {
        if (now_ns() > deadline) {
            return false;
        }
        std::vector<pollfd> pfds;
        for (child *k : kids) {
            pfds.push_back({k->fd, POLLIN, 0});
        }
        poll(pfds.data(), pfds.size(), 100);
        for (child *k : kids) {
            char b[4096];
            ssize_t r;
            while ((r = read(k->fd, b, sizeof(b))) > 0) {
                k->buf.append(b, static_cast<size_t>(r));
            }
            size_t nl;
            while ((nl = k->buf.find('\n')) != std::string::npos) {
                std::string line = k->buf.substr(0, nl);
                k->buf.erase(0, nl + 1);
                if (line.rfind("error", 0) == 0) {
                    fprintf(stderr, "bench: peer %d: %s\n", k->pid, line.c_str());
                    return false;
                }
                k->lines.push_back(line);
            }
        }
    }
    return true;
}

inline bool has_line(const child &c, const char *prefix)
{
    for (const std::string &l : c.lines) {
        if (l.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

// The numbers after prefix on the first line that starts with it.
inline std::vector<uint64_t> line_numbers(const child &c, const char *prefix)
{
    for (const std::string &l : c.lines) {
        if (l.rfind(prefix, 0) == 0) {
            std::istringstream in(l.substr(strlen(prefix)));
            std::vector<uint64_t> v;
            uint64_t x;
            while (in >> x) {
                v.push_back(x);
            }
            return v;
        }
    }
    return {};
}

// Kills the child (if it still runs) and closes its pipe.
inline void stop(child &c)
{
    if (c.pid > 0) {
        kill(c.pid, SIGKILL);
        waitpid(c.pid, nullptr, 0);
        c.pid = -1;
    }
    if (c.fd >= 0) {
        close(c.fd);
        c.fd = -1;
    }
}

// ---------------------------------------------------------------- /proc

// A "VmHWM:"-style field of /proc/<pid>/status in KiB.
inline uint64_t vm_kib(pid_t pid, const char *field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) {
            return strtoull(line.c_str() + strlen(field), nullptr, 10);
        }
    }
    return 0;
}

// User plus system CPU seconds a process has used so far.
inline double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) {
            utime = strtoull(f.c_str(), nullptr, 10);
        } else if (i == 15) {
            stime = strtoull(f.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// ---------------------------------------------------------------- zord

// zord in the foreground on run_dir, so that its exit status can be checked;
// its mirror of the log lines on stderr goes to /dev/null unless keep_log
// (writing it costs zord time that a detached daemon does not spend).
// Returns once its pid file exists (or after ten seconds).
inline pid_t start_zord(const std::string &zord, const std::string &run_dir, bool keep_log)
{
    pid_t pid = fork();
    if (pid == 0) {
        setenv(OST_RUN_DIR_ENV, run_dir.c_str(), 1);
        int log = keep_log ? open((run_dir + "/zord.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                           : open("/dev/null", O_WRONLY);
        if (log >= 0) {
            dup2(log, STDOUT_FILENO);
            dup2(log, STDERR_FILENO);
        }
        execl(zord.c_str(), zord.c_str(), "-f", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string pid_file = run_dir + "/zord.0.pid";
    for (int i = 0; i < 1000 && !std::filesystem::exists(pid_file); i++) {
        usleep(10000);
    }
    return pid;
}

// SIGUSR2 and wait: true when zord ended with status 0 within a minute.
inline bool stop_zord(pid_t pid)
{
    kill(pid, SIGUSR2);
    for (int i = 0; i < 6000; i++) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return false;
}

// ---------------------------------------------------------------- pump

// count messages of size bytes, one send() each, from a child to this
// process over an AF_UNIX stream socket. Returns seconds.
inline double pump(uint64_t count, size_t size)
{
    int sv[2];
    int go[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0 || pipe(go) != 0) {
        perror("socketpair");
        return 0;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(sv[0]);
        close(go[1]);
        std::vector<uint8_t> msg(size, 0x5a);
        char b;
        (void)!read(go[0], &b, 1);
        for (uint64_t i = 0; i < count; i++) {
            size_t off = 0;
            while (off < size) {
                ssize_t n = send(sv[1], msg.data() + off, size - off, MSG_NOSIGNAL);
                if (n <= 0) {
                    _exit(1);
                }
                off += static_cast<size_t>(n);
            }
        }
        _exit(0);
    }
    close(sv[1]);
    close(go[0]);
    std::vector<uint8_t> buf(1 << 16);
    const uint64_t want = count * size;
    uint64_t got = 0;
    const uint64_t t0 = now_ns();
    (void)!write(go[1], "g", 1);
    while (got < want) {
        ssize_t n = read(sv[0], buf.data(), buf.size());
        if (n <= 0) {
            break;
        }
        got += static_cast<uint64_t>(n);
    }
    const uint64_t t1 = now_ns();
    close(sv[0]);
    close(go[1]);
    waitpid(pid, nullptr, 0);
    return static_cast<double>(t1 - t0) / 1e9;
}

}  // namespace zb
