// oconfd: how a daemon of the box joins the management agent. It connects
// the daemon's sockets, subscribes to its configuration, registers its
// commands, actions and operational-data callpoints, writes operational
// leaves, raises notifications through the throttler, and reconnects when
// the agent goes away.
//
// Everything that touches the daemon's own data (every callback) runs on
// the daemon's event loop. The module's threads (registration, initial
// read, operational writers, the notification throttler) talk only to the
// agent and report back through the context's pipe.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <sys/time.h>

#include "confd_cdb.h"
#include "confd_lib.h"
#include "confd_maapi.h"
#include "ip_util.h"
#include "timer.h"

struct event_base;
struct event;
struct oconfd_ctx;
struct oconfd_priv;
struct oconfd_sub_entry;

#define OCONFD_PATH_LEN 256
#define OCONFD_MODULE_NAME_LEN 33
#define OCONFD_OPER_PATH_LEN 100
#define OCONFD_INITIAL_READ_PATH "/oconfd-initial-read-priority"
#define OCONFD_INITIAL_READ_NS 0x5840b9be
#define OCONFD_STREAM_NAME "ostrana"
#define OCONFD_SNMP_NOTIFICATION "ostrana_snmpv2_trap"
#define OCONFD_RETRY_MS 2000

// Config callback, on the event loop: op is a cdb_iter_op (MOP_CREATED,
// MOP_DELETED, MOP_MODIFIED, MOP_VALUE_SET); keys one value per list key;
// values tag-value pairs. 0 on success. The daemon's record is
// entry->ctx->module.opaque.
typedef int (*oconfd_config_cb)(struct oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys,
                                int num_values, confd_tag_value_t *values);

// Subscription entry flags.
#define OCONFD_SUB_OPER 0x01
#define OCONFD_SUB_TWO_PHASE 0x02
#define OCONFD_SUB_INIT_READ_DONE 0x04
#define OCONFD_SUB_CB_FAILED 0x10
#define OCONFD_SUB_IN_PROGRESS 0x20
// The points of the entry belong to the current connection (set by the
// registration thread, cleared at every new attempt): a point number of an
// earlier connection, or an entry whose subscription failed, owns nothing.
#define OCONFD_SUB_SUBSCRIBED 0x40

// One subscribed path; the tables end with an entry whose path is empty.
struct oconfd_sub_entry {
    struct oconfd_ctx *ctx;  // set when the subscription is made
    char path[OCONFD_PATH_LEN];  // without the leading slash: "system"
    oconfd_config_cb callback;
    uint32_t ns;
    uint32_t add_point;
    uint32_t del_point;
    uint8_t num_keys;    // list keys on the path; 0 reads all modifications at once
    uint8_t priorities;  // low nibble: add priority; high nibble: separate delete priority (0 none)
    uint8_t flags;       // OCONFD_SUB_*
    struct timeval received;
    struct timeval done;
};

// Notification parameters of a daemon that reads the agent's event
// notifications (NULL in module_data when it does not).
struct oconfd_notif_params {
    int mask;  // confd_notification_type bits
    void *data;
    void (*handler)(struct oconfd_ctx *ctx, struct confd_notification *n, void *data);
};

// What a daemon registers; copied whole into the context at init.
struct module_data {
    void *opaque;  // the daemon's own record
    struct oconfd_sub_entry *sub_table;
    struct confd_valpoint_cb *valpoint_table;  // ended by an empty valpoint name
    struct confd_action_cbs *action_table;     // ended by an empty actionpoint name
    struct oconfd_notif_params *notif_params;
    int (*register_data_cbs)(struct oconfd_ctx *ctx);
    void (*subs_processed)(struct oconfd_ctx *ctx, int trigger);
    void (*post_init)(struct oconfd_ctx *ctx);
    struct event_base *event_base;
    timer_mgr_t *timer_mgr;
    uint64_t ns_id;  // VPN whose network namespace the daemon runs in; 0 none
    uint32_t module_id;
    uint8_t selective_schema;
    char module_name[OCONFD_MODULE_NAME_LEN];  // empty: the module-name table's
    uint32_t sub_sock_timeout;  // seconds; 0 leaves the agent's default
};

// One per daemon; created by the first init and kept across reconnections.
struct oconfd_ctx {
    struct module_data module;
    struct confd_daemon_ctx *dctx;
    struct oconfd_ctx *secondary;
    struct event *ctl_event;
    struct event *worker_event;
    struct event *sub_event;
    struct event *notif_event;
    struct event *pipe_event;
    timer_util_t *retry_timer;
    struct confd_nsinfo *ns_list;
    int ns_count;
    int phase;  // start phase reached: 0, 1 or 2
    int pipe_fds[2];
    int ctl_sock;
    int sub_sock;
    int worker_sock;
    int data_sock;
    int maapi_sock;
    int notif_sock;
    int initial_read_point;
    uint8_t initial_read_done;
    uint8_t ns_switched;
    pthread_t last_writer;
    uint8_t has_last_writer;
    struct confd_notification_ctx *stream_ctx;
    struct confd_notification_ctx *snmp_ctx;
    struct oconfd_priv *priv;  // the module's own bookkeeping of its threads
};

// First call: reg is the daemon's record, *out receives the new context.
// Re-init (the retry timer): reg NULL, ctx the existing context. 0 on
// success; 3 when the agent cannot be joined (a retry is then scheduled);
// 2 when no context could be allocated. An incomplete registration is a
// programming error (assertion). On the event loop, which also runs every
// callback of the module.
int oconfd_module_init(struct module_data *reg, struct oconfd_ctx *ctx, struct oconfd_ctx **out);
// Stops the throttler, closes every socket and event, releases the daemon
// handle, the retry timer, the schema lists and the context; clears *holder.
void oconfd_module_free(struct oconfd_ctx **holder);

// Asynchronous write of one operational leaf: op 1 create, 2 set, 3 delete;
// value may be NULL (a set without one creates). Writes land in call order;
// an element that already exists (create, set) or is already gone (delete)
// is no error. 0 when the writer thread started, 2 when memory ran out, 1
// when the thread could not be created or the path is longer than 100
// characters. The value is copied. On the event loop; a free waits for the
// writes still running.
#define OCONFD_OPER_CREATE 1
#define OCONFD_OPER_SET 2
#define OCONFD_OPER_DELETE 3
int oconfd_set_cdb_oper_value(struct oconfd_ctx *ctx, const confd_value_t *value, const char *path, int op,
                              int lock);

// Opens a CDB socket of the given type, up to 4 attempts 100 ms apart. 0 and
// the socket in *sock, or the last agent error.
int oconfd_cdb_connect(struct oconfd_ctx *ctx, enum cdb_sock_type type, const struct sockaddr *addr,
                       int addr_len, int *sock);

// The keys of the list instance whose element tag is tag, copied into out
// (or a malloc'ed array when out is NULL, for the caller to free()). String
// keys share their payload with kp. NULL when the instance does not have
// exactly num_keys keys, or memory ran out.
confd_value_t *oconfd_keypath_get_keys(const confd_hkeypath_t *kp, confd_value_t *out, int num_keys, uint32_t tag);

// The module's debug switch and level (the daemon's event-debug actions):
// while it is on, the verbose lines are written too, as they always are for
// module id 0. Any thread.
void oconfd_debug_enable(uint32_t level);
void oconfd_debug_disable(void);

// Initial-read gating, on the event loop: 1 when the module may read its
// configuration now (its read was done already, or every module of a lower
// read priority has set its bit in the initial-read leaf), else 0. Opens a
// short CDB session of its own.
int oconfd_can_read_initial_config(struct oconfd_ctx *ctx);
// Starts a thread that delivers the running configuration again to every
// add point of the module's and the common table (or to the points given),
// and the first time sets the module's bit in the initial-read leaf. On the
// event loop. 0 when the thread started, 2 when memory ran out, 1 when the
// connection's subscriptions are not made yet or the thread could not be
// created.
int oconfd_read_sub_config_all(struct oconfd_ctx *ctx);
int oconfd_read_sub_config(struct oconfd_ctx *ctx, const int *points, int count);

// The configuration every daemon gets through the common subscriptions.
// Safe from any thread. The system IP is family 0 until one is configured;
// the host name is "default" until one is configured or after a delete.
ip_addr_t oconfd_system_ip(void);
void oconfd_host_name(char *buf, size_t len);

// The context that owns a daemon handle (for data callbacks that arrive
// with a transaction): dx->d_opaque.
struct oconfd_ctx *oconfd_ctx_of(struct confd_daemon_ctx *dx);

// Notifications (the throttler): values[0] is the notification's element
// (C_XMLBEGIN), values[1] its severity (C_ENUM_VALUE: 1 critical, 2 major,
// other minor), the last its C_XMLEND; at most 19 values. 0 sent, queued or
// dropped (agent below start phase 2, queue full); 1 refused or a direct
// send failed. The values are copied. On the event loop.
int oconfd_event_send_notification(struct oconfd_ctx *ctx, confd_tag_value_t *values, int num_values);
