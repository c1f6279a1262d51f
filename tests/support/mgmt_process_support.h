// End-to-end test support for the management side: the real agent (mgmtd)
// on a free port with a database directory of its own, the sample daemon
// (mgmt-sample-daemon) with a wait for its event lines, and zorctl runs
// with their output and exit status. Every process is killed and reaped
// when its owner goes, so a failed test leaves none behind.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "test_support.h"

namespace mp {

using zt::free_port;

// The agent's address on port, for the client library's connect calls.
sockaddr_in agent_addr(uint16_t port);

// The environment of a program that talks to the agent on port: its port,
// and the IPC secret file (empty: none, whatever the test's own
// environment says).
std::map<std::string, std::string> agent_env(uint16_t port, const std::string &secret_file = "");

// Waits until the process has printed text on stdout (a whole line when
// text ends with a line feed). False when it did not within limit or ended
// without it. A bounded wait, not a measurement.
bool wait_output(zt::Process &p, const std::string &text,
                 std::chrono::milliseconds limit = std::chrono::seconds(30));

// The mgmtd program in the foreground with the source tree's modules.
class Agent {
public:
    // Starts it on a free port with the database in db_dir, the reply
    // timeout in milliseconds and extra arguments, and waits until it
    // accepts connections; started() tells whether it did.
    explicit Agent(std::string db_dir, int reply_timeout_ms = 5000, std::vector<std::string> extra = {});
    // Stops it with SIGTERM: a test fails when the agent does not end
    // cleanly (status 0, nothing from a sanitizer).
    ~Agent();
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    bool started() const { return started_; }
    uint16_t port() const { return port_; }
    zt::Process &proc() { return *proc_; }
    // SIGTERM, then reaps it: true when it ended with status 0.
    bool stop();
    // Starts it again with the same database and arguments, on a new free
    // port (after stop).
    bool restart();

private:
    void start();
    std::string db_dir_;
    int reply_timeout_ms_;
    std::vector<std::string> extra_;
    uint16_t port_ = 0;
    bool started_ = false;
    std::unique_ptr<zt::Process> proc_;
};

// mgmt-sample-daemon joined to the agent on port, with its own arguments.
class SampleDaemon {
public:
    SampleDaemon(uint16_t port, const std::vector<std::string> &args = {}, const std::string &secret_file = "");
    // Waits for one whole line of its output.
    bool wait_line(const std::string &line) { return wait_output(proc_, line + "\n"); }
    // Its output lines so far, from the first_line-th (0: all).
    std::vector<std::string> lines(size_t first_line = 0);
    zt::Process &proc() { return proc_; }

private:
    zt::Process proc_;
};

// zorctl run to its end (a bounded wait of 60 s): status, stdout, stderr.
// input, when given, is its standard input (the shell's lines).
zt::ChildResult zorctl(uint16_t port, const std::vector<std::string> &args, const std::string &input = "",
                       const std::string &secret_file = "");
// zorctl started and left running, for commands that block; stdin closed
// after input.
std::unique_ptr<zt::Process> zorctl_start(uint16_t port, const std::vector<std::string> &args,
                                          const std::string &input = "");

}  // namespace mp
