// Timer manager: many named software timers on top of one event-loop timer.
//
// A manager counts time in ticks of a fixed resolution and keeps one timing
// wheel of TIMER_NUM_BUCKETS buckets per enabled priority. Its owner arms one
// event-loop timer of one tick and calls timer_mgr_exec from it; the manager
// itself never talks to the event loop. Single-threaded: every call must come
// from the thread that owns the manager. Callbacks run inside timer_mgr_exec
// and may create, enable, disable and delete timers of the same manager.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/time.h>

#include "dll.h"

enum timer_res_t : uint32_t {
    TIMER_RES_10MS = 0,
    TIMER_RES_50MS = 1,
    TIMER_RES_100MS = 2,
    TIMER_RES_500MS = 3,
    TIMER_RES_1SEC = 4,
    TIMER_RES_1MIN = 5,
};

enum : uint8_t { TIMER_TYPE_ONE_SHOT = 0, TIMER_TYPE_CYCLIC = 1 };
enum : uint8_t { TIMER_PRI_NORMAL = 0, TIMER_PRI_HIGH = 1 };
enum : uint8_t { TIMER_STATE_DISABLED = 0, TIMER_STATE_ENABLED = 1, TIMER_STATE_DELETED = 2 };

#define TIMER_BUCKET_NULL 0xFFFF
#define TIMER_NUM_BUCKETS 2048
#define TIMER_BUCKET_MASK 0x7FF
#define TIMER_NAME_LEN 40
#define TIMER_EAGAIN 11

struct timer_util_t;
using timer_alloc_fn = void *(*)(size_t size);
using timer_free_fn = void (*)(void *ptr);
using timer_cb_fn = void (*)(timer_util_t *p_timer, void *arg1, void *arg2, void *arg3, void *arg4);

struct timer_wheel_t {
    uint64_t next_bucket_ticks;
    dll_t buckets[TIMER_NUM_BUCKETS];
};

struct timer_mgr_t {
    timer_res_t resolution;
    timer_alloc_fn alloc_fn;
    timer_free_fn free_fn;
    void *user_ctx;
    struct timespec ref_time;  // the instant that corresponds to cur_ticks
    uint64_t cur_ticks;
    timer_wheel_t *wheels[2];  // [TIMER_PRI_NORMAL], [TIMER_PRI_HIGH]; NULL when not enabled
    dll_t created;             // every live timer, linked through mgr_node
    uint32_t ncreated;
    uint32_t ndeleted;
    uint32_t nactive;
    uint32_t nfired;
};

struct timer_util_t {
    dll_node_t bucket_node;
    dll_node_t mgr_node;
    timer_mgr_t *p_mgr;
    uint8_t type;
    uint8_t state;
    uint8_t priority;  // the priority actually used
    uint8_t walked : 1;
    uint16_t bucket;  // TIMER_BUCKET_NULL when not queued
    uint32_t interval;  // ticks
    uint64_t expire_ticks;
    char name[TIMER_NAME_LEN];
    timer_cb_fn cb;
    void *arg1;
    void *arg2;
    void *arg3;
    void *arg4;
};

// Creates a manager with one wheel per set bit of pri_mask (bit 0 normal,
// bit 1 high). NULL alloc or free function means malloc/free. NULL when
// memory runs out.
timer_mgr_t *timer_mgr_create(timer_res_t res, timer_alloc_fn alloc_fn, timer_free_fn free_fn, void *user_ctx,
                              uint32_t pri_mask);

// Frees the manager. Every timer must have been deleted (assertion, after a
// full dump, otherwise).
void timer_mgr_destroy(timer_mgr_t *p_mgr);

// Creates a Disabled timer. A priority without a wheel falls back to the next
// lower one that has a wheel; NULL when none has one or memory runs out.
timer_util_t *timer_util_create(timer_mgr_t *p_mgr, uint8_t priority, uint8_t type, uint32_t interval_ms,
                                timer_cb_fn cb, void *arg1, void *arg2, void *arg3, void *arg4, const char *name);

void timer_enable(timer_util_t *p_timer);
void timer_disable(timer_util_t *p_timer);
void timer_util_delete(timer_util_t *p_timer);

// Runs due timers of the priorities in pri_mask, high first, within a budget
// of budget_ms (+50 ms grace). Returns 0, or TIMER_EAGAIN (11) when the
// budget ran out while more buckets were due; the next call continues.
int timer_mgr_exec(timer_mgr_t *p_mgr, uint32_t pri_mask, uint32_t budget_ms);

timer_res_t timer_mgr_get_resolution(const timer_mgr_t *p_mgr, struct timeval *tv);
int timer_is_enabled(const timer_util_t *p_timer);
int32_t timer_get_remaining_ticks(const timer_util_t *p_timer);
int32_t timer_get_interval_msecs(const timer_util_t *p_timer);
void timer_restart_with_interval(timer_util_t *p_timer, uint32_t ms);
void timer_set_interval(timer_util_t *p_timer, uint32_t ms);

uint32_t timer_msecs_to_ticks(timer_res_t res, uint32_t ms, int round);
uint32_t timer_ticks_to_msecs(timer_res_t res, uint32_t ticks);
uint32_t timer_res_msecs(timer_res_t res);

void timer_dump(const timer_util_t *p_timer);
void timer_mgr_dump(timer_mgr_t *p_mgr, uint32_t span);
void timer_set_debug(int on);

const char *timer_res_str(timer_res_t res);
const char *timer_type_str(uint8_t type);
const char *timer_state_str(uint8_t state);
const char *timer_pri_str(uint8_t pri);

// The monotonic clock the manager reads. Tests replace it to drive time by
// hand; nullptr restores clock_gettime(CLOCK_MONOTONIC).
using timer_clock_fn = void (*)(struct timespec *now);
void timer_set_clock(timer_clock_fn fn);
void timer_clock_now(struct timespec *now);
