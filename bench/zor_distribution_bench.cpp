// End-to-end distribution benchmark: a real zord on a temporary run
// directory, one owner peer (advd) announcing N remote TLOCs with realistic
// attributes, and 1, 4 and 8 client peers (ctlagent_0...) registered for
// TLOC-IPV4. Every peer is a process of its own on the transport client
// library and the codec, as the real daemons are.
//
// Reported per client count: how long the owner took to hand its adds to
// zord, the time until every client held every TLOC, the TLOC adds delivered
// per second to all clients together, zord's peak resident memory (VmHWM),
// and for comparison a plain AF_UNIX pump of the same number of equally
// sized messages between two processes of this program.
//
//   build/bench/zor_distribution_bench [--tlocs N] [--clients 1,4,8] [--zord PATH] [--log]
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <getopt.h>
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

namespace {

constexpr uint32_t k_first_device = 0x0A000001;  // 10.0.0.1: two TLOCs per device
constexpr uint8_t k_colors[2] = {4, 6};         // biz-internet, lte
constexpr int k_run_limit_s = 900;

uint64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// TLOC number i: device 10.0.0.1 + i/2, colour biz-internet or lte, IPsec,
// with the attributes an advd announcement of a remote TLOC carries.
zor_msg_t make_tloc(uint32_t i)
{
    zor_msg_t m{};
    m.type = ZOR_MSG_TLOC_ADD;
    m.sender = OST_MODULE_ADVD;
    m.family = 0;
    zor_msg_tloc_t &t = m.body.tloc;
    uint32_t device = k_first_device + i / 2;
    t.key.addr = ip_addr_v4(device);
    t.key.color = k_colors[i % 2];
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

// ---------------------------------------------------------------- peers

enum class role { owner, client };

struct peer_state {
    role r;
    uint32_t n;
    int report_fd;
    event_base *base = nullptr;
    timer_mgr_t *mgr = nullptr;
    msgq_handle_t *h = nullptr;
    std::vector<uint8_t> seen;
    uint32_t held = 0;
    uint64_t adds = 0;
    uint64_t t_first = 0;
    bool reported = false;
    ost_event_ptr poll_ev;
};

void report(int fd, const std::string &line)
{
    std::string l = line + "\n";
    (void)!write(fd, l.data(), l.size());
}

void *bench_alloc(size_t n)
{
    return malloc(n);
}

void bench_free(void *p)
{
    free(p);
}

void peer_tick(evutil_socket_t, short, void *arg)
{
    timer_mgr_exec(static_cast<peer_state *>(arg)->mgr, 3, 50);
}

// Owner: watches its send queue until zord has taken every add.
void owner_poll(evutil_socket_t, short, void *arg)
{
    auto *s = static_cast<peer_state *>(arg);
    if (s->reported) {
        return;
    }
    if (msgq_get_queue_len(s->h) == 0) {
        s->reported = true;
        report(s->report_fd, "sent " + std::to_string(s->t_first) + " " + std::to_string(now_ns()));
        return;
    }
    struct timeval tv = {0, 1000};
    event_add(s->poll_ev.get(), &tv);
}

void peer_up(msgq_handle_t *h, void *arg, msgq_handle_t *, void *)
{
    auto *s = static_cast<peer_state *>(arg);
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    auto send = [&](const zor_msg_t &m) {
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
    };
    if (s->r == role::client) {
        zor_msg_t m{};
        m.type = ZOR_MSG_REGISTER;
        m.sender = h->src;
        m.family = 0;
        m.body.reg.announce = 1;
        send(m);
        report(s->report_fd, "ready");
        return;
    }
    s->t_first = now_ns();
    for (uint32_t i = 0; i < s->n; i++) {
        if (!send(make_tloc(i))) {
            report(s->report_fd, "error send " + std::to_string(i));
            return;
        }
    }
    owner_poll(-1, 0, s);
}

void peer_down(msgq_handle_t *, void *arg, msgq_handle_t *, void *)
{
    report(static_cast<peer_state *>(arg)->report_fd, "error connection lost");
}

void peer_spare(msgq_handle_t *, void *, msgq_handle_t *, void *) {}

void peer_recv(msgq_handle_t *h, void *app, uint16_t size, void *arg)
{
    auto *s = static_cast<peer_state *>(arg);
    zor_msg_t m;
    if (zor_msg_decode(&m, static_cast<const uint8_t *>(app), size) == 0 && m.type == ZOR_MSG_TLOC_ADD) {
        s->adds++;
        const zor_msg_tloc_t &t = m.body.tloc;
        uint64_t idx = (static_cast<uint64_t>(t.key.addr.u.v4) - k_first_device) * 2 + (t.key.color == k_colors[1]);
        if (idx < s->n && s->seen[idx] == 0) {
            s->seen[idx] = 1;
            s->held++;
            if (s->held == s->n) {
                report(s->report_fd, "done " + std::to_string(now_ns()) + " " + std::to_string(s->adds));
            }
        }
    }
    msgq_free_msg(h, app);
}

[[noreturn]] void peer_main(role r, uint32_t module, uint32_t n, int report_fd)
{
    ost_log_open("ZOR-BENCH", LOG_PID, LOG_LOCAL7, false);
    peer_state s;
    s.r = r;
    s.n = n;
    s.report_fd = report_fd;
    s.seen.assign(n, 0);
    ost_event_base_ptr base(event_base_new());
    s.base = base.get();
    s.mgr = timer_mgr_create(TIMER_RES_100MS, nullptr, nullptr, nullptr, 3);
    ost_event_ptr tick(event_new(s.base, -1, EV_PERSIST, peer_tick, &s));
    struct timeval tv = {0, 100000};
    event_add(tick.get(), &tv);
    s.poll_ev.reset(evtimer_new(s.base, owner_poll, &s));
    msgq_params_t p{};
    p.evbase = s.base;
    p.timer_mgr = s.mgr;
    p.facility = LOG_LOCAL7;
    p.sock_type = MSGQ_SOCK_TYPE_UNIX;
    msgq_callbacks_t cbs{};
    cbs.conn_up = peer_up;
    cbs.conn_down = peer_down;
    cbs.spare = peer_spare;
    cbs.recv_msg = peer_recv;
    cbs.alloc_msg = bench_alloc;
    cbs.free_msg = bench_free;
    s.h = msgq_init(module, OST_MODULE_ZORD, MSGQ_HANDLE_TYPE_CLIENT, &p, &cbs, &s);
    if (s.h == nullptr) {
        report(report_fd, "error msgq_init");
        _exit(1);
    }
    event_base_dispatch(s.base);
    _exit(0);
}

struct child {
    pid_t pid = -1;
    int fd = -1;
    std::string buf;
    std::vector<std::string> lines;
};

child spawn_peer(role r, uint32_t module, uint32_t n)
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
        peer_main(r, module, n, fds[1]);
    }
    close(fds[1]);
    c.fd = fds[0];
    fcntl(c.fd, F_SETFL, O_NONBLOCK);
    return c;
}

// Reads the children's report lines until pred holds or the limit passes.
bool wait_reports(std::vector<child *> kids, const std::function<bool()> &pred, int limit_s)
{
    uint64_t deadline = now_ns() + static_cast<uint64_t>(limit_s) * 1000000000ull;
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

bool has_line(const child &c, const char *prefix)
{
    for (const std::string &l : c.lines) {
        if (l.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<uint64_t> line_numbers(const child &c, const char *prefix)
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

void stop(child &c)
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

uint64_t vm_kib(pid_t pid, const char *field)
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
double cpu_seconds(pid_t pid)
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

// zord runs in the foreground so that its exit status can be checked; its
// mirror of the log lines on stderr goes to /dev/null unless keep_log
// (writing it costs zord time that a detached daemon does not spend).
pid_t start_zord(const std::string &zord, const std::string &run_dir, bool keep_log)
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

bool stop_zord(pid_t pid)
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
double pump(uint64_t count, size_t size)
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
    uint64_t want = count * size;
    uint64_t got = 0;
    uint64_t t0 = now_ns();
    (void)!write(go[1], "g", 1);
    while (got < want) {
        ssize_t n = read(sv[0], buf.data(), buf.size());
        if (n <= 0) {
            break;
        }
        got += static_cast<uint64_t>(n);
    }
    uint64_t t1 = now_ns();
    close(sv[0]);
    close(go[1]);
    waitpid(pid, nullptr, 0);
    return static_cast<double>(t1 - t0) / 1e9;
}

struct result {
    int clients = 0;
    double owner_s = 0;
    double all_s = 0;
    double adds_per_s = 0;
    double resent = 0;
    uint64_t hwm_kib = 0;
    double zord_cpu_s = 0;
    double pump_s = 0;
    bool ok = false;
};

result run_once(const std::string &zord, uint32_t n, int clients, bool keep_log)
{
    result res;
    res.clients = clients;
    char tmpl[] = "/tmp/zor-bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return res;
    }
    std::string run_dir = tmpl;
    setenv(OST_RUN_DIR_ENV, run_dir.c_str(), 1);
    pid_t zpid = start_zord(zord, run_dir, keep_log);
    const double cpu_at_start = cpu_seconds(zpid);

    std::vector<child> kids(static_cast<size_t>(clients));
    std::vector<child *> all;
    for (int i = 0; i < clients; i++) {
        kids[static_cast<size_t>(i)] = spawn_peer(role::client, OST_MODULE_CTLAGENT_0 + static_cast<uint32_t>(i), n);
        all.push_back(&kids[static_cast<size_t>(i)]);
    }
    bool ok = wait_reports(all, [&] {
        for (const child &k : kids) {
            if (!has_line(k, "ready")) {
                return false;
            }
        }
        return true;
    }, 30);
    child owner;
    if (ok) {
        owner = spawn_peer(role::owner, OST_MODULE_ADVD, n);
        all.push_back(&owner);
        ok = wait_reports(all, [&] {
            if (!has_line(owner, "sent")) {
                return false;
            }
            for (const child &k : kids) {
                if (!has_line(k, "done")) {
                    return false;
                }
            }
            return true;
        }, k_run_limit_s);
    }
    if (ok) {
        std::vector<uint64_t> sent = line_numbers(owner, "sent ");
        uint64_t t0 = sent.at(0);
        uint64_t last = 0;
        uint64_t adds = 0;
        for (const child &k : kids) {
            std::vector<uint64_t> d = line_numbers(k, "done ");
            last = std::max(last, d.at(0));
            adds += d.at(1);
        }
        res.owner_s = static_cast<double>(sent.at(1) - t0) / 1e9;
        res.all_s = static_cast<double>(last - t0) / 1e9;
        res.adds_per_s = static_cast<double>(n) * clients / res.all_s;
        res.resent = static_cast<double>(adds) / clients - n;
        res.hwm_kib = vm_kib(zpid, "VmHWM:");
        res.zord_cpu_s = cpu_seconds(zpid) - cpu_at_start;
        res.ok = true;
    } else {
        fprintf(stderr, "bench: run with %d clients did not complete (run directory %s; --log keeps zord's log)\n",
                clients, run_dir.c_str());
    }
    for (child &k : kids) {
        stop(k);
    }
    stop(owner);
    if (!stop_zord(zpid)) {
        fprintf(stderr, "bench: zord did not stop cleanly on SIGUSR2 (run directory %s)\n", run_dir.c_str());
        res.ok = false;
    }
    if (res.ok && !keep_log) {
        std::filesystem::remove_all(run_dir);
    }
    return res;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string zord = std::string(ZOR_BUILD_DIR) + "/zord/zord";
    uint32_t n = 20000;
    std::vector<int> client_counts = {1, 4, 8};
    bool keep_log = false;
    static const option opts[] = {{"tlocs", required_argument, nullptr, 't'},
                                  {"clients", required_argument, nullptr, 'c'},
                                  {"zord", required_argument, nullptr, 'z'},
                                  {"log", no_argument, nullptr, 'l'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
        case 't':
            n = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
            if (n == 0 || n > 32000) {
                fprintf(stderr, "bench: --tlocs takes 1-32000 (the TLOC index space)\n");
                return 1;
            }
            break;
        case 'c': {
            client_counts.clear();
            std::stringstream in(optarg);
            std::string item;
            while (std::getline(in, item, ',')) {
                int k = atoi(item.c_str());
                if (k < 1 || k > 64) {
                    fprintf(stderr, "bench: client counts are 1-64\n");
                    return 1;
                }
                client_counts.push_back(k);
            }
            break;
        }
        case 'z':
            zord = optarg;
            break;
        case 'l':
            keep_log = true;
            break;
        default:
            printf("usage: zor_distribution_bench [--tlocs N] [--clients 1,4,8] [--zord PATH] [--log]\n       --log keeps each run directory with zord's log lines (zord.log)\n");
            return c == 'h' ? 0 : 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    zor_msg_t sample = make_tloc(n / 2);
    uint8_t buf[ZOR_MSG_ENCODE_MAX];
    uint16_t len = 0;
    if (zor_msg_encode(&sample, buf, &len) != 0) {
        fprintf(stderr, "bench: cannot encode the sample TLOC\n");
        return 1;
    }
    const size_t wire = len + sizeof(msgq_hdr_t);
    printf("zord distribution: %u remote TLOCs from one owner (advd), clients registered for TLOC-IPV4\n", n);
    printf("a TLOC add is %u bytes encoded, %zu on the wire; %ld CPUs online\n\n", len, wire,
           sysconf(_SC_NPROCESSORS_ONLN));
    printf("%-8s %-12s %-10s %-17s %-7s %-10s %-11s %s\n", "clients", "owner->zord", "all held", "adds/s delivered",
           "resent", "zord CPU", "zord VmHWM", "AF_UNIX pump, same messages");
    int failed = 0;
    for (int k : client_counts) {
        result r = run_once(zord, n, k, keep_log);
        if (!r.ok) {
            failed++;
            continue;
        }
        uint64_t count = static_cast<uint64_t>(n) * static_cast<uint64_t>(k);
        r.pump_s = pump(count, wire);
        char owner_s[32];
        char all_s[32];
        char cpu_s[32];
        char hwm[32];
        snprintf(owner_s, sizeof(owner_s), "%.3f s", r.owner_s);
        snprintf(all_s, sizeof(all_s), "%.3f s", r.all_s);
        snprintf(cpu_s, sizeof(cpu_s), "%.2f s", r.zord_cpu_s);
        snprintf(hwm, sizeof(hwm), "%.1f MiB", static_cast<double>(r.hwm_kib) / 1024.0);
        printf("%-8d %-12s %-10s %-17.0f %-7.1f %-10s %-11s %.3f s, %.0f msgs/s\n", k, owner_s, all_s, r.adds_per_s,
               r.resent, cpu_s, hwm, r.pump_s, static_cast<double>(count) / r.pump_s);
        fflush(stdout);
    }
    printf("\nowner->zord: from the owner's first add until zord had read them all (its send queue empty).\n"
           "all held: from the first add until the last client held every TLOC.\n"
           "adds/s delivered: TLOCs x clients / all held. resent: adds per client beyond one per TLOC.\n"
           "zord CPU: user + system time zord spent from its start until every client held every TLOC.\n");
    return failed == 0 ? 0 : 1;
}
