// The agent's configuration database (CDB): data sessions on the running
// configuration and the operational store, subscriptions to changes, and
// the diff of a change.
//
// Every call is synchronous on its socket (it sends one request and waits
// for the answer), except that a subscription socket also receives the
// agent's notifications, read with cdb_read_subscription_socket2 when the
// socket is readable. A socket is used by one thread at a time.
//
// Paths are printf formats in the agent's path form: "/system/personality",
// "/snmp/trap/group{g1}/enable{all}" (list keys in braces, blank-separated,
// quoted with "" when they hold blanks), "/tlocs/tloc{10.0.0.1 blue ipsec}".
// A top-level name may carry its module's prefix ("/sys:system").
#pragma once

#include "confd_lib.h"

#ifdef __cplusplus
extern "C" {
#endif

enum cdb_sock_type {
    CDB_READ_SOCKET = 1,
    CDB_DATA_SOCKET = 2,          // sessions: get, set, create, delete, trigger
    CDB_SUBSCRIPTION_SOCKET = 3,  // subscriptions and their notifications
};

enum cdb_db_type {
    CDB_RUNNING = 1,      // the running configuration (read only through CDB)
    CDB_STARTUP = 2,
    CDB_OPERATIONAL = 3,  // operational data held by the agent
    CDB_PRE_COMMIT_RUNNING = 4,
};

// Session flags.
#define CDB_LOCK_WAIT 0x01     // wait for a held lock instead of failing with CONFD_ERR_LOCKED
#define CDB_LOCK_SESSION 0x02  // hold the database's lock for the whole session (read lock)
#define CDB_LOCK_REQUEST 0x04  // take the database's lock for the session
#define CDB_LOCK_PARTIAL 0x08

int cdb_connect(int sock, enum cdb_sock_type type, const struct sockaddr *srv, int addrsz);
int cdb_close(int sock);
// Starts a session on the database. With CDB_LOCK_REQUEST the session holds
// the database's lock until it ends or the socket closes; another session
// asking for it fails with CONFD_ERR_LOCKED, or waits with CDB_LOCK_WAIT.
int cdb_start_session(int sock, enum cdb_db_type db);
int cdb_start_session2(int sock, enum cdb_db_type db, int flags);
int cdb_end_session(int sock);
// Socket read timeout of the calls on this socket, in seconds (0: none).
int cdb_set_timeout(int sock, int timeout_secs);

// Reads one leaf. v owns its payload (confd_free_value). CONFD_ERR with
// CONFD_ERR_NOEXISTS when the leaf is not set.
int cdb_get(int sock, confd_value_t *v, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// 1 when the element exists, 0 when not, CONFD_ERR on error.
int cdb_exists(int sock, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Number of instances of a list, or CONFD_ERR.
int cdb_num_instances(int sock, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Writes (operational sessions only; the running configuration changes only
// through transactions). Create of an existing element fails with
// CONFD_ERR_ALREADY_EXISTS, delete of a missing one with CONFD_ERR_NOEXISTS.
int cdb_set_elem(int sock, const confd_value_t *v, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int cdb_set_elem2(int sock, const char *strval, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int cdb_create(int sock, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int cdb_delete(int sock, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// ---------------------------------------------------------------- subscriptions

enum cdb_sub_type {
    CDB_SUB_RUNNING = 1,
    CDB_SUB_RUNNING_TWOPHASE = 2,
    CDB_SUB_OPERATIONAL = 3,
};
// What a notification is about.
enum cdb_sub_notification {
    CDB_SUB_PREPARE = 1,  // two-phase: the change is proposed; answer with sync, or abort
    CDB_SUB_COMMIT = 2,   // the change is committed
    CDB_SUB_ABORT = 3,    // two-phase: the proposed change was dropped
    CDB_SUB_OPER = 4,     // operational data changed
};
// Notification flags.
#define CDB_SUB_FLAG_IS_LAST 0x01
#define CDB_SUB_FLAG_TRIGGER 0x02  // raised by cdb_trigger_subscriptions, not by a change
#define CDB_SUB_FLAG_REVERT 0x04

enum cdb_subscription_sync_type {
    CDB_DONE_PRIORITY = 1,     // done with this priority: the agent moves on to the next
    CDB_DONE_SOCKET = 2,
    CDB_DONE_TRANSACTION = 3,
    CDB_DONE_OPERATIONAL = 4,
};

// Subscribes to changes under path in namespace nspace; lower priorities
// are notified first, each priority synchronised before the next. The
// subscription point is written to *spoint. Only before cdb_subscribe_done.
int cdb_subscribe(int sock, int priority, int nspace, int *spoint, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));
// The same for a subscription type; CDB_SUB_RUNNING_TWOPHASE subscribers
// also see CDB_SUB_PREPARE and CDB_SUB_ABORT.
int cdb_subscribe2(int sock, enum cdb_sub_type type, int flags, int priority, int *spoint, int nspace,
                   const char *fmt, ...) __attribute__((format(printf, 7, 8)));
// Operational data under path.
int cdb_oper_subscribe(int sock, int nspace, int *spoint, const char *fmt, ...) __attribute__((format(printf, 4, 5)));
// Ends the subscriptions of this socket: notifications may arrive from now on.
int cdb_subscribe_done(int sock);

// Reads one notification: its type, flags and the subscription points it
// concerns (*subpoints is malloc'ed: free() it). CONFD_EOF when closed.
int cdb_read_subscription_socket2(int sock, enum cdb_sub_notification *type, int *flags, int **subpoints,
                                  int *resultlen);
int cdb_read_subscription_socket(int sock, int *subpoints, int *resultlen);
// Done with a notification. Until then the agent waits for this subscriber.
int cdb_sync_subscription_socket(int sock, enum cdb_subscription_sync_type st);
// Answers a prepare notification with a refusal: the agent aborts the
// transaction and shows the operator the text. Replaces the sync.
int cdb_sub_abort_trans(int sock, enum confd_errcode code, uint32_t apptag_ns, uint32_t apptag_tag,
                        const char *fmt, ...) __attribute__((format(printf, 5, 6)));

// Flags of cdb_get_modifications and cdb_diff_iterate.
#define CDB_GET_MODS_INCLUDE_LISTS 0x01
#define ITER_WANT_PREV 0x01
#define ITER_WANT_ANCESTOR_DELETE 0x02
#define ITER_WANT_SCHEMA_ORDER 0x10
// Presence containers and list instances created or deleted with their
// content are reported once, at the instance; their content is read with
// cdb_get_modifications_iter.
#define ITER_WANT_P_CONTAINER 0x200

// The changes of the notification being handled under one subscription
// point, as a tag-value list (the caller frees *values with free() after
// confd_free_value on each): a leaf set is its new value, a deleted leaf
// C_NOEXISTS; a changed container or list instance is wrapped in C_XMLBEGIN
// and C_XMLEND (a list instance with its keys first), a deleted list
// instance in C_XMLBEGINDEL and C_XMLEND. fmt (may be NULL) narrows to a
// path under the subscription; the path's own node is not wrapped.
int cdb_get_modifications(int sock, int subid, int flags, confd_tag_value_t **values, int *nvalues,
                          const char *fmt, ...);
// Inside a cdb_diff_iterate callback: the changes under the node being visited.
int cdb_get_modifications_iter(int sock, int flags, confd_tag_value_t **values, int *nvalues);

// Modification operations reported by cdb_diff_iterate.
enum cdb_iter_op {
    MOP_CREATED = 1,    // a list instance or presence container was created
    MOP_DELETED = 2,    // an element was deleted
    MOP_MODIFIED = 3,   // something below changed
    MOP_VALUE_SET = 4,  // a leaf got a value (newv)
    MOP_MOVED_AFTER = 5,
    MOP_ATTR_SET = 6,
};
enum cdb_iter_ret {
    ITER_STOP = 1,      // end the iteration
    ITER_RECURSE = 2,   // visit the changes below this node
    ITER_CONTINUE = 3,  // skip what is below, go on with the next sibling
    ITER_UP = 4,        // go on with the parent's next sibling
};
// Walks the changes of the notification being handled under subscription
// point subid, outermost first, calling iter for each changed node until it
// says stop. kp is the node's keypath; oldv and newv are its values (leaves
// only, else NULL). Returns CONFD_OK, or CONFD_ERR when the agent failed.
int cdb_diff_iterate(int sock, int subid,
                     enum cdb_iter_ret (*iter)(confd_hkeypath_t *kp, enum cdb_iter_op op, confd_value_t *oldv,
                                               confd_value_t *newv, void *state),
                     int flags, void *initstate);

// Delivers the running configuration again to the given subscription
// points (all of this process's sockets' points when len is 0), as if every
// element had been created: a CDB_SUB_COMMIT notification with
// CDB_SUB_FLAG_TRIGGER. Returns when every subscriber has synchronised.
int cdb_trigger_subscriptions(int sock, int sub_points[], int len);
// The same for operational subscriptions (CDB_SUB_OPER with the trigger flag).
int cdb_trigger_oper_subscriptions(int sock, int sub_points[], int len, int flags);

#ifdef __cplusplus
}
#endif
