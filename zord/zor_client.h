// Clients: the peer daemons of the box that talk to zord.
//
// Every peer module id has one client record for the life of the context,
// whether connected or not, with one message-queue server handle on the
// shared socket "<run dir>/.zord". A client registers per address family
// whether it wants to receive the family (announce) and whether it produces
// it (originate), sends add, delete and status messages, and receives every
// entry of the families it announced each time the entry changes, and a
// deletion when it goes, at its own pace: a marker per family walks the
// family's change list behind the changes. Event-loop thread only.
#pragma once

#include <cstdint>

#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_dist.h"
#include "zor_msg.h"

struct msgq_handle_t;
struct confd_user_info;

struct t_zor_client_counters {
    uint64_t received;
    uint64_t sent;
};

struct t_zor_client {
    uint32_t id;  // module id; also the client's bit in every sent bitmap
    t_zor_context *context;
    msgq_handle_t *handle;
    t_zor_db_entry *marker[ZOR_AF_COUNT];  // null while the family is not registered
    uint8_t announce[ZOR_AF_COUNT];        // 1 once the client registered the family
    uint8_t originate[ZOR_AF_COUNT];       // as last registered
    t_zor_client_counters counters[ZOR_AF_COUNT];
    // Distribution (zor_dist): the queue is at its high watermark and the
    // walks pass the client by until it drains; a failure was logged and
    // not yet followed by a success.
    uint8_t stalled;
    uint8_t failing;
};
ZOR_MEM_RECORD(t_zor_client, ZOR_MEM_CLIENT);

extern uint32_t g_zor_debug_announce;  // enables zor_debug_announcement
extern uint32_t g_zor_pwk_enabled;     // the pairwise-keys switch

// A module's name for any id, "unknown" past the module table: ids that
// come from peers are written in log lines before they are checked.
const char *zor_module_name(uint32_t id);

// True for the module ids that are clients: 1, 3, 4, 5, 9, 13, 16, 24, 35-98.
bool zor_client_is_peer(uint32_t id);

// Creates the client of every peer id; 0, or 2 on the first failure.
int zor_clients_init(t_zor_context *ctx);
void zor_clients_fini(t_zor_context *ctx);

// The client of an id (existing one returned unchanged), with its server
// handle; null when the handle cannot be made. An id of 229 or more is a
// programming error.
t_zor_client *zor_client_create(t_zor_context *ctx, uint32_t id);
void zor_client_destroy(t_zor_context *ctx, uint32_t id);

// The client record of an id, or null (also for ids out of range).
t_zor_client *zor_client_get(const t_zor_context *ctx, uint32_t id);

// Registration of a family: 0, 2 (no marker) or 6 (no such client). An
// announce of 0 is ignored entirely.
int zor_client_register(t_zor_context *ctx, uint32_t id, zor_af_t af, uint8_t announce, uint8_t originate);
void zor_client_unregister(t_zor_context *ctx, uint32_t id, zor_af_t af);

// Message-queue callbacks of every client handle.
//
// zor_client_recv takes the buffer (and frees it), decodes it and hands the
// message to its family. A message that cannot be decoded, or whose family
// is outside 0-9, is dropped with a log line before it is counted; one whose
// type does not belong to its family (an add or delete of another family's
// type, a status for a family that has no such status, a data-device add or
// delete, which only zord sends) is counted and then dropped with a log
// line. Nothing a peer sends stops the daemon.
void zor_client_recv(msgq_handle_t *handle, void *app, uint16_t len, void *client);
// The client's connection went: its bit leaves every entry, the entries it
// owns are withdrawn (the others receive the deletions), and its markers go.
// The record and its handle stay for a reconnection. A null client is a
// programming error (assertion "0" at zord/zor_client line 84).
void zor_client_conn_down(msgq_handle_t *handle, void *client, msgq_handle_t *handle2, void *arg2);

// Distribution of the clients' families: zor_dist.h.

// The debug log of one message sent to or received from a client.
void zor_debug_announcement(const zor_msg_t *msg, uint32_t client_id, bool sent);

// Commands "zor_dump_clients" and "zor_dump_msgq".
int zor_dump_clients(confd_user_info *uinfo, char *path, int argc, char **argv);
int zor_dump_msgq(confd_user_info *uinfo, char *path, int argc, char **argv);
