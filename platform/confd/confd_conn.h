// The library's connections: per-socket state, the handshake, framed reads
// and writes, synchronous request/reply calls, and the per-thread error
// state. Private to the library.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "confd_lib.h"
#include "confd_proto.h"
#include "confd_wire.h"

namespace confd_impl {

struct sub_state;

// One connected socket. Created by a connect call (which replaces whatever
// an earlier socket with the same number left), removed by the owner's close.
// The socket is read by one thread at a time (its owner), written by any:
// sends take write_mu, so frames never interleave.
struct conn {
    int fd = -1;
    mgmt_conn_kind kind = MGMT_CONN_CONTROL;
    int64_t id = 0;        // the agent's connection id (CONTROL: the daemon id)
    int64_t phase = 0;     // the start phase the handshake reported
    int timeout_ms = 0;    // receive timeout of calls; 0: none
    uint32_t next_xid = 1;
    mgmt_wire::frame_buffer rx;
    std::mutex write_mu;
    // The request a worker is serving and whether it has been answered, so
    // that each request gets exactly one reply.
    uint32_t serving_xid = 0;
    bool serving = false;
    bool replied = false;
    // Subscription sockets: subscriptions made and the notification being handled.
    std::unique_ptr<sub_state> sub;
    ~conn();
};

using conn_ptr = std::shared_ptr<conn>;

// The state of fd, or null when no connect of this library made it.
conn_ptr conn_find(int fd);
// Forgets fd's state (the owner closes the socket, or stops using it).
void conn_forget(int fd);

// Connects sock to srv and runs the handshake as kind; on success the new
// state replaces any earlier one of this socket number. CONFD_ERR with
// confd_errno set on failure (the socket stays open: the owner closes it).
int conn_open(int sock, const struct sockaddr *srv, int addrsz, mgmt_conn_kind kind, std::string_view name,
              int64_t daemon_id, conn_ptr *out);

// Writes one whole frame under the socket's write lock. CONFD_OK, or
// CONFD_ERR (CONFD_ERR_OS) / CONFD_EOF.
int conn_send(conn &c, const std::string &frame);

// Reads the next whole frame body into body, waiting up to c.timeout_ms
// (0: as long as it takes). CONFD_OK, CONFD_EOF when the agent closed, or
// CONFD_ERR (timeout, malformed stream).
int conn_read(conn &c, std::string &body);
// A frame already buffered (no read). True when one was.
bool conn_buffered(conn &c, std::string &body);
// Reads what the socket has now without blocking. CONFD_OK (possibly
// nothing), CONFD_EOF, or CONFD_ERR.
int conn_fill(conn &c);

// A fresh request id for c.
uint32_t conn_xid(conn &c);

// Sends the request (built with the xid from conn_xid) and reads frames
// until its REPLY or ERROR; frames of other xids are dropped. On REPLY the
// reply's body is in reply and the result is CONFD_OK; an ERROR sets
// confd_errno and lasterr and gives CONFD_ERR.
int conn_call(conn &c, uint32_t xid, const std::string &frame, std::string &reply);

// Looks up fd for a call of the given kinds (several allowed, e.g. CDB data
// and subscription). Null and CONFD_ERR_PROTOUSAGE set when fd is not such a
// connection.
conn_ptr conn_for(int fd, std::initializer_list<mgmt_conn_kind> kinds);

// Error state: sets confd_errno and the text of confd_lasterr(); returns CONFD_ERR.
int fail(int code, std::string_view text);
int failf(int code, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// Sets confd_errno to CONFD_ERR_EOF with the text "connection closed" and returns CONFD_EOF.
int fail_eof();
// The error of an ERROR frame body (after op and xid): sets the state, returns CONFD_ERR.
int fail_from_error(mgmt_wire::reader &r);

// printf into a std::string.
std::string vformat(const char *fmt, va_list ap);
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The name given to confd_init ("" before).
std::string lib_name();
// Library diagnostics to the confd_init stream at the given level.
void lib_log(confd_debug_level level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// The body of a frame as a reader.
inline mgmt_wire::reader body_reader(const std::string &body)
{
    return mgmt_wire::reader(std::string_view(body));
}

}  // namespace confd_impl
