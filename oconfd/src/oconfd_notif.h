// The notification throttler: a daemon's notifications are queued by
// severity and one thread sends at most one per period, the most severe
// first, on the module's notification stream (and as SNMP traps to the
// configured trap groups), writing each to syslog as it leaves.
//
// Two parties meet here: the daemon's event loop (init, reset, free,
// enqueue) and the throttler thread (send). Each queue has a spin lock of
// its own; the state lock guards the state and the two notification
// contexts and is held by the thread for a whole send step, so a reset or a
// free waits for a send in progress. Lock order: the state lock, then the
// queues critical, major, minor.
#pragma once

#include <cstdint>

#include "oconfd.h"

#define OCONFD_NOTIF_MAX_VALUES 19
#define OCONFD_NOTIF_PERIOD_MS 200
#define OCONFD_NOTIF_SYSLOG_ID 1400002

enum : int { OCONFD_NOTIF_QUEUE_CRITICAL = 0, OCONFD_NOTIF_QUEUE_MAJOR = 1, OCONFD_NOTIF_QUEUE_MINOR = 2 };
enum : uint32_t {
    OCONFD_NOTIF_LIMIT_CRITICAL = 100,
    OCONFD_NOTIF_LIMIT_MAJOR = 50,
    OCONFD_NOTIF_LIMIT_MINOR = 50,
};

// Throttler states.
enum : uint32_t {
    OCONFD_THROTTLER_NONE = 0,        // not initialised
    OCONFD_THROTTLER_RESET = 1,       // connection lost: queues kept, nothing sent
    OCONFD_THROTTLER_RUNNING = 2,
    OCONFD_THROTTLER_TERMINATED = 3,  // freed: the thread is gone, items dropped
};

// Enqueue results besides 0.
#define OCONFD_NOTIF_NOT_QUEUED (-1)  // not running or out of memory: the caller may send directly
#define OCONFD_NOTIF_DROPPED (-2)     // the queue is full (or the throttler terminated meanwhile)
#define OCONFD_NOTIF_REFUSED (-3)     // not a notification the throttler can take (count, severity)

// On the loop, at every successful init: takes the context's stream and
// SNMP contexts and sets the running state. The first call (and the first
// after a free) makes the queues and starts the thread.
void oconfd_notification_throttler_init(struct oconfd_ctx *ctx);
// On the loop when the agent connection is lost: nothing is sent, queued
// items stay, the contexts are forgotten. Waits for a send in progress.
void oconfd_notification_throttler_connection_reset(void);
// On the loop at module free: terminates and joins the thread, drops what
// is still queued and destroys the locks.
void oconfd_notification_throttler_free(void);
// The throttler's state (OCONFD_THROTTLER_*). Any thread.
uint32_t oconfd_notification_throttler_state(void);

// Copies the notification into its severity's queue. 0 queued;
// OCONFD_NOTIF_NOT_QUEUED, OCONFD_NOTIF_DROPPED or OCONFD_NOTIF_REFUSED
// (nothing kept). On the loop.
int oconfd_enqueue_notification(confd_tag_value_t *values, int num_values);
// One send step of the throttler thread.
void oconfd_notification_throttler_send(void);
// The operator's syslog line of a notification that leaves (local7, info).
void oconfd_add_to_syslog(const struct confd_datetime *time, const confd_tag_value_t *values, int num_values);

// SNMP traps (oconfd_trap). What a notification becomes as a trap is worked
// out when it is queued (on the loop, with the schema at hand) and sent by
// the throttler thread to every enabled trap group whose levels include the
// notification's severity. NULL from populate: no trap for it.
struct oconfd_trap_data;
struct oconfd_trap_data *oconfd_trap_populate(const confd_tag_value_t *values, int num_values, int queue);
void oconfd_trap_send(struct confd_notification_ctx *snmp_ctx, const struct oconfd_trap_data *trap);
void oconfd_trap_free(struct oconfd_trap_data *trap);
// True while at least one trap group enables a trap kind at some level.
bool oconfd_trap_enabled(void);
