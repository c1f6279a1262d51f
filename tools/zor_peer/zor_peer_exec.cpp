// The script's half of the peer: lines loaded from a file or read from
// standard input as they come, and run one after another on the loop.
#include "zor_peer_peer.h"

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

}  // namespace

void zp_peer::queue_messages(const std::vector<zor_msg_t> &msgs)
{
    for (const zor_msg_t &m : msgs) {
        zp_line_t line;
        line.cmd = zp_cmd::send;
        line.msg = m;
        pending_.push_back(std::move(line));
    }
}

bool zp_peer::load_script()
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

void zp_peer::read_stdin()
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

void zp_peer::parse_stdin_lines(bool at_eof)
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

void zp_peer::wake_at(uint64_t when)
{
    if (exit_code_ >= 0) {
        return;
    }
    uint64_t now = zp_now_ms();
    uint64_t delay = when > now ? when - now : 0;
    if (delay > k_poll_ms) {
        delay = k_poll_ms;
    }
    struct timeval tv = {static_cast<time_t>(delay / 1000), static_cast<suseconds_t>((delay % 1000) * 1000)};
    // Replaces any earlier wake-up: the step looks at every condition again,
    // and no wait is longer than k_poll_ms.
    event_add(step_ev_.get(), &tv);
}

void zp_peer::finish(int code)
{
    if (exit_code_ < 0) {
        exit_code_ = code;
    }
    event_base_loopbreak(base_.get());
}

void zp_peer::step()
{
    for (int n = 0; exit_code_ < 0; n++) {
        uint64_t now = zp_now_ms();
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

zp_peer::step_result zp_peer::fail(const zp_line_t *line, int code, const std::string &why)
{
    if (line != nullptr) {
        fprintf(err_, "zor-peer: %s:%d: %s\n", script_name_.c_str(), line->lineno, why.c_str());
    } else {
        fprintf(err_, "zor-peer: %s\n", why.c_str());
    }
    finish(code);
    return step_result::fail;
}

zp_peer::step_result zp_peer::exec(const zp_line_t &line, uint64_t now)
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

zp_peer::step_result zp_peer::send_payload(const zp_line_t &line, const uint8_t *bytes, size_t n)
{
    if (msgq_get_queue_len(handle_) >= k_queue_high) {
        wake_at(zp_now_ms() + 2);
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

zp_peer::step_result zp_peer::send_stream(const zp_line_t &line)
{
    // Queued messages go first, so the bytes land between whole messages.
    if (!queue_drained()) {
        wake_at(zp_now_ms() + 2);
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

