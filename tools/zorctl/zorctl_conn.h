// zorctl's connection to the agent: one CLI connection (confd_proto.h) over
// TCP on 127.0.0.1, with the handshake and one request at a time. Blocking
// I/O bounded by poll timeouts; single-threaded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "confd_wire.h"

// Exit codes of zorctl, also carried by every failure below.
#define ZC_EXIT_OK 0
#define ZC_EXIT_REFUSED 1      // the agent or a daemon behind it refused the request
#define ZC_EXIT_USAGE 2        // bad command line or input
#define ZC_EXIT_UNREACHABLE 3  // no connection, the connection broke, or no reply in time

#define ZC_DEFAULT_PORT 4565
#define ZC_DEFAULT_TIMEOUT_S 60

// A failure: its exit code and the one line printed after "zorctl: ".
struct zc_error {
    int code = ZC_EXIT_OK;
    std::string text;
};

// A failure with the given code; text newlines are folded into "; " so that
// every failure prints as exactly one line.
zc_error zc_fail(int code, std::string_view text);

// The IPC secret named by MGMTD_IPC_SECRET_FILE: false with err filled when
// the variable names a file that cannot be read; an unset variable gives an
// empty secret (no proof).
bool zc_read_secret(std::string &secret, zc_error &err);

// The port: a --port value (0 when not given), else MGMTD_PORT, else 4565.
// False with err filled when MGMTD_PORT is not a port number.
bool zc_pick_port(uint32_t option_port, uint16_t &port, zc_error &err);

// Called for every push (CLI_OUTPUT, CLI_NOTIF) of the request being served,
// with a reader past the op and xid. Returning false stops the request with
// err as set by the callback.
using zc_push_fn = std::function<bool(mgmt_op op, mgmt_wire::reader &rd, zc_error &err)>;

class zc_conn {
public:
    zc_conn() = default;
    ~zc_conn();
    zc_conn(const zc_conn &) = delete;
    zc_conn &operator=(const zc_conn &) = delete;

    // Connects and completes the handshake within timeout_ms. On failure the
    // connection is closed and err says why: ZC_EXIT_UNREACHABLE when the
    // agent cannot be reached or broke off, ZC_EXIT_REFUSED when it answered
    // the handshake with an ERROR (a wrong secret).
    bool open(uint16_t port, int timeout_ms, const std::string &secret, zc_error &err);
    bool is_open() const { return fd_ >= 0; }
    void close();
    // The user session id the agent gave this connection.
    int64_t usid() const { return usid_; }
    int64_t phase() const { return phase_; }

    // A new request id; the request's frame carries it.
    uint32_t next_xid() { return ++xid_; }
    // Sends frame (built with the xid of next_xid()) and waits for its REPLY
    // or ERROR, at most timeout_ms between two frames (-1: forever). Pushes
    // go to on_push. On REPLY, reply holds the body and rd reads it past the
    // op and xid. An ERROR gives err ZC_EXIT_REFUSED with the agent's text; a
    // broken connection or a timeout closes the connection and gives
    // ZC_EXIT_UNREACHABLE.
    bool call(const std::string &frame, uint32_t xid, int timeout_ms, const zc_push_fn &on_push,
              std::string &reply, zc_error &err);

private:
    bool send_all(const std::string &frame, zc_error &err);
    // The next whole frame's body into body; false on EOF, error or timeout.
    bool read_frame(int timeout_ms, std::string &body, zc_error &err);
    bool handshake(const std::string &secret, int timeout_ms, zc_error &err);

    int fd_ = -1;
    uint16_t port_ = 0;
    uint32_t xid_ = 0;
    int64_t usid_ = 0;
    int64_t phase_ = 0;
    mgmt_wire::frame_buffer in_;
};
