// The message queue: discrete messages between the daemons of one box over
// stream sockets.
//
// A handle joins two modules (source and target module ids, 1-228). Server
// handles of one process that share a socket path share one Unix-domain
// listener; a peer connects, sends a register message naming itself and the
// server module, and is then bound to the handle of that pair. Client handles
// connect to their server (Unix domain or IPv4) and retry through a one-shot
// "msgq-timer" after every loss. Each message is an 8-byte header followed by
// the payload (or, for application-header handles, the application's own
// header carrying the length).
//
// A handle queues what it sends as bytes, whole messages back to back, and
// sends many messages per system call; it reads what its socket holds with
// one call per read event and cuts the messages out of it.
//
// Everything runs on the event-loop thread of the instance's event base; there
// are no locks. User callbacks run from event callbacks (and, for blocking
// client handles, from inside msgq_write) and may write to any handle and
// delete any handle, their own included: a handle deleted while the message
// queue is on the stack is unlinked and disconnected at once and its memory
// is released when the outermost message-queue frame returns.
#pragma once

#include <boost/intrusive/list.hpp>
#include <boost/intrusive/slist.hpp>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "ost_event.h"
#include "timer.h"

// ---------------------------------------------------------------- wire format

#define MAGIC1 0xBEAF
#define MAGIC2 0x0C

#define MSGQ_MSG_TYPE_REGISTER 1
#define MSGQ_MSG_TYPE_DATA 2

#define MSGQ_MAX_MSG_SIZE 65535u
#define MSGQ_MAX_APP_SIZE (MSGQ_MAX_MSG_SIZE - sizeof(msgq_hdr_t))
#define MSGQ_MAX_HDR_LEN 64  // size of the receive header buffer; bound of app_hdr_len

// Message header, host byte order on both ends (same host).
struct msgq_hdr_t {
    uint16_t magic1;  // MAGIC1
    uint16_t size;    // whole message, header included
    uint8_t src;      // module id of the sender
    uint8_t tgt;      // module id of the receiver
    uint8_t type;     // MSGQ_MSG_TYPE_*
    uint8_t magic2;   // MAGIC2
};
static_assert(std::is_standard_layout_v<msgq_hdr_t>);
static_assert(sizeof(msgq_hdr_t) == 8);
static_assert(offsetof(msgq_hdr_t, magic1) == 0);
static_assert(offsetof(msgq_hdr_t, size) == 2);
static_assert(offsetof(msgq_hdr_t, src) == 4);
static_assert(offsetof(msgq_hdr_t, tgt) == 5);
static_assert(offsetof(msgq_hdr_t, type) == 6);
static_assert(offsetof(msgq_hdr_t, magic2) == 7);

// ---------------------------------------------------------------- constants

#define MSGQ_HANDLE_TYPE_SERVER 1
#define MSGQ_HANDLE_TYPE_CLIENT 2

#define MSGQ_SOCK_TYPE_UNIX 1
#define MSGQ_SOCK_TYPE_IPV4 2

#define MSGQ_PATH_LEN 64
#define MSGQ_IPADDR_LEN 128

#define MSGQ_CONNECT_TIMER_NAME "msgq-timer"
#define MSGQ_CONNECT_RETRY_MS 500
#define MSGQ_FAIRNESS_MS 2000  // one read callback stops after a message completed this late
#define MSGQ_IPV4_CONNECT_WAIT_SECS 5
#define MSGQ_RX_READ_MAX (64 * 1024)   // bytes one read of a socket takes at most
#define MSGQ_TX_CHUNK_SIZE (16 * 1024) // allocation unit of the send queues
#define MSGQ_TX_IOV_MAX 64             // send-queue chunks one send takes at most

// Results of msgq_write and the send helpers (the system's errno values).
#define MSGQ_OK 0
#define MSGQ_ERR_INVALID 10        // NULL handle or buffer
#define MSGQ_ERR_AGAIN 11          // node allocation or blocking send failed
#define MSGQ_ERR_NOT_CONNECTED 14  // no socket, or a send error is pending
#define MSGQ_ERR_QUEUE_FULL 32     // the send queue is at its limit

// Results of starting a server or a client.
#define MSGQ_START_FAILED 1
#define MSGQ_START_ALREADY 6         // listener already on, or the stale path could not be removed
#define MSGQ_START_REBOOT_PENDING 7

// ---------------------------------------------------------------- records

struct msgq_handle_t;
struct msgq_inst_t;
struct msgq_server_t;

// conn_up / conn_down: (handle, user argument, handle, user argument); both
// pairs name the same handle.
using msgq_conn_cb_fn = void (*)(msgq_handle_t *msgq_p, void *user_arg, msgq_handle_t *msgq_p2, void *user_arg2);
// One complete message; it belongs to the callee, who frees it with
// msgq_free_msg on the same handle.
using msgq_recv_cb_fn = void (*)(msgq_handle_t *msgq_p, void *app_p, uint16_t app_size, void *user_arg);
using msgq_alloc_fn = void *(*)(size_t size);
using msgq_free_fn = void (*)(void *ptr);
using msgq_reboot_pending_fn = bool (*)(msgq_handle_t *msgq_p);
// The send queue of a handle drained to the mark given to msgq_notify_drained.
using msgq_drain_fn = void (*)(msgq_handle_t *msgq_p, void *user_arg);

struct msgq_callbacks_t {
    msgq_conn_cb_fn conn_up;     // the connection is registered and usable
    msgq_conn_cb_fn conn_down;   // a registered connection went down
    msgq_conn_cb_fn spare;       // required, never called
    msgq_recv_cb_fn recv_msg;    // required
    msgq_alloc_fn alloc_msg;     // required: every message buffer and send-queue node
    msgq_free_fn free_msg;       // required
    msgq_reboot_pending_fn is_reboot_pending;  // optional: clients do not start connecting while true
};

// The daemons of the box use Unix-domain, registering, non-blocking handles
// (msgq_setup_unix). The IPv4 socket type, the application-header variant
// and blocking clients are kept for the transport's own tests and fuzz
// targets only: no program of the box opens such a handle.
struct msgq_params_t {
    event_base *evbase;
    timer_mgr_t *timer_mgr;     // required for client handles
    uint32_t skip_register;     // bit 0: no register message on connect
    uint32_t use_app_header;    // tests only; bit 0: application-header variant (implies skip_register)
    uint32_t app_hdr_len;       // 1-64 with use_app_header; the length field must lie inside
    uint32_t app_size_offset;   // big-endian 16-bit total length at this byte of the app header
    uint32_t facility;          // syslog facility of every line of the instance (priority is debug)
    uint32_t sock_type;         // MSGQ_SOCK_TYPE_* (IPV4: tests only)
    uint32_t port;              // IPv4 clients
    char ipaddr[MSGQ_IPADDR_LEN];  // IPv4 clients: dotted address text
    char path[MSGQ_PATH_LEN];   // empty: "<run dir>/.<module name>"
    uint32_t blocking;          // tests only; bit 0: client handles only
};

// A piece of a handle's send queue: the queued bytes of whole messages, back
// to back, as they go on the wire. A message never straddles two chunks;
// each chunk records the lengths of its messages in slots at the end of its
// data area, so that sent messages can be counted. Allocated through the
// handle's alloc_msg (header and data in one block) and freed once sent.
struct msgq_tx_chunk_t {
    boost::intrusive::slist_member_hook<> hook;  // in the handle's send queue
    uint32_t cap = 0;       // bytes of the data area, length slots included
    uint32_t head = 0;      // first byte not yet on the socket
    uint32_t tail = 0;      // end of the queued bytes
    uint32_t done_end = 0;  // end of the last message completely sent
    uint16_t frames = 0;    // messages queued in this chunk
    uint16_t done = 0;      // of which completely sent
};

// A handle's send queue: chunks appended at the tail, sent and freed from
// the head.
using msgq_tx_queue_t = boost::intrusive::slist<
    msgq_tx_chunk_t,
    boost::intrusive::member_hook<msgq_tx_chunk_t, boost::intrusive::slist_member_hook<>, &msgq_tx_chunk_t::hook>,
    boost::intrusive::cache_last<true>, boost::intrusive::constant_time_size<false>>;

// The 21 per-handle counters, in dump order.
struct msgq_stats_t {
    uint32_t tx_msg;
    uint32_t tx_fail;
    uint32_t rx_msg;
    uint32_t rx_fail;
    uint32_t tx_resched;
    uint32_t tx_write_cb;
    uint32_t rx_register;
    uint32_t tx_register;
    uint32_t conn_up;
    uint32_t conn_down;
    uint32_t conn_close;
    uint32_t conn_exist;
    uint32_t msg_allocs;
    uint32_t msg_frees;
    uint32_t alloc_failed;
    uint32_t tx_queued;
    uint32_t tx_dequeued;
    uint32_t tx_queue_failed;
    uint32_t rx_read_helper_cb;
    uint32_t rx_read_helper_scheduled;
    uint32_t tx_queue_cur_length;
};
static_assert(sizeof(msgq_stats_t) == 21 * sizeof(uint32_t));

struct msgq_handle_t {
    uint8_t src = 0;   // module ids, 1-228 (0 on temporary handles)
    uint8_t tgt = 0;
    uint8_t type = 0;  // MSGQ_HANDLE_TYPE_*
    msgq_inst_t *inst = nullptr;
    msgq_server_t *server_p = nullptr;  // server handles (NULL on temporary handles)
    int sock_fd = -1;

    // In the list its in_*_list flag names, or in the instance's reap list.
    boost::intrusive::list_member_hook<> list_hook;
    timer_util_t *connect_timer = nullptr;  // non-blocking client handles
    msgq_callbacks_t cbs{};

    uint8_t skip_register = 0;
    uint8_t in_reg_list = 0;
    uint8_t in_unreg_list = 0;
    uint8_t in_tmp_list = 0;
    uint8_t use_app_header = 0;
    uint8_t blocking = 0;
    uint8_t down_pending = 0;  // a send failed; closed at the next write event
    uint8_t app_size_offset = 0;
    uint8_t app_hdr_len = 0;

    // Receive state: header phase (no rx_buf, rx_offset < header length) or
    // body phase (rx_buf of rx_size bytes).
    ost_event_ptr read_ev;
    uint8_t rx_hdr[MSGQ_MAX_HDR_LEN] = {};
    uint16_t rx_offset = 0;
    uint16_t rx_size = 0;
    uint8_t *rx_buf = nullptr;
    // Bytes read from the socket but not yet cut into messages, because a
    // read callback stopped on the fairness rule; they come before anything
    // read later and are taken up by rx_resume_ev (a zero timeout).
    uint8_t *rx_stash = nullptr;
    uint32_t rx_stash_len = 0;
    uint32_t rx_stash_off = 0;
    ost_event_ptr rx_resume_ev;

    ost_event_ptr write_ev[2];
    uint8_t write_scheduled[2] = {};
    uint8_t write_idx = 0;
    ost_event_ptr read_helper_ev[2];
    uint8_t read_helper_scheduled[2] = {};
    uint8_t read_helper_idx = 0;

    void *user_arg = nullptr;
    uint32_t sock_type = 0;
    uint32_t port = 0;
    msgq_tx_queue_t txq;
    uint32_t tx_bytes = 0;                 // queued and not yet on the socket
    uint32_t drain_low = 0;                // see msgq_notify_drained
    msgq_drain_fn drain_fn = nullptr;
    char ipaddr[MSGQ_IPADDR_LEN] = {};
    char path[MSGQ_PATH_LEN] = {};
    uint16_t max_queue_len = 0;  // 0: no limit
    msgq_stats_t stats{};

    // Callbacks may delete handles under a frame's feet: conn_gen changes at
    // every close, so a frame that called out to the user can tell that the
    // connection it was serving is gone; free_pending marks a deleted handle
    // whose memory waits for the outermost message-queue frame to return.
    uint32_t conn_gen = 0;
    uint8_t free_pending = 0;

    // An accepted connection's peer, from its socket's credentials (pid -1
    // and uid UINT32_MAX when unknown), and whether the accept policy admits
    // it; a connection waiting to register closes when reg_timeout_ev fires.
    int32_t peer_pid = -1;
    uint32_t peer_uid = UINT32_MAX;
    uint8_t peer_admitted = 1;
    ost_event_ptr reg_timeout_ev;
};

// Lists of handles: intrusive, doubly linked, insertion at the head. A handle
// is in at most one list at a time (registered, unregistered, temporary, or
// waiting to be freed), so one hook serves all four.
using msgq_handle_list_t = boost::intrusive::list<
    msgq_handle_t,
    boost::intrusive::member_hook<msgq_handle_t, boost::intrusive::list_member_hook<>, &msgq_handle_t::list_hook>>;

// One listening path, shared by every server handle with that path.
struct msgq_server_t {
    boost::intrusive::list_member_hook<> list_hook;  // in the instance's server list
    msgq_inst_t *inst = nullptr;
    uint8_t src = 0;
    char path[MSGQ_PATH_LEN] = {};
    ost_evconnlistener_ptr listener;  // NULL until started
    msgq_handle_t *apphead_msgq_handle_p = nullptr;  // the single handle of an application-header server
    uint8_t listener_apphdr = 0;
    uint32_t refcnt = 0;
    // Out of descriptors: accepting waits for resume_ev (see msgq_accept_policy_t).
    ost_event_ptr resume_ev;
    uint8_t accept_paused = 0;
};

// The server records, newest first.
using msgq_server_list_t = boost::intrusive::list<
    msgq_server_t,
    boost::intrusive::member_hook<msgq_server_t, boost::intrusive::list_member_hook<>, &msgq_server_t::list_hook>,
    boost::intrusive::constant_time_size<false>>;

// The process-wide instance: created by the first msgq_init, freed when the
// last handle is deleted.
struct msgq_inst_t {
    msgq_handle_list_t reg_msgq_listhead;    // handles with a registered connection
    msgq_handle_list_t unreg_msgq_listhead;  // handles without one
    msgq_handle_list_t tmp_msgq_listhead;    // accepted connections not registered yet
    msgq_server_list_t server_list;
    event_base *evbase = nullptr;
    timer_mgr_t *timer_mgr = nullptr;
    uint32_t facility = 0;
    // Message-queue frames on the stack, and the handles deleted meanwhile;
    // see the file comment.
    uint32_t depth = 0;
    msgq_handle_list_t reap_list;
    // Sending and receiving of all handles: the bytes queued to every peer
    // not waiting for a drain notification, whether reading is paused on
    // their account (msgq_set_total_watermarks), and the buffer one read of
    // a socket lands in (rx_scratch_busy while a reader cuts messages out of
    // it).
    uint64_t tx_bytes = 0;
    uint8_t rx_paused = 0;
    uint8_t rx_scratch_busy = 0;
    uint8_t *rx_scratch = nullptr;
};

// ---------------------------------------------------------------- handles

// What the handles of the box have in common: a Unix-domain socket at the
// default path, lines at local7, and the empty spare callback every handle
// must name. The caller adds its own callbacks (conn_up, conn_down,
// recv_msg, alloc_msg, free_msg) and anything else it needs.
struct msgq_setup_t {
    msgq_params_t params;
    msgq_callbacks_t cbs;
};
msgq_setup_t msgq_setup_unix(event_base *evbase, timer_mgr_t *timer_mgr);

// Creates a handle. NULL when src or tgt is outside 1-228 or the socket path
// does not fit MSGQ_PATH_LEN. Invalid parameters or callbacks, a duplicate
// (src, tgt, type, path), an unsupported socket type and a server that
// cannot listen are programming or installation errors: logged, then the
// process stops (assertion). A server handle listens at once (sharing the
// listener of its path); a non-blocking client makes its first attempt when
// its 500 ms timer expires; a blocking client connects before returning,
// retrying until it does. The parameters and callbacks are copied.
msgq_handle_t *msgq_init(uint32_t src, uint32_t tgt, uint32_t type, const msgq_params_t *params,
                         const msgq_callbacks_t *cbs, void *user_arg);

// Closes the connection (conn_down when it was registered), frees queued
// messages, deletes the retry timer, releases the listener of the path (the
// last handle of a path removes the socket file) and frees the handle. The
// last handle frees the instance. NULL is ignored; deleting a handle twice
// is a programming error.
void msgq_deinit(msgq_handle_t *msgq_p);

void msgq_set_user_arg(msgq_handle_t *msgq_p, void *user_arg);

// Has a socket and no pending send error.
bool msgq_is_connected(const msgq_handle_t *msgq_p);

// Closes the current connection of a handle: frees its events, queued
// messages and partial receive buffer, closes the socket, moves a registered
// handle to the unregistered list and calls conn_down. With restart, a
// non-blocking client arms its retry timer. A temporary handle stays in the
// temporary list (its owner unlinks and frees it).
void msgq_close_connection(msgq_handle_t *msgq_p, int restart);

// The current instance, NULL when no handle exists.
msgq_inst_t *msgq_inst_get();

// ---------------------------------------------------------------- accepting

// How server sockets treat what connects to them. Process-wide; the values
// apply to connections accepted afterwards. These guard the daemon against
// local processes that connect and never register, and against running out
// of descriptors, neither of which the wire protocol itself bounds.
struct msgq_accept_policy_t {
    // A connection that has not sent its register message within this time
    // is closed (0: never).
    uint32_t register_timeout_ms = 5000;
    // At most this many connections wait to register; a new one closes the
    // oldest of them (0: no cap).
    uint32_t max_unregistered = 64;
    // Out of descriptors (EMFILE, ENFILE, ENOBUFS, ENOMEM from accept): the
    // listener stops for this long instead of retrying at once, which
    // would spin on the readable listening socket.
    uint32_t accept_pause_ms = 1000;
    // Admit only peers whose socket credentials name root, this process's
    // effective user, or (primary or supplementary) the group admit_gid;
    // others are refused at their register message with a line naming them.
    uint8_t check_peer = 0;
    int64_t admit_gid = -1;  // -1: no group
};
void msgq_set_accept_policy(const msgq_accept_policy_t *policy);
const msgq_accept_policy_t *msgq_accept_policy();

// Binds and listens on the default server socket of module src ("<run
// dir>/.<module name>") ahead of msgq_init, which then takes it over: a
// daemon learns that it cannot serve before detaching from its terminal. A
// stale socket file is replaced. 0, or the errno of what failed; path
// receives the socket path either way. Before any handle exists only.
int msgq_server_prebind(uint32_t src, char *path, size_t len);

// ---------------------------------------------------------------- messages

// Header length of a handle: 8, or app_hdr_len for application-header handles.
uint16_t msgq_hdr_len(const msgq_handle_t *msgq_p);
// Application size <-> message size: -/+ 8, identity for application-header handles.
uint16_t msgq_size_msg_to_app(const msgq_handle_t *msgq_p, uint16_t size);
uint16_t msgq_size_app_to_msg(const msgq_handle_t *msgq_p, uint16_t size);

// A message buffer with room for app_size application bytes (at most
// MSGQ_MAX_APP_SIZE, or 65535 for application-header handles: assertion).
// Returns the application pointer (8 bytes past the buffer start, or the
// start for application-header handles), or NULL (alloc_failed + 1). The
// caller owns it until a write returns 0.
void *msgq_alloc_msg(msgq_handle_t *msgq_p, uint32_t app_size);

// Frees a buffer from msgq_alloc_msg or from the receive callback. NULL is ignored.
void msgq_free_msg(msgq_handle_t *msgq_p, void *app_p);

// ---------------------------------------------------------------- sending

// Sends app_size application bytes of app_p: they are copied into the send
// queue and the queue is flushed (msgq_flush). 0: sent or queued, the buffer
// belongs to the transport (and is freed). Otherwise it stays with the caller:
// MSGQ_ERR_INVALID (NULL handle or buffer), MSGQ_ERR_NOT_CONNECTED,
// MSGQ_ERR_QUEUE_FULL, MSGQ_ERR_AGAIN (node allocation or blocking send
// failed). A blocking client handle sends synchronously and then reads the
// reply in the same call (the receive callback runs before this returns).
// For application-header handles app_size is the whole message.
int msgq_write(msgq_handle_t *msgq_p, void *app_p, uint16_t app_size);

// Blocking client handles: sends msg (total bytes, header included) and
// reads one reply. 0 (msg freed) or MSGQ_ERR_AGAIN (msg stays with the
// caller; the connection is closed).
int msgq_send_blocking(msgq_handle_t *msgq_p, uint8_t *msg, uint16_t total);

// Appends a copy of msg to the send queue and frees msg, then flushes. 0
// (msg freed), MSGQ_ERR_QUEUE_FULL or MSGQ_ERR_AGAIN (no memory for the
// queue; msg stays with the caller).
int msgq_enqueue(msgq_handle_t *msgq_p, uint8_t *msg, uint16_t total);

// Queues app_size application bytes (copied; the header is built here as
// msgq_write fills it) without sending them: they leave with the next
// msgq_flush or write event, together with whatever else is queued, so that
// one system call carries many messages. For application-header handles the
// bytes are the whole message. Counted as a message allocated and written.
// 0, or MSGQ_ERR_INVALID, MSGQ_ERR_NOT_CONNECTED, MSGQ_ERR_QUEUE_FULL,
// MSGQ_ERR_AGAIN (no memory for the queue: alloc_failed + 1). Nothing is
// kept on failure. A blocking client handle sends at once instead.
int msgq_enqueue_copy(msgq_handle_t *msgq_p, const void *app_p, uint16_t app_size);

// Sends what is queued, as many messages per system call as the socket
// takes, unless a write event is pending (it sends when the socket has
// room: a send now would only fail). Stops when the queue is empty, the
// socket is full (a write event is scheduled) or a send fails (down_pending;
// the next write event closes the connection). A message cut by a short
// send is resumed at its first unsent byte.
void msgq_flush(msgq_handle_t *msgq_p);
void msgq_schedule_write(msgq_handle_t *msgq_p);
void msgq_write_cb(evutil_socket_t fd, short events, void *arg);
// True while a write event of the handle is pending.
bool msgq_write_pending(const msgq_handle_t *msgq_p);

// Runs the handle's reader from the event loop without new data on the socket.
void msgq_schedule_read_helper(msgq_handle_t *msgq_p);
void msgq_read_helper_cb(evutil_socket_t fd, short events, void *arg);

// 0 means no limit (the default).
void msgq_set_max_queue_len(msgq_handle_t *msgq_p, uint16_t limit);
// Messages currently queued; 0 for NULL.
uint16_t msgq_get_queue_len(const msgq_handle_t *msgq_p);
// Bytes currently queued (not yet on the socket); 0 for NULL.
uint32_t msgq_get_queue_bytes(const msgq_handle_t *msgq_p);

// Flow control. msgq_notify_drained arms a one-shot call of fn(handle, user
// argument) for when sending brings the queue down to low bytes or fewer
// (from the write event or a flush); closing the connection disarms it, and
// a second call replaces the first (fn NULL disarms). msgq_set_total_watermarks:
// once the bytes queued to all handles together pass high, no handle reads
// from its socket until they are down to low again (0 for high: never; the
// default). A handle waiting for its drain notification does not count
// towards that total: its peer holds it back, not the ones read from.
// Process-wide, event-loop thread.
void msgq_notify_drained(msgq_handle_t *msgq_p, uint32_t low, msgq_drain_fn fn);
void msgq_set_total_watermarks(uint64_t high, uint64_t low);
// Whether reading is paused on the total watermark.
bool msgq_rx_paused();

// ---------------------------------------------------------------- receiving

// The read-event callback: msgq_read_apphdr_cb for application-header
// handles, msgq_read_msghdr_cb otherwise. Each reads what the socket holds
// (up to MSGQ_RX_READ_MAX bytes) with one system call and cuts it into
// messages, handing each to recv_msg; it stops after the first message
// completed MSGQ_FAIRNESS_MS or more after entry (the rest of what was read
// follows from the event loop, before anything read later). Blocking
// handles read exactly one message, and a connection that has not
// registered exactly its register message. A data header whose size does
// not exceed the header length is dropped and the connection stays;
// anything else a peer sends that the reader cannot follow closes that one
// connection.
void msgq_read_cb(evutil_socket_t fd, short events, void *arg);
void msgq_read_msghdr_cb(evutil_socket_t fd, short events, void *arg);
void msgq_read_apphdr_cb(evutil_socket_t fd, short events, void *arg);

// One connect attempt of a client handle (arg1): the callback of its
// "msgq-timer" (re-armed after a failure), or called directly with timer NULL.
void msgq_connect_timer(timer_util_t *timer, void *arg1, void *arg2, void *arg3, void *arg4);

// ---------------------------------------------------------------- dump

// The instance and every handle with its non-zero counters, printed with
// maapi_cli_printf on the CLI session (sock, usess).
void msgq_dump(int sock, int usess);

// The "[MSG] " debug lines of the transport are written only while the
// level is above 0 (0 at start); "[MSG-ERR] " lines always are.
void msgq_set_debug(int level);
