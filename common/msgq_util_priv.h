// What the pieces of the message queue share and nobody else uses: the
// instance pointer, the log and assertion macros, the frame guard of deferred
// freeing, and the helpers one piece calls in another. The pieces are
// msgq_util.cpp (instance, handles, message buffers), msgq_util_accept.cpp
// (accepted connections, admission and the register handshake),
// msgq_util_server.cpp (listeners), msgq_util_client.cpp (connecting and
// retrying), msgq_util_tx.cpp (the send queue), msgq_util_rx.cpp (the
// readers) and msgq_util_dump.cpp (the dump). All of them report as
// common/msgq_util in assertions. Event-loop thread only.
#pragma once

#include <cstdint>
#include <ctime>
#include <sys/types.h>

#include "msgq_util.h"
#include "ost_assert.h"
#include "ost_log.h"
#include "ost_util.h"

namespace msgq_priv {

extern msgq_inst_t *g_inst;  // the current instance, null when no handle exists
extern int g_debug;          // "[MSG] " lines while above 0

// Every line of the transport goes out with the instance's facility at
// priority debug, errors included.
int log_pri();

}  // namespace msgq_priv

// "[MSG] " lines are debug lines: written only while the transport's debug
// switch is on (the owning daemon turns it on with its event debugging).
// "[MSG-ERR] " lines are always written.
#define MSGQ_LOG(fmt, ...)                                                                  \
    do {                                                                                    \
        if (msgq_priv::g_debug > 0) {                                                       \
            ost_log(msgq_priv::log_pri(), "[MSG] " fmt __VA_OPT__(, ) __VA_ARGS__);         \
        }                                                                                   \
    } while (0)
// An error line names the operation it belongs to: helpers that write the
// lines of another function take that function's name as fn.
#define MSGQ_ERR_IN(fn, fmt, ...) \
    ost_log(msgq_priv::log_pri(), "[MSG-ERR] %s[%d]: " fmt, (fn), __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define MSGQ_ERR(fmt, ...) MSGQ_ERR_IN(__func__, fmt __VA_OPT__(, ) __VA_ARGS__)

// The module is one source for the assertion reports, whichever piece fails.
#define MSGQ_SOURCE "common/msgq_util.cpp"
#define MSGQ_ASSERT(expr) ((expr) ? (void)0 : ost_assert_fail(MSGQ_SOURCE, __LINE__, #expr))
#define MSGQ_ASSERT_TEXT(expr, text) ((expr) ? (void)0 : ost_assert_fail(MSGQ_SOURCE, __LINE__, text))

namespace msgq_priv {

// Frees the instance once no handle is left (msgq_util.cpp).
void inst_free(msgq_inst_t *inst);

// Marks a message-queue frame on the stack. User callbacks may delete
// handles (theirs included); while any frame is open such handles are only
// queued on the reap list, and the instance is not freed, so every pointer a
// frame holds stays valid until the outermost frame returns.
class frame {
public:
    explicit frame(msgq_inst_t *inst) : inst_(inst) { inst_->depth++; }
    ~frame();
    frame(const frame &) = delete;
    frame &operator=(const frame &) = delete;

private:
    msgq_inst_t *inst_;
};

// Module ids in headers come from peers and may lie outside the table.
const char *module_name(uint32_t module);

// Milliseconds since start on the timer manager's monotonic clock (which
// tests can drive by hand; a wall-clock jump must not stall or cut a reader).
int64_t elapsed_ms(const timespec &start);

// Bytes between the buffer start and the application pointer.
size_t app_offset(const msgq_handle_t *h);

// ---- handles (msgq_util.cpp)

// Frees a handle that is in no list, or queues it on the reap list while a
// frame is open.
void msgq_handle_free(msgq_handle_t *h);
// The three lists of the instance; a handle is in at most one of them.
enum class msgq_list_id { reg, unreg, tmp };
// Unlinks the handle from whichever list holds it (none: nothing happens).
void msgq_list_remove(msgq_handle_t *h);
// Removes the handle from its list (if any) and inserts it at the head of another.
void msgq_list_insert(msgq_handle_t *h, msgq_list_id which);
bool msgq_same_path(const char *a, const char *b);
// The server handle of list that a peer registering as (tgt -> src) at path
// belongs to, or null.
msgq_handle_t *msgq_find_server(msgq_handle_list_t *list, uint8_t src, uint8_t tgt, const char *path);

// ---- connections (msgq_util_accept.cpp)

// A connection's events: a read event on fd (persistent, added) unless
// with_read is false, two write events and two read helpers. On failure
// nothing is left behind and the result is false.
bool msgq_create_conn_events(msgq_handle_t *h, int fd, bool with_read);
// Moves the handle to the registered list and calls conn_up.
void msgq_call_conn_up(msgq_handle_t *h);
// The accept callback of every listener (arg: its msgq_server_t).
void msgq_listener_cb(evconnlistener *listener, evutil_socket_t fd, sockaddr *addr, int len, void *arg);

// A recv result of 0 or less; err is the errno of that recv. EAGAIN and
// EINTR are ignored; anything else counts rx_fail and closes.
void msgq_read_error(msgq_handle_t *h, ssize_t rc, int err);
// A stream the transport cannot follow: counted as a failed receive and that
// one connection is closed; every other connection carries on.
void msgq_reject_stream(msgq_handle_t *h);
// The register message on a temporary connection (hdr: its header).
void msgq_handle_register_msg(msgq_handle_t *tmp, const msgq_hdr_t *hdr);

// ---- listeners (msgq_util_server.cpp)

// Starts the listener of the handle's path or joins it: MSGQ_OK,
// MSGQ_START_ALREADY (on already, or a stale path that cannot go) or
// MSGQ_START_FAILED (logged).
int msgq_init_start_server(msgq_handle_t *h);
// Releases the handle's share of its listener; the last share closes it and
// removes the socket file.
void msgq_server_put(msgq_handle_t *h);

// ---- clients (msgq_util_client.cpp)

// Arms the first connect attempt (a blocking client connects before
// returning): MSGQ_OK, MSGQ_START_REBOOT_PENDING or MSGQ_START_FAILED.
int msgq_init_start_client(msgq_handle_t *h);

// ---- send queue (msgq_util_tx.cpp)

// Frees every queued chunk (their unsent messages count as freed) and
// disarms the drain notification.
void tx_queue_free(msgq_handle_t *h);
// fn: the sending function named in the error lines.
void log_send_error(const msgq_handle_t *h, int err, uint32_t total, const char *fn);

// ---- readers (msgq_util_rx.cpp)

// Clears the receive state of a closing connection: partial message, stash
// and the resume event.
void rx_reset(msgq_handle_t *h);
// Whether the read event of a new connection is to be added (not while
// reading is paused on the total watermark).
bool rx_should_listen();
// Frees the instance's read buffer.
void rx_inst_free(msgq_inst_t *inst);

}  // namespace msgq_priv
