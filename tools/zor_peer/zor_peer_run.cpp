#include "zor_peer_run.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <memory>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include "msgq_util.h"
#include "ost_event.h"
#include "ost_log.h"
#include "ost_rundir.h"
#include "ost_util.h"
#include "timer.h"
#include "zor_msg.h"
#include "zor_peer_dot.h"
#include "zor_peer_json.h"
#include "zor_peer_script.h"
#include "zor_peer_snapshot.h"

namespace {

// Lines run back to back up to this many before the loop gets a turn, so
// that received messages are printed while a long script is sent.
constexpr int k_lines_per_turn = 256;
// Sending pauses while the transport queues more than this many messages
// (zord reads slower than the script writes).
constexpr uint16_t k_queue_high = 2048;
// Longest sleep between two looks at a waiting condition.
constexpr uint64_t k_poll_ms = 50;
constexpr uint32_t k_tick_ms = 100;

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void *alloc_msg(size_t size)
{
    return malloc(size);
}

void free_msg(void *p)
{
    free(p);
}

class peer {
public:
    peer(const zp_options &opts, FILE *out, FILE *err) : opts_(opts), out_(out), err_(err)
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

    void kick() { wake_at(now_ms()); }
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
    static void cb_step(evutil_socket_t, short, void *arg) { static_cast<peer *>(arg)->step(); }
    static void cb_stdin(evutil_socket_t, short, void *arg) { static_cast<peer *>(arg)->read_stdin(); }
    static void cb_recv(msgq_handle_t *h, void *app, uint16_t size, void *arg)
    {
        static_cast<peer *>(arg)->on_recv(h, app, size);
    }
    static void cb_up(msgq_handle_t *, void *arg, msgq_handle_t *, void *) { static_cast<peer *>(arg)->on_up(); }
    static void cb_down(msgq_handle_t *, void *arg, msgq_handle_t *, void *) { static_cast<peer *>(arg)->on_down(); }
    static void cb_spare(msgq_handle_t *, void *, msgq_handle_t *, void *) {}

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

void peer::cb_tick(evutil_socket_t, short, void *arg)
{
    auto *p = static_cast<peer *>(arg);
    (void)timer_mgr_exec(p->timer_mgr_, 3, 50);
}

bool peer::setup()
{
    if (!opts_.run_dir.empty() && setenv(OST_RUN_DIR_ENV, opts_.run_dir.c_str(), 1) != 0) {
        fprintf(err_, "zor-peer: cannot set %s\n", OST_RUN_DIR_ENV);
        return false;
    }
    ost_log_open("ZOR-PEER", LOG_PID, LOG_LOCAL7, opts_.verbose);
    base_.reset(event_base_new());
    timer_mgr_ = base_ ? timer_mgr_create(TIMER_RES_100MS, nullptr, nullptr, nullptr, 3) : nullptr;
    if (timer_mgr_ == nullptr) {
        fprintf(err_, "zor-peer: out of memory\n");
        return false;
    }
    tick_ev_.reset(event_new(base_.get(), -1, EV_PERSIST, cb_tick, this));
    step_ev_.reset(evtimer_new(base_.get(), cb_step, this));
    struct timeval tv = {0, k_tick_ms * 1000};
    if (!tick_ev_ || !step_ev_ || event_add(tick_ev_.get(), &tv) != 0) {
        fprintf(err_, "zor-peer: out of memory\n");
        return false;
    }
    return true;
}

bool peer::open_handle()
{
    msgq_params_t params{};
    params.evbase = base_.get();
    params.timer_mgr = timer_mgr_;
    params.facility = LOG_LOCAL7;
    params.sock_type = MSGQ_SOCK_TYPE_UNIX;
    msgq_callbacks_t cbs{};
    cbs.conn_up = cb_up;
    cbs.conn_down = cb_down;
    cbs.spare = cb_spare;
    cbs.recv_msg = cb_recv;
    cbs.alloc_msg = alloc_msg;
    cbs.free_msg = free_msg;
    handle_ = msgq_init(opts_.module, opts_.target, MSGQ_HANDLE_TYPE_CLIENT, &params, &cbs, this);
    if (handle_ == nullptr) {
        fprintf(err_, "zor-peer: cannot open a transport handle (module %u, target %u; run directory too long?)\n",
                opts_.module, opts_.target);
        return false;
    }
    path_ = handle_->path;
    connected_ = false;
    want_connected_ = true;
    conn_wait_start_ = now_ms();
    return true;
}

void peer::close_handle()
{
    if (handle_ == nullptr) {
        return;
    }
    closing_ = true;
    msgq_deinit(handle_);
    closing_ = false;
    handle_ = nullptr;
    connected_ = false;
}

void peer::teardown()
{
    close_handle();
    stdin_ev_.reset();
    step_ev_.reset();
    tick_ev_.reset();
    if (timer_mgr_ != nullptr) {
        timer_mgr_destroy(timer_mgr_);
        timer_mgr_ = nullptr;
    }
    base_.reset();
    ost_log_close();
}

bool read_fd_all(int fd, std::string *text)
{
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

void peer::queue_messages(const std::vector<zor_msg_t> &msgs)
{
    for (const zor_msg_t &m : msgs) {
        zp_line_t line;
        line.cmd = zp_cmd::send;
        line.msg = m;
        pending_.push_back(std::move(line));
    }
}

bool peer::load_script()
{
    if (snap_) {
        script_name_ = "snapshot";
        queue_messages(snap_->opening());
        return true;
    }
    std::string text;
    if (opts_.script == "-") {
        script_name_ = "stdin";
        struct stat st;
        // Pipes, sockets and terminals are read as the lines come; anything
        // else (a redirected file, /dev/null) is read whole now.
        bool stream =
            fstat(STDIN_FILENO, &st) == 0 && (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || isatty(STDIN_FILENO));
        if (stream) {
            int flags = fcntl(STDIN_FILENO, F_GETFL);
            if (flags < 0 || fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK) != 0) {
                fprintf(err_, "zor-peer: cannot read standard input: %s\n", strerror(errno));
                return false;
            }
            stdin_ev_.reset(event_new(base_.get(), STDIN_FILENO, EV_READ | EV_PERSIST, cb_stdin, this));
            if (!stdin_ev_ || event_add(stdin_ev_.get(), nullptr) != 0) {
                fprintf(err_, "zor-peer: cannot watch standard input\n");
                return false;
            }
            stdin_open_ = true;
            return true;
        }
        if (!read_fd_all(STDIN_FILENO, &text)) {
            fprintf(err_, "zor-peer: cannot read standard input: %s\n", strerror(errno));
            return false;
        }
    } else {
        script_name_ = opts_.script;
        std::ifstream in(opts_.script, std::ios::binary);
        if (!in) {
            fprintf(err_, "zor-peer: cannot open script %s: %s\n", opts_.script.c_str(), strerror(errno));
            return false;
        }
        std::ostringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    }
    std::vector<zp_line_t> lines;
    std::string why;
    if (!zp_script_parse(text, opts_.module, &lines, &why)) {
        fprintf(err_, "zor-peer: %s:%s\n", script_name_.c_str(), why.c_str());
        return false;
    }
    pending_.assign(std::make_move_iterator(lines.begin()), std::make_move_iterator(lines.end()));
    return true;
}

void peer::read_stdin()
{
    char buf[16384];
    for (;;) {
        ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
        if (n > 0) {
            stdin_buf_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            parse_stdin_lines(false);
            break;
        }
        // End of input (or an error, which ends it too).
        stdin_ev_.reset();
        stdin_open_ = false;
        parse_stdin_lines(true);
        break;
    }
    if (exit_code_ < 0) {
        kick();
    }
}

void peer::parse_stdin_lines(bool at_eof)
{
    size_t start = 0;
    for (;;) {
        size_t end = stdin_buf_.find('\n', start);
        if (end == std::string::npos && !(at_eof && start < stdin_buf_.size())) {
            break;
        }
        std::string line = stdin_buf_.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? stdin_buf_.size() : end + 1;
        stdin_lineno_++;
        zp_line_t parsed;
        std::string why;
        int r = zp_script_parse_line(line, stdin_lineno_, opts_.module, &parsed, &why);
        if (r < 0) {
            fprintf(err_, "zor-peer: %s:%d: %s\n", script_name_.c_str(), stdin_lineno_, why.c_str());
            finish(ZP_EXIT_SCRIPT);
            return;
        }
        if (r > 0) {
            pending_.push_back(std::move(parsed));
        }
    }
    stdin_buf_.erase(0, start);
}

void peer::wake_at(uint64_t when)
{
    if (exit_code_ >= 0) {
        return;
    }
    uint64_t now = now_ms();
    uint64_t delay = when > now ? when - now : 0;
    if (delay > k_poll_ms) {
        delay = k_poll_ms;
    }
    struct timeval tv = {static_cast<time_t>(delay / 1000), static_cast<suseconds_t>((delay % 1000) * 1000)};
    // Replaces any earlier wake-up: the step looks at every condition again,
    // and no wait is longer than k_poll_ms.
    event_add(step_ev_.get(), &tv);
}

void peer::finish(int code)
{
    if (exit_code_ < 0) {
        exit_code_ = code;
    }
    event_base_loopbreak(base_.get());
}

void peer::step()
{
    for (int n = 0; exit_code_ < 0; n++) {
        uint64_t now = now_ms();
        // Every line runs on a live connection but disconnect and the first
        // half of reconnect, which make their own; and the peer connects at
        // least once, whatever its script holds, and once more after a
        // connection that the server closed without a word (a refusal shows
        // on the second).
        bool needs_connection = !ever_connected_ || silent_closes_ > 0;
        if (!pending_.empty()) {
            const zp_line_t &line = pending_.front();
            needs_connection = line.cmd != zp_cmd::disconnect && !(line.cmd == zp_cmd::reconnect && !reopened_);
        }
        if (want_connected_ && !connected_ && needs_connection) {
            if (conn_wait_start_ == 0) {
                conn_wait_start_ = now;
            }
            if (now >= conn_wait_start_ + opts_.timeout_s * 1000ull) {
                fprintf(err_, "zor-peer: cannot connect to %s as %s within %u s (is zord running there?)\n",
                        path_.c_str(), ost_module_str(opts_.module), opts_.timeout_s);
                finish(ZP_EXIT_CONNECT);
                return;
            }
            wake_at(conn_wait_start_ + opts_.timeout_s * 1000ull);
            return;
        }
        if (pending_.empty()) {
            if (stdin_open_) {
                return;  // the next line wakes us
            }
            if (snap_ && !snap_printed_) {
                // Not a guess from quiet time: the snapshot ends when its
                // markers are back (on_recv wakes us); the timeout only
                // bounds a zord that never sends them.
                if (now >= run_start_ + opts_.timeout_s * 1000ull) {
                    fail(nullptr, ZP_EXIT_WAIT,
                         "the snapshot did not end within " + std::to_string(opts_.timeout_s) + " s (" +
                             std::to_string(rx_count_) + " messages received; raise --timeout for large tables)");
                    return;
                }
                wake_at(run_start_ + opts_.timeout_s * 1000ull);
                return;
            }
            if (script_end_ == 0) {
                script_end_ = now;
            }
            uint64_t quiet_since = last_rx_ > script_end_ ? last_rx_ : script_end_;
            // A snapshot is over once its markers' deletions are written.
            const uint64_t idle_ms = snap_ ? 0 : opts_.idle_ms;
            if (queue_drained() && now >= quiet_since + idle_ms) {
                finish(ZP_EXIT_OK);
                return;
            }
            wake_at(quiet_since + idle_ms);
            return;
        }
        if (n == k_lines_per_turn) {
            kick();
            return;
        }
        zp_line_t &line = pending_.front();
        if (!line_started_) {
            line_started_ = true;
            line_start_ = now;
            reopened_ = false;
        }
        step_result r = exec(line, now);
        if (r == step_result::fail) {
            return;
        }
        if (r == step_result::wait) {
            return;
        }
        pending_.pop_front();
        line_started_ = false;
        if (pending_.empty()) {
            script_end_ = 0;
        }
    }
}

peer::step_result peer::fail(const zp_line_t *line, int code, const std::string &why)
{
    if (line != nullptr) {
        fprintf(err_, "zor-peer: %s:%d: %s\n", script_name_.c_str(), line->lineno, why.c_str());
    } else {
        fprintf(err_, "zor-peer: %s\n", why.c_str());
    }
    finish(code);
    return step_result::fail;
}

peer::step_result peer::exec(const zp_line_t &line, uint64_t now)
{
    bool sends = line.cmd == zp_cmd::send || line.cmd == zp_cmd::raw || line.cmd == zp_cmd::raw_stream;
    if (sends && !want_connected_) {
        return fail(&line, ZP_EXIT_CONNECT,
                    "not connected (disconnect at line " + std::to_string(disconnect_line_) + ", and no reconnect since)");
    }
    switch (line.cmd) {
    case zp_cmd::send: {
        uint8_t buf[ZOR_MSG_ENCODE_MAX];
        uint16_t len = 0;
        if (zor_msg_encode(&line.msg, buf, &len) != 0) {
            return fail(&line, ZP_EXIT_SCRIPT, "the codec refused the message");
        }
        return send_payload(line, buf, len);
    }
    case zp_cmd::raw:
        return send_payload(line, line.bytes.data(), line.bytes.size());
    case zp_cmd::raw_stream:
        return send_stream(line);
    case zp_cmd::sleep:
        if (now >= line_start_ + line.ms) {
            return step_result::done;
        }
        wake_at(line_start_ + line.ms);
        return step_result::wait;
    case zp_cmd::wait_idle: {
        uint64_t quiet_since = last_rx_ > line_start_ ? last_rx_ : line_start_;
        if (now >= quiet_since + line.ms) {
            return step_result::done;
        }
        wake_at(quiet_since + line.ms);
        return step_result::wait;
    }
    case zp_cmd::wait_count: {
        if (rx_count_ >= line.count) {
            return step_result::done;
        }
        uint64_t limit = line.ms != 0 ? line.ms : opts_.timeout_s * 1000ull;
        if (now >= line_start_ + limit) {
            return fail(&line, ZP_EXIT_WAIT,
                        "wait-count " + std::to_string(line.count) + ": " + std::to_string(rx_count_) +
                            " messages received after " + std::to_string(limit) + " ms");
        }
        wake_at(line_start_ + limit);
        return step_result::wait;
    }
    case zp_cmd::disconnect:
    case zp_cmd::reconnect:
        if (handle_ != nullptr && connected_) {
            // What was written must reach zord before the connection goes:
            // wait for the send queue (bounded by --timeout).
            if (!queue_drained() && now < line_start_ + opts_.timeout_s * 1000ull) {
                wake_at(now + 5);
                return step_result::wait;
            }
        }
        if (line.cmd == zp_cmd::disconnect) {
            close_handle();
            want_connected_ = false;
            disconnect_line_ = line.lineno;
            return step_result::done;
        }
        if (!reopened_) {
            // First pass: a fresh handle; the line ends once it is connected.
            close_handle();
            if (!open_handle()) {
                finish(ZP_EXIT_CONNECT);
                return step_result::fail;
            }
            reopened_ = true;
            kick();
            return step_result::wait;
        }
        return connected_ ? step_result::done : step_result::wait;
    }
    return step_result::done;
}

peer::step_result peer::send_payload(const zp_line_t &line, const uint8_t *bytes, size_t n)
{
    if (msgq_get_queue_len(handle_) >= k_queue_high) {
        wake_at(now_ms() + 2);
        return step_result::wait;
    }
    void *app = msgq_alloc_msg(handle_, static_cast<uint32_t>(n));
    if (app == nullptr) {
        return fail(nullptr, ZP_EXIT_CONNECT, "out of memory");
    }
    if (n > 0) {
        memcpy(app, bytes, n);
    }
    int rc = msgq_write(handle_, app, static_cast<uint16_t>(n));
    if (rc != MSGQ_OK) {
        msgq_free_msg(handle_, app);
        return fail(&line, ZP_EXIT_CONNECT, "send failed (transport error " + std::to_string(rc) + ")");
    }
    return step_result::done;
}

peer::step_result peer::send_stream(const zp_line_t &line)
{
    // Queued messages go first, so the bytes land between whole messages.
    if (!queue_drained()) {
        wake_at(now_ms() + 2);
        return step_result::wait;
    }
    size_t sent = 0;
    while (sent < line.bytes.size()) {
        ssize_t n = send(handle_->sock_fd, line.bytes.data() + sent, line.bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            struct pollfd pfd = {handle_->sock_fd, POLLOUT, 0};
            (void)poll(&pfd, 1, 100);
        } else {
            return fail(&line, ZP_EXIT_CONNECT, std::string("send failed: ") + strerror(errno));
        }
    }
    return step_result::done;
}

void peer::print_msg(const zor_msg_t &msg, const struct timespec &when)
{
    // Path ends are named by the TLOCs received so far: a local TLOC
    // reaches a peer that registered its family before any path through it.
    if (msg.type == ZOR_MSG_TLOC_ADD) {
        tloc_names_[msg.body.tloc.index] = zp_tloc_str(msg.body.tloc.key);
    }
    std::string line = zp_json_msg(msg, &tloc_names_);
    if (msg.type == ZOR_MSG_TLOC_DEL) {
        auto it = tloc_names_.find(msg.body.tloc.index);
        if (it != tloc_names_.end() && it->second == zp_tloc_str(msg.body.tloc.key)) {
            tloc_names_.erase(it);
        }
    }
    line = (opts_.timestamps ? zp_json_with_time(line, when) : line) + "\n";
    fwrite(line.data(), 1, line.size(), out_);
    fflush(out_);
}

void peer::snapshot_take(const zor_msg_t &msg, const struct timespec &when)
{
    if (snap_printed_ || !snap_->take(msg, when)) {
        return;
    }
    snap_printed_ = true;
    struct timespec end;
    clock_gettime(CLOCK_REALTIME, &end);
    const std::string text = opts_.dot ? zp_snapshot_dot(*snap_) : snap_->json(opts_.timestamps, end);
    fwrite(text.data(), 1, text.size(), out_);
    fflush(out_);
    // The markers go at once; the peer ends when they are written.
    queue_messages(snap_->closing());
    script_end_ = 0;
    kick();
}

void peer::on_recv(msgq_handle_t *h, void *app, uint16_t size)
{
    struct timespec when;
    clock_gettime(CLOCK_REALTIME, &when);
    zor_msg_t msg;
    if (zor_msg_decode(&msg, static_cast<const uint8_t *>(app), size) != 0) {
        fprintf(err_, "zor-peer: dropped a message of %u bytes that the codec cannot decode\n", size);
    } else if (snap_) {
        snapshot_take(msg, when);
    } else {
        print_msg(msg, when);
    }
    msgq_free_msg(h, app);
    rx_count_++;
    rx_on_conn_++;
    silent_closes_ = 0;
    last_rx_ = now_ms();
    if (!pending_.empty() && pending_.front().cmd == zp_cmd::wait_count) {
        kick();
    }
}

void peer::on_up()
{
    rx_on_conn_ = 0;
    connected_ = true;
    ever_connected_ = true;
    conn_wait_start_ = 0;
    kick();
}

void peer::on_down()
{
    connected_ = false;
    if (closing_ || !want_connected_) {
        return;
    }
    // zord closes the connection of a module it does not serve as soon as
    // the transport has named it; a served module's connection is closed
    // only for a stream zord cannot follow, or when the module connects
    // again. One silent close may be a zord restarting; two in a row are a
    // refusal, and reconnecting for ever would hide it.
    if (rx_on_conn_ == 0 && ++silent_closes_ >= 2) {
        std::string why = path_ + " closed the connection of module " + ost_module_str(opts_.module) + " (" +
                          std::to_string(opts_.module) + ") twice before sending anything";
        if (opts_.target == OST_MODULE_ZORD) {
            why += ": zord serves advd, xfwd, ctlagent, setkeeper, policyd, probed, mcastd, klxd and "
                   "ctlagent_0-63, and refuses every other module";
        }
        fail(nullptr, ZP_EXIT_REFUSED, why);
        return;
    }
    fprintf(err_, "zor-peer: connection to %s lost; reconnecting\n", path_.c_str());
    conn_wait_start_ = 0;
}

int peer::run()
{
    if (!setup()) {
        teardown();
        return ZP_EXIT_CONNECT;
    }
    if (!load_script()) {
        teardown();
        return ZP_EXIT_SCRIPT;
    }
    if (!open_handle()) {
        teardown();
        return ZP_EXIT_CONNECT;
    }
    run_start_ = now_ms();
    kick();
    event_base_dispatch(base_.get());
    teardown();
    return exit_code_ < 0 ? ZP_EXIT_OK : exit_code_;
}

}  // namespace

int zp_run(const zp_options &opts, FILE *out, FILE *err)
{
    peer p(opts, out, err);
    return p.run();
}
