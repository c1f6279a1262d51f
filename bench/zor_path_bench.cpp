// Path computation benchmarks on a daemon context in this process (a run
// directory of its own under /tmp; nothing else is started):
//
//   BM_PathCompute3Hop/N   one remote TLOC of region 2 from a non-border
//                          local TLOC of region 1, each region with N border
//                          TLOCs, every border of region 1 linked to every
//                          border of region 2: N first hops, N*N middle
//                          links looked up, N*N paths built and ordered.
//   BM_PathCompute2Hop/N   a remote border TLOC of region 2 from the same
//                          local TLOC: N first hops, N last hops, N paths.
//   BM_PathWalkTick/M      one full tick of the path walk over M changed
//                          remote TLOCs of region 2 (two borders per region,
//                          four paths each), without the 500 ms budget, so
//                          the time says whether a tick can finish in it.
//
//   build/bench/zor_path_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ip_util.h"
#include "zor_af_link.h"
#include "zor_af_tloc.h"
#include "zor_client.h"
#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_path.h"

namespace {

constexpr uint8_t k_biz = 4;
constexpr uint8_t k_ipsec = 2;

// A daemon record and context under a temporary run directory.
class BenchDaemon {
public:
    BenchDaemon()
    {
        char tmpl[] = "/tmp/zor-path-bench.XXXXXX";
        if (mkdtemp(tmpl) != nullptr) {
            dir_ = tmpl;
            setenv("ZOR_RUN_DIR", tmpl, 1);
        }
        if (zor_daemon_alloc(&daemon_) == 0) {
            ok_ = zor_daemon_init(daemon_) == 0;
        }
    }
    ~BenchDaemon()
    {
        if (daemon_ != nullptr) {
            zor_daemon_free(daemon_);
        }
        if (!dir_.empty()) {
            std::filesystem::remove_all(dir_);
        }
    }
    bool ok() const { return ok_; }
    t_zor_context *ctx() const { return g_zor_context; }

    t_zor_db_entry *tloc(uint32_t addr, uint8_t origin, std::vector<uint32_t> groups, bool border)
    {
        zor_msg_t msg{};
        msg.type = ZOR_MSG_TLOC_ADD;
        msg.family = ZOR_AF_TLOC_IPV4;
        zor_msg_tloc_t &t = msg.body.tloc;
        t.key.addr = ip_addr_v4(addr);
        t.key.color = k_biz;
        t.key.encap = k_ipsec;
        t.origin = origin;
        t.attr.flags = ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_CARRIER) | ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_GROUP);
        t.attr.carrier = 1;
        t.attr.group_count = static_cast<uint16_t>(groups.size());
        for (size_t i = 0; i < groups.size(); i++) {
            t.attr.groups[i] = groups[i];
        }
        if (border) {
            t.attr.flags |= ZOR_TLOC_ATTR_BIT(ZOR_TLOC_ATTR_BORDER);
            t.attr.border = 1;
        }
        const uint32_t from = origin == 1 ? OST_MODULE_CTLAGENT : OST_MODULE_ADVD;
        return zor_af_add(ZOR_AF_TLOC_IPV4, ctx(), ctx()->clients[from], &msg);
    }
    // A link announced by a peer, up, with an MTU from a small set.
    void link(uint32_t local, uint32_t remote)
    {
        zor_msg_t msg{};
        msg.type = ZOR_MSG_LINK_ADD;
        msg.family = ZOR_AF_LINK;
        zor_msg_link_t &l = msg.body.link;
        l.local.addr = ip_addr_v4(local);
        l.local.color = k_biz;
        l.local.encap = k_ipsec;
        l.remote.addr = ip_addr_v4(remote);
        l.remote.color = k_biz;
        l.remote.encap = k_ipsec;
        l.origin = ZOR_MSG_ORIGIN_REMOTE;
        l.status = 1;
        l.mtu = 1400 + 50 * ((local + remote) % 3);
        l.label = ++labels_;
        (void)zor_af_add(ZOR_AF_LINK, ctx(), ctx()->clients[OST_MODULE_PROBED], &msg);
    }

private:
    std::string dir_;
    t_zor_daemon *daemon_ = nullptr;
    bool ok_ = false;
    uint32_t labels_ = 0;
};

constexpr uint32_t k_local = 0x0A000001;     // 10.0.0.1, region 1
constexpr uint32_t k_border1 = 0x0A010000;   // 10.1.0.x, borders of region 1
constexpr uint32_t k_border2 = 0x0A020000;   // 10.2.0.x, borders of region 2
constexpr uint32_t k_remote2 = 0x0A030000;   // 10.3.x.x, TLOCs of region 2

// Region 1 and region 2 with n border TLOCs each, l linked to every border
// of region 1 and every border of region 1 to every border of region 2.
void build_regions(BenchDaemon &d, uint32_t n)
{
    d.tloc(k_local, 1, {1}, false);
    for (uint32_t i = 1; i <= n; i++) {
        d.tloc(k_border1 + i, 2, {0, 1}, true);
        d.tloc(k_border2 + i, 2, {0, 2}, true);
        d.link(k_local, k_border1 + i);
    }
    for (uint32_t i = 1; i <= n; i++) {
        for (uint32_t j = 1; j <= n; j++) {
            d.link(k_border1 + i, k_border2 + j);
        }
    }
}

uint64_t path_count(const t_zor_af_tloc *tloc)
{
    uint64_t n = 0;
    for (const t_zor_path *p = tloc->path_list; p != nullptr; p = p->next_p) {
        n++;
    }
    return n;
}

void BM_PathCompute3Hop(benchmark::State &state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    BenchDaemon d;
    if (!d.ok()) {
        state.SkipWithError("daemon init failed");
        return;
    }
    build_regions(d, n);
    const uint32_t r_addr = k_remote2 + 1;
    t_zor_db_entry *r = d.tloc(r_addr, 2, {2}, false);
    for (uint32_t j = 1; j <= n; j++) {
        d.link(k_border2 + j, r_addr);
    }
    t_zor_af_tloc *rec = zor_af_tloc_of(r);
    for (auto _ : state) {
        zor_path_compute(d.ctx(), rec, false);
    }
    state.counters["paths"] = static_cast<double>(path_count(rec));
    state.counters["middle_lookups"] = static_cast<double>(n) * n;
}
BENCHMARK(BM_PathCompute3Hop)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

void BM_PathCompute2Hop(benchmark::State &state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    BenchDaemon d;
    if (!d.ok()) {
        state.SkipWithError("daemon init failed");
        return;
    }
    build_regions(d, n);
    // A border of region 2 itself, reached through the borders of region 1.
    t_zor_af_tloc *rec = zor_af_tloc_of(d.tloc(k_border2 + 1, 2, {0, 2}, true));
    for (auto _ : state) {
        zor_path_compute(d.ctx(), rec, false);
    }
    state.counters["paths"] = static_cast<double>(path_count(rec));
}
BENCHMARK(BM_PathCompute2Hop)->Arg(4)->Arg(16)->Arg(64)->Unit(benchmark::kMicrosecond);

void BM_PathWalkTick(benchmark::State &state)
{
    const auto m = static_cast<uint32_t>(state.range(0));
    BenchDaemon d;
    if (!d.ok()) {
        state.SkipWithError("daemon init failed");
        return;
    }
    build_regions(d, 2);
    std::vector<t_zor_db_entry *> remotes;
    for (uint32_t i = 1; i <= m; i++) {
        remotes.push_back(d.tloc(k_remote2 + i, 2, {2}, false));
        d.link(k_border2 + 1, k_remote2 + i);
        d.link(k_border2 + 2, k_remote2 + i);
    }
    const uint32_t budget = g_zor_path_walk_budget_ms;
    g_zor_path_walk_budget_ms = UINT32_MAX;
    // The first tick creates the devices' data-device entries; every tick
    // measured after it finds them.
    zor_path_walk(nullptr, d.ctx(), nullptr, nullptr, nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        for (t_zor_db_entry *e : remotes) {
            zor_db_entry_schedule(d.ctx(), e);
        }
        state.ResumeTiming();
        zor_path_walk(nullptr, d.ctx(), nullptr, nullptr, nullptr);
    }
    g_zor_path_walk_budget_ms = budget;
    state.counters["tlocs"] = m;
    state.counters["paths_per_tloc"] = static_cast<double>(path_count(zor_af_tloc_of(remotes.front())));
    state.counters["tlocs_per_s"] =
        benchmark::Counter(static_cast<double>(m) * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PathWalkTick)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
