// What the files of the integration module share among themselves: the log
// style and its debug gate, the module's thread bookkeeping, the hand-off
// pipe, the subscription tables and the connection life cycle.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include <event2/util.h>

#include "oconfd.h"
#include "ost_log.h"

// Every line of the module goes to local7 at debug priority as
// "function[line]: text"; (V) lines only while verbose (oconfd_verbose).
#define OCONFD_LOG_PRI (LOG_LOCAL7 | LOG_DEBUG)
#define OCONFD_LOG(fmt, ...) OST_LOGF(OCONFD_LOG_PRI, fmt __VA_OPT__(, ) __VA_ARGS__)
#define OCONFD_LOGV(fmt, ...)                                      \
    do {                                                           \
        if (oconfd_verbose()) {                                    \
            OCONFD_LOG(fmt __VA_OPT__(, ) __VA_ARGS__);            \
        }                                                          \
    } while (0)

// A condition the module cannot recover from (the agent and the module no
// longer agree on what a notification means): the line is logged and the
// process stops, for its supervisor to start it afresh.
#define OCONFD_FATAL(fmt, ...)                          \
    do {                                                \
        OCONFD_LOG(fmt __VA_OPT__(, ) __VA_ARGS__);     \
        oconfd_terminate();                             \
    } while (0)
[[noreturn]] void oconfd_terminate();

// True when (V) lines are written: the module id is 0 or debugging is on.
// Any thread.
bool oconfd_verbose();
// The module id of the (last) initialised context, for the gate and the
// notification syslog line. Any thread.
void oconfd_set_module_id(uint32_t id);
uint32_t oconfd_module_id();
// The module's name: the registration's override, else the module-name
// table's (an id outside the table gives the table's "unknown").
const char *oconfd_module_name(const struct module_data *m);
const char *oconfd_table_module_name(uint32_t id);

// The subscriptions every daemon gets after its own table. Process-wide:
// one daemon per process joins the agent.
struct oconfd_sub_entry *oconfd_common_table();

// Calls fn(entry) for every entry of the module's table, then of the common
// table, until fn returns false. Returns false when fn stopped the walk.
template <typename Fn>
bool oconfd_for_each_entry(struct oconfd_ctx *ctx, Fn &&fn)
{
    for (struct oconfd_sub_entry *t : {ctx->module.sub_table, oconfd_common_table()}) {
        for (struct oconfd_sub_entry *e = t; e != nullptr && e->path[0] != '\0'; ++e) {
            if (!fn(e)) {
                return false;
            }
        }
    }
    return true;
}

// Bytes the module's threads write into the context's pipe; the loop reads
// them one at a time.
#define OCONFD_PIPE_RETRY '1'    // the registration failed: run the reconnect procedure
#define OCONFD_PIPE_ARM_SUB '2'  // the subscriptions are made: arm the subscription event

// Who a socket of a thread belongs to: a reconnect interrupts only the
// registration thread; a free interrupts the initial reads too, but lets the
// operational writers finish (a daemon's last writes are often the ones
// that clear its state).
enum oconfd_sock_owner : int { OCONFD_SOCK_REG = 1, OCONFD_SOCK_READ = 2, OCONFD_SOCK_WRITER = 4 };

// The module's own bookkeeping, one per context.
//
// Threads block in agent calls on sockets of their own. A reconnect or a
// free must not close a socket under a thread, nor let a thread write into
// a closed pipe, so the loop shuts the threads' sockets down (their calls
// then fail at once) and waits for the threads before it closes anything.
// Sockets are registered here under mu between their creation and their
// close by the thread that owns them, so a shutdown never meets a number
// that was closed and handed out again.
struct oconfd_priv {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<std::pair<int, int>> socks;  // fd, oconfd_sock_owner
    int refused = 0;                         // owners whose threads may open no more sockets
    int live_threads = 0;                    // initial-read threads still running
    pthread_t reg_thread{};
    bool has_reg_thread = false;
    // On the loop: the registration thread of this connection has made the
    // subscriptions and handed them over; the points of the entries are the
    // ones a read may trigger. Cleared when the connection closes.
    bool subscribed = false;
};

// A TCP socket for a thread's agent connection, registered under owner; -1
// (errno set) when none could be made.
int oconfd_thread_socket(struct oconfd_ctx *ctx, int owner);
// Unregisters and closes a socket of oconfd_thread_socket through the
// library's close for its kind (cdb_close or maapi_close). -1 is ignored.
void oconfd_thread_cdb_close(struct oconfd_ctx *ctx, int &fd);
void oconfd_thread_maapi_close(struct oconfd_ctx *ctx, int &fd);
// Shuts down every registered socket of the owners in mask, and refuses
// them new ones until allowed again (a thread that is being waited for
// must not start another blocking call).
void oconfd_thread_sockets_interrupt(struct oconfd_ctx *ctx, int owner_mask);
void oconfd_thread_sockets_allow(struct oconfd_ctx *ctx, int owner_mask);
// oconfd_cdb_connect for a thread: the socket is registered under owner.
int oconfd_thread_cdb_connect(struct oconfd_ctx *ctx, enum cdb_sock_type type, int owner, int *sock);

// Writes one byte into the context's pipe (any thread).
void oconfd_pipe_notify(struct oconfd_ctx *ctx, char byte);

// Network namespaces: with a namespace id, the calling thread moves into the
// default namespace (the one of process 1) to reach the agent, and back into
// the VPN's ("netns/<id>" under the run directory) afterwards. Both are
// no-ops for id 0; false (and a log line) when the switch failed.
bool oconfd_netns_enter_default(uint64_t ns_id);
bool oconfd_netns_return(uint64_t ns_id);

// Holds the calling thread in the default namespace for its lifetime.
class oconfd_netns_guard {
public:
    explicit oconfd_netns_guard(uint64_t ns_id) : ns_id_(ns_id) { (void)oconfd_netns_enter_default(ns_id_); }
    ~oconfd_netns_guard() { (void)oconfd_netns_return(ns_id_); }
    oconfd_netns_guard(const oconfd_netns_guard &) = delete;
    oconfd_netns_guard &operator=(const oconfd_netns_guard &) = delete;

private:
    uint64_t ns_id_;
};

// The reconnect procedure, on the loop: closes the connection (the throttler
// first), then keeps the retry timer running until an init succeeds.
void oconfd_retry_connect(struct oconfd_ctx *ctx);

// The registration thread of one connection attempt. start: 0, or -1 when
// the thread could not be created. stop (on the loop): waits for it, after
// interrupting its sockets (and the subscription socket) when asked;
// nothing when none runs.
int oconfd_reg_thread_start(struct oconfd_ctx *ctx);
void oconfd_reg_thread_stop(struct oconfd_ctx *ctx, bool interrupt);

// The subscription socket's read event (on the loop).
void oconfd_sub_handler(evutil_socket_t fd, short what, void *arg);

// Waits, on the loop at free, for the operational writers and the
// initial-read threads (the reads are interrupted first).
void oconfd_threads_wait(struct oconfd_ctx *ctx);

// The common table's SNMP callbacks (oconfd_trap).
int oconfd_config_snmp_trap_group(struct oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys,
                                  int num_values, confd_tag_value_t *values);
int oconfd_config_snmp_trap_enable(struct oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys,
                                   int num_values, confd_tag_value_t *values);
int oconfd_config_snmp(struct oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys, int num_values,
                       confd_tag_value_t *values);

// Error texts of the agent's last failed call on this thread, in the
// "(%s - %d)%s (%d) : %s" shape of the module's lines.
#define OCONFD_ERR_ARGS confd_strerror(confd_errno), confd_errno, strerror(errno), errno, confd_lasterr()

// The common table's system callbacks (oconfd_common): the leaf with tag
// 0x5e5f3f28 (IPv4) is the system IP, the one with tag 0x5808a665 the host
// name (a deleted one is "default").
int oconfd_config_system_ip(struct oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys,
                            int num_values, confd_tag_value_t *values);
int oconfd_config_hostname(struct oconfd_sub_entry *entry, int op, int num_keys, confd_value_t *keys,
                           int num_values, confd_tag_value_t *values);
