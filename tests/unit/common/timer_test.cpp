// Timer manager, driven by a hand-moved clock: no test sleeps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "timer.h"

namespace {

struct Fired {
    std::vector<std::string> names;
    std::vector<uint64_t> ticks;
};

struct Harness {
    zt::FakeClock clock;
    timer_mgr_t *mgr = nullptr;
    Fired fired;

    explicit Harness(uint32_t mask = 3, timer_res_t res = TIMER_RES_1SEC)
    {
        mgr = timer_mgr_create(res, nullptr, nullptr, nullptr, mask);
    }
    ~Harness()
    {
        // Tests delete their timers; anything left is deleted here so the
        // destroy assertion only reports real leaks of the manager itself.
        while (!dll_is_empty(&mgr->created)) {
            timer_util_delete(DLL_CONTAINER(dll_head(&mgr->created), timer_util_t, mgr_node));
        }
        timer_mgr_destroy(mgr);
    }
    static void record(timer_util_t *t, void *arg, void *, void *, void *)
    {
        auto *f = static_cast<Fired *>(arg);
        f->names.emplace_back(t->name);
        f->ticks.push_back(t->p_mgr->cur_ticks);
    }
    timer_util_t *make(const char *name, uint32_t ms, uint8_t type = TIMER_TYPE_CYCLIC, uint8_t pri = TIMER_PRI_NORMAL)
    {
        return timer_util_create(mgr, pri, type, ms, record, &fired, nullptr, nullptr, nullptr, name);
    }
    // One second of wall time, then one pass, as the daemon's tick does.
    int tick(int n = 1)
    {
        clock.advance_ms(1000L * n);
        return timer_mgr_exec(mgr, 3, 100);
    }
};

TEST(TimerConversion, RoundingAndTruncation)
{
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 400, 1), 0u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 500, 1), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 1499, 1), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 1500, 1), 2u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_1SEC, 1999, 0), 1u);
    EXPECT_EQ(timer_msecs_to_ticks(TIMER_RES_10MS, 14, 1), 1u);
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

    auto r = zt::run_in_child([] { timer_msecs_to_ticks(static_cast<timer_res_t>(6), 1, 0); });
    EXPECT_FALSE(r.exited);
    EXPECT_NE(r.out.find("common/timer:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(": failed assertion `res <= TIMER_RES_1MIN'"), std::string::npos) << r.out;
}

TEST(Timer, CreationFieldsPriorityFallbackAndNames)
{
    Harness h(1);  // normal wheel only
    timer_util_t *t = h.make("a-very-long-timer-name-that-goes-beyond-39-chars", 400, TIMER_TYPE_ONE_SHOT,
                             TIMER_PRI_HIGH);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t->name), std::string("a-very-long-timer-name-that-goes-beyond-39-chars").substr(0, 39));
    EXPECT_EQ(t->priority, TIMER_PRI_NORMAL) << "a high request without a high wheel falls back";
    EXPECT_EQ(t->interval, 0u) << "400 ms at 1 s resolution rounds to 0 ticks";
    EXPECT_EQ(t->state, TIMER_STATE_DISABLED);
    EXPECT_EQ(t->bucket, TIMER_BUCKET_NULL);
    EXPECT_EQ(timer_get_remaining_ticks(t), -1);
    EXPECT_EQ(h.mgr->ncreated, 1u);

    timer_enable(t);
    EXPECT_EQ(t->interval, 1u) << "an interval of 0 is armed as 1 tick";
    EXPECT_EQ(timer_get_remaining_ticks(t), 1);
    EXPECT_TRUE(timer_is_enabled(t));
    EXPECT_EQ(h.mgr->nactive, 1u);

    timer_mgr_t *hi_only = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 2);
    EXPECT_EQ(timer_util_create(hi_only, TIMER_PRI_NORMAL, 0, 1000, Harness::record, nullptr, nullptr, nullptr,
                                nullptr, "x"),
              nullptr)
        << "no wheel at or below the requested priority";
    timer_mgr_destroy(hi_only);

    std::string exact(40, 'n');
    timer_util_t *t40 = h.make(exact.c_str(), 1000);
    EXPECT_EQ(strlen(t40->name), 39u);
    EXPECT_EQ(timer_get_interval_msecs(t40), 1000);
    EXPECT_EQ(timer_get_interval_msecs(nullptr), -1);
    timer_util_delete(t40);
    timer_util_delete(t);
    EXPECT_EQ(h.mgr->ndeleted, 2u);
    EXPECT_EQ(h.mgr->nactive, 0u);
}

TEST(Timer, EnableAndDisableAreIdempotent)
{
    Harness h;
    timer_util_t *t = h.make("t", 3000);
    timer_enable(t);
    uint64_t expire = t->expire_ticks;
    h.clock.advance_ms(1000);
    timer_enable(t);  // already enabled: nothing changes, not even the expiry
    EXPECT_EQ(t->expire_ticks, expire);
    EXPECT_EQ(h.mgr->nactive, 1u);
    timer_disable(t);
    timer_disable(t);
    EXPECT_EQ(h.mgr->nactive, 0u);
    EXPECT_EQ(t->bucket, TIMER_BUCKET_NULL);
    EXPECT_FALSE(timer_is_enabled(t));
}

TEST(Timer, OneShotAndCyclicFireFromTheWheel)
{
    Harness h;
    timer_util_t *once = h.make("once", 500, TIMER_TYPE_ONE_SHOT);
    timer_util_t *cyc = h.make("cyc", 2000);
    timer_enable(once);
    timer_enable(cyc);

    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(h.tick(), 0);
    }
    EXPECT_EQ(h.fired.names, (std::vector<std::string>{"once", "cyc", "cyc", "cyc"}));
    EXPECT_EQ(h.fired.ticks, (std::vector<uint64_t>{1, 2, 4, 6}));
    EXPECT_EQ(once->state, TIMER_STATE_DISABLED);
    EXPECT_EQ(cyc->state, TIMER_STATE_ENABLED);
    EXPECT_EQ(h.mgr->nfired, 4u);
    EXPECT_EQ(h.mgr->nactive, 1u);

    // A late pass (three ticks at once) runs every missed bucket in order, and
    // the cyclic timer keeps its phase: ticks 8 and 10, not 9 + 2.
    h.fired = {};
    h.clock.advance_ms(4000);
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 100), 0);
    EXPECT_EQ(h.fired.ticks, (std::vector<uint64_t>{10, 10})) << "both fire during the pass at cur_ticks 10";
    EXPECT_EQ(cyc->expire_ticks, 12u);
}

TEST(Timer, HalfTicksAccumulateWithoutDrift)
{
    Harness h;
    timer_util_t *t = h.make("t", 1000);
    timer_enable(t);  // expires at tick 1
    h.clock.advance_ms(600);
    timer_mgr_exec(h.mgr, 3, 100);
    EXPECT_EQ(h.mgr->cur_ticks, 0u);
    h.clock.advance_ms(600);  // 1.2 s in all: one tick, 200 ms kept
    timer_mgr_exec(h.mgr, 3, 100);
    EXPECT_EQ(h.mgr->cur_ticks, 1u);
    h.clock.advance_ms(800);  // 2.0 s in all
    timer_mgr_exec(h.mgr, 3, 100);
    EXPECT_EQ(h.mgr->cur_ticks, 2u);
    EXPECT_EQ(h.fired.ticks, (std::vector<uint64_t>{1, 2}));
}

TEST(Timer, LongIntervalsAreWalkedUntilTheirTurn)
{
    Harness h;
    timer_util_t *longt = h.make("long", 3000 * 1000, TIMER_TYPE_ONE_SHOT);
    timer_util_t *peer = h.make("peer", (3000 - 2048) * 1000, TIMER_TYPE_ONE_SHOT);
    timer_enable(longt);  // tick 3000: bucket 3000 & 0x7ff = 952
    timer_enable(peer);   // tick 952: same bucket, first turn
    EXPECT_EQ(longt->bucket, peer->bucket);

    h.tick(952);
    EXPECT_EQ(h.fired.names, (std::vector<std::string>{"peer"}));
    EXPECT_EQ(longt->walked, 0) << "walked is cleared after the bucket pass";
    EXPECT_EQ(longt->bucket, 952u);

    h.tick(2047);
    EXPECT_EQ(h.fired.names.size(), 1u) << "not yet: one tick short of 3000";
    h.tick(1);
    EXPECT_EQ(h.fired.names, (std::vector<std::string>{"peer", "long"}));
    EXPECT_EQ(h.fired.ticks.back(), 3000u);
}

struct Budget {
    zt::FakeClock *clock;
    long cost_ms;
    std::vector<std::string> order;
};

void costly(timer_util_t *t, void *arg, void *, void *, void *)
{
    auto *b = static_cast<Budget *>(arg);
    b->order.emplace_back(t->name);
    b->clock->advance_ms(b->cost_ms);
}

TEST(Timer, BudgetExhaustionReturnsEagainAndResumes)
{
    Harness h;
    Budget b{&h.clock, 60, {}};
    // One timer in each of buckets 1-4, a second one in bucket 1; each
    // callback costs 60 ms. The budget is tested before each callback.
    for (int i = 1; i <= 4; i++) {
        std::string name = "t" + std::to_string(i);
        timer_enable(timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000u * i, costly, &b, nullptr,
                                       nullptr, nullptr, name.c_str()));
    }
    timer_enable(timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000, costly, &b, nullptr, nullptr,
                                   nullptr, "t1b"));

    h.clock.advance_ms(4000);
    // Budget 0 plus 50 ms grace: before t1b 60 ms have passed, so the pass is
    // over budget; bucket 1 is still finished, then the call stops.
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 0), TIMER_EAGAIN);
    EXPECT_EQ(b.order, (std::vector<std::string>{"t1", "t1b"}));
    EXPECT_EQ(h.mgr->wheels[0]->next_bucket_ticks, 2u);
    // The next call starts a new budget at bucket 2; t3 finds it spent.
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 0), TIMER_EAGAIN);
    EXPECT_EQ(b.order, (std::vector<std::string>{"t1", "t1b", "t2", "t3"}));
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 0), 0);
    EXPECT_EQ(b.order.back(), "t4");
    EXPECT_EQ(h.mgr->wheels[0]->next_bucket_ticks, 5u);
    // An over-budget last bucket still reports 0: nothing more is due.
    timer_enable(timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000, costly, &b, nullptr, nullptr,
                                   nullptr, "u1"));
    timer_enable(timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000, costly, &b, nullptr, nullptr,
                                   nullptr, "u2"));
    h.clock.advance_ms(1000);
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 0), 0);
    EXPECT_EQ(b.order.back(), "u2");
}

TEST(Timer, HighWheelOverBudgetLeavesNormalWheel)
{
    Harness h;
    Budget b{&h.clock, 200, {}};
    auto make = [&](const char *name, uint8_t pri, uint32_t ms) {
        timer_util_t *t =
            timer_util_create(h.mgr, pri, TIMER_TYPE_ONE_SHOT, ms, costly, &b, nullptr, nullptr, nullptr, name);
        timer_enable(t);
        return t;
    };
    make("hi1", TIMER_PRI_HIGH, 1000);
    make("hi1b", TIMER_PRI_HIGH, 1000);
    make("hi2", TIMER_PRI_HIGH, 2000);
    make("lo1", TIMER_PRI_NORMAL, 1000);
    h.clock.advance_ms(2000);
    // hi1b finds the budget spent: the high wheel stops after bucket 1 with
    // bucket 2 still due, and the normal wheel is not run at all.
    EXPECT_EQ(timer_mgr_exec(h.mgr, 3, 100), TIMER_EAGAIN);
    EXPECT_EQ(b.order, (std::vector<std::string>{"hi1", "hi1b"}));
    // A pass for the normal wheel alone runs it.
    EXPECT_EQ(timer_mgr_exec(h.mgr, 1, 100), 0);
    EXPECT_EQ(b.order.back(), "lo1");
    EXPECT_EQ(timer_mgr_exec(h.mgr, 2, 100), 0);
    EXPECT_EQ(b.order.back(), "hi2");
}

TEST(Timer, SlowCallbackIsReported)
{
    Harness h;
    zt::LogCapture logs;
    Budget b{&h.clock, 6000, {}};
    timer_util_t *a = timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000, costly, &b, nullptr,
                                        nullptr, nullptr, "slowpoke");
    timer_util_t *c = timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000, costly, &b, nullptr,
                                        nullptr, nullptr, "next");
    timer_enable(a);
    timer_enable(c);
    h.clock.advance_ms(1000);
    timer_mgr_exec(h.mgr, 3, 100);
    EXPECT_TRUE(logs.contains("slowpoke timer took 6000 msecs!")) << logs.dump();
}

struct SelfOps {
    timer_util_t *other = nullptr;
    int mode = 0;
    int calls = 0;
};

void self_op(timer_util_t *t, void *arg, void *, void *, void *)
{
    auto *s = static_cast<SelfOps *>(arg);
    s->calls++;
    if (s->mode == 0) {
        timer_util_delete(t);  // delete itself (after its cyclic re-arm)
    } else if (s->mode == 1) {
        if (s->other != nullptr) {
            timer_util_delete(s->other);
            s->other = nullptr;
        }
    } else {
        timer_disable(t);  // acts on the re-armed state: the cyclic timer stops
    }
}

TEST(Timer, CallbacksMayDeleteTheirOwnOrOtherTimers)
{
    Harness h;
    SelfOps own;
    timer_util_t *t = timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, 1000, self_op, &own, nullptr,
                                        nullptr, nullptr, "self");
    timer_enable(t);
    h.tick();
    EXPECT_EQ(own.calls, 1);
    EXPECT_EQ(h.mgr->nactive, 0u);
    EXPECT_EQ(h.mgr->ncreated, h.mgr->ndeleted);

    SelfOps killer{nullptr, 1, 0};
    timer_util_t *victim = h.make("victim", 1000, TIMER_TYPE_ONE_SHOT);
    timer_util_t *k = timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_ONE_SHOT, 1000, self_op, &killer,
                                        nullptr, nullptr, nullptr, "killer");
    killer.other = victim;
    timer_enable(k);       // same bucket, ahead of the victim
    timer_enable(victim);
    h.tick();
    EXPECT_EQ(killer.calls, 1);
    EXPECT_TRUE(h.fired.names.empty()) << "the victim was deleted before its turn";

    SelfOps stopper{nullptr, 2, 0};
    timer_util_t *s = timer_util_create(h.mgr, TIMER_PRI_NORMAL, TIMER_TYPE_CYCLIC, 1000, self_op, &stopper, nullptr,
                                        nullptr, nullptr, "stopper");
    timer_enable(s);
    h.tick(3);
    EXPECT_EQ(stopper.calls, 1);
    EXPECT_FALSE(timer_is_enabled(s));
    timer_util_delete(k);
    timer_util_delete(s);
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
    EXPECT_EQ(h.fired.ticks, (std::vector<uint64_t>{2}));
}

TEST(Timer, DestroyWithLiveTimersDumpsAndAsserts)
{
    auto r = zt::run_in_child([] {
        zt::LogCapture logs;
        timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
        timer_util_t *t = timer_util_create(mgr, TIMER_PRI_HIGH, TIMER_TYPE_CYCLIC, 10000, Harness::record, nullptr,
                                            nullptr, nullptr, nullptr, "leftover");
        timer_enable(t);
        timer_mgr_destroy(mgr);
    });
    EXPECT_FALSE(r.exited);
    EXPECT_NE(r.out.find("common/timer:"), std::string::npos);
    EXPECT_NE(r.out.find("failed assertion `p_mgr->ncreated == p_mgr->ndeleted'"), std::string::npos) << r.out;
}

TEST(Timer, EnablingATimerWithABucketAsserts)
{
    auto r = zt::run_in_child([] {
        timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 1);
        timer_util_t *t = timer_util_create(mgr, 0, 0, 1000, Harness::record, nullptr, nullptr, nullptr, nullptr, "x");
        timer_enable(t);
        t->state = TIMER_STATE_DISABLED;  // corrupt: disabled yet queued
        timer_enable(t);
    });
    EXPECT_NE(r.out.find("failed assertion `p_timer->bucket == TIMER_BUCKET_NULL'"), std::string::npos) << r.out;
}

TEST(Dll, InsertOfLinkedNodeAsserts)
{
    auto r = zt::run_in_child([] {
        dll_t a;
        dll_init(&a);
        dll_node_t n1{}, n2{};
        dll_append(&a, &n1);
        dll_append(&a, &n2);
        dll_append(&a, &n1);  // n1 is linked to n2
    });
    EXPECT_NE(r.out.find("common/dll:"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("failed assertion `p_newnode->p_next == NULL && p_newnode->p_prev == NULL'"),
              std::string::npos)
        << r.out;
}

}  // namespace
