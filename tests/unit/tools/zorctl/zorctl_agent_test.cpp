// The real zorctl against the real agent (mgmtd) on a free port with a
// database of its own: configuration round trips, one-shot and through the
// shell's config mode; refusals with their one line and exit codes; the
// IPC secret; the shell on a terminal; and an agent that is not there.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "mgmt_process_support.h"

namespace {

// Adds what the terminal has written within 20 ms to seen.
void read_some(int fd, std::string &seen)
{
    pollfd p{fd, POLLIN, 0};
    char buf[4096];
    ssize_t n = 0;
    if (poll(&p, 1, 20) > 0 && (n = read(fd, buf, sizeof buf)) > 0) {
        seen.append(buf, static_cast<size_t>(n));
    } else if (n < 0) {
        usleep(20000);  // the terminal is closed: poll no longer waits
    }
}

// Reads the terminal until its output holds text; a bounded wait.
bool read_until(int fd, const std::string &text, std::string &seen)
{
    for (int i = 0; i < 500 && seen.find(text) == std::string::npos; i++) {
        read_some(fd, seen);
    }
    return seen.find(text) != std::string::npos;
}

class ZorctlAgent : public ::testing::Test {
protected:
    // Starts the agent; extra arguments after the usual ones.
    void start_agent(const std::vector<std::string> &extra = {})
    {
        agent_ = std::make_unique<mp::Agent>(db_.path(), 5000, extra);
        ASSERT_TRUE(agent_->started()) << agent_->proc().err();
        port_ = agent_->port();
    }

    zt::ChildResult zorctl(const std::vector<std::string> &args, const std::string &input = "",
                           const std::string &secret_file = "")
    {
        return mp::zorctl(port_, args, input, secret_file);
    }

    zt::TempDir db_;
    uint16_t port_ = 0;
    std::unique_ptr<mp::Agent> agent_;
};

TEST_F(ZorctlAgent, ConfigurationRoundTripsAndRefusals)
{
    start_agent();
    zt::ChildResult r = zorctl({"set", "system", "personality", "brink"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = zorctl({"set", "snmp/trap/group{g1}/enable{all}/level", "critical", "major"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = zorctl({"set", "security", "pairwise-keys", "true"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    r = zorctl({"show", "running-config", "system"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "system\n  personality brink\n");
    r = zorctl({"show", "running-config", "snmp"});
    EXPECT_EQ(r.out, "snmp\n  trap\n    group g1\n      enable all\n        level critical\n        level major\n");
    r = zorctl({"--json", "show", "running-config", "security"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\"pairwise-keys\": true"), std::string::npos) << r.out;

    // The agent refuses a value its schema does not allow: its reason, one
    // line, status 1; nothing changes.
    r = zorctl({"set", "system", "personality", "boss"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(zt::split_lines(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("zorctl: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("boss"), std::string::npos) << r.err;
    // zorctl refuses a path the schema does not have before sending it.
    r = zorctl({"set", "system", "bogus", "1"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "zorctl: no bogus under system\n");
    // A command no daemon serves.
    r = zorctl({"show", "zor", "db"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "zorctl: no daemon serves zor_dump_db\n");

    // Config mode gathers edits and commits them as one; a failed commit
    // keeps them; the shell carries on after failures.
    r = zorctl({}, "config\n"
                   "set system host-name r1\n"
                   "delete snmp/trap/group{g1}/enable{all}/level{major}\n"
                   "show changes\n"
                   "commit\n"
                   "set system personality boss\n"
                   "commit\n"
                   "abort\n"
                   "exit\n"
                   "show running-config\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(zt::split_lines(r.err).size(), 1u) << r.err;
    EXPECT_NE(r.err.find("boss"), std::string::npos) << r.err;
    const std::string changes = "set system/host-name r1\ndelete snmp/trap/group{g1}/enable{all}/level{major}\n";
    ASSERT_EQ(r.out.rfind(changes, 0), 0u) << r.out;
    const std::string config = r.out.substr(changes.size());
    for (const char *line : {"  personality brink\n", "  host-name r1\n", "        level critical\n"}) {
        EXPECT_NE(config.find(line), std::string::npos) << line << " in:\n" << config;
    }
    EXPECT_EQ(config.find("major"), std::string::npos) << config;
}

TEST_F(ZorctlAgent, TerminalShellCompletesFromTheSchemaAndKeepsHistory)
{
    start_agent();
    zt::TempDir home;
    int fd = -1;
    const pid_t pid = forkpty(&fd, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("MGMTD_PORT", std::to_string(port_).c_str(), 1);
        setenv("HOME", home.path().c_str(), 1);
        const std::string prog = zt::build_path("tools/zorctl/zorctl");
        execl(prog.c_str(), "zorctl", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string seen;
    EXPECT_TRUE(read_until(fd, "zorctl> ", seen)) << seen;
    // Node names, then an enum label, each completed from a unique prefix.
    const std::pair<std::string, std::string> steps[] = {
        {"set sy\t", "stem "}, {"pe\t", "rsonality "}, {"st\t", "eward "}};
    for (const auto &[keys, inserted] : steps) {
        ASSERT_EQ(write(fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
        EXPECT_TRUE(read_until(fd, inserted, seen)) << seen;  // libedit echoes the completed rest
    }
    ASSERT_EQ(write(fd, "\r", 1), 1);
    EXPECT_TRUE(read_until(fd, "\nzorctl> ", seen)) << seen;
    ASSERT_EQ(write(fd, "exit\r", 5), 5);
    int status = -1;
    pid_t r = 0;
    for (int i = 0; i < 500 && r != pid; i++) {
        read_some(fd, seen);
        r = waitpid(pid, &status, WNOHANG);
        ASSERT_TRUE(r >= 0 || errno == EINTR) << strerror(errno);
    }
    close(fd);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << seen;
    EXPECT_EQ(seen.find('\x07'), std::string::npos) << seen;

    EXPECT_EQ(zorctl({"show", "running-config", "system"}).out, "system\n  personality steward\n");
    EXPECT_NE(zt::read_file(home.file(".zorctl_history")).find("set\\040system\\040personality\\040steward"),
              std::string::npos);
}

TEST_F(ZorctlAgent, SecretAndAnAgentThatIsNotThere)
{
    const std::string secret = db_.file("secret");
    std::ofstream(secret) << "0123456789abcdef";
    start_agent({"--ipc-secret", secret});
    zt::ChildResult r = zorctl({"--json", "agent", "status"}, "", secret);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find(std::to_string(port_)), std::string::npos) << r.out;
    r = zorctl({"agent", "status"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err.rfind("zorctl: the agent refused the connection: ", 0), 0u) << r.err;

    ASSERT_TRUE(agent_->stop());
    r = zorctl({"show", "running-config"});
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "zorctl: cannot reach the agent at 127.0.0.1:" + std::to_string(port_) + ": Connection refused\n");
    r = zorctl({}, "agent status\n");  // the shell does not start without the agent either
    EXPECT_EQ(r.exit_code, 3);
}

}  // namespace
