#include "timer.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <cstring>
#include <new>

#include "ost_assert.h"
#include "ost_log.h"

#define TIMER_LOG_PRI (LOG_LOCAL7 | LOG_DEBUG)
#define TIMER_LOG(fmt, ...) OST_LOGF(TIMER_LOG_PRI, fmt __VA_OPT__(, ) __VA_ARGS__)
#define TIMER_DEBUG(fmt, ...)                                \
    do {                                                     \
        if (g_timer_debug) {                                 \
            TIMER_LOG(fmt __VA_OPT__(, ) __VA_ARGS__);       \
        }                                                    \
    } while (0)

namespace {

int g_timer_debug = 0;
timer_clock_fn g_clock = nullptr;

constexpr uint32_t k_res_msecs[] = {10, 50, 100, 500, 1000, 60000};
constexpr const char *k_res_names[] = {"10ms", "50ms", "100ms", "500ms", "1sec", "1min"};

// Grace added to a pass's budget, and the callback duration worth a warning.
constexpr int64_t k_budget_grace_ms = 50;
constexpr int64_t k_slow_callback_ms = 5000;

int64_t elapsed_msecs(const struct timespec &from, const struct timespec &to)
{
    return (static_cast<int64_t>(to.tv_nsec) - from.tv_nsec) / 1000000 +
           (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1000;
}

timer_util_t *timer_of_bucket_node(dll_node_t *node)
{
    return DLL_CONTAINER(node, timer_util_t, bucket_node);
}

timer_util_t *timer_of_mgr_node(dll_node_t *node)
{
    return DLL_CONTAINER(node, timer_util_t, mgr_node);
}

timer_wheel_t *timer_wheel(const timer_util_t *p_timer)
{
    return p_timer->p_mgr->wheels[p_timer->priority];
}

// Moves cur_ticks forward by the whole ticks elapsed since the reference
// time; the reference advances by exactly those ticks so nothing drifts.
void timer_mgr_update_ticks(timer_mgr_t *p_mgr)
{
    struct timespec now;
    timer_clock_now(&now);
    uint32_t elapsed = static_cast<uint32_t>(elapsed_msecs(p_mgr->ref_time, now));
    uint32_t n = timer_msecs_to_ticks(p_mgr->resolution, elapsed, 0);
    if (n == 0) {
        return;
    }
    p_mgr->cur_ticks += n;
    uint64_t add_ns = static_cast<uint64_t>(n) * timer_res_msecs(p_mgr->resolution) * 1000000ULL;
    uint64_t nsec = static_cast<uint64_t>(p_mgr->ref_time.tv_nsec) + add_ns;
    p_mgr->ref_time.tv_sec += static_cast<time_t>(nsec / 1000000000ULL);
    p_mgr->ref_time.tv_nsec = static_cast<long>(nsec % 1000000000ULL);
}

[[noreturn]] void timer_check_if_stale(const timer_util_t *p_timer, const timer_wheel_t *p_wheel)
{
    TIMER_LOG("timer %s (%p) stale by %d ticks", p_timer->name, static_cast<const void *>(p_timer),
              static_cast<int>(p_wheel->next_bucket_ticks - p_timer->expire_ticks));
    OST_ASSERT(p_timer->expire_ticks >= p_wheel->next_bucket_ticks);
    abort();  // not reached: the assertion above is false here
}

void timer_bucket_append(timer_wheel_t *p_wheel, timer_util_t *p_timer)
{
    p_timer->bucket = static_cast<uint16_t>(p_timer->expire_ticks & TIMER_BUCKET_MASK);
    dll_append(&p_wheel->buckets[p_timer->bucket], &p_timer->bucket_node);
}

// Runs the due buckets of one wheel. Returns TIMER_EAGAIN when the budget ran
// out and further buckets are due; the current bucket is always finished.
int timer_exec_pri(timer_mgr_t *p_mgr, timer_wheel_t *p_wheel, const struct timespec &start, uint32_t budget_ms)
{
    bool over_budget = false;
    char last_name[TIMER_NAME_LEN] = "";
    int64_t prev_elapsed = 0;

    while (p_wheel->next_bucket_ticks <= p_mgr->cur_ticks) {
        if (over_budget) {
            return TIMER_EAGAIN;
        }
        uint32_t cur_bucket = static_cast<uint32_t>(p_wheel->next_bucket_ticks & TIMER_BUCKET_MASK);
        dll_t *bucket = &p_wheel->buckets[cur_bucket];

        dll_node_t *node;
        while ((node = dll_head(bucket)) != nullptr) {
            timer_util_t *p_timer = timer_of_bucket_node(node);
            if (p_timer->walked) {
                break;
            }
            struct timespec now;
            timer_clock_now(&now);
            int64_t elapsed = elapsed_msecs(start, now);
            if (elapsed > static_cast<int64_t>(budget_ms) + k_budget_grace_ms) {
                int64_t took = elapsed - prev_elapsed;
                if (took > k_slow_callback_ms) {
                    TIMER_LOG("%s timer took %u msecs!", last_name, static_cast<unsigned>(took));
                }
                over_budget = true;
            }
            prev_elapsed = elapsed;

            dll_remove(bucket, node);
            if (p_timer->expire_ticks != p_wheel->next_bucket_ticks) {
                if (p_timer->expire_ticks < p_wheel->next_bucket_ticks) {
                    timer_check_if_stale(p_timer, p_wheel);
                }
                // A later turn of the wheel: pass over it until then.
                dll_append(bucket, node);
                p_timer->walked = 1;
                TIMER_DEBUG("p_timer %p %s needs to be skipped. cur_bucket %x expire_ticks %lx cur_ticks %lx "
                            "walked %d\n",
                            static_cast<void *>(p_timer), p_timer->name, cur_bucket,
                            static_cast<unsigned long>(p_timer->expire_ticks),
                            static_cast<unsigned long>(p_mgr->cur_ticks), p_timer->walked);
                continue;
            }

            p_timer->bucket = TIMER_BUCKET_NULL;
            p_mgr->nactive--;
            p_mgr->nfired++;
            if (p_timer->type == TIMER_TYPE_CYCLIC) {
                // Re-armed from the wheel's tick, not from the clock, so a
                // late pass does not shift the timer's phase.
                p_timer->expire_ticks = p_wheel->next_bucket_ticks + p_timer->interval;
                timer_bucket_append(p_wheel, p_timer);
                p_mgr->nactive++;
            } else {
                p_timer->state = TIMER_STATE_DISABLED;
            }
            TIMER_DEBUG("exec timer %s (%p) cur_bucket %#x next_bucket %#x", p_timer->name,
                        static_cast<void *>(p_timer), cur_bucket,
                        static_cast<unsigned>((p_wheel->next_bucket_ticks + 1) & TIMER_BUCKET_MASK));
            memcpy(last_name, p_timer->name, sizeof(last_name));
            p_timer->cb(p_timer, p_timer->arg1, p_timer->arg2, p_timer->arg3, p_timer->arg4);
        }

        for (node = dll_head(bucket); node != nullptr; node = node->p_next) {
            timer_util_t *p_timer = timer_of_bucket_node(node);
            p_timer->walked = 0;
            TIMER_DEBUG("timer %s %p walked = 0 bucket %x", p_timer->name, static_cast<void *>(p_timer),
                        cur_bucket);
        }
        for (node = dll_head(bucket); node != nullptr; node = node->p_next) {
            const timer_util_t *p_timer = timer_of_bucket_node(node);
            OST_ASSERT(p_timer->walked == 0);
        }
        p_wheel->next_bucket_ticks++;
    }
    return 0;
}

void timer_dump_bucket(const dll_t *bucket)
{
    for (dll_node_t *node = dll_head(bucket); node != nullptr; node = node->p_next) {
        timer_dump(timer_of_bucket_node(node));
    }
}

}  // namespace

void timer_set_clock(timer_clock_fn fn)
{
    g_clock = fn;
}

void timer_clock_now(struct timespec *now)
{
    if (g_clock != nullptr) {
        g_clock(now);
    } else {
        clock_gettime(CLOCK_MONOTONIC, now);
    }
}

void timer_set_debug(int on)
{
    g_timer_debug = on;
}

uint32_t timer_res_msecs(timer_res_t res)
{
    OST_ASSERT(res <= TIMER_RES_1MIN);
    return k_res_msecs[res];
}

uint32_t timer_msecs_to_ticks(timer_res_t res, uint32_t ms, int round)
{
    uint32_t tick = timer_res_msecs(res);
    return (ms + (round ? tick / 2 : 0)) / tick;
}

uint32_t timer_ticks_to_msecs(timer_res_t res, uint32_t ticks)
{
    return ticks * timer_res_msecs(res);
}

const char *timer_res_str(timer_res_t res)
{
    return res <= TIMER_RES_1MIN ? k_res_names[res] : "unknown";
}

const char *timer_type_str(uint8_t type)
{
    return type == TIMER_TYPE_CYCLIC ? "cyclic" : "one-shot";
}

const char *timer_state_str(uint8_t state)
{
    switch (state) {
    case TIMER_STATE_DISABLED:
        return "Disabled";
    case TIMER_STATE_ENABLED:
        return "Enabled";
    default:
        return "Deleted";
    }
}

const char *timer_pri_str(uint8_t pri)
{
    return pri == TIMER_PRI_HIGH ? "high" : "normal";
}

timer_mgr_t *timer_mgr_create(timer_res_t res, timer_alloc_fn alloc_fn, timer_free_fn free_fn, void *user_ctx,
                              uint32_t pri_mask)
{
    OST_ASSERT(res <= TIMER_RES_1MIN);
    if (alloc_fn == nullptr || free_fn == nullptr) {
        alloc_fn = malloc;
        free_fn = free;
    }
    size_t nwheels = ((pri_mask & 1) ? 1 : 0) + ((pri_mask & 2) ? 1 : 0);
    size_t size = sizeof(timer_mgr_t) + nwheels * sizeof(timer_wheel_t);
    void *block = alloc_fn(size);
    if (block == nullptr) {
        return nullptr;
    }
    memset(block, 0, size);
    auto *p_mgr = static_cast<timer_mgr_t *>(block);
    p_mgr->resolution = res;
    p_mgr->alloc_fn = alloc_fn;
    p_mgr->free_fn = free_fn;
    p_mgr->user_ctx = user_ctx;
    timer_clock_now(&p_mgr->ref_time);
    p_mgr->cur_ticks = 0;
    dll_init(&p_mgr->created);

    auto *wheel = reinterpret_cast<timer_wheel_t *>(p_mgr + 1);
    for (uint8_t pri = TIMER_PRI_NORMAL; pri <= TIMER_PRI_HIGH; pri++) {
        if (pri_mask & (1u << pri)) {
            p_mgr->wheels[pri] = wheel++;
        }
    }
    return p_mgr;
}

void timer_mgr_destroy(timer_mgr_t *p_mgr)
{
    if (p_mgr->ncreated != p_mgr->ndeleted || p_mgr->nactive != 0) {
        timer_mgr_dump(p_mgr, TIMER_NUM_BUCKETS / 2);
    }
    OST_ASSERT(p_mgr->ncreated == p_mgr->ndeleted);
    OST_ASSERT(p_mgr->nactive == 0);
    p_mgr->free_fn(p_mgr);
}

timer_util_t *timer_util_create(timer_mgr_t *p_mgr, uint8_t priority, uint8_t type, uint32_t interval_ms,
                                timer_cb_fn cb, void *arg1, void *arg2, void *arg3, void *arg4, const char *name)
{
    // A priority above high is taken as high: there are only two wheels.
    int actual = priority > TIMER_PRI_HIGH ? static_cast<int>(TIMER_PRI_HIGH) : static_cast<int>(priority);
    while (actual > TIMER_PRI_NORMAL && p_mgr->wheels[actual] == nullptr) {
        actual--;
    }
    if (p_mgr->wheels[actual] == nullptr) {
        return nullptr;
    }
    auto *p_timer = static_cast<timer_util_t *>(p_mgr->alloc_fn(sizeof(timer_util_t)));
    if (p_timer == nullptr) {
        return nullptr;
    }
    memset(static_cast<void *>(p_timer), 0, sizeof(*p_timer));
    p_timer->p_mgr = p_mgr;
    p_timer->priority = static_cast<uint8_t>(actual);
    p_timer->type = type;
    p_timer->state = TIMER_STATE_DISABLED;
    p_timer->bucket = TIMER_BUCKET_NULL;
    p_timer->walked = 0;
    snprintf(p_timer->name, sizeof(p_timer->name), "%s", name != nullptr ? name : "");
    p_timer->interval = timer_msecs_to_ticks(p_mgr->resolution, interval_ms, 1);
    p_timer->cb = cb;
    p_timer->arg1 = arg1;
    p_timer->arg2 = arg2;
    p_timer->arg3 = arg3;
    p_timer->arg4 = arg4;
    p_mgr->ncreated++;
    dll_append(&p_mgr->created, &p_timer->mgr_node);
    TIMER_DEBUG("name %s, priority %d (actual %d), type %d, interval %u msecs (%u ticks)", p_timer->name, priority,
                actual, type, interval_ms, p_timer->interval);
    return p_timer;
}

void timer_enable(timer_util_t *p_timer)
{
    if (p_timer->state == TIMER_STATE_ENABLED) {
        return;
    }
    OST_ASSERT(p_timer->bucket == TIMER_BUCKET_NULL);
    timer_mgr_t *p_mgr = p_timer->p_mgr;
    timer_wheel_t *p_wheel = timer_wheel(p_timer);
    timer_mgr_update_ticks(p_mgr);
    if (p_timer->interval == 0) {
        p_timer->interval = 1;
    }
    p_timer->expire_ticks = p_mgr->cur_ticks + p_timer->interval;
    if (p_timer->expire_ticks < p_wheel->next_bucket_ticks) {
        p_timer->expire_ticks = p_wheel->next_bucket_ticks + 1;
    }
    timer_bucket_append(p_wheel, p_timer);
    p_timer->state = TIMER_STATE_ENABLED;
    p_timer->walked = 0;
    p_mgr->nactive++;
    if (g_timer_debug) {
        TIMER_LOG("p_timer %p %s cur_ticks %#lx next_bucket_ticks %#lx expire_ticks: %#lx",
                  static_cast<void *>(p_timer), p_timer->name, static_cast<unsigned long>(p_mgr->cur_ticks),
                  static_cast<unsigned long>(p_wheel->next_bucket_ticks),
                  static_cast<unsigned long>(p_timer->expire_ticks));
        timer_dump(p_timer);
    }
}

void timer_disable(timer_util_t *p_timer)
{
    if (p_timer->state == TIMER_STATE_DISABLED) {
        return;
    }
    p_timer->state = TIMER_STATE_DISABLED;
    if (p_timer->bucket == TIMER_BUCKET_NULL) {
        return;
    }
    timer_mgr_t *p_mgr = p_timer->p_mgr;
    timer_wheel_t *p_wheel = timer_wheel(p_timer);
    dll_remove(&p_wheel->buckets[p_timer->bucket], &p_timer->bucket_node);
    p_timer->bucket = TIMER_BUCKET_NULL;
    p_mgr->nactive--;
    if (g_timer_debug) {
        TIMER_LOG("p_timer %p %s cur_ticks %#lx next_bucket_ticks %#lx", static_cast<void *>(p_timer), p_timer->name,
                  static_cast<unsigned long>(p_mgr->cur_ticks),
                  static_cast<unsigned long>(p_wheel->next_bucket_ticks));
        timer_dump(p_timer);
    }
}

void timer_util_delete(timer_util_t *p_timer)
{
    timer_mgr_t *p_mgr = p_timer->p_mgr;
    TIMER_DEBUG("name %s, priority %d, type %d, interval %u msecs (%u ticks)", p_timer->name, p_timer->priority,
                p_timer->type, timer_ticks_to_msecs(p_mgr->resolution, p_timer->interval), p_timer->interval);
    timer_disable(p_timer);
    dll_remove(&p_mgr->created, &p_timer->mgr_node);
    p_timer->p_mgr = nullptr;
    p_mgr->free_fn(p_timer);
    p_mgr->ndeleted++;
}

int timer_mgr_exec(timer_mgr_t *p_mgr, uint32_t pri_mask, uint32_t budget_ms)
{
    timer_mgr_update_ticks(p_mgr);
    struct timespec start;
    timer_clock_now(&start);
    for (int pri = TIMER_PRI_HIGH; pri >= TIMER_PRI_NORMAL; pri--) {
        if ((pri_mask & (1u << pri)) == 0 || p_mgr->wheels[pri] == nullptr) {
            continue;
        }
        int rc = timer_exec_pri(p_mgr, p_mgr->wheels[pri], start, budget_ms);
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

timer_res_t timer_mgr_get_resolution(const timer_mgr_t *p_mgr, struct timeval *tv)
{
    if (tv != nullptr) {
        uint32_t ms = timer_res_msecs(p_mgr->resolution);
        tv->tv_sec = ms / 1000;
        tv->tv_usec = (ms % 1000) * 1000;
    }
    return p_mgr->resolution;
}

int timer_is_enabled(const timer_util_t *p_timer)
{
    return p_timer->state == TIMER_STATE_ENABLED && p_timer->bucket != TIMER_BUCKET_NULL;
}

int32_t timer_get_remaining_ticks(const timer_util_t *p_timer)
{
    if (!timer_is_enabled(p_timer)) {
        return -1;
    }
    return static_cast<int32_t>(p_timer->expire_ticks - p_timer->p_mgr->cur_ticks);
}

int32_t timer_get_interval_msecs(const timer_util_t *p_timer)
{
    if (p_timer == nullptr) {
        return -1;
    }
    return static_cast<int32_t>(timer_ticks_to_msecs(p_timer->p_mgr->resolution, p_timer->interval));
}

void timer_restart_with_interval(timer_util_t *p_timer, uint32_t ms)
{
    p_timer->interval = timer_msecs_to_ticks(p_timer->p_mgr->resolution, ms, 1);
    timer_disable(p_timer);
    timer_enable(p_timer);
}

void timer_set_interval(timer_util_t *p_timer, uint32_t ms)
{
    p_timer->interval = timer_msecs_to_ticks(p_timer->p_mgr->resolution, ms, 1);
    if (p_timer->state == TIMER_STATE_ENABLED) {
        timer_disable(p_timer);
        timer_enable(p_timer);
    }
}

void timer_dump(const timer_util_t *p_timer)
{
    TIMER_LOG("[bucket %#x] %p %s %s %s %s %s interval %u expire %#lx (%d) cb %p %p %p %p %p", p_timer->bucket,
              static_cast<const void *>(p_timer), p_timer->name, timer_type_str(p_timer->type),
              timer_state_str(p_timer->state), timer_pri_str(p_timer->priority), p_timer->walked ? "walked" : "",
              p_timer->interval, static_cast<unsigned long>(p_timer->expire_ticks),
              p_timer->p_mgr != nullptr ? timer_get_remaining_ticks(p_timer) : -1,
              reinterpret_cast<void *>(p_timer->cb), p_timer->arg1, p_timer->arg2, p_timer->arg3, p_timer->arg4);
}

void timer_mgr_dump(timer_mgr_t *p_mgr, uint32_t span)
{
    TIMER_LOG("List of Created Timers:");
    for (dll_node_t *node = dll_head(&p_mgr->created); node != nullptr; node = node->p_next) {
        timer_dump(timer_of_mgr_node(node));
    }
    struct timespec now;
    timer_clock_now(&now);
    timer_wheel_t *hi = p_mgr->wheels[TIMER_PRI_HIGH];
    timer_wheel_t *lo = p_mgr->wheels[TIMER_PRI_NORMAL];
    TIMER_LOG("resolution %s cur-time %u.%u actual-time %u.%u cur_ticks %lu next_hi_ticks %lu next_lo_ticks %lu",
              timer_res_str(p_mgr->resolution), static_cast<unsigned>(p_mgr->ref_time.tv_sec),
              static_cast<unsigned>(p_mgr->ref_time.tv_nsec), static_cast<unsigned>(now.tv_sec),
              static_cast<unsigned>(now.tv_nsec), static_cast<unsigned long>(p_mgr->cur_ticks),
              static_cast<unsigned long>(hi != nullptr ? hi->next_bucket_ticks : 0),
              static_cast<unsigned long>(lo != nullptr ? lo->next_bucket_ticks : 0));
    TIMER_LOG("ncreated %u ndeleted %u nactive %u nfired %u", p_mgr->ncreated, p_mgr->ndeleted, p_mgr->nactive,
              p_mgr->nfired);
    for (timer_wheel_t *wheel : {lo, hi}) {
        if (wheel == nullptr) {
            continue;
        }
        uint64_t from = wheel->next_bucket_ticks - span;
        for (uint64_t t = from; t < wheel->next_bucket_ticks + span; t++) {
            timer_dump_bucket(&wheel->buckets[t & TIMER_BUCKET_MASK]);
        }
    }
}
