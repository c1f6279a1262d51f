// Helpers shared by the unit and integration tests: a temporary run
// directory, a log capture, a hand-driven clock for the timer manager, and
// child processes for programs and for code that must stop the process.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zt {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets ZOR_RUN_DIR to a fresh temporary directory for its lifetime.
class ScopedRunDir {
public:
    ScopedRunDir();
    ~ScopedRunDir();
    const std::string &path() const { return dir_.path(); }
    std::string file(const std::string &name) const { return dir_.file(name); }

private:
    TempDir dir_;
    std::string old_;
    bool had_old_;
};

// Collects every line logged through ost_log while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    const std::vector<std::string> &lines() const { return lines_; }
    std::vector<int> priorities() const { return prios_; }
    // Number of lines that contain the text.
    size_t count(const std::string &text) const;
    bool contains(const std::string &text) const { return count(text) > 0; }
    void clear();
    std::string dump() const;

private:
    static void hook(int pri, const char *line, void *arg);
    std::vector<std::string> lines_;
    std::vector<int> prios_;
};

// Replaces the timer manager's monotonic clock with one that moves only when
// told to. Starts at an arbitrary non-zero instant.
class FakeClock {
public:
    FakeClock();
    ~FakeClock();
    void advance_ms(long ms);
    // From now on every read of the clock moves it on by ms afterwards (0
    // stops that), for code that measures its own time budget.
    void step_on_read_ms(long ms);
};

// Result of a finished child.
struct ChildResult {
    int exit_code = -1;  // valid when exited
    int term_signal = 0;  // valid when signalled
    bool exited = false;
    std::string out;
    std::string err;
};

// Runs fn in a forked child (stdout and stderr captured) and waits for it.
ChildResult run_in_child(const std::function<void()> &fn);

// Runs fn in a child and succeeds when the child stopped abnormally after
// printing exactly the assertion report "<source>:<line>: failed assertion
// `<expr>'" (any line number), source as in "common/timer" or with the one
// line the report must name ("zord/zor_client:84"), and, when
// log_text is given, logged a line holding it on stderr.
::testing::AssertionResult stops_on_assertion(const std::function<void()> &fn, const std::string &source,
                                              const std::string &expr, const std::string &log_text = "");

// A child process, either a program started with arguments and extra
// environment variables (setup, when given, runs in the child just before
// the exec: limits, mounts) or a function run in a fork; its stdin, stdout
// and stderr are pipes.
class Process {
public:
    Process(const std::string &program, const std::vector<std::string> &args,
            const std::map<std::string, std::string> &env = {}, const std::function<void()> &setup = {});
    explicit Process(const std::function<void()> &fn);  // the child exits with 0 when fn returns
    ~Process();  // kills a process that is still running
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }
    void signal(int signo);
    // Writes to the child's stdin; close_stdin ends it.
    void write_stdin(const std::string &text);
    void close_stdin();
    // Reads what the child has written so far into out() and err(), waiting
    // up to timeout_ms for something to arrive (for tests that run their own
    // event loop while the child talks).
    void poll_output(int timeout_ms = 0) { pump(timeout_ms); }
    // Waits for the process to end; false on timeout.
    bool wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    const ChildResult &result() const { return result_; }
    const std::string &out() const { return result_.out; }
    const std::string &err() const { return result_.err; }

private:
    // Forks with the three pipes; in the child, after the redirections, runs
    // child and never returns.
    void start(const std::function<void()> &child);
    void pump(int timeout_ms);
    pid_t pid_ = -1;
    int in_fd_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    bool done_ = false;
    ChildResult result_;
};

// Path of a program built in this build tree ("zord/zord", "tools/zor-peer").
std::string build_path(const std::string &rel);

// zord in the foreground (-f, then args) on a run directory of its own that
// other users may enter; setup as for Process. Constructed once the pid file
// is there (a test failure when it does not come). Ends with a clean stop:
// SIGUSR2, status 0 and no assertion line, checked at stop() or destruction.
class ZordProcess {
public:
    explicit ZordProcess(std::map<std::string, std::string> env = {}, const std::vector<std::string> &args = {},
                         const std::function<void()> &setup = {});
    ~ZordProcess() { stop(); }
    ZordProcess(const ZordProcess &) = delete;
    ZordProcess &operator=(const ZordProcess &) = delete;

    const std::string &run_dir() const { return run_.path(); }
    std::string socket_path() const { return run_.file(".zord"); }
    Process &proc() { return *proc_; }
    // Occurrences of text in what zord wrote to stderr so far.
    size_t count(const std::string &text);
    void stop();

private:
    TempDir run_;
    std::unique_ptr<Process> proc_;
    bool stopped_ = false;
};

// A pointer as "%p" prints it.
std::string ptr_text(const void *p);
// n bytes as lower-case hex digits, two a byte.
std::string hex_text(const void *p, size_t n);

// A loopback TCP port that nobody listens on right now.
uint16_t free_port();
// Polls pred every 20 ms until it holds; false when limit passed first (a
// missing event, never a measure of speed).
bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Whole-line helpers: split text at line feeds (the last empty piece dropped).
std::vector<std::string> split_lines(const std::string &text);
std::string read_file(const std::string &path);

}  // namespace zt
