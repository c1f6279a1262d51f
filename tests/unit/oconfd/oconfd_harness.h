// What the integration module's tests share, the agent's side: a real agent
// (mgmtd) on a free port with the project's YANG modules and a test module,
// an event-loop thread with a timer manager as a daemon has, a thread-safe
// log capture, and the operator's side of the agent (commits and the
// notification replay) over its CLI connection. The daemon's side is in
// oconfd_daemon_harness.h.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <event2/event.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "confd_hash.h"
#include "confd_wire.h"
#include "oconfd.h"
#include "ost_log.h"
#include "ost_util.h"
#include "test_support.h"
#include "timer.h"

namespace oct {

using namespace std::chrono_literals;

// The test module's namespace and the tags the tests build values with.
constexpr uint32_t k_test_ns = 0x0c0ffee1;
constexpr uint32_t k_tag_notif = mgmt_name_hash("bfd-state-change");
constexpr uint32_t k_tag_severity = mgmt_name_hash("severity-level");
constexpr uint32_t k_tag_seq = mgmt_name_hash("seq");
constexpr uint32_t k_tag_text = mgmt_name_hash("text");

inline const char *k_test_module = R"(module oconfd-test {
  yang-version 1.1;
  namespace "urn:ostrana:oconfd-test";
  prefix oct;
  import mgmtd-extensions { prefix mx; }
  mx:namespace-id "0x0c0ffee1";
  container octest {
    list item {
      key "name";
      leaf name { type string; }
      leaf value { type uint32; }
      leaf note { type string; }
    }
    leaf guarded { type string; }
  }
  container octest-state {
    config false;
    leaf counter { type uint32; }
    list entry {
      key "id";
      leaf id { type uint32; }
    }
  }
  notification bfd-state-change {
    leaf severity-level {
      type enumeration {
        enum critical { value 1; }
        enum major { value 2; }
        enum minor { value 3; }
      }
    }
    leaf seq { type uint32; }
    leaf text { type string; }
  }
}
)";

using zt::free_port;
using zt::wait_until;

// Every line logged through ost_log, from any thread.
class Logs {
public:
    Logs()
    {
        ost_log_set_hook(&Logs::hook, this);
        ost_log_set_mirror(getenv("OCONFD_TEST_LOGS") != nullptr);
    }
    ~Logs() { ost_log_set_hook(nullptr, nullptr); }
    Logs(const Logs &) = delete;
    Logs &operator=(const Logs &) = delete;

    size_t count(const std::string &text) const
    {
        std::lock_guard<std::mutex> lock(mu_);
        size_t n = 0;
        for (const auto &[pri, line] : lines_) {
            n += line.find(text) != std::string::npos ? 1 : 0;
        }
        return n;
    }
    bool wait_for(const std::string &text, size_t n = 1, std::chrono::milliseconds deadline = 30s) const
    {
        return wait_until([&] { return count(text) >= n; }, deadline);
    }
    // The lines at the priority that contain text.
    std::vector<std::string> at(int pri, const std::string &text = "") const
    {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto &[p, line] : lines_) {
            if (p == pri && line.find(text) != std::string::npos) {
                out.push_back(line);
            }
        }
        return out;
    }
    std::string dump() const
    {
        std::lock_guard<std::mutex> lock(mu_);
        std::string out;
        for (const auto &[pri, line] : lines_) {
            out += line + "\n";
        }
        return out;
    }

private:
    static void hook(int pri, const char *line, void *arg)
    {
        auto *self = static_cast<Logs *>(arg);
        std::lock_guard<std::mutex> lock(self->mu_);
        self->lines_.emplace_back(pri, line);
    }
    mutable std::mutex mu_;
    std::vector<std::pair<int, std::string>> lines_;
};

// The agent, on a free port given to the whole process through MGMTD_PORT,
// with a database directory that survives its restarts.
class Agent {
public:
    explicit Agent(std::vector<std::string> extra = {}) : extra_(std::move(extra))
    {
        port_ = free_port();
        setenv(MGMT_ENV_PORT, std::to_string(port_).c_str(), 1);
        DIR *d = opendir(ZOR_SOURCE_DIR "/yang");
        if (d != nullptr) {
            while (dirent *e = readdir(d)) {
                std::string name = e->d_name;
                if (name.size() > 5 && name.substr(name.size() - 5) == ".yang") {
                    std::ifstream in(std::string(ZOR_SOURCE_DIR "/yang/") + name);
                    std::ofstream(yang_.file(name)) << in.rdbuf();
                }
            }
            closedir(d);
        }
        std::ofstream(yang_.file("oconfd-test.yang")) << k_test_module;
    }
    ~Agent() { stop(); }

    int port() const { return port_; }

    // Starts the agent and waits until it accepts connections.
    bool start()
    {
        std::vector<std::string> args = {"-f", "--port", std::to_string(port_), "--db-dir", db_.path(),
                                          "--yang-dir", yang_.path()};
        args.insert(args.end(), extra_.begin(), extra_.end());
        proc_ = std::make_unique<zt::Process>(zt::build_path("platform/mgmtd/mgmtd"), args);
        // The agent's log lines must not fill its stderr pipe.
        draining_ = true;
        drain_ = std::thread([this] {
            while (draining_) {
                proc_->poll_output(100);
            }
        });
        return wait_until([this] { return accepts(); }, 20s);
    }
    // Kills the agent at once, as a crash would.
    void kill()
    {
        stop_draining();
        if (proc_) {
            proc_->signal(SIGKILL);
            proc_->wait_exit();
            proc_.reset();
        }
    }
    void stop()
    {
        stop_draining();
        if (proc_) {
            proc_->signal(SIGTERM);
            if (!proc_->wait_exit(5s)) {
                proc_->signal(SIGKILL);
                proc_->wait_exit();
            }
            proc_.reset();
        }
    }
private:
    void stop_draining()
    {
        draining_ = false;
        if (drain_.joinable()) {
            drain_.join();
        }
    }
    bool accepts() const
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port_));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool ok = connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof(sin)) == 0;
        close(fd);
        return ok;
    }
    std::vector<std::string> extra_;
    int port_ = -1;
    zt::TempDir yang_;
    zt::TempDir db_;
    std::unique_ptr<zt::Process> proc_;
    std::atomic<bool> draining_{false};
    std::thread drain_;
};

// A daemon's event loop on a thread of its own, with a timer manager ticked
// every 100 ms. Work for the loop is posted with run(), which waits for it.
class Loop {
public:
    Loop()
    {
        base_ = event_base_new();
        timers_ = timer_mgr_create(TIMER_RES_100MS, nullptr, nullptr, nullptr, 3);
        socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, wake_);
        fcntl(wake_[0], F_SETFL, O_NONBLOCK);
        wake_event_ = event_new(base_, wake_[0], EV_READ | EV_PERSIST, &Loop::on_wake, this);
        event_add(wake_event_, nullptr);
        tick_ = event_new(base_, -1, EV_PERSIST, &Loop::on_tick, this);
        timeval tv = {0, 100 * 1000};
        event_add(tick_, &tv);
        thread_ = std::thread([this] { event_base_dispatch(base_); });
    }
    ~Loop()
    {
        run([this] { event_base_loopbreak(base_); });
        thread_.join();
        event_free(tick_);
        event_free(wake_event_);
        close(wake_[0]);
        close(wake_[1]);
        timer_mgr_destroy(timers_);
        event_base_free(base_);
    }
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    event_base *base() { return base_; }
    timer_mgr_t *timers() { return timers_; }

    template <typename Fn>
    auto run(Fn &&fn) -> decltype(fn())
    {
        using R = decltype(fn());
        std::packaged_task<R()> task(std::forward<Fn>(fn));
        std::future<R> result = task.get_future();
        {
            std::lock_guard<std::mutex> lock(mu_);
            tasks_.emplace_back([&task] { task(); });
        }
        char byte = 1;
        (void)!write(wake_[1], &byte, 1);
        return result.get();
    }

private:
    static void on_wake(evutil_socket_t fd, short, void *arg)
    {
        auto *self = static_cast<Loop *>(arg);
        char buf[64];
        while (read(fd, buf, sizeof(buf)) > 0) {
        }
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard<std::mutex> lock(self->mu_);
            tasks.swap(self->tasks_);
        }
        for (auto &t : tasks) {
            t();
        }
    }
    static void on_tick(evutil_socket_t, short, void *arg)
    {
        auto *self = static_cast<Loop *>(arg);
        (void)timer_mgr_exec(self->timers_, 3, 100);
    }

    event_base *base_ = nullptr;
    timer_mgr_t *timers_ = nullptr;
    int wake_[2] = {-1, -1};
    event *wake_event_ = nullptr;
    event *tick_ = nullptr;
    std::mutex mu_;
    std::deque<std::function<void()>> tasks_;
    std::thread thread_;
};

// One change of a commit: op 1 set, 2 delete, 3 create (mgmt_edit_op).
struct Edit {
    int op;
    std::string path;
    std::string value;
};

// The operator's connection to the agent (the CLI kind of the wire protocol).
class Operator {
public:
    Operator()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        socklen_t len = confd_agent_addr(&sin);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&sin), len) != 0) {
            return;
        }
        std::string body;
        if (!read_frame(body) || mgmt_wire::reader(body).op() != MGMT_OP_CHALLENGE) {
            return;
        }
        mgmt_wire::writer hello(MGMT_OP_HELLO, 0);
        hello.i64(MGMT_PROTO_VERSION).i64(MGMT_CONN_CLI).str("oconfd-test").i64(0).bytes("").i64(getpid());
        ok_ = send_frame(hello.finish()) && read_frame(body) && mgmt_wire::reader(body).op() == MGMT_OP_REPLY;
    }
    ~Operator() { close(fd_); }
    Operator(const Operator &) = delete;
    Operator &operator=(const Operator &) = delete;
    bool ok() const { return ok_; }

    // "" when the commit was applied, else the agent's error text.
    std::string commit(const std::vector<Edit> &edits)
    {
        mgmt_wire::writer w(MGMT_OP_CLI_COMMIT, ++xid_);
        w.list(static_cast<uint32_t>(edits.size()));
        for (const Edit &e : edits) {
            w.list(3).i64(e.op).str(e.path).str(e.value);
        }
        std::string body;
        if (!send_frame(w.finish()) || !read_reply(body)) {
            return "no reply";
        }
        mgmt_wire::reader r(body);
        if (r.op() == MGMT_OP_REPLY) {
            return "";
        }
        int64_t code = 0;
        std::string text;
        r.i64(code);
        r.str(text);
        return text.empty() ? "error " + std::to_string(code) : text;
    }
    // The JSON lines the agent replays for a stream.
    std::vector<std::string> notifications(const std::string &stream)
    {
        mgmt_wire::writer w(MGMT_OP_CLI_NOTIFS, ++xid_);
        w.str(stream).i64(0);
        std::vector<std::string> lines;
        if (!send_frame(w.finish())) {
            return lines;
        }
        std::string body;
        while (read_frame(body)) {
            mgmt_wire::reader r(body);
            if (r.op() == MGMT_OP_CLI_NOTIF) {
                std::string line;
                if (r.str(line)) {
                    lines.push_back(line);
                }
            } else if (r.xid() == xid_) {
                break;
            }
        }
        return lines;
    }

private:
    bool send_frame(const std::string &frame)
    {
        size_t off = 0;
        while (off < frame.size()) {
            ssize_t n = send(fd_, frame.data() + off, frame.size() - off, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            off += static_cast<size_t>(n);
        }
        return true;
    }
    // The reply of the last request, skipping pushes.
    bool read_reply(std::string &body)
    {
        while (read_frame(body)) {
            mgmt_wire::reader r(body);
            if ((r.op() == MGMT_OP_REPLY || r.op() == MGMT_OP_ERROR) && r.xid() == xid_) {
                return true;
            }
        }
        return false;
    }
    bool read_frame(std::string &body)
    {
        std::span<const uint8_t> frame;
        for (;;) {
            if (frames_.next(frame)) {
                body.assign(reinterpret_cast<const char *>(frame.data()), frame.size());
                return true;
            }
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 60000) != 1) {
                return false;
            }
            char buf[65536];
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) {
                return false;
            }
            frames_.append(buf, static_cast<size_t>(n));
        }
    }
    int fd_ = -1;
    bool ok_ = false;
    uint32_t xid_ = 0;
    mgmt_wire::frame_buffer frames_;
};

// A short CDB session of the test's own on the operational store.
class OperSession {
public:
    OperSession()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        socklen_t len = confd_agent_addr(&sin);
        ok_ = cdb_connect(fd_, CDB_DATA_SOCKET, reinterpret_cast<sockaddr *>(&sin), static_cast<int>(len)) ==
                  CONFD_OK &&
              cdb_start_session2(fd_, CDB_OPERATIONAL, CDB_LOCK_WAIT | CDB_LOCK_REQUEST) == CONFD_OK;
    }
    ~OperSession()
    {
        if (ok_) {
            cdb_end_session(fd_);
        }
        cdb_close(fd_);
    }
    OperSession(const OperSession &) = delete;
    OperSession &operator=(const OperSession &) = delete;
    bool ok() const { return ok_; }
    int fd() const { return fd_; }

    // The leaf's uint32 or bits value; -1 when it is not there.
    long long get_u32(const char *path)
    {
        confd_value_t v{};
        if (cdb_get(fd_, &v, "%s", path) != CONFD_OK) {
            return -1;
        }
        long long out = v.type == C_UINT32 ? v.val.u32 : v.type == C_BIT32 ? v.val.b32 : -1;
        confd_free_value(&v);
        return out;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

}  // namespace oct
