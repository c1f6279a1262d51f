// End-to-end withdrawal benchmark: a real zord on a temporary run directory,
// an owner peer (advd) that announces N remote TLOCs, and 2 to 8 client
// peers (ctlagent_0...) registered for TLOC-IPV4 and LINK. Once every client
// holds everything, the owner is killed: zord sees its connection close and
// withdraws all it owned. Every peer is a process of its own on the
// transport client library and the codec, as the real daemons are.
//
// Scenarios:
//   links:N   klxd announces one local TLOC; the N remote TLOCs have no group,
//             so zord links each of them to it (owned by advd): the owner's
//             loss withdraws N TLOCs and N links.
//   groups:N  the N remote TLOCs are in two groups (0 and 1); no links.
//
// Reported per scenario and client count: the time from the owner's kill
// until each client received its first deletion and its last (earliest and
// latest client), zord's CPU time meanwhile, and for comparison a plain
// AF_UNIX pump of as many equally sized messages between two processes of
// this program, one send per message.
//
// A withdrawal that takes longer than --limit seconds (default 900) is
// reported as such and the run goes on with the next one.
//
//   build/bench/zor_withdraw_bench [--scenarios links:20000,links:32000,groups:32000] [--clients 2,8]
//                                  [--zord PATH] [--limit S] [--log]
#include <algorithm>
#include <getopt.h>

#include "zor_bench_support.h"

namespace {

constexpr uint32_t k_first_device = 0x0A000001;  // 10.0.0.1: two TLOCs per device
constexpr uint32_t k_local_device = 0x0AFF0001;  // 10.255.0.1
constexpr uint8_t k_colors[2] = {4, 6};          // biz-internet, lte
constexpr int k_run_limit_s = 900;

struct scenario {
    bool links = true;
    uint32_t n = 0;
    std::string name() const { return (links ? "links:" : "groups:") + std::to_string(n); }
};

// Remote TLOC number i of a scenario: device 10.0.0.1 + i/2, colour
// biz-internet or lte.
zor_msg_t scenario_tloc(const scenario &s, uint32_t i)
{
    zor_msg_t m = zb::remote_tloc(k_first_device + i / 2, k_colors[i % 2], i);
    zor_tloc_attr_t &a = m.body.tloc.attr;
    if (s.links) {
        // No group on either end: a local and a remote TLOC share a region
        // and get a link.
        a.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
        a.group_count = 0;
        a.groups[0] = 0;
    } else {
        a.group_count = 2;
        a.groups[0] = 0;
        a.groups[1] = 1;
    }
    return m;
}

// The number of a remote TLOC from its key, or n for any other key.
uint32_t tloc_number(const zor_tloc_key_t &key, uint32_t n)
{
    const uint64_t i = (static_cast<uint64_t>(key.addr.u.v4) - k_first_device) * 2 + (key.color == k_colors[1]);
    return key.addr.family == IP_AF_INET && key.addr.u.v4 >= k_first_device && i < n ? static_cast<uint32_t>(i) : n;
}

// ---------------------------------------------------------------- peers

enum class role { owner, local, client };

struct peer_state {
    role r = role::client;
    scenario s;
    int report_fd = -1;
    event_base *base = nullptr;
    msgq_handle_t *h = nullptr;
    ost_event_ptr poll_ev;
    // client: what it holds, and the deletions counted
    std::vector<uint8_t> tlocs;
    std::vector<uint8_t> links;
    uint32_t tlocs_held = 0;
    uint32_t links_held = 0;
    uint32_t dels = 0;
    bool held = false;
};

// Owner: watches its send queue until zord has taken every add.
void owner_poll(evutil_socket_t, short, void *arg)
{
    auto *p = static_cast<peer_state *>(arg);
    if (msgq_get_queue_len(p->h) == 0) {
        zb::report(p->report_fd, "sent");
        return;
    }
    struct timeval tv = {0, 1000};
    event_add(p->poll_ev.get(), &tv);
}

void peer_up(msgq_handle_t *h, void *arg, msgq_handle_t *, void *)
{
    auto *p = static_cast<peer_state *>(arg);
    p->h = h;
    if (p->r == role::client) {
        for (uint32_t af : {0u, 8u}) {
            zor_msg_t m{};
            m.type = ZOR_MSG_REGISTER;
            m.sender = h->src;
            m.family = af;
            m.body.reg.announce = 1;
            zb::send_msg(h, m);
        }
        zb::report(p->report_fd, "ready");
        return;
    }
    if (p->r == role::local) {
        if (p->s.links) {
            zor_msg_t m = zb::remote_tloc(k_local_device, k_colors[0], 0);
            m.sender = h->src;
            m.body.tloc.origin = ZOR_MSG_ORIGIN_LOCAL;
            m.body.tloc.attr.flags &= ~ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
            m.body.tloc.attr.group_count = 0;
            m.body.tloc.attr.groups[0] = 0;
            zb::send_msg(h, m);
        }
        zb::report(p->report_fd, "ready");
        return;
    }
    p->poll_ev.reset(evtimer_new(p->base, owner_poll, p));
    for (uint32_t i = 0; i < p->s.n; i++) {
        if (!zb::send_msg(h, scenario_tloc(p->s, i))) {
            zb::report(p->report_fd, "error send " + std::to_string(i));
            return;
        }
    }
    owner_poll(-1, 0, p);
}

void peer_down(msgq_handle_t *, void *arg, msgq_handle_t *, void *)
{
    zb::report(static_cast<peer_state *>(arg)->report_fd, "error connection lost");
}

// Client: "held" once it holds every remote TLOC (and every link), then
// "first" at the first deletion and "done" at the last.
void peer_recv(msgq_handle_t *h, void *app, uint16_t size, void *arg)
{
    auto *p = static_cast<peer_state *>(arg);
    zor_msg_t m;
    if (zor_msg_decode(&m, static_cast<const uint8_t *>(app), size) == 0) {
        const uint32_t n = p->s.n;
        switch (m.type) {
        case ZOR_MSG_TLOC_ADD:
        case ZOR_MSG_LINK_ADD: {
            const bool link = m.type == ZOR_MSG_LINK_ADD;
            const uint32_t i = tloc_number(link ? m.body.link.remote : m.body.tloc.key, n);
            std::vector<uint8_t> &seen = link ? p->links : p->tlocs;
            if (i < n && seen[i] == 0) {
                seen[i] = 1;
                (link ? p->links_held : p->tlocs_held)++;
            }
            if (!p->held && p->tlocs_held == n && (!p->s.links || p->links_held == n)) {
                p->held = true;
                zb::report(p->report_fd, "held " + std::to_string(zb::now_ns()));
            }
            break;
        }
        case ZOR_MSG_TLOC_DEL:
        case ZOR_MSG_LINK_DEL: {
            const bool link = m.type == ZOR_MSG_LINK_DEL;
            if (tloc_number(link ? m.body.link.remote : m.body.tloc.key, n) == n) {
                break;
            }
            const uint64_t t = zb::now_ns();
            if (p->dels++ == 0) {
                zb::report(p->report_fd, "first " + std::to_string(t));
            }
            if (p->dels == n * (p->s.links ? 2 : 1)) {
                zb::report(p->report_fd, "done " + std::to_string(t));
            }
            break;
        }
        default:
            break;
        }
    }
    msgq_free_msg(h, app);
}

zb::child spawn_peer(role r, uint32_t module, const scenario &s)
{
    return zb::spawn([&](int fd) {
        peer_state p;
        p.r = r;
        p.s = s;
        p.report_fd = fd;
        p.tlocs.assign(s.n, 0);
        p.links.assign(s.n, 0);
        msgq_callbacks_t cbs{};
        cbs.conn_up = peer_up;
        cbs.conn_down = peer_down;
        cbs.recv_msg = peer_recv;
        zb::run_peer(module, cbs, &p, fd, &p.base);
    });
}

// ---------------------------------------------------------------- runs

struct result {
    double first_min = 0;
    double first_max = 0;
    double last_min = 0;
    double last_max = 0;
    double zord_cpu_s = 0;
    bool ok = false;
    bool over_limit = false;  // every client held everything, the withdrawal took longer than the limit
};

double seconds_since(uint64_t t0, uint64_t t)
{
    return t > t0 ? static_cast<double>(t - t0) / 1e9 : 0;
}

result run_once(const std::string &zord, const scenario &s, int clients, int limit_s, bool keep_log)
{
    result res;
    char tmpl[] = "/tmp/zor-withdraw-bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return res;
    }
    const std::string run_dir = tmpl;
    setenv(OST_RUN_DIR_ENV, run_dir.c_str(), 1);
    const pid_t zpid = zb::start_zord(zord, run_dir, keep_log);

    zb::child local = spawn_peer(role::local, OST_MODULE_KLXD, s);
    std::vector<zb::child> kids(static_cast<size_t>(clients));
    std::vector<zb::child *> all = {&local};
    for (int i = 0; i < clients; i++) {
        kids[static_cast<size_t>(i)] = spawn_peer(role::client, OST_MODULE_CTLAGENT_0 + static_cast<uint32_t>(i), s);
        all.push_back(&kids[static_cast<size_t>(i)]);
    }
    auto every = [&](const char *prefix) {
        return std::all_of(kids.begin(), kids.end(), [&](const zb::child &k) { return zb::has_line(k, prefix); });
    };
    bool ok = zb::wait_reports(all, [&] { return zb::has_line(local, "ready") && every("ready"); }, 30);
    zb::child owner;
    if (ok) {
        owner = spawn_peer(role::owner, OST_MODULE_ADVD, s);
        all.push_back(&owner);
        ok = zb::wait_reports(all, [&] { return zb::has_line(owner, "sent") && every("held"); }, k_run_limit_s);
    }
    uint64_t t0 = 0;
    double cpu0 = 0;
    if (ok) {
        // A path-walk tick (every 2 s) passes over what arrived first, so
        // that the owner goes while zord is idle.
        usleep(2500000);
        cpu0 = zb::cpu_seconds(zpid);
        t0 = zb::now_ns();
        zb::stop(owner);
        all.pop_back();
        ok = zb::wait_reports(all, [&] { return every("done"); }, limit_s);
        res.over_limit = !ok && seconds_since(t0, zb::now_ns()) >= limit_s;
    }
    if (ok || res.over_limit) {
        res.zord_cpu_s = zb::cpu_seconds(zpid) - cpu0;
        // Past the limit, a client without a first deletion counts as the limit.
        res.first_min = res.last_min = 1e9;
        for (const zb::child &k : kids) {
            const std::vector<uint64_t> f = zb::line_numbers(k, "first ");
            const double first = f.empty() ? limit_s : seconds_since(t0, f[0]);
            res.first_min = std::min(res.first_min, first);
            res.first_max = std::max(res.first_max, first);
            if (ok) {
                const double last = seconds_since(t0, zb::line_numbers(k, "done ").at(0));
                res.last_min = std::min(res.last_min, last);
                res.last_max = std::max(res.last_max, last);
            }
        }
        res.ok = ok;
    } else {
        fprintf(stderr, "bench: %s with %d clients did not complete (run directory %s; --log keeps zord's log)\n",
                s.name().c_str(), clients, run_dir.c_str());
    }
    for (zb::child &k : kids) {
        zb::stop(k);
    }
    zb::stop(local);
    zb::stop(owner);
    if (res.over_limit) {
        // Still busy withdrawing: it would not answer SIGUSR2 in time.
        kill(zpid, SIGKILL);
        waitpid(zpid, nullptr, 0);
    } else if (!zb::stop_zord(zpid)) {
        fprintf(stderr, "bench: zord did not stop cleanly on SIGUSR2 (run directory %s)\n", run_dir.c_str());
        res.ok = false;
    }
    if ((res.ok || res.over_limit) && !keep_log) {
        std::filesystem::remove_all(run_dir);
    }
    return res;
}

// The wire size of the deletions a client receives, on average.
size_t deletion_size(const scenario &s)
{
    zor_msg_t tloc = scenario_tloc(s, 0);
    tloc.type = ZOR_MSG_TLOC_DEL;
    zor_msg_t link{};
    link.type = ZOR_MSG_LINK_DEL;
    link.family = 8;
    link.body.link.remote = tloc.body.tloc.key;
    link.body.link.local = tloc.body.tloc.key;
    const size_t t = zb::wire_size(tloc);
    return s.links ? (t + zb::wire_size(link) + 1) / 2 : t;
}

bool parse_list(const char *text, const std::function<bool(const std::string &)> &take)
{
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!take(item)) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string zord = std::string(ZOR_BUILD_DIR) + "/zord/zord";
    std::vector<scenario> scenarios = {{true, 20000}, {true, 32000}, {false, 32000}};
    std::vector<int> client_counts = {2, 8};
    int limit_s = 900;
    bool keep_log = false;
    static const option opts[] = {{"scenarios", required_argument, nullptr, 's'},
                                  {"clients", required_argument, nullptr, 'c'},
                                  {"zord", required_argument, nullptr, 'z'},
                                  {"limit", required_argument, nullptr, 't'},
                                  {"log", no_argument, nullptr, 'l'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
        case 's':
            scenarios.clear();
            if (!parse_list(optarg, [&](const std::string &item) {
                    const size_t colon = item.find(':');
                    const std::string kind = item.substr(0, colon);
                    const unsigned long n = colon == std::string::npos ? 0 : strtoul(item.c_str() + colon + 1, nullptr, 10);
                    scenarios.push_back({kind == "links", static_cast<uint32_t>(n)});
                    return (kind == "links" || kind == "groups") && n >= 1 && n <= 32000;
                })) {
                fprintf(stderr, "bench: scenarios are links:N or groups:N, N 1-32000 (the TLOC index space)\n");
                return 1;
            }
            break;
        case 'c':
            client_counts.clear();
            if (!parse_list(optarg, [&](const std::string &item) {
                    client_counts.push_back(atoi(item.c_str()));
                    return client_counts.back() >= 1 && client_counts.back() <= 64;
                })) {
                fprintf(stderr, "bench: client counts are 1-64\n");
                return 1;
            }
            break;
        case 'z':
            zord = optarg;
            break;
        case 't':
            limit_s = atoi(optarg);
            if (limit_s < 1) {
                fprintf(stderr, "bench: --limit takes seconds, at least 1\n");
                return 1;
            }
            break;
        case 'l':
            keep_log = true;
            break;
        default:
            printf("usage: zor_withdraw_bench [--scenarios links:20000,links:32000,groups:32000] [--clients 2,8]\n"
                   "                          [--zord PATH] [--limit S] [--log]\n"
                   "       --limit gives up waiting for a withdrawal after S seconds (default 900)\n"
                   "       --log keeps each run directory with zord's log lines (zord.log)\n");
            return c == 'h' ? 0 : 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);

    printf("zord withdrawal: the owner (advd) of N remote TLOCs is lost; clients registered for TLOC-IPV4 and LINK\n");
    printf("%ld CPUs online; zord %s\n\n", sysconf(_SC_NPROCESSORS_ONLN), zord.c_str());
    printf("%-14s %-8s %-12s %-19s %-19s %-10s %s\n", "scenario", "clients", "dels/client", "first del",
           "last del", "zord CPU", "AF_UNIX pump, same messages");
    int failed = 0;
    for (const scenario &s : scenarios) {
        for (int k : client_counts) {
            const result r = run_once(zord, s, k, limit_s, keep_log);
            if (!r.ok && !r.over_limit) {
                failed++;
                continue;
            }
            const uint64_t dels = static_cast<uint64_t>(s.n) * (s.links ? 2 : 1);
            const double pump_s = zb::pump(dels * static_cast<uint64_t>(k), deletion_size(s));
            char first[40];
            char last[40];
            char cpu[32];
            if (r.first_max >= limit_s) {
                snprintf(first, sizeof(first), "> %d s", limit_s);
            } else {
                snprintf(first, sizeof(first), "%.3f-%.3f s", r.first_min, r.first_max);
            }
            if (r.over_limit) {
                snprintf(last, sizeof(last), "> %d s", limit_s);
            } else {
                snprintf(last, sizeof(last), "%.3f-%.3f s", r.last_min, r.last_max);
            }
            snprintf(cpu, sizeof(cpu), "%.2f s", r.zord_cpu_s);
            printf("%-14s %-8d %-12lu %-19s %-19s %-10s %.3f s\n", s.name().c_str(), k,
                   static_cast<unsigned long>(dels), first, last, cpu, pump_s);
            fflush(stdout);
        }
    }
    printf("\nfirst del, last del: from the owner's kill until a client received its first and its last deletion,\n"
           "earliest and latest client. zord CPU: user + system time zord spent meanwhile.\n"
           "AF_UNIX pump: deletions x clients messages of the same mean size, one send each, between two processes.\n");
    return failed == 0 ? 0 : 1;
}
