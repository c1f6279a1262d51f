// End-to-end distribution benchmark: a real zord on a temporary run
// directory, one owner peer (advd) announcing N remote TLOCs with realistic
// attributes, and client peers (ctlagent_0...) registered for TLOC-IPV4.
// Every peer is a process of its own on the transport client library and the
// codec, as the real daemons are. Three scenarios:
//
//   distribution: 1, 4 and 8 clients x 20,000 and 32,000 TLOCs: deliveries
//     per second, the time until every client holds everything, zord's CPU
//     per delivery, its peak resident memory and what it grew by per TLOC;
//   churn: the N TLOCs re-announced round after round to 8 clients,
//     saturated (the owner writes whenever its own queue runs short) and
//     paced (--rate updates per second): updates per second and the latency
//     from the owner's send of an update until the last client holds it (or
//     a later state of that TLOC);
//   stall: saturated churn to 7 clients, once alone and once beside an 8th
//     that stops reading (SIGSTOP): the healthy clients' rate and zord's
//     resident memory over the run.
//
// Every figure is printed beside the same-run AF_UNIX pumps of
// bench/zor_dist_pumps.h for the same number of equally sized messages.
//
//   build/bench/zor_distribution_bench [--scenario distribution|churn|stall|all]
//       [--tlocs N] [--clients 1,4,8] [--rounds R] [--rate U] [--zord PATH] [--log]
#include <algorithm>
#include <cinttypes>
#include <getopt.h>
#include <sys/mman.h>

#include "zor_bench_support.h"
#include "zor_dist_pumps.h"

namespace {

constexpr uint32_t k_first_device = 0x0A000001;  // 10.0.0.1: two TLOCs per device
constexpr uint8_t k_colors[2] = {4, 6};         // biz-internet, lte
constexpr int k_run_limit_s = 900;
constexpr uint32_t k_owner_queue = 256;  // saturated: the owner writes while its queue holds fewer

// TLOC number i in round round (0: the first announcement); the round is
// the generation id, so every round changes every TLOC.
zor_msg_t make_tloc(uint32_t i, uint32_t round)
{
    zor_msg_t m = zb::remote_tloc(k_first_device + i / 2, k_colors[i % 2], i);
    m.body.tloc.attr.gen_id = round;
    return m;
}

// What the processes share, in memory mapped before they fork: when the
// owner sent each update (round r >= 1 of TLOC i at sent[(r-1)*n + i]), when
// each client first held it or a later state (recv[c][...]), how many
// updates each client holds, and the owner's start signal.
struct shared_t {
    uint32_t n = 0;
    uint32_t rounds = 0;
    uint64_t *sent = nullptr;
    uint64_t *recv = nullptr;
    uint64_t *held = nullptr;
    uint32_t *go = nullptr;
    size_t bytes = 0;
    void *map = nullptr;

    bool init(uint32_t tlocs, uint32_t r, int clients)
    {
        n = tlocs;
        rounds = r;
        const size_t updates = static_cast<size_t>(n) * rounds;
        bytes = sizeof(uint64_t) * (updates * (1 + static_cast<size_t>(clients)) + static_cast<size_t>(clients) + 1);
        map = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) {
            map = nullptr;
            return false;
        }
        sent = static_cast<uint64_t *>(map);
        recv = sent + updates;
        held = recv + updates * static_cast<size_t>(clients);
        go = reinterpret_cast<uint32_t *>(held + clients);
        return true;
    }
    ~shared_t()
    {
        if (map != nullptr) {
            munmap(map, bytes);
        }
    }
    uint64_t *recv_of(int c) { return recv + static_cast<size_t>(c) * n * rounds; }
};

// ---------------------------------------------------------------- peers

struct peer_state {
    uint32_t n = 0;
    int report_fd = -1;
    shared_t *sh = nullptr;
    int index = 0;        // client number
    uint32_t rate = 0;    // owner: updates per second, 0 saturated
    msgq_handle_t *h = nullptr;
    event_base *base = nullptr;
    ost_event_ptr tick;
    // client
    std::vector<int32_t> last;  // the round held per TLOC, -1 none
    uint32_t holding = 0;
    uint64_t adds = 0;
    uint64_t updates = 0;
    // owner
    uint64_t next = 0;  // the next update to send
    uint64_t t_go = 0;
    bool taken = false;
};

void owner_tick(evutil_socket_t, short, void *arg);

void owner_arm(peer_state *s, long usec)
{
    struct timeval tv = {0, usec};
    event_add(s->tick.get(), &tv);
}

// The owner: first every TLOC once, then, once told to go, the rounds.
void owner_tick(evutil_socket_t, short, void *arg)
{
    auto *s = static_cast<peer_state *>(arg);
    if (!s->taken && msgq_get_queue_len(s->h) == 0) {
        s->taken = true;
        zb::report(s->report_fd, "taken " + std::to_string(zb::now_ns()));
    }
    const uint64_t total = static_cast<uint64_t>(s->n) * s->sh->rounds;
    if (s->next >= total || !__atomic_load_n(s->sh->go, __ATOMIC_ACQUIRE)) {
        if (s->next < total || !s->taken) {
            owner_arm(s, 1000);
        }
        return;
    }
    const uint64_t now = zb::now_ns();
    if (s->t_go == 0) {
        s->t_go = now;
        zb::report(s->report_fd, "go " + std::to_string(now));
    }
    uint64_t allowed = total;
    if (s->rate != 0) {
        allowed = std::min<uint64_t>(total, (now - s->t_go) * s->rate / 1000000000ull + 1);
    }
    while (s->next < allowed && (s->rate != 0 || msgq_get_queue_len(s->h) < k_owner_queue)) {
        const auto round = static_cast<uint32_t>(s->next / s->n);
        const auto i = static_cast<uint32_t>(s->next % s->n);
        s->sh->sent[s->next] = zb::now_ns();
        if (!zb::send_msg(s->h, make_tloc(i, round + 1))) {
            zb::report(s->report_fd, "error send " + std::to_string(s->next));
            return;
        }
        s->next++;
    }
    owner_arm(s, s->rate != 0 ? 1000 : 100);
}

void peer_down(msgq_handle_t *, void *arg, msgq_handle_t *, void *)
{
    zb::report(static_cast<peer_state *>(arg)->report_fd, "error connection lost");
}

void owner_up(msgq_handle_t *h, void *arg, msgq_handle_t *, void *)
{
    auto *s = static_cast<peer_state *>(arg);
    s->h = h;
    zb::report(s->report_fd, "first " + std::to_string(zb::now_ns()));
    for (uint32_t i = 0; i < s->n; i++) {
        if (!zb::send_msg(h, make_tloc(i, 0))) {
            zb::report(s->report_fd, "error send " + std::to_string(i));
            return;
        }
    }
    s->tick.reset(evtimer_new(s->base, owner_tick, s));
    owner_arm(s, 0);
}

void owner_recv(msgq_handle_t *h, void *app, uint16_t, void *)
{
    msgq_free_msg(h, app);
}

void client_up(msgq_handle_t *h, void *arg, msgq_handle_t *, void *)
{
    auto *s = static_cast<peer_state *>(arg);
    zor_msg_t m{};
    m.type = ZOR_MSG_REGISTER;
    m.sender = h->src;
    m.family = 0;
    m.body.reg.announce = 1;
    zb::send_msg(h, m);
    zb::report(s->report_fd, "ready");
}

// A TLOC state of round r satisfies every update of that TLOC up to r.
void client_recv(msgq_handle_t *h, void *app, uint16_t size, void *arg)
{
    auto *s = static_cast<peer_state *>(arg);
    zor_msg_t m;
    if (zor_msg_decode(&m, static_cast<const uint8_t *>(app), size) == 0 && m.type == ZOR_MSG_TLOC_ADD) {
        s->adds++;
        const zor_msg_tloc_t &t = m.body.tloc;
        const uint64_t idx =
            (static_cast<uint64_t>(t.key.addr.u.v4) - k_first_device) * 2 + (t.key.color == k_colors[1]);
        const auto round = static_cast<int32_t>(t.attr.gen_id);
        if (idx < s->n && round > s->last[idx] && static_cast<uint32_t>(round) <= s->sh->rounds) {
            const uint64_t now = zb::now_ns();
            if (s->last[idx] < 0 && ++s->holding == s->n) {
                zb::report(s->report_fd, "held " + std::to_string(now) + " " + std::to_string(s->adds));
            }
            uint64_t *recv = s->sh->recv_of(s->index);
            for (int32_t q = std::max(s->last[idx], 0) + 1; q <= round; q++) {
                recv[static_cast<size_t>(q - 1) * s->n + idx] = now;
                s->updates++;
            }
            s->last[idx] = round;
            __atomic_store_n(&s->sh->held[s->index], s->updates, __ATOMIC_RELEASE);
            if (s->sh->rounds > 0 && s->updates == static_cast<uint64_t>(s->n) * s->sh->rounds) {
                zb::report(s->report_fd, "done " + std::to_string(now));
            }
        }
    }
    msgq_free_msg(h, app);
}

zb::child spawn_client(shared_t &sh, int index)
{
    return zb::spawn([&sh, index](int fd) {
        peer_state s;
        s.n = sh.n;
        s.report_fd = fd;
        s.sh = &sh;
        s.index = index;
        s.last.assign(sh.n, -1);
        msgq_callbacks_t cbs{};
        cbs.conn_up = client_up;
        cbs.conn_down = peer_down;
        cbs.recv_msg = client_recv;
        zb::run_peer(OST_MODULE_CTLAGENT_0 + static_cast<uint32_t>(index), cbs, &s, fd);
    });
}

zb::child spawn_owner(shared_t &sh, uint32_t rate)
{
    return zb::spawn([&sh, rate](int fd) {
        peer_state s;
        s.n = sh.n;
        s.report_fd = fd;
        s.sh = &sh;
        s.rate = rate;
        msgq_callbacks_t cbs{};
        cbs.conn_up = owner_up;
        cbs.conn_down = peer_down;
        cbs.recv_msg = owner_recv;
        zb::run_peer(OST_MODULE_ADVD, cbs, &s, fd, &s.base);
    });
}

// ---------------------------------------------------------------- one run

struct run_cfg {
    std::string zord;
    uint32_t n = 20000;
    int clients = 8;
    int stalled = 0;       // of the clients, the last ones stop reading once they hold every TLOC
    uint32_t rounds = 0;   // 0: only the first announcement
    uint32_t rate = 0;     // churn: updates per second, 0 saturated
    bool keep_log = false;
};

struct run_result {
    bool ok = false;
    double owner_s = 0;      // owner's first add until zord read them all
    double held_s = 0;       // first add until every client held every TLOC
    double resent = 0;       // adds per client beyond one per TLOC, first announcement
    double cpu_s = 0;        // zord, first add until every client held every TLOC
    uint64_t hwm_kib = 0;    // zord's peak resident memory
    uint64_t base_kib = 0;   // zord's resident memory before the owner came
    double churn_s = 0;      // go until the healthy clients held the last round
    double lat_ms[3] = {};   // p50, p99, max
    uint64_t rss_go_kib = 0;
    uint64_t rss_max_kib = 0;  // during the churn
    uint64_t rss_end_kib = 0;
};

std::vector<zb::child *> pointers(std::vector<zb::child> &kids)
{
    std::vector<zb::child *> out;
    for (zb::child &k : kids) {
        out.push_back(&k);
    }
    return out;
}

bool all_have(const std::vector<zb::child> &kids, int count, const char *prefix)
{
    for (int i = 0; i < count; i++) {
        if (!zb::has_line(kids[static_cast<size_t>(i)], prefix)) {
            return false;
        }
    }
    return true;
}

// The latencies of every update until the last healthy client held it.
void latencies(shared_t &sh, int healthy, run_result &r)
{
    std::vector<uint64_t> lat;
    lat.reserve(static_cast<size_t>(sh.n) * sh.rounds);
    for (size_t u = 0; u < static_cast<size_t>(sh.n) * sh.rounds; u++) {
        uint64_t last = 0;
        for (int c = 0; c < healthy; c++) {
            last = std::max(last, sh.recv_of(c)[u]);
        }
        lat.push_back(last - sh.sent[u]);
    }
    std::sort(lat.begin(), lat.end());
    r.lat_ms[0] = static_cast<double>(lat[lat.size() / 2]) / 1e6;
    r.lat_ms[1] = static_cast<double>(lat[lat.size() * 99 / 100]) / 1e6;
    r.lat_ms[2] = static_cast<double>(lat.back()) / 1e6;
}

run_result run_once(const run_cfg &cfg)
{
    run_result res;
    shared_t sh;
    if (!sh.init(cfg.n, cfg.rounds, cfg.clients)) {
        perror("mmap");
        return res;
    }
    char tmpl[] = "/tmp/zor-bench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        perror("mkdtemp");
        return res;
    }
    const std::string run_dir = tmpl;
    setenv(OST_RUN_DIR_ENV, run_dir.c_str(), 1);
    const pid_t zpid = zb::start_zord(cfg.zord, run_dir, cfg.keep_log);
    const int healthy = cfg.clients - cfg.stalled;

    std::vector<zb::child> kids;
    for (int i = 0; i < cfg.clients; i++) {
        kids.push_back(spawn_client(sh, i));
    }
    bool ok = zb::wait_reports(pointers(kids), [&] { return all_have(kids, cfg.clients, "ready"); }, 30);
    res.base_kib = zb::vm_kib(zpid, "VmRSS:");
    const double cpu0 = zb::cpu_seconds(zpid);
    zb::child owner;
    std::vector<zb::child *> everyone = pointers(kids);
    if (ok) {
        owner = spawn_owner(sh, cfg.rate);
        everyone.push_back(&owner);
        ok = zb::wait_reports(everyone, [&] {
            return zb::has_line(owner, "taken") && all_have(kids, cfg.clients, "held");
        }, k_run_limit_s);
    }
    if (ok) {
        const uint64_t t0 = zb::line_numbers(owner, "first ").at(0);
        uint64_t last = 0;
        uint64_t adds = 0;
        for (const zb::child &k : kids) {
            const std::vector<uint64_t> d = zb::line_numbers(k, "held ");
            last = std::max(last, d.at(0));
            adds += d.at(1);
        }
        res.cpu_s = zb::cpu_seconds(zpid) - cpu0;
        res.owner_s = static_cast<double>(zb::line_numbers(owner, "taken ").at(0) - t0) / 1e9;
        res.held_s = static_cast<double>(last - t0) / 1e9;
        res.resent = static_cast<double>(adds) / cfg.clients - cfg.n;
        res.hwm_kib = zb::vm_kib(zpid, "VmHWM:");
    }
    if (ok && cfg.rounds > 0) {
        for (int i = healthy; i < cfg.clients; i++) {
            kill(kids[static_cast<size_t>(i)].pid, SIGSTOP);
        }
        res.rss_go_kib = zb::vm_kib(zpid, "VmRSS:");
        __atomic_store_n(sh.go, 1u, __ATOMIC_RELEASE);
        uint64_t next_sample = 0;
        ok = zb::wait_reports(everyone, [&] {
            if (zb::now_ns() >= next_sample) {
                res.rss_max_kib = std::max(res.rss_max_kib, zb::vm_kib(zpid, "VmRSS:"));
                next_sample = zb::now_ns() + 100000000ull;
            }
            return all_have(kids, healthy, "done");
        }, k_run_limit_s);
        if (ok) {
            const uint64_t go = zb::line_numbers(owner, "go ").at(0);
            uint64_t last = 0;
            for (int i = 0; i < healthy; i++) {
                last = std::max(last, zb::line_numbers(kids[static_cast<size_t>(i)], "done ").at(0));
            }
            res.churn_s = static_cast<double>(last - go) / 1e9;
            res.rss_end_kib = zb::vm_kib(zpid, "VmRSS:");
            latencies(sh, healthy, res);
        }
    }
    res.ok = ok;
    if (!ok) {
        fprintf(stderr, "bench: a run with %d clients did not complete (run directory %s; --log keeps zord's log)\n",
                cfg.clients, run_dir.c_str());
    }
    for (zb::child &k : kids) {
        zb::stop(k);
    }
    zb::stop(owner);
    if (!zb::stop_zord(zpid)) {
        fprintf(stderr, "bench: zord did not stop cleanly on SIGUSR2 (run directory %s)\n", run_dir.c_str());
        res.ok = false;
    }
    if (res.ok && !cfg.keep_log) {
        std::filesystem::remove_all(run_dir);
    }
    return res;
}

// ---------------------------------------------------------------- scenarios

double mib(uint64_t kib)
{
    return static_cast<double>(kib) / 1024.0;
}

int distribution(run_cfg cfg, const std::vector<uint32_t> &sizes, const std::vector<int> &counts, size_t wire)
{
    int failed = 0;
    printf("== distribution: the first announcement of N TLOCs to K clients\n");
    printf("%-6s %-4s %-9s %-9s %-14s %-7s %-12s %-10s %-12s\n", "N", "K", "owner", "all held", "deliveries/s",
           "resent", "CPU/deliv.", "VmHWM", "grew/TLOC");
    for (uint32_t n : sizes) {
        for (int k : counts) {
            cfg.n = n;
            cfg.clients = k;
            cfg.rounds = 0;
            const run_result r = run_once(cfg);
            if (!r.ok) {
                failed++;
                continue;
            }
            const double deliveries = static_cast<double>(n) * k;
            printf("%-6u %-4d %-9.3f %-9.3f %-14.0f %-7.1f %-12.3f %-10.1f %-.0f B\n", n, k, r.owner_s, r.held_s,
                   deliveries / r.held_s, r.resent, r.cpu_s * 1e6 / deliveries, mib(r.hwm_kib),
                   static_cast<double>(r.hwm_kib - std::min(r.hwm_kib, r.base_kib)) * 1024.0 / n);
            zb::print_pumps("       pumps:", static_cast<uint64_t>(deliveries), wire, k);
        }
    }
    printf("owner, all held: seconds from the owner's first add until zord had read them all, until every client\n"
           "held every TLOC. CPU/deliv.: zord's user + system CPU in that time per TLOC delivered, in us.\n"
           "VmHWM: zord's peak resident memory (MiB); grew/TLOC: that peak less its resident memory before the\n"
           "owner came, per TLOC. pumps: messages per second, same count and size.\n\n");
    return failed;
}

void print_churn(const char *label, const run_cfg &cfg, const run_result &r)
{
    const double updates = static_cast<double>(cfg.n) * cfg.rounds;
    printf("%-26s %-11.0f %-9.1f %-9.1f %-9.1f rss %.1f -> max %.1f, end %.1f MiB\n", label, updates / r.churn_s,
           r.lat_ms[0], r.lat_ms[1], r.lat_ms[2], mib(r.rss_go_kib), mib(r.rss_max_kib), mib(r.rss_end_kib));
}

int churn(run_cfg cfg, uint32_t rate, size_t wire)
{
    int failed = 0;
    printf("== churn: %u TLOCs re-announced %u rounds to %d clients\n", cfg.n, cfg.rounds, cfg.clients);
    printf("%-26s %-11s %-9s %-9s %-9s %s\n", "", "updates/s", "p50 ms", "p99 ms", "max ms", "zord memory");
    for (uint32_t r : {0u, rate}) {
        cfg.rate = r;
        const run_result res = run_once(cfg);
        if (!res.ok) {
            failed++;
            continue;
        }
        const std::string label = r == 0 ? "saturated" : "paced at " + std::to_string(r) + "/s";
        print_churn(label.c_str(), cfg, res);
    }
    zb::print_pumps("pumps:", static_cast<uint64_t>(cfg.n) * cfg.rounds * cfg.clients, wire, cfg.clients);
    printf("latency: from the owner's send of an update until the last client held it or a later state\n\n");
    return failed;
}

int stall(run_cfg cfg, size_t wire)
{
    int failed = 0;
    printf("== stall: saturated churn, %u TLOCs x %u rounds to 7 clients, without and with an 8th that stops "
           "reading\n", cfg.n, cfg.rounds);
    printf("%-26s %-11s %-9s %-9s %-9s %s\n", "", "updates/s", "p50 ms", "p99 ms", "max ms", "zord memory");
    for (int stalled : {0, 1}) {
        cfg.clients = 7 + stalled;
        cfg.stalled = stalled;
        cfg.rate = 0;
        const run_result res = run_once(cfg);
        if (!res.ok) {
            failed++;
            continue;
        }
        print_churn(stalled ? "7 healthy + 1 stalled" : "7 healthy", cfg, res);
    }
    zb::print_pumps("pumps:", static_cast<uint64_t>(cfg.n) * cfg.rounds * 7, wire, 7);
    printf("updates/s and latency: of the 7 healthy clients; memory: zord's resident memory when the churn\n"
           "started, its largest sample (every 0.1 s) and at the end\n\n");
    return failed;
}

}  // namespace

int main(int argc, char **argv)
{
    run_cfg cfg;
    cfg.zord = std::string(ZOR_BUILD_DIR) + "/zord/zord";
    std::vector<uint32_t> sizes = {20000, 32000};
    std::vector<int> counts = {1, 4, 8};
    std::string scenario = "all";
    uint32_t rounds = 10;
    uint32_t rate = 20000;
    static const option opts[] = {{"scenario", required_argument, nullptr, 's'},
                                  {"tlocs", required_argument, nullptr, 't'},
                                  {"clients", required_argument, nullptr, 'c'},
                                  {"rounds", required_argument, nullptr, 'r'},
                                  {"rate", required_argument, nullptr, 'p'},
                                  {"zord", required_argument, nullptr, 'z'},
                                  {"log", no_argument, nullptr, 'l'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        switch (c) {
        case 's':
            scenario = optarg;
            break;
        case 't': {
            const auto n = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
            if (n == 0 || n > 32000) {
                fprintf(stderr, "bench: --tlocs takes 1-32000 (the TLOC index space)\n");
                return 1;
            }
            sizes = {n};
            break;
        }
        case 'c': {
            counts.clear();
            std::stringstream in(optarg);
            std::string item;
            while (std::getline(in, item, ',')) {
                const int k = atoi(item.c_str());
                if (k < 1 || k > 16) {
                    fprintf(stderr, "bench: client counts are 1-16\n");
                    return 1;
                }
                counts.push_back(k);
            }
            break;
        }
        case 'r':
            rounds = static_cast<uint32_t>(std::max(1ul, strtoul(optarg, nullptr, 10)));
            break;
        case 'p':
            rate = static_cast<uint32_t>(std::max(1ul, strtoul(optarg, nullptr, 10)));
            break;
        case 'z':
            cfg.zord = optarg;
            break;
        case 'l':
            cfg.keep_log = true;
            break;
        default:
            printf("usage: zor_distribution_bench [--scenario distribution|churn|stall|all] [--tlocs N]\n"
                   "       [--clients 1,4,8] [--rounds R] [--rate U] [--zord PATH] [--log]\n"
                   "  --tlocs: one size instead of 20000 and 32000 (churn and stall: 20000 unless given)\n"
                   "  --rounds: churn rounds (10); --rate: paced churn, updates per second (20000)\n"
                   "  --log keeps each run directory with zord's log lines (zord.log)\n");
            return c == 'h' ? 0 : 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const size_t wire = zb::wire_size(make_tloc(sizes[0] / 2, 1));
    printf("zord distribution: remote TLOCs from one owner (advd), clients registered for TLOC-IPV4\n");
    printf("a TLOC add is %zu bytes on the wire; %ld CPUs online; zord %s\n\n", wire, sysconf(_SC_NPROCESSORS_ONLN),
           cfg.zord.c_str());
    int failed = 0;
    if (scenario == "distribution" || scenario == "all") {
        failed += distribution(cfg, sizes, counts, wire);
    }
    cfg.n = sizes.size() == 1 ? sizes[0] : 20000;
    cfg.rounds = rounds;
    if (scenario == "churn" || scenario == "all") {
        cfg.clients = 8;
        failed += churn(cfg, rate, wire);
    }
    if (scenario == "stall" || scenario == "all") {
        failed += stall(cfg, wire);
    }
    return failed == 0 ? 0 : 1;
}
