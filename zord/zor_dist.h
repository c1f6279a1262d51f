// Distribution: how the changes of the database reach the clients.
//
// The walk event (created and owned here, armed by the store at every
// change) runs zor_dist_run: for every family, one walk takes along every
// client registered for it. Only the clients that take some family are
// looked at (the context keeps them in id order), not every client slot.
// A walk starts at the earliest client marker and picks up each client when
// it passes that client's marker; every entry
// it reaches is filled once and encoded once per distinct byte image (the
// pairwise-keys rules may give advd, xfwd and the others different bytes of
// one TLOC), and the bytes are copied into each client's send queue. A
// client's queue goes out with as many messages per system call as its
// socket takes: when it grows past ZOR_DIST_FLUSH_BYTES, and at the end of
// the walk. Each client still receives, in change order, every entry
// changed since its marker, once however often it changed, and its marker
// moves on behind what it was sent.
//
// Flow control (sending one message at a time as it comes would let a
// client's queue grow without bound): a client whose queue holds the high
// watermark or more stops where it is, its marker before the entry it was
// not sent, and is left out of the walks until its queue is down to the low
// watermark; the database keeps the entries meanwhile, so a stalled client
// costs no memory, and when it resumes it is sent the current state of every
// entry changed since (coalesced) in change order. Other clients never wait
// for it. Out of memory for a queue stops that client the same way and
// retries on the walk's retry timer; the first failure of a run of failures
// is logged, and the recovery.
//
// Event-loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zor_daemon.h"
#include "zor_db.h"
#include "zor_msg.h"
#include "zor_result.h"

// Flow-control settings (bytes), read from the environment by
// zor_dist_configure: ZOR_CLIENT_HIGH_WATERMARK and ZOR_CLIENT_LOW_WATERMARK
// per client, ZOR_TOTAL_HIGH_WATERMARK and ZOR_TOTAL_LOW_WATERMARK for the
// bytes queued to all clients together, over which zord stops reading from
// its peers until the queues are down to the low mark (0: never).
#define ZOR_DIST_CLIENT_HIGH_DEFAULT (256u * 1024u)
#define ZOR_DIST_CLIENT_LOW_DEFAULT (64u * 1024u)
#define ZOR_DIST_TOTAL_HIGH_DEFAULT (8u * 1024u * 1024u)
#define ZOR_DIST_TOTAL_LOW_DEFAULT (4u * 1024u * 1024u)
#define ZOR_DIST_FLUSH_BYTES (64u * 1024u)

struct t_zor_dist_config {
    uint32_t client_high;
    uint32_t client_low;
    uint64_t total_high;
    uint64_t total_low;
};
extern t_zor_dist_config g_zor_dist_config;

#define ZOR_DIST_RETRY_MS 200  // a walk stopped by no memory runs again this much later

// Creates the walk event (which runs zor_dist_run) and its retry timer and
// names the walk event in the context for the store to arm. 0, or
// ZOR_ERR_NO_MEMORY with nothing created. zor_dist_fini frees them; safe on
// a context where init failed or never ran.
int zor_dist_init(t_zor_context *ctx);
void zor_dist_fini(t_zor_context *ctx);

// The client took its first family (join) or gave up its last one (leave):
// it enters or leaves the set of clients the walks look at. Both are no-ops
// when nothing changes.
void zor_dist_client_join(t_zor_client *client);
void zor_dist_client_leave(t_zor_client *client);

// Arms the walk event to run after ZOR_DIST_RETRY_MS, for a walk that
// stopped on a failure nothing else will report (out of memory): unless a
// retry is pending already. Harmless without a failure.
void zor_dist_walk_retry(t_zor_context *ctx);

// Takes the settings from the environment (a value that is not a whole
// number of bytes is logged and the default kept; a low mark above its high
// one is lowered to it) and hands the total watermarks to the message queue.
void zor_dist_configure();

// What the walk event runs: every family, for the clients that take it.
void zor_dist_run(t_zor_context *ctx);

// One walk over a family for the given clients (those not registered, not
// connected or stalled are passed by). 0, or the last failure of a client
// that stopped on one (ZOR_ERR_NO_MEMORY, ZOR_ERR_ENCODE, ZOR_ERR_SEND).
int zor_dist_walk(t_zor_context *ctx, zor_af_t af, t_zor_client *const *clients, size_t count);

// Distribution of one client:
//
// zor_client_walk: one walk slice of a client over a family (0 or the send
// error). A slice runs from the client's marker until g_zor_walk_budget_ms
// have passed on the timer manager's clock; the marker then stands before
// the next entry and the walk event is armed again. A client stopped by a
// failure or by its watermark has its marker before the entry it was not
// sent.
//
// zor_db_entry_send: sends an entry (or its deletion, to a holder of a
// withdrawn one) and keeps its sent bit; zor_db_send: fills, filters,
// encodes and queues one message (ZOR_OK; ZOR_ERR_NO_MEMORY for the queue,
// the sent bit is then left as it was; ZOR_ERR_ENCODE; ZOR_ERR_SEND); zor_pwk_db_send_filter:
// the pairwise-keys filter (1 to drop). While a walk handles an entry, the
// message is filled and encoded once for every client it goes to.
int zor_client_walk(t_zor_client *client, zor_af_t af);
int zor_db_entry_send(t_zor_client *client, t_zor_db_entry *entry);
int zor_db_send(t_zor_client *client, t_zor_db_entry *entry, uint8_t is_delete);
int zor_pwk_db_send_filter(uint32_t client_id, uint32_t type, const zor_msg_body_t *body);

// A client's connection went or came: its flow-control state starts afresh.
void zor_dist_client_reset(t_zor_client *client);
