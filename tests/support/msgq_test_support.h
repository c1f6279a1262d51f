// Helpers for tests that drive the message queue over real sockets: an event
// loop with a hand-driven timer manager, a counting message allocator, a
// recorder of a handle's callbacks, and a peer that speaks the wire format
// by hand over a raw socket.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

#include "msgq_util.h"
#include "ost_event.h"
#include "test_support.h"
#include "timer.h"

namespace zt {

// One pass of base: waits up to wait_ms for an event, runs what is active.
void run_base_once(event_base *base, int wait_ms);
// Passes of base (each waiting up to wait_ms) until done() holds; false when
// it still does not after the real-time limit (the limit only stops a broken
// test from hanging).
bool run_base_until(event_base *base, const std::function<bool()> &done, std::chrono::milliseconds limit,
                    int wait_ms);
// Moves clock by n ticks of mgr (1 s each), one at a time, running due
// timers after each.
void tick_timers(FakeClock &clock, timer_mgr_t *mgr, int n);

// A libevent base and a timer manager (1 s ticks, both priorities) whose
// clock moves only when told to.
class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop &) = delete;
    EventLoop &operator=(const EventLoop &) = delete;

    event_base *base() const { return base_.get(); }
    timer_mgr_t *timer_mgr() const { return mgr_; }
    FakeClock &clock() { return clock_; }

    void run_once(int wait_ms = 10) { run_base_once(base(), wait_ms); }
    bool run_until(const std::function<bool()> &done, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        return run_base_until(base(), done, limit, 10);
    }
    // Runs the loop for a few passes without waiting for anything.
    void settle(int passes = 5);
    void tick(int n = 1) { tick_timers(clock_, mgr_, n); }

private:
    FakeClock clock_;
    ost_event_base_ptr base_;
    timer_mgr_t *mgr_ = nullptr;
};

// Message allocator that counts and checks: every pointer freed must be one
// it handed out and not yet freed (a failed check is a test failure).
struct MsgqAlloc {
    static void *alloc(size_t size);
    static void free(void *ptr);
    static long live();              // handed out and not freed
    static void *last();             // the latest pointer handed out
    static size_t last_size();
    static void fail_next(int n = 1);  // the next n allocations fail
    static void reset();             // forgets everything (between tests)
};

// The user argument of a handle in tests: records conn_up/conn_down ("up",
// "down") and the payload of every message (freed after the hooks ran).
struct MsgqRecorder {
    std::vector<std::string> events;
    std::vector<std::string> msgs;
    std::vector<void *> app_ptrs;
    std::vector<uint16_t> app_sizes;
    // Hooks run before the recorder frees the message; a hook that deletes
    // the handle sets keep_msg to free nothing.
    std::function<void(msgq_handle_t *, void *, uint16_t)> on_recv;
    std::function<void(msgq_handle_t *)> on_up;
    std::function<void(msgq_handle_t *)> on_down;
    bool keep_msg = false;

    static msgq_callbacks_t callbacks();
    size_t count(const std::string &event) const;
};

// Parameters of a Unix-domain handle on the loop's base and timer manager,
// facility local7, default path.
msgq_params_t msgq_test_params(const EventLoop &loop);

// The bytes of one message: header (src, tgt, type, size) and payload. size
// -1 means 8 + payload length.
std::string msgq_wire(uint8_t src, uint8_t tgt, uint8_t type, const std::string &payload, int size = -1);

// A payload of n bytes whose content depends on seed (to check order and
// integrity).
std::string msgq_pattern(size_t n, uint32_t seed);

// A peer over a raw blocking socket. Reads never block.
class RawPeer {
public:
    RawPeer() = default;
    ~RawPeer();
    RawPeer(const RawPeer &) = delete;
    RawPeer &operator=(const RawPeer &) = delete;

    bool connect_unix(const std::string &path);
    void adopt(int fd);  // takes an accepted socket
    int fd() const { return fd_; }

    void send(const std::string &bytes);  // whole, blocking
    void send_register(uint8_t src, uint8_t tgt);
    void send_data(uint8_t src, uint8_t tgt, const std::string &payload);

    // Reads what the socket holds now into the input buffer; true when it
    // has seen the end of the stream.
    bool poll_input();
    // Reads at most max bytes that the socket holds now; how many came.
    size_t read_up_to(size_t max);
    bool eof() { return poll_input(); }
    const std::string &input() const { return in_; }
    // Complete ordinary messages at the front of the input, removed from it.
    std::vector<std::string> take_messages();

    void shutdown_read();
    void close();

private:
    int fd_ = -1;
    std::string in_;
    bool eof_ = false;
};

// Whole-line match of an ost_log line against a regular expression.
bool log_has_line(const LogCapture &log, const std::string &regex);

using Strings = std::vector<std::string>;

// Fixture for message-queue tests: a temporary run directory, a log capture,
// a loop, and the handles and recorders of the test (handles left open are
// deleted at the end; then no instance and no message buffer may be left).
class MsgqTest : public ::testing::Test {
protected:
    ScopedRunDir rundir;
    LogCapture log;
    EventLoop loop;
    std::vector<msgq_handle_t *> handles;
    std::deque<MsgqRecorder> recorders;  // outlive the handles that report to them

    void SetUp() override;
    void TearDown() override;

    MsgqRecorder &recorder() { return recorders.emplace_back(); }
    msgq_params_t params() const { return msgq_test_params(loop); }
    // msgq_init with the recorder's callbacks; the handle is remembered.
    msgq_handle_t *open(uint32_t src, uint32_t tgt, uint32_t type, MsgqRecorder *rec, const msgq_params_t &p);
    // zord's server handle for a peer module, default path.
    msgq_handle_t *server(uint8_t tgt, MsgqRecorder *rec);
    // msgq_deinit of a handle of the test.
    void close(msgq_handle_t *h);
    std::string sock_path(const char *module) const { return rundir.file(std::string(".") + module); }
    // A raw peer connects to zord's socket, registers as src and is bound.
    void attach(RawPeer &peer, uint8_t src, MsgqRecorder &rec);
    // zord's server handle for a peer module with a raw peer bound to it.
    msgq_handle_t *bound_server(uint8_t src, MsgqRecorder &rec, RawPeer &peer);
    // Allocates, fills and writes a message; frees it again unless the result is 0.
    int write(msgq_handle_t *h, const std::string &payload);
    // Runs the loop until a raw peer has received n more complete messages
    // (or the loop's time limit passed); their payloads, and their headers
    // into headers when given.
    Strings read_payloads(RawPeer &peer, size_t n, std::vector<msgq_hdr_t> *headers = nullptr);
};

}  // namespace zt
