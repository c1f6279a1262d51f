// Real processes for the tests of zord under the management agent: the
// agent (mgmtd), zord in the foreground on its own run directory, zor-peer
// processes fed line by line, and zorctl runs. Every wait here polls and
// keeps reading the pipes of all live processes, so that none of them (zord
// with event debugging on, above all) blocks on a full pipe while another
// is waited for. The agent keeps its port across a restart, as a running
// zord knows only that one; ports and environments come from
// mgmt_process_support.h.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "mgmt_process_support.h"
#include "test_support.h"

namespace zm {

using namespace std::chrono_literals;
using mp::free_port;

// Calls cond every 20 ms, reading the pipes of every live process, until it
// holds or timeout passes.
bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout = 30s);

// The first line of a sanitizer report in a program's stderr, or "".
std::string sanitizer_report(const std::string &err);

// A process whose pipes every wait of this file keeps reading.
class Live {
public:
    Live(const std::string &program, const std::vector<std::string> &args,
         const std::map<std::string, std::string> &env = {});
    explicit Live(const std::function<void()> &fn);
    ~Live();
    Live(const Live &) = delete;
    Live &operator=(const Live &) = delete;
    zt::Process &proc() { return *proc_; }
    const std::string &out() const { return proc_->out(); }
    const std::string &err() const { return proc_->err(); }
    // Stops it with signo and waits; true when it exited with status 0,
    // printed nothing on stdout and no sanitizer report on stderr (else a
    // test failure says what).
    bool stop(int signo);

private:
    std::unique_ptr<zt::Process> proc_;
};

// The agent on port, keeping its database in db_dir; started by start().
class Agent {
public:
    Agent(int port, std::string db_dir) : port_(port), db_dir_(std::move(db_dir)) {}
    // Starts it and waits until it serves.
    bool start();
    // SIGTERM; true when it ended cleanly.
    bool stop();
    int port() const { return port_; }
    Live *live() { return live_.get(); }

private:
    int port_;
    std::string db_dir_;
    std::unique_ptr<Live> live_;
};

struct CliResult {
    int rc = -1;
    std::string out;
    std::string err;
};
// zorctl with args against the agent on port; a sanitizer report on its
// stderr fails the test.
CliResult zorctl(int port, const std::vector<std::string> &args);

// zord -f on a fresh run directory, joining the agent on port; extra
// arguments before -f. Waits for its pid file: started() tells whether it
// came, err() why not.
class Zord {
public:
    explicit Zord(int port, const std::vector<std::string> &args = {}, const std::string &pid_file = "zord.0.pid");
    // Starts zord through launch, which execs the program with argv in the
    // child it is given (for a namespace of its own).
    Zord(int port, const std::function<void(const std::vector<std::string> &argv)> &launch,
         const std::vector<std::string> &args, const std::string &pid_file);
    const std::string &run_dir() const { return run_.path(); }
    Live &live() { return *live_; }
    const std::string &err() const { return live_->err(); }
    // Waits for a stderr line holding text at or after byte from.
    bool wait_log(const std::string &text, size_t from = 0);
    bool started() const { return started_; }
    // SIGUSR2: the clean stop.
    bool stop() { return live_->stop(SIGUSR2); }

private:
    void wait_started(const std::string &pid_file);
    zt::TempDir run_;
    std::unique_ptr<Live> live_;
    bool started_ = false;
};

// zor-peer as module on zord's run directory, reading its script from
// stdin line by line; its output is one JSON line per received message.
class Peer {
public:
    Peer(const std::string &run_dir, const std::string &module, const std::vector<std::string> &extra = {});
    void send(const std::string &lines) { live_.proc().write_stdin(lines); }
    // The received lines holding every one of the texts.
    std::vector<std::string> received(const std::vector<std::string> &texts) const;
    // Waits until n lines hold every one of the texts.
    bool wait_received(const std::vector<std::string> &texts, size_t n = 1);
    // Ends the script and waits for the peer to exit 0 without a sanitizer
    // report.
    bool finish();

private:
    std::string module_;
    Live live_;
};

// The JSON text of a received message's members as zor-peer prints them.
std::string tloc_member(const std::string &tloc);

}  // namespace zm
