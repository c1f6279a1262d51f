// End-to-end benchmark of the management agent (mgmtd), with the agent and
// zorctl as real processes.
//
// 1. Operational reads: a provider in this process (a thread with its own
//    loop on the client library, answering as zord does: TLOCs one at a
//    time with next -1, the paths of a TLOC in one reply, the links of a
//    path in one) serves N TLOCs with 4 paths of 3 links each; zorctl reads
//    the TLOC list ("show tlocs") and the whole tree ("show oper tlocs").
// 2. A burst of configuration commits on one CLI connection, back to back,
//    with one subscriber (a thread here) that reads each notification's
//    diff and synchronises; the database directory on disk and on tmpfs,
//    where fsync costs nothing; and zorctl's own cost per commit.
//
// Each figure comes with a same-run baseline: as many one-byte round trips
// over a loopback TCP connection to another process.
//
//   build/bench/mgmt_bench [--tlocs N] [--commits N] [--zorctl-runs N] [--reads N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "confd_lib.h"
#include "confd_wire.h"

namespace {

constexpr int k_paths = 4;
constexpr int k_links = 3;
constexpr uint32_t k_first_ip = 0x0A000001;  // 10.0.0.1, one TLOC per address
constexpr uint32_t k_zor_ns = mgmt_name_hash("urn:ostrana:zor");
constexpr uint32_t k_sample_ns = mgmt_name_hash("urn:ostrana:mgmt-sample");

double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double clock_s(clockid_t c)
{
    timespec ts{};
    clock_gettime(c, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// User plus system CPU seconds a process has used so far (/proc/PID/stat).
double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14 || i == 15) {
            ticks += strtod(f.c_str(), nullptr);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double children_cpu_s()
{
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

uint64_t vm_hwm_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return strtoull(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

uint16_t free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), len);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

int connect_to(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

// ---------------------------------------------------------------- the agent

struct agent_proc {
    pid_t pid = -1;
    uint16_t port = 0;
};

// mgmtd -f on a free port with its database in db_dir, its log thrown away;
// waits until it accepts connections.
agent_proc start_agent(const std::string &mgmtd, const std::string &db_dir)
{
    agent_proc a;
    a.port = free_port();
    const std::string port = std::to_string(a.port);
    a.pid = fork();
    if (a.pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(mgmtd.c_str(), mgmtd.c_str(), "-f", "--port", port.c_str(), "--db-dir", db_dir.c_str(),
              "--reply-timeout", "120000", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 1000; i++) {
        const int fd = connect_to(a.port);
        if (fd >= 0) {
            close(fd);
            return a;
        }
        if (waitpid(a.pid, nullptr, WNOHANG) == a.pid) {
            break;
        }
        usleep(10000);
    }
    fprintf(stderr, "bench: %s did not start\n", mgmtd.c_str());
    exit(1);
}

void stop_agent(agent_proc &a)
{
    kill(a.pid, SIGTERM);
    waitpid(a.pid, nullptr, 0);
}

// ---------------------------------------------------------------- zorctl

struct cli_run {
    int status = -1;
    size_t out_bytes = 0;
    size_t system_ips = 0;  // "system-ip" members in the output
    double wall_s = 0;
    double cpu_s = 0;  // zorctl's own user + system time
};

cli_run run_zorctl(const std::string &zorctl, uint16_t port, const std::vector<std::string> &args)
{
    cli_run r;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return r;
    }
    // Everything the child needs is built before the fork: the provider's
    // and the subscriber's threads may hold the allocator's lock.
    std::vector<std::string> env = {"MGMTD_PORT=" + std::to_string(port)};
    for (char **e = environ; *e != nullptr; e++) {
        if (strncmp(*e, "MGMTD_", 6) != 0) {
            env.emplace_back(*e);
        }
    }
    std::vector<char *> envp;
    for (std::string &e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<char *> argv{const_cast<char *>(zorctl.c_str())};
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    const double cpu0 = children_cpu_s();
    const double t0 = now_s();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execve(zorctl.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[1 << 16];
    ssize_t n = 0;
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        text.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.wall_s = now_s() - t0;
    r.cpu_s = children_cpu_s() - cpu0;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out_bytes = text.size();
    for (size_t at = text.find("\"system-ip\""); at != std::string::npos; at = text.find("\"system-ip\"", at + 1)) {
        r.system_ips++;
    }
    return r;
}

// ---------------------------------------------------------------- the provider

// zord's TLOC tree reduced to what the callbacks answer: TLOC i is
// 10.0.0.1 + i, biz-internet or lte, IPsec.
struct provider {
    uint32_t tlocs = 0;
    int ctl = -1;
    int worker = -1;
    int stop_pipe[2] = {-1, -1};
    confd_daemon_ctx *dx = nullptr;
    std::atomic<uint64_t> callbacks{0};
    std::atomic<int> state{0};  // 1 serving, -1 failed
    clockid_t cpu_clock{};
    std::thread thread;
};
provider g_prov;

void set_tloc_keys(uint32_t i, confd_tag_value_t *tv)
{
    in_addr ip{};
    ip.s_addr = htonl(k_first_ip + i);
    CONFD_SET_TAG_IPV4(&tv[0], mgmt_name_hash("system-ip"), ip);
    CONFD_SET_TAG_ENUM_VALUE(&tv[1], mgmt_name_hash("color"), i % 2 == 0 ? 4 : 6);
    CONFD_SET_TAG_ENUM_VALUE(&tv[2], mgmt_name_hash("encapsulation"), 2);
}

// The TLOC of the keypath's tloc instance, or -1.
long tloc_of(const confd_hkeypath_t *kp)
{
    const uint32_t tag = mgmt_name_hash("tloc");
    for (int i = kp->len - 1; i > 0; i--) {
        if (kp->v[i][0].type == C_XMLTAG && kp->v[i][0].val.xmltag.tag == tag && kp->v[i - 1][0].type == C_IPV4) {
            const long n = static_cast<long>(ntohl(kp->v[i - 1][0].val.ip.s_addr)) - k_first_ip;
            return n >= 0 && n < static_cast<long>(g_prov.tlocs) ? n : -1;
        }
    }
    return -1;
}

int reply_tloc(confd_trans_ctx *tctx, long i)
{
    if (i < 0 || i >= static_cast<long>(g_prov.tlocs)) {
        return confd_data_reply_next_object_tag_value_array(tctx, nullptr, -1, -1);
    }
    confd_tag_value_t tv[3];
    set_tloc_keys(static_cast<uint32_t>(i), tv);
    return confd_data_reply_next_object_tag_value_array(tctx, tv, 3, -1);
}

int t_init(confd_trans_ctx *tctx)
{
    return confd_trans_set_fd(tctx, g_prov.worker);
}

int t_finish(confd_trans_ctx *)
{
    return CONFD_OK;
}

int tloc_get_next(confd_trans_ctx *tctx, confd_hkeypath_t *, long next)
{
    g_prov.callbacks++;
    return reply_tloc(tctx, next == -1 ? 0 : -1);
}

int tloc_find_next(confd_trans_ctx *tctx, confd_hkeypath_t *, int type, confd_value_t *keys, int nkeys)
{
    g_prov.callbacks++;
    if (nkeys == 0) {
        return reply_tloc(tctx, 0);
    }
    if (keys[0].type != C_IPV4) {
        return reply_tloc(tctx, -1);
    }
    const long at = static_cast<long>(ntohl(keys[0].val.ip.s_addr)) - k_first_ip;
    return reply_tloc(tctx, type == CONFD_FIND_SAME_OR_NEXT ? at : at + 1);
}

int path_get_next(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    g_prov.callbacks++;
    const long t = tloc_of(kp);
    confd_tag_value_t tv[k_paths][6];
    confd_tag_next_object objs[k_paths + 1];
    int count = 0;
    for (int p = 0; next == -1 && t >= 0 && p < k_paths; p++) {
        CONFD_SET_TAG_UINT32(&tv[p][0], mgmt_name_hash("path-index"), static_cast<uint32_t>(p));
        CONFD_SET_TAG_UINT32(&tv[p][1], mgmt_name_hash("preference"), 100);
        CONFD_SET_TAG_UINT32(&tv[p][2], mgmt_name_hash("mtu"), 1400);
        CONFD_SET_TAG_ENUM_VALUE(&tv[p][3], mgmt_name_hash("best"), p == 0 ? 0 : 1);
        CONFD_SET_TAG_ENUM_VALUE(&tv[p][4], mgmt_name_hash("status"), 0);
        CONFD_SET_TAG_BOOL(&tv[p][5], mgmt_name_hash("stale"), 0);
        objs[count++] = {tv[p], 6, -1};
    }
    objs[count++] = {nullptr, 0, -1};
    return confd_data_reply_next_object_tag_value_arrays(tctx, objs, count, 0);
}

confd_tag_value_t *link_end(uint32_t tloc, const char *name, confd_tag_value_t *tv)
{
    CONFD_SET_TAG_XMLBEGIN(&tv[0], mgmt_name_hash(name), k_zor_ns);
    set_tloc_keys(tloc, &tv[1]);
    CONFD_SET_TAG_XMLEND(&tv[4], mgmt_name_hash(name), k_zor_ns);
    return tv + 5;
}

int link_get_next(confd_trans_ctx *tctx, confd_hkeypath_t *kp, long next)
{
    g_prov.callbacks++;
    const long t = tloc_of(kp);
    confd_tag_value_t tv[k_links][12];
    confd_tag_next_object objs[k_links + 1];
    int count = 0;
    for (int l = 0; next == -1 && t >= 0 && l < k_links; l++) {
        CONFD_SET_TAG_UINT32(&tv[l][0], mgmt_name_hash("link-index"), static_cast<uint32_t>(l));
        confd_tag_value_t *end = link_end(static_cast<uint32_t>(l), "local-tloc", &tv[l][1]);
        end = link_end(static_cast<uint32_t>(t), "remote-tloc", end);
        CONFD_SET_TAG_UINT32(end, mgmt_name_hash("label"), 1000 + static_cast<uint32_t>(l));
        objs[count++] = {tv[l], 12, -1};
    }
    objs[count++] = {nullptr, 0, -1};
    return confd_data_reply_next_object_tag_value_arrays(tctx, objs, count, 0);
}

void provider_loop(uint16_t port)
{
    provider &p = g_prov;
    pthread_getcpuclockid(pthread_self(), &p.cpu_clock);
    const sockaddr_in sa = loopback(port);
    const auto *addr = reinterpret_cast<const sockaddr *>(&sa);
    p.dx = confd_init_daemon("zord-bench");
    p.ctl = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    p.worker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool ok = p.dx != nullptr && confd_connect(p.dx, p.ctl, CONTROL_SOCKET, addr, sizeof sa) == CONFD_OK &&
              confd_connect(p.dx, p.worker, WORKER_SOCKET, addr, sizeof sa) == CONFD_OK;
    confd_trans_cbs tcb{};
    tcb.init = t_init;
    tcb.finish = t_finish;
    ok = ok && confd_register_trans_cb(p.dx, &tcb) == CONFD_OK;
    struct point {
        const char *name;
        int (*get_next)(confd_trans_ctx *, confd_hkeypath_t *, long);
        int (*find_next)(confd_trans_ctx *, confd_hkeypath_t *, int, confd_value_t *, int);
    };
    for (const point &cp : {point{"zor-show-tlocs", tloc_get_next, tloc_find_next},
                            point{"zor-show-paths", path_get_next, nullptr},
                            point{"zor-show-paths-links", link_get_next, nullptr}}) {
        confd_data_cbs dcb{};
        snprintf(dcb.callpoint, sizeof dcb.callpoint, "%s", cp.name);
        dcb.get_next_object = cp.get_next;
        dcb.find_next_object = cp.find_next;
        ok = ok && confd_register_data_cb(p.dx, &dcb) == CONFD_OK;
    }
    ok = ok && confd_register_done(p.dx) == CONFD_OK;
    if (!ok) {
        fprintf(stderr, "bench: the provider could not join the agent: %s\n", confd_lasterr());
        p.state = -1;
        return;
    }
    p.state = 1;
    for (;;) {
        pollfd fds[3] = {{p.ctl, POLLIN, 0}, {p.worker, POLLIN, 0}, {p.stop_pipe[0], POLLIN, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) {
            break;
        }
        if (fds[2].revents != 0) {
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].revents != 0 && confd_fd_ready(p.dx, fds[i].fd) == CONFD_EOF) {
                fprintf(stderr, "bench: the agent closed the provider's connection\n");
                return;
            }
        }
    }
    close(p.ctl);
    close(p.worker);
    confd_release_daemon(p.dx);
}

// ---------------------------------------------------------------- the TCP pump

// count one-byte round trips to an echoing child process over loopback TCP;
// returns seconds.
double tcp_pump(uint64_t count)
{
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    if (bind(lfd, reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(lfd, 1) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        perror("bench: pump");
        return 0;
    }
    const int cfd = connect_to(ntohs(sa.sin_port));
    const int afd = accept(lfd, nullptr, nullptr);
    close(lfd);
    const int one = 1;
    setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(afd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const pid_t pid = fork();
    if (pid == 0) {
        close(cfd);  // the echo ends when the parent closes its end
        char b;
        while (read(afd, &b, 1) == 1 && write(afd, &b, 1) == 1) {
        }
        _exit(0);
    }
    close(afd);
    const double t0 = now_s();
    char b = 'x';
    for (uint64_t i = 0; i < count; i++) {
        if (write(cfd, &b, 1) != 1 || read(cfd, &b, 1) != 1) {
            break;
        }
    }
    const double t = now_s() - t0;
    close(cfd);
    waitpid(pid, nullptr, 0);
    return t;
}

// ---------------------------------------------------------------- part 1

struct options {
    std::string mgmtd = std::string(ZOR_BUILD_DIR) + "/platform/mgmtd/mgmtd";
    std::string zorctl = std::string(ZOR_BUILD_DIR) + "/tools/zorctl/zorctl";
    uint32_t tlocs = 10000;
    int commits = 1000;
    int zorctl_runs = 20;
    int reads = 3;
};

bool bench_reads(const options &o)
{
    const std::string db = std::filesystem::temp_directory_path() / ("mgmt-bench-oper." + std::to_string(getpid()));
    agent_proc agent = start_agent(o.mgmtd, db);
    g_prov.tlocs = o.tlocs;
    if (pipe2(g_prov.stop_pipe, O_CLOEXEC) != 0) {
        return false;
    }
    g_prov.thread = std::thread(provider_loop, agent.port);
    while (g_prov.state == 0) {
        usleep(1000);
    }
    bool ok = g_prov.state == 1;
    printf("1. Operational reads: %u TLOCs x %d paths x %d links (zord's callpoints, served by a thread here)\n\n",
           o.tlocs, k_paths, k_links);
    printf("%-26s %-9s %-10s %-11s %-13s %-11s %-10s %-9s %s\n", "read", "wall", "agent CPU", "provider CPU",
           "zorctl CPU", "callbacks", "JSON", "agent HWM", "TCP pump, same round trips");
    struct read_kind {
        const char *label;
        std::vector<std::string> args;
        size_t system_ips;  // what a complete answer holds
    };
    const read_kind kinds[] = {
        {"zorctl --json show tlocs", {"--json", "show", "tlocs"}, o.tlocs},
        {"zorctl --json show oper tlocs", {"--json", "show", "oper", "tlocs"},
         static_cast<size_t>(o.tlocs) * (1 + 2 * k_paths * k_links)},
        {"zorctl show tlocs (table)", {"show", "tlocs"}, 0},
    };
    for (const read_kind &k : kinds) {
        for (int run = 0; ok && run < o.reads; run++) {
            const double agent0 = cpu_seconds(agent.pid);
            const double prov0 = clock_s(g_prov.cpu_clock);
            const uint64_t cb0 = g_prov.callbacks;
            const cli_run r = run_zorctl(o.zorctl, agent.port, k.args);
            const double agent_cpu = cpu_seconds(agent.pid) - agent0;
            const double prov_cpu = clock_s(g_prov.cpu_clock) - prov0;
            const uint64_t cbs = g_prov.callbacks - cb0;
            if (r.status != 0 || (k.system_ips != 0 && r.system_ips != k.system_ips)) {
                fprintf(stderr, "bench: %s: status %d, %zu system-ip leaves where %zu were due\n", k.label, r.status,
                        r.system_ips, k.system_ips);
                ok = false;
                break;
            }
            const double pump = tcp_pump(cbs);
            printf("%-26s %-9.3f %-10.3f %-12.3f %-13.3f %-11llu %-10.1f %-9.1f %.3f s (%.1f us each)\n", k.label,
                   r.wall_s, agent_cpu, prov_cpu, r.cpu_s, static_cast<unsigned long long>(cbs),
                   static_cast<double>(r.out_bytes) / (1 << 20), static_cast<double>(vm_hwm_kib(agent.pid)) / 1024,
                   pump, pump / static_cast<double>(std::max<uint64_t>(cbs, 1)) * 1e6);
            fflush(stdout);
        }
    }
    printf("\nwall, CPU in seconds; JSON and agent HWM (peak resident memory) in MiB. callbacks: requests the\n"
           "provider answered; the TCP pump makes as many one-byte round trips between two processes.\n\n");
    (void)!write(g_prov.stop_pipe[1], "x", 1);
    g_prov.thread.join();
    stop_agent(agent);
    std::filesystem::remove_all(db);
    return ok;
}

// ---------------------------------------------------------------- part 2

// A CLI connection speaking the wire protocol directly.
class raw_cli {
public:
    bool open(uint16_t port)
    {
        fd_ = connect_to(port);
        std::string body;
        if (fd_ < 0 || !next(body) || mgmt_wire::reader(body).op() != MGMT_OP_CHALLENGE) {
            return false;
        }
        mgmt_wire::writer w(MGMT_OP_HELLO, 1);
        w.i64(MGMT_PROTO_VERSION).i64(MGMT_CONN_CLI).str("mgmt-bench").i64(0).bytes("").i64(getpid());
        return send_all(w.finish()) && next(body) && mgmt_wire::reader(body).op() == MGMT_OP_REPLY;
    }
    ~raw_cli()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    // One CLI_COMMIT setting a leaf; true on its REPLY.
    bool commit(const std::string &path, const std::string &value)
    {
        const uint32_t xid = ++xid_;
        mgmt_wire::writer w(MGMT_OP_CLI_COMMIT, xid);
        w.list(1).list(3).i64(MGMT_EDIT_SET).str(path).str(value);
        std::string body;
        if (!send_all(w.finish()) || !next(body)) {
            return false;
        }
        mgmt_wire::reader r(body);
        if (r.op() != MGMT_OP_REPLY || r.xid() != xid) {
            int64_t code = 0;
            std::string text;
            r.i64(code);
            r.str(text);
            fprintf(stderr, "bench: commit refused: %s\n", text.c_str());
            return false;
        }
        return true;
    }

private:
    bool send_all(const std::string &bytes)
    {
        for (size_t off = 0; off < bytes.size();) {
            const ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            off += static_cast<size_t>(n);
        }
        return true;
    }
    bool next(std::string &body)
    {
        std::span<const uint8_t> frame;
        while (!in_.next(frame)) {
            char buf[4096];
            const ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                return false;
            }
            in_.append(buf, static_cast<size_t>(n));
        }
        body.assign(reinterpret_cast<const char *>(frame.data()), frame.size());
        return true;
    }
    int fd_ = -1;
    uint32_t xid_ = 1;
    mgmt_wire::frame_buffer in_;
};

// The subscriber: reads each notification's diff and synchronises.
struct subscriber {
    int sock = -1;
    std::atomic<uint64_t> notifications{0};
    std::atomic<uint64_t> changes{0};
    clockid_t cpu_clock{};
    std::atomic<int> state{0};
    std::thread thread;
};

cdb_iter_ret count_change(confd_hkeypath_t *, cdb_iter_op, confd_value_t *, confd_value_t *, void *state)
{
    static_cast<subscriber *>(state)->changes++;
    return ITER_RECURSE;
}

void subscriber_loop(subscriber *s, uint16_t port)
{
    pthread_getcpuclockid(pthread_self(), &s->cpu_clock);
    const sockaddr_in sa = loopback(port);
    s->sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int point = 0;
    if (cdb_connect(s->sock, CDB_SUBSCRIPTION_SOCKET, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) !=
            CONFD_OK ||
        cdb_subscribe(s->sock, 1, static_cast<int>(k_sample_ns), &point, "/sample/first") != CONFD_OK ||
        cdb_subscribe_done(s->sock) != CONFD_OK) {
        fprintf(stderr, "bench: the subscriber could not subscribe: %s\n", confd_lasterr());
        s->state = -1;
        return;
    }
    s->state = 1;
    for (;;) {
        cdb_sub_notification type{};
        int flags = 0;
        int *points = nullptr;
        int n = 0;
        if (cdb_read_subscription_socket2(s->sock, &type, &flags, &points, &n) != CONFD_OK) {
            break;  // the agent went
        }
        for (int i = 0; i < n; i++) {
            cdb_diff_iterate(s->sock, points[i], count_change, ITER_WANT_PREV, s);
        }
        free(points);
        s->notifications++;
        if (cdb_sync_subscription_socket(s->sock, CDB_DONE_PRIORITY) != CONFD_OK) {
            break;
        }
    }
    cdb_close(s->sock);
}

bool commit_burst(const options &o, const std::string &base, const char *label)
{
    const std::string db = base + "/mgmt-bench-commits." + std::to_string(getpid());
    std::filesystem::remove_all(db);
    agent_proc agent = start_agent(o.mgmtd, db);
    subscriber sub;
    sub.thread = std::thread(subscriber_loop, &sub, agent.port);
    while (sub.state == 0) {
        usleep(1000);
    }
    raw_cli cli;
    bool ok = sub.state == 1 && cli.open(agent.port) && cli.commit("/sample/first{a}/value", "0");
    const double agent0 = cpu_seconds(agent.pid);
    const double sub0 = clock_s(sub.cpu_clock);
    const uint64_t n0 = sub.notifications;
    const double t0 = now_s();
    for (int i = 1; ok && i <= o.commits; i++) {
        ok = cli.commit("/sample/first{a}/value", std::to_string(i));
    }
    const double wall = now_s() - t0;
    const double agent_cpu = cpu_seconds(agent.pid) - agent0;
    const double sub_cpu = clock_s(sub.cpu_clock) - sub0;
    const uint64_t notified = sub.notifications - n0;
    if (ok && notified != static_cast<uint64_t>(o.commits)) {
        fprintf(stderr, "bench: %llu notifications for %d commits\n", static_cast<unsigned long long>(notified),
                o.commits);
        ok = false;
    }
    if (ok) {
        const double pump = tcp_pump(static_cast<uint64_t>(o.commits));
        printf("%-30s %-9.3f %-10.0f %-10.3f %-12.3f %-9.1f %.4f s\n", label, wall, o.commits / wall, agent_cpu,
               sub_cpu, agent_cpu / o.commits * 1e6, pump);
    }
    stop_agent(agent);  // the subscriber's read ends with the agent
    sub.thread.join();
    std::filesystem::remove_all(db);
    return ok;
}

bool zorctl_commits(const options &o)
{
    const std::string db = std::filesystem::temp_directory_path() / ("mgmt-bench-cli." + std::to_string(getpid()));
    agent_proc agent = start_agent(o.mgmtd, db);
    subscriber sub;
    sub.thread = std::thread(subscriber_loop, &sub, agent.port);
    while (sub.state == 0) {
        usleep(1000);
    }
    bool ok = sub.state == 1;
    double wall = 0;
    double cpu = 0;
    const double agent0 = cpu_seconds(agent.pid);
    for (int i = 0; ok && i < o.zorctl_runs; i++) {
        const cli_run r = run_zorctl(o.zorctl, agent.port, {"set", "sample", "first", "a", "value", std::to_string(i)});
        ok = r.status == 0;
        wall += r.wall_s;
        cpu += r.cpu_s;
    }
    const double agent_cpu = cpu_seconds(agent.pid) - agent0;
    if (ok) {
        printf("\nzorctl set, one process per commit, %d runs: %.1f ms wall, %.1f ms zorctl CPU, %.1f ms agent CPU "
               "each (its connection, schema modules and commit)\n",
               o.zorctl_runs, wall / o.zorctl_runs * 1e3, cpu / o.zorctl_runs * 1e3, agent_cpu / o.zorctl_runs * 1e3);
    }
    stop_agent(agent);
    sub.thread.join();
    std::filesystem::remove_all(db);
    return ok;
}

bool bench_commits(const options &o)
{
    printf("2. Configuration commits: %d back to back on one CLI connection, one subscriber (a thread here)\n"
           "   that reads each diff and synchronises\n\n",
           o.commits);
    printf("%-30s %-9s %-10s %-10s %-12s %-9s %s\n", "database directory", "wall", "commits/s", "agent CPU",
           "subscriber", "us/commit", "TCP pump, same round trips");
    bool ok = commit_burst(o, "/var/tmp", "/var/tmp (disk, fsync)");
    ok = commit_burst(o, "/dev/shm", "/dev/shm (tmpfs, fsync free)") && ok;
    printf("\nus/commit: agent CPU per commit. Each commit writes the configuration to a temporary file,\n"
           "fsyncs it, renames it and fsyncs the directory; on tmpfs the fsyncs cost nothing.\n");
    ok = zorctl_commits(o) && ok;
    return ok;
}

bool parse_count(const char *text, long lo, long hi, long &out)
{
    char *end = nullptr;
    out = strtol(text, &end, 10);
    return *text != 0 && *end == 0 && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    static const option opts[] = {{"tlocs", required_argument, nullptr, 't'},
                                  {"commits", required_argument, nullptr, 'c'},
                                  {"zorctl-runs", required_argument, nullptr, 'z'},
                                  {"reads", required_argument, nullptr, 'r'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c = 0;
    long v = 0;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        const bool good = c != 'h' && c != '?' && parse_count(optarg, 1, 1000000, v);
        if (!good) {
            printf("usage: mgmt_bench [--tlocs N] [--commits N] [--zorctl-runs N] [--reads N]\n"
                   "       defaults: 10000 TLOCs, 1000 commits, 20 zorctl runs, 3 runs of each read\n");
            return c == 'h' ? 0 : 1;
        }
        if (c == 't') {
            o.tlocs = static_cast<uint32_t>(std::min(v, 100000L));
        } else if (c == 'c') {
            o.commits = static_cast<int>(v);
        } else if (c == 'z') {
            o.zorctl_runs = static_cast<int>(v);
        } else {
            o.reads = static_cast<int>(v);
        }
    }
    signal(SIGPIPE, SIG_IGN);
    confd_init("mgmt-bench", stderr, CONFD_SILENT);
    printf("mgmtd end to end; %ld CPUs online\n\n", sysconf(_SC_NPROCESSORS_ONLN));
    const bool reads = bench_reads(o);
    const bool commits = bench_commits(o);
    return reads && commits ? 0 : 1;
}
