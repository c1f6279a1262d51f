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

#include "mgmt_bench_provider.h"

namespace {

using namespace mb;

// ---------------------------------------------------------------- operational reads

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

// ---------------------------------------------------------------- commits

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
