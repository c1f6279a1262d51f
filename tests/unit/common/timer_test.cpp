// Timer manager, driven by a hand-moved clock: no test sleeps.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "test_support.h"
#include "timer.h"

namespace {

using Strings = std::vector<std::string>;
using Ticks = std::vector<uint64_t>;

// A manager on a fake clock. Every timer made through it records its name
// and the tick it fired at and, when cost_ms is set, moves the clock on by
// that much (for budget tests); its action, when set, runs after that.
struct Harness {
    zt::FakeClock clock;
    timer_mgr_t *mgr = nullptr;
    Strings names;
    Ticks ticks;
    long cost_ms = 0;

    explicit Harness(uint32_t mask = 3) { mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, mask); }
    ~Harness()
    {
        while (!dll_is_empty(&mgr->created)) {
            timer_util_delete(DLL_CONTAINER(dll_head(&mgr->created), timer_util_t, mgr_node));
        }
        timer_mgr_destroy(mgr);
    }
    static void fired(timer_util_t *t, void *arg, void *action, void *, void *)
    {
        auto *h = static_cast<Harness *>(arg);
        h->names.emplace_back(t->name);
        h->ticks.push_back(t->p_mgr->cur_ticks);
        h->clock.advance_ms(h->cost_ms);
        if (action != nullptr) {
            (*static_cast<std::function<void(timer_util_t *)> *>(action))(t);
        }
    }
    timer_util_t *make(const char *name, uint32_t ms, uint8_t type = TIMER_TYPE_CYCLIC,
                       uint8_t pri = TIMER_PRI_NORMAL, std::function<void(timer_util_t *)> *action = nullptr)
    {
        return timer_util_create(mgr, pri, type, ms, fired, this, action, nullptr, nullptr, name);
    }
    timer_util_t *arm(const char *name, uint32_t ms, uint8_t type = TIMER_TYPE_ONE_SHOT,
                      uint8_t pri = TIMER_PRI_NORMAL, std::function<void(timer_util_t *)> *action = nullptr)
    {
        timer_util_t *t = make(name, ms, type, pri, action);
        timer_enable(t);
        return t;
    }
    // n seconds of wall time, then one pass, as the daemon's tick does.
    int tick(int n = 1, uint32_t mask = 3, uint32_t budget = 100)
    {
        clock.advance_ms(1000L * n);
        return timer_mgr_exec(mgr, mask, budget);
    }
};

TEST(Timer, ConversionsRoundIntervalsAndTruncateElapsedTime)
{
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 400, 1), 0u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 500, 1), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 1499, 1), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 1500, 1), 2u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 1999, 0), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_10MS, 15, 1), 2u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1MIN, 29999, 1), 0u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1MIN, 30000, 1), 1u);
    EXPECT_EQ(timer_ticks_to_msecs(TIMER_RES_500MS, 3), 1500u);
    EXPECT_EQ(timer_ticks_to_msecs(TIMER_RES_50MS, 7), 350u);

    timeval tv{};
    timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_100MS, nullptr, nullptr, nullptr, 1);
    EXPECT_EQ(timer_mgr_get_resolution(mgr, &tv), TIMER_RES_100MS);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 100000);
    timer_mgr_destroy(mgr);
    EXPECT_TRUE(zt::stops_on_assertion([] { timer_msecs_to_ticks(static_cast<timer_res_t>(6), 1, 0); },
                                       "common/timer", "res <= TIMER_RES_1MIN"));
}

TEST(Timer, CreationEnableAndDisable)
{
    Harness h(1);  // normal wheel only
    const std::string long_name = "a-very-long-timer-name-that-goes-beyond-39-chars";
    timer_util_t *t = h.make(long_name.c_str(), 400, TIMER_TYPE_ONE_SHOT, TIMER_PRI_HIGH);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t->name), long_name.substr(0, 39));
    EXPECT_EQ(t->priority, TIMER_PRI_NORMAL) << "a high request without a high wheel falls back";
    EXPECT_EQ(t->interval, 0u) << "400 ms at 1 s resolution rounds to 0 ticks";
    EXPECT_EQ(t->state, TIMER_STATE_DISABLED);
    EXPECT_EQ(timer_get_remaining_ticks(t), -1);
    EXPECT_EQ(timer_get_interval_msecs(nullptr), -1);

    timer_enable(t);
    EXPECT_EQ(t->interval, 1u) << "an interval of 0 is armed as 1 tick";
    EXPECT_EQ(timer_get_remaining_ticks(t), 1);
    // Enabling an enabled timer changes nothing, not even the expiry.
    h.clock.advance_ms(1000);
    timer_enable(t);
    EXPECT_EQ(t->expire_ticks, 1u);
    EXPECT_EQ(h.mgr->nactive, 1u);
    timer_disable(t);
    timer_disable(t);
    EXPECT_EQ(h.mgr->nactive, 0u);
    EXPECT_FALSE(timer_is_enabled(t));
    timer_util_delete(t);
    EXPECT_EQ(h.mgr->ncreated, 1u);
    EXPECT_EQ(h.mgr->ndeleted, 1u);

    timer_mgr_t *hi_only = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 2);
    EXPECT_EQ(timer_util_create(hi_only, TIMER_PRI_NORMAL, 0, 1000, Harness::fired, nullptr, nullptr, nullptr,
                                nullptr, "x"),
              nullptr)
        << "no wheel at or below the requested priority";
    timer_mgr_destroy(hi_only);
}

TEST(Timer, TimersFireFromTheWheel)
{
    Harness h;
    timer_util_t *once = h.arm("once", 500);
    timer_util_t *cyc = h.arm("cyc", 2000, TIMER_TYPE_CYCLIC);
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(h.tick(), 0);
    }
    EXPECT_EQ(h.names, (Strings{"once", "cyc", "cyc", "cyc"}));
    EXPECT_EQ(h.ticks, (Ticks{1, 2, 4, 6}));
    EXPECT_EQ(once->state, TIMER_STATE_DISABLED);
    EXPECT_EQ(h.mgr->nfired, 4u);
    EXPECT_EQ(h.mgr->nactive, 1u);

    // A late pass runs every missed bucket, and the cyclic timer keeps its
    // phase: it fires for ticks 8 and 10 and is due at 12, not 9 + 2.
    h.ticks.clear();
    EXPECT_EQ(h.tick(4), 0);
    EXPECT_EQ(h.ticks, (Ticks{10, 10}));
    EXPECT_EQ(cyc->expire_ticks, 12u);

    // Half ticks accumulate without drift: 0.6 s, 1.2 s, 2.0 s.
    Harness d;
    d.arm("t", 1000, TIMER_TYPE_CYCLIC);
    for (long ms : {600, 600, 800}) {
        d.clock.advance_ms(ms);
        timer_mgr_exec(d.mgr, 3, 100);
    }
    EXPECT_EQ(d.mgr->cur_ticks, 2u);
    EXPECT_EQ(d.ticks, (Ticks{1, 2}));
}

TEST(Timer, LongIntervalsAreWalkedUntilTheirTurn)
{
    Harness h;
    timer_util_t *longt = h.arm("long", 3000 * 1000);     // tick 3000: bucket 3000 & 0x7ff = 952
    timer_util_t *peer = h.arm("peer", (3000 - 2048) * 1000);  // tick 952: same bucket, first turn
    EXPECT_EQ(longt->bucket, peer->bucket);
    h.tick(952);
    EXPECT_EQ(h.names, (Strings{"peer"}));
    EXPECT_EQ(longt->walked, 0) << "walked is cleared after the bucket pass";
    h.tick(2047);
    EXPECT_EQ(h.names.size(), 1u) << "one tick short of 3000";
    h.tick(1);
    EXPECT_EQ(h.names, (Strings{"peer", "long"}));
    EXPECT_EQ(h.ticks.back(), 3000u);
}

TEST(Timer, BudgetExhaustionReturnsEagainAndResumes)
{
    Harness h;
    h.cost_ms = 60;  // the budget is tested before each callback, with 50 ms grace
    for (int i = 1; i <= 4; i++) {
        h.arm(("t" + std::to_string(i)).c_str(), 1000u * i);
    }
    h.arm("t1b", 1000);
    // Budget 0: before t1b 60 ms have passed, so the pass is over budget;
    // bucket 1 is still finished, then the call stops.
    EXPECT_EQ(h.tick(4, 3, 0), TIMER_EAGAIN);
    EXPECT_EQ(h.names, (Strings{"t1", "t1b"}));
    EXPECT_EQ(h.mgr->wheels[0]->next_bucket_ticks, 2u);
    // The next call starts a new budget at bucket 2; t3 finds it spent.
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 0), TIMER_EAGAIN);
    EXPECT_EQ(h.names, (Strings{"t1", "t1b", "t2", "t3"}));
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 0), 0);
    EXPECT_EQ(h.names.back(), "t4");
    // An over-budget last bucket still reports 0: nothing more is due.
    h.arm("u1", 1000);
    h.arm("u2", 1000);
    EXPECT_EQ(h.tick(1, 3, 0), 0);
    EXPECT_EQ(h.names.back(), "u2");

    // A high wheel that runs over budget returns at once, before the normal wheel.
    Harness p;
    p.cost_ms = 200;
    p.arm("hi1", 1000, TIMER_TYPE_ONE_SHOT, TIMER_PRI_HIGH);
    p.arm("hi1b", 1000, TIMER_TYPE_ONE_SHOT, TIMER_PRI_HIGH);
    p.arm("hi2", 2000, TIMER_TYPE_ONE_SHOT, TIMER_PRI_HIGH);
    p.arm("lo1", 1000);
    EXPECT_EQ(p.tick(2), TIMER_EAGAIN);
    EXPECT_EQ(p.names, (Strings{"hi1", "hi1b"}));
    EXPECT_EQ(timer_mgr_exec(p.mgr, 1, 100), 0);
    EXPECT_EQ(p.names.back(), "lo1");
    EXPECT_EQ(timer_mgr_exec(p.mgr, 2, 100), 0);
    EXPECT_EQ(p.names.back(), "hi2");

    // A callback that takes over 5 s is named.
    Harness s;
    zt::LogCapture logs;
    s.cost_ms = 6000;
    s.arm("slowpoke", 1000);
    s.arm("next", 1000);
    s.tick();
    EXPECT_TRUE(logs.contains("slowpoke timer took 6000 msecs!")) << logs.dump();
}

TEST(Timer, CallbacksMayDeleteAndDisableTimers)
{
    Harness h;
    // Deleting itself (after its cyclic re-arm).
    std::function<void(timer_util_t *)> delete_self = [](timer_util_t *t) { timer_util_delete(t); };
    h.arm("self", 1000, TIMER_TYPE_CYCLIC, TIMER_PRI_NORMAL, &delete_self);
    h.tick();
    EXPECT_EQ(h.mgr->nactive, 0u);
    EXPECT_EQ(h.mgr->ncreated, h.mgr->ndeleted);

    // Deleting another timer of the same bucket before its turn.
    timer_util_t *victim = nullptr;
    std::function<void(timer_util_t *)> kill = [&](timer_util_t *) { timer_util_delete(victim); };
    h.arm("killer", 1000, TIMER_TYPE_ONE_SHOT, TIMER_PRI_NORMAL, &kill);
    victim = h.arm("victim", 1000);
    h.tick();
    EXPECT_EQ(h.names, (Strings{"self", "killer"}));

    // Disabling itself acts on the re-armed state: the cyclic timer stops.
    std::function<void(timer_util_t *)> stop = [](timer_util_t *t) { timer_disable(t); };
    timer_util_t *s = h.arm("stopper", 1000, TIMER_TYPE_CYCLIC, TIMER_PRI_NORMAL, &stop);
    h.tick(3);
    EXPECT_EQ(h.names.back(), "stopper");
    EXPECT_EQ(h.names.size(), 3u);
    EXPECT_FALSE(timer_is_enabled(s));
}

TEST(Timer, IntervalChanges)
{
    Harness h;
    timer_util_t *t = h.make("t", 5000, TIMER_TYPE_ONE_SHOT);
    timer_set_interval(t, 2000);  // disabled: stays disabled
    EXPECT_FALSE(timer_is_enabled(t));
    EXPECT_EQ(t->interval, 2u);
    timer_enable(t);
    h.tick();
    timer_set_interval(t, 4499);  // re-armed from now: 4 ticks
    EXPECT_EQ(timer_get_remaining_ticks(t), 4);
    timer_restart_with_interval(t, 1000);
    EXPECT_EQ(timer_get_remaining_ticks(t), 1);
    h.tick();
    EXPECT_EQ(h.ticks, (Ticks{2}));
}

TEST(Timer, ProgrammingErrorsAreAssertions)
{
    EXPECT_TRUE(zt::stops_on_assertion(
        [] {
            timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
            timer_enable(timer_util_create(mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, 10000, Harness::fired, nullptr,
                                           nullptr, nullptr, nullptr, "leftover"));
            timer_mgr_destroy(mgr);
        },
        "common/timer", "p_mgr->ncreated == p_mgr->ndeleted"));
    EXPECT_TRUE(zt::stops_on_assertion(
        [] {
            timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 1);
            timer_util_t *t =
                timer_util_create(mgr, 0, 0, 1000, Harness::fired, nullptr, nullptr, nullptr, nullptr, "x");
            timer_enable(t);
            t->state = TIMER_STATE_DISABLED;  // corrupt: disabled yet queued
            timer_enable(t);
        },
        "common/timer", "p_timer->bucket == TIMER_BUCKET_NULL"));
    EXPECT_TRUE(zt::stops_on_assertion(
        [] {
            dll_t a;
            dll_init(&a);
            dll_node_t n1{}, n2{};
            dll_append(&a, &n1);
            dll_append(&a, &n2);
            dll_append(&a, &n1);  // n1 is linked to n2
        },
        "common/dll", "p_newnode->p_next == NULL && p_newnode->p_prev == NULL"));
}

}  // namespace
