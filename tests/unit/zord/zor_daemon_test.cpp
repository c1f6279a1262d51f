// The daemon record and its start-up pieces, in-process: command-line
// parsing, the bitmaps, the timer tick and the yield.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "zor_daemon.h"
#include "zor_fake_peer.h"

namespace {

int parse(t_zor_daemon *d, std::vector<std::string> args)
{
    args.insert(args.begin(), "zord");
    std::vector<char *> argv;
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    return zor_get_input_params(d, static_cast<int>(argv.size()), argv.data());
}

TEST(ZorDaemon, CommandLine)
{
    t_zor_daemon *d = nullptr;
    ASSERT_EQ(zor_daemon_alloc(&d), 0);
    ASSERT_EQ(parse(d, {}), 0);
    EXPECT_EQ(d->daemonize, 1);
    EXPECT_EQ(d->instance, 2u);
    ASSERT_EQ(parse(d, {"-I", "5"}), 0);
    EXPECT_EQ(d->instance, 160u);
    ASSERT_EQ(parse(d, {"-I", "300", "-f"}), 0);
    EXPECT_EQ(d->tenant_id, 44) << "the low byte of 300";
    EXPECT_EQ(d->instance, 121u);
    EXPECT_EQ(d->daemonize, 0);
    ASSERT_EQ(parse(d, {"-f", "-T", "a#b", "-V", "7"}), 0);
    EXPECT_STREQ(d->tenant_name, "a b");
    EXPECT_EQ(d->vpn_id, 7u);
    ASSERT_EQ(parse(d, {"-T", std::string(200, 'x')}), 0);
    EXPECT_EQ(strlen(d->tenant_name), 127u);
    zor_mem_delete(d);
}

TEST(ZorDaemon, InitBuildsBitmapsContextAndTicks)
{
    zt::ScopedRunDir run;
    zor_mem_init();
    t_zor_daemon *d = nullptr;
    ASSERT_EQ(zor_daemon_alloc(&d), 0);
    ASSERT_EQ(parse(d, {"-f"}), 0);
    ASSERT_EQ(zor_daemon_init(d), 0);
    ASSERT_EQ(g_zor_daemon, d);
    ASSERT_NE(g_zor_context, nullptr);
    EXPECT_EQ(g_zor_context->daemon, d);
    EXPECT_EQ(g_zor_context->last_link_label, 32769u);
    for (uint32_t type : {ZOR_MEM_DAEMON, ZOR_MEM_CONTEXT}) {
        EXPECT_EQ(zor_mem_row(type)->n_alloc - zor_mem_row(type)->n_free, 1u);
    }
    // Reserved TLOC indexes: bits 0, 32766 and 32767, nothing else; no label.
    std::vector<uint32_t> set;
    for (uint32_t b = 0; b < 32768; b++) {
        if (zor_bitmap_test(d->tloc_index_bitmap, b)) {
            set.push_back(b);
        }
        EXPECT_FALSE(zor_bitmap_test(d->link_label_bitmap, b));
    }
    EXPECT_EQ(set, (std::vector<uint32_t>{0, 32766, 32767}));

    // The watchdog runs on the daemon's manager, on the pid file.
    EXPECT_EQ(std::string(d->watchdog.pidfile), run.file("zord.0.pid"));
    EXPECT_TRUE(timer_is_enabled(d->watchdog.pidfile_refresh_timer));
    EXPECT_FALSE(std::filesystem::exists(run.file("zord.0.pid"))) << "written only once signals are set up";

    // One real tick drives the manager a second on, and the tick re-arms.
    // (libevent may wake a hair before the full second: then the next tick
    // event carries the manager past it.)
    for (int i = 0; i < 3 && d->timer_mgr->cur_ticks == 0; i++) {
        event_base_loop(d->event_base.get(), EVLOOP_ONCE);
    }
    EXPECT_GE(d->timer_mgr->cur_ticks, 1u);
    EXPECT_EQ(d->timer_mgr->wheels[0]->next_bucket_ticks, d->timer_mgr->cur_ticks + 1);

    zor_daemon_free(d);
    EXPECT_EQ(g_zor_daemon, nullptr);
    EXPECT_EQ(g_zor_context, nullptr);
    EXPECT_EQ(zt::mem_unbalanced(), "");
}

void count_run(timer_util_t *, void *arg, void *, void *, void *)
{
    ++*static_cast<int *>(arg);
}

TEST(ZorDaemon, YieldRunsHighTimersAtMostEveryTwoSeconds)
{
    zt::ScopedRunDir run;
    zt::FakeClock clock;  // the manager's clock; the yield's own clock is real time
    t_zor_daemon *d = nullptr;
    ASSERT_EQ(zor_daemon_alloc(&d), 0);
    ASSERT_EQ(zor_daemon_init(d), 0);
    int hi = 0;
    int lo = 0;
    timer_util_t *th = timer_util_create(d->timer_mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, 1000, count_run, &hi,
                                         nullptr, nullptr, nullptr, "hi");
    timer_util_t *tl = timer_util_create(d->timer_mgr, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, 1000, count_run, &lo,
                                         nullptr, nullptr, nullptr, "lo");
    timer_enable(th);
    timer_enable(tl);
    clock.advance_ms(1000);

    // last_yield starts at 0: the first yield runs the high wheel only.
    zor_daemon_yield(g_zor_context);
    EXPECT_EQ(hi, 1);
    EXPECT_EQ(lo, 0);
    EXPECT_GT(d->longest_gap.tv_sec, 1000) << "the gap from the epoch is recorded";
    clock.advance_ms(1000);
    zor_daemon_yield(g_zor_context);
    EXPECT_EQ(hi, 1) << "less than two whole seconds since the last run";
    d->last_yield.tv_sec -= 3;
    zor_daemon_yield(g_zor_context);
    EXPECT_EQ(hi, 2);
    EXPECT_EQ(lo, 0);

    timer_util_delete(th);
    timer_util_delete(tl);
    zor_daemon_free(d);
}

}  // namespace
