// The peer's state, shared by its two halves: the connection and what it
// receives (zor_peer_run.cpp), and the script's lines run in order
// (zor_peer_exec.cpp). Private to zor-peer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "msgq_util.h"
#include "ost_event.h"
#include "timer.h"
#include "zor_msg.h"
#include "zor_peer_json.h"
#include "zor_peer_run.h"
#include "zor_peer_script.h"
#include "zor_peer_snapshot.h"

// Lines run back to back up to this many before the loop gets a turn, so
// that received messages are printed while a long script is sent.
constexpr int k_lines_per_turn = 256;
// Sending pauses while the transport queues more than this many messages
// (zord reads slower than the script writes).
constexpr uint16_t k_queue_high = 2048;
// Longest sleep between two looks at a waiting condition.
constexpr uint64_t k_poll_ms = 50;
constexpr uint32_t k_tick_ms = 100;

inline uint64_t zp_now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// One run of the peer: zp_run's state from start to end, on one thread.
class zp_peer {
public:
    zp_peer(const zp_options &opts, FILE *out, FILE *err) : opts_(opts), out_(out), err_(err)
    {
        if (!opts.snapshot.empty()) {
            snap_ = std::make_unique<zp_snapshot>(opts.snapshot, opts.module);
        }
    }

    int run();

private:
    enum class step_result { done, wait, fail };

    bool setup();
    void teardown();
    bool open_handle();
    void close_handle();
    bool load_script();
    void read_stdin();
    void parse_stdin_lines(bool at_eof);

    void kick() { wake_at(zp_now_ms()); }
    void wake_at(uint64_t when);
    void step();
    step_result exec(const zp_line_t &line, uint64_t now);
    step_result send_payload(const zp_line_t &line, const uint8_t *bytes, size_t n);
    step_result send_stream(const zp_line_t &line);
    // Prints "zor-peer: SCRIPT:LINE: why" (without the place when line is
    // null) and ends the peer with code.
    step_result fail(const zp_line_t *line, int code, const std::string &why);
    bool queue_drained() const { return handle_ == nullptr || !connected_ || msgq_get_queue_len(handle_) == 0; }
    void finish(int code);

    void on_recv(msgq_handle_t *h, void *app, uint16_t size);
    void print_msg(const zor_msg_t &msg, const struct timespec &when);
    void snapshot_take(const zor_msg_t &msg, const struct timespec &when);
    void queue_messages(const std::vector<zor_msg_t> &msgs);
    void on_up();
    void on_down();

    static void cb_tick(evutil_socket_t, short, void *arg);
    static void cb_step(evutil_socket_t, short, void *arg) { static_cast<zp_peer *>(arg)->step(); }
    static void cb_stdin(evutil_socket_t, short, void *arg) { static_cast<zp_peer *>(arg)->read_stdin(); }
    static void cb_recv(msgq_handle_t *h, void *app, uint16_t size, void *arg)
    {
        static_cast<zp_peer *>(arg)->on_recv(h, app, size);
    }
    static void cb_up(msgq_handle_t *, void *arg, msgq_handle_t *, void *) { static_cast<zp_peer *>(arg)->on_up(); }
    static void cb_down(msgq_handle_t *, void *arg, msgq_handle_t *, void *) { static_cast<zp_peer *>(arg)->on_down(); }

    const zp_options &opts_;
    FILE *out_;
    FILE *err_;
    std::string script_name_;

    ost_event_base_ptr base_;
    timer_mgr_t *timer_mgr_ = nullptr;
    ost_event_ptr tick_ev_;
    ost_event_ptr step_ev_;
    ost_event_ptr stdin_ev_;
    msgq_handle_t *handle_ = nullptr;
    std::string path_;

    bool connected_ = false;
    bool ever_connected_ = false;
    bool want_connected_ = true;
    bool closing_ = false;
    uint64_t conn_wait_start_ = 0;  // 0: not waiting for a connection
    int disconnect_line_ = 0;

    std::deque<zp_line_t> pending_;
    bool line_started_ = false;
    bool reopened_ = false;  // reconnect: the new handle is open
    uint64_t line_start_ = 0;
    bool stdin_open_ = false;
    std::string stdin_buf_;
    int stdin_lineno_ = 0;
    uint64_t script_end_ = 0;  // when the last line finished
    uint64_t run_start_ = 0;

    uint64_t rx_count_ = 0;
    uint64_t last_rx_ = 0;
    int exit_code_ = -1;

    // The server closed this many connections in a row before sending
    // anything on them (zord does so with a module it does not serve).
    int silent_closes_ = 0;
    uint64_t rx_on_conn_ = 0;

    zp_tloc_names tloc_names_;  // of the TLOCs received, to name path ends
    std::unique_ptr<zp_snapshot> snap_;
    bool snap_printed_ = false;
};
