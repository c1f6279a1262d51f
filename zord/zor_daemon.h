// The daemon's spine: the process-wide daemon and context records, start-up,
// the timer tick, the yield used by long walks, and teardown.
//
// Everything here runs on the event-loop thread. The daemon record is
// reached through g_zor_daemon and the default context through
// g_zor_context; both are set at the end of zor_daemon_init.
#pragma once

#include <cstdint>
#include <sys/time.h>

#include "monit.h"
#include "ost_event.h"
#include "ost_util.h"
#include "timer.h"
#include "zor_mem.h"
#include "zor_result.h"

#define ZOR_AF_COUNT 10
#define ZOR_BITMAP_BYTES 4096
#define ZOR_TENANT_NAME_LEN 128
#define ZOR_DEFAULT_INSTANCE OST_MODULE_ZORD
#define ZOR_TENANT_INSTANCE_BASE 165
#define ZOR_TICK_BUDGET_MS 100
#define ZOR_YIELD_BUDGET_MS 200
#define ZOR_USAGE "\nUSAGE: zord [ -T <tenant_name -V <vpn_id> -I <tenant_id> ] -f"

struct t_zor_client;
struct t_zor_db_list;
struct t_zor_db_entry;
struct avl_tree;
typedef struct avl_tree avl_tree_t;

struct t_zor_daemon {
    ost_event_base_ptr event_base;
    uint8_t daemonize;  // 1 by default; cleared by -f
    uint32_t pid;
    uint32_t personality;  // 0 until configured
    ost_event_ptr tick_event;
    timer_mgr_t *timer_mgr;
    monit_app_t watchdog;  // holds the pid-file path
    struct timeval last_yield;
    struct timeval longest_gap;  // longest whole-second gap seen by zor_daemon_yield
    void *confd_module;
    uint8_t *tloc_index_bitmap;  // 32768 bits; bits 0, 32766 and 32767 reserved
    uint8_t *link_label_bitmap;  // 32768 bits
    uint8_t debug_configured;
    uint32_t debug_level;
    char tenant_name[ZOR_TENANT_NAME_LEN];
    uint64_t vpn_id;
    uint32_t instance;  // module id this daemon registers under
    uint8_t tenant_id;
    uint8_t pid_file_written;  // remove the pid file at a normal stop
    int64_t peer_group;        // -G: a group whose processes may connect as peers; -1 none
};
ZOR_MEM_RECORD(t_zor_daemon, ZOR_MEM_DAEMON);

struct t_zor_context {
    t_zor_daemon *daemon;
    uint32_t default_flag;
    uint32_t last_tloc_index;  // cursor of the TLOC index bitmap
    uint32_t last_link_label;  // cursor of the link label bitmap; starts at 32769
    uint8_t shutting_down;
    t_zor_client *clients[OST_MODULE_MAX];  // by module id; slot 0 never filled
    t_zor_db_list *entry_lists[ZOR_AF_COUNT];
    avl_tree_t *trees[ZOR_AF_COUNT];
    // The walk event: the store arms it at every change (zor_db_walk_kick);
    // distribution creates and owns it (zor_dist_init), and a test may point
    // it at an event of its own.
    event *walk_event;
    // Distribution's own state (zor_dist): the events it owns (the walk
    // again later after a failure), and the clients that take at least one
    // family, in id order, which are all a walk has to look at.
    ost_event_ptr dist_walk_event;
    ost_event_ptr dist_retry_event;
    t_zor_client *dist_clients[OST_MODULE_MAX];
    uint32_t dist_client_count;
    avl_tree_t *group_db;
    timer_util_t *path_timer;
    // TLOC family state
    avl_tree_t *local_tloc_db_p;       // local TLOC entries, by key
    uint16_t local_border_count;       // local TLOCs with the border attribute
    t_zor_db_entry *path_walk_marker;  // the path walk's place in the TLOC-IPV4 change list
    // LINK family state
    avl_tree_t *link_remote_db_p;  // link records by remote end, then local end
};
ZOR_MEM_RECORD(t_zor_context, ZOR_MEM_CONTEXT);

extern t_zor_daemon *g_zor_daemon;
extern t_zor_context *g_zor_context;
extern uint32_t g_zor_debug;
extern uint32_t g_zor_walk_budget_ms;

// The whole program: start-up, event loop, teardown. Returns the exit status.
int zor_daemon_main(int argc, char **argv);

// 0, or 2 when the memory cache or the record cannot be allocated.
int zor_daemon_alloc(t_zor_daemon **out);
// 0, or 1 on a usage error (the USAGE line is logged). Beside the options
// above, -G <group> (name or number) admits the peers of that group.
int zor_get_input_params(t_zor_daemon *daemon, int argc, char **argv);
// 0, or 2 on failure; what was built is left for zor_daemon_free.
int zor_daemon_init(t_zor_daemon *daemon);
// Frees everything the daemon built, the daemon record included.
void zor_daemon_free(t_zor_daemon *daemon);

// The new context, or null (after logging and freeing what was built).
t_zor_context *zor_context_init(t_zor_daemon *daemon, uint32_t default_flag);
void zor_context_free(t_zor_context *ctx);  // null is ignored

// Runs due high-priority timers at most once every two whole seconds; long
// walks over the tables call it once per entry.
void zor_daemon_yield(t_zor_context *ctx);

// Writes the daemon's pid (decimal, line feed) to its pid file; the file is
// removed again by zor_daemon_free.
void zor_daemon_write_pid_file(t_zor_daemon *daemon);

// The pid-file path of a daemon (from its VPN id) under the run directory.
void zor_daemon_pid_path(const t_zor_daemon *daemon, char *buf, size_t len);

// Bit n of a byte bitmap is bit (n mod 8) of byte n/8.
inline void zor_bitmap_set(uint8_t *bitmap, uint32_t bit)
{
    bitmap[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
}
inline void zor_bitmap_clear(uint8_t *bitmap, uint32_t bit)
{
    bitmap[bit / 8] &= static_cast<uint8_t>(~(1u << (bit % 8)));
}
inline bool zor_bitmap_test(const uint8_t *bitmap, uint32_t bit)
{
    return (bitmap[bit / 8] >> (bit % 8)) & 1u;
}
// The first clear bit among bits from..to (inclusive), or -1; bytes whose
// bits are all set are skipped whole. For the index and label allocators.
inline int zor_bitmap_find_clear_range(const uint8_t *bitmap, uint32_t from, uint32_t to)
{
    uint32_t bit = from;
    while (bit <= to) {
        if (bit % 8 == 0 && bit + 7 <= to && bitmap[bit / 8] == 0xff) {
            bit += 8;
            continue;
        }
        if (!zor_bitmap_test(bitmap, bit)) {
            return static_cast<int>(bit);
        }
        bit++;
    }
    return -1;
}
