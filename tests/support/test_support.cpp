#include "test_support.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ost_log.h"
#include "ost_rundir.h"
#include "timer.h"

namespace zt {

TempDir::TempDir()
{
    char tmpl[] = "/tmp/zord-test.XXXXXX";
    char *dir = mkdtemp(tmpl);
    if (dir == nullptr) {
        abort();
    }
    path_ = dir;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedRunDir::ScopedRunDir()
{
    const char *old = getenv(OST_RUN_DIR_ENV);
    had_old_ = old != nullptr;
    if (had_old_) {
        old_ = old;
    }
    setenv(OST_RUN_DIR_ENV, dir_.path().c_str(), 1);
}

ScopedRunDir::~ScopedRunDir()
{
    if (had_old_) {
        setenv(OST_RUN_DIR_ENV, old_.c_str(), 1);
    } else {
        unsetenv(OST_RUN_DIR_ENV);
    }
}

LogCapture::LogCapture()
{
    ost_log_set_hook(&LogCapture::hook, this);
}

LogCapture::~LogCapture()
{
    ost_log_set_hook(nullptr, nullptr);
}

void LogCapture::hook(int pri, const char *line, void *arg)
{
    auto *self = static_cast<LogCapture *>(arg);
    self->lines_.emplace_back(line);
    self->prios_.push_back(pri);
}

size_t LogCapture::count(const std::string &text) const
{
    size_t n = 0;
    for (const auto &line : lines_) {
        if (line.find(text) != std::string::npos) {
            n++;
        }
    }
    return n;
}

void LogCapture::clear()
{
    lines_.clear();
    prios_.clear();
}

std::string LogCapture::dump() const
{
    std::string all;
    for (const auto &line : lines_) {
        all += line;
        all += '\n';
    }
    return all;
}

namespace {
struct timespec g_fake_now;
long g_fake_step_ns = 0;
void fake_clock_advance(long ns)
{
    long total = g_fake_now.tv_nsec + ns;
    g_fake_now.tv_sec += total / 1000000000L;
    g_fake_now.tv_nsec = total % 1000000000L;
}
void fake_clock(struct timespec *now)
{
    *now = g_fake_now;
    fake_clock_advance(g_fake_step_ns);
}
}  // namespace

FakeClock::FakeClock()
{
    g_fake_now.tv_sec = 1000;
    g_fake_now.tv_nsec = 0;
    g_fake_step_ns = 0;
    timer_set_clock(fake_clock);
}

FakeClock::~FakeClock()
{
    g_fake_step_ns = 0;
    timer_set_clock(nullptr);
}

void FakeClock::step_on_read_ms(long ms)
{
    g_fake_step_ns = ms * 1000000L;
}

void FakeClock::advance_ms(long ms)
{
    fake_clock_advance(ms * 1000000L);
}

namespace {

void drain(int fd, std::string &into, bool &open)
{
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        open = false;
    }
}

}  // namespace

ChildResult run_in_child(const std::function<void()> &fn)
{
    Process child(fn);
    // The limit only stops a broken test from hanging: the child is killed.
    child.wait_exit(std::chrono::minutes(2));
    return child.result();
}

::testing::AssertionResult stops_on_assertion(const std::function<void()> &fn, const std::string &source,
                                              const std::string &expr, const std::string &log_text)
{
    ChildResult r = run_in_child(fn);
    const std::string tail = ": failed assertion `" + expr + "'\n";
    bool report = !r.exited && r.err.find(log_text) != std::string::npos;
    if (report && source.find(':') != std::string::npos) {
        report = r.out == source + tail;
    } else if (report) {
        const std::string head = source + ":";
        report = r.out.size() > head.size() + tail.size() && r.out.starts_with(head) && r.out.ends_with(tail);
        if (report) {
            std::string line = r.out.substr(head.size(), r.out.size() - head.size() - tail.size());
            report = line.find_first_not_of("0123456789") == std::string::npos;
        }
    }
    if (report) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "exited " << r.exited << " (code " << r.exit_code << ", signal "
                                         << r.term_signal << "), stdout: " << r.out << "stderr: " << r.err;
}

Process::Process(const std::string &program, const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env, const std::function<void()> &setup)
{
    start([&] {
        for (const auto &[k, v] : env) {
            setenv(k.c_str(), v.c_str(), 1);
        }
        if (setup) {
            setup();
        }
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        fprintf(stderr, "exec %s failed: %s\n", program.c_str(), strerror(errno));
        _exit(127);
    });
}

Process::Process(const std::function<void()> &fn)
{
    start([&] {
        fn();
        fflush(stdout);
        _exit(0);
    });
}

void Process::start(const std::function<void()> &child)
{
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        abort();
    }
    fflush(stdout);
    fflush(stderr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
            close(fd);
        }
        child();
        _exit(0);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
    fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

Process::~Process()
{
    if (!done_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_exit(std::chrono::seconds(5));
    }
    for (int fd : {in_fd_, out_fd_, err_fd_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Process::signal(int signo)
{
    if (!done_) {
        kill(pid_, signo);
    }
}

void Process::write_stdin(const std::string &text)
{
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = write(in_fd_, text.data() + off, text.size() - off);
        if (n <= 0) {
            return;
        }
        off += static_cast<size_t>(n);
    }
}

void Process::close_stdin()
{
    if (in_fd_ >= 0) {
        close(in_fd_);
        in_fd_ = -1;
    }
}

void Process::pump(int timeout_ms)
{
    struct pollfd fds[2];
    int n = 0;
    if (out_fd_ >= 0) {
        fds[n++] = {out_fd_, POLLIN, 0};
    }
    if (err_fd_ >= 0) {
        fds[n++] = {err_fd_, POLLIN, 0};
    }
    if (n == 0) {
        usleep(static_cast<useconds_t>(timeout_ms) * 1000);
        return;
    }
    if (poll(fds, static_cast<nfds_t>(n), timeout_ms) <= 0) {
        return;
    }
    for (int i = 0; i < n; i++) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        bool open = true;
        if (fds[i].fd == out_fd_) {
            drain(out_fd_, result_.out, open);
            if (!open) {
                close(out_fd_);
                out_fd_ = -1;
            }
        } else {
            drain(err_fd_, result_.err, open);
            if (!open) {
                close(err_fd_);
                err_fd_ = -1;
            }
        }
    }
}

bool Process::wait_exit(std::chrono::milliseconds timeout)
{
    if (done_) {
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        pump(20);
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            // Collect what is left in the pipes.
            for (int i = 0; i < 50 && (out_fd_ >= 0 || err_fd_ >= 0); i++) {
                pump(10);
            }
            if (WIFEXITED(status)) {
                result_.exited = true;
                result_.exit_code = WEXITSTATUS(status);
            } else if (WIFSIGNALED(status)) {
                result_.term_signal = WTERMSIG(status);
            }
            done_ = true;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
    }
}

std::string build_path(const std::string &rel)
{
    return std::string(ZOR_BUILD_DIR) + "/" + rel;
}

ZordProcess::ZordProcess(std::map<std::string, std::string> env, const std::vector<std::string> &args,
                         const std::function<void()> &setup)
{
    chmod(run_.path().c_str(), 0755);
    env["ZOR_RUN_DIR"] = run_.path();
    std::vector<std::string> argv{"-f"};
    argv.insert(argv.end(), args.begin(), args.end());
    proc_ = std::make_unique<Process>(build_path("zord/zord"), argv, env, setup);
    const std::string pid_file = run_.file("zord.0.pid");
    for (int i = 0; i < 500 && !std::filesystem::exists(pid_file); i++) {
        proc_->poll_output(10);
    }
    EXPECT_TRUE(std::filesystem::exists(pid_file)) << proc_->err();
}

size_t ZordProcess::count(const std::string &text)
{
    proc_->poll_output(0);
    size_t n = 0;
    for (size_t at = proc_->err().find(text); at != std::string::npos; at = proc_->err().find(text, at + 1)) {
        n++;
    }
    return n;
}

void ZordProcess::stop()
{
    if (stopped_) {
        return;
    }
    stopped_ = true;
    proc_->signal(SIGUSR2);
    EXPECT_TRUE(proc_->wait_exit(std::chrono::seconds(60)));
    EXPECT_TRUE(proc_->result().exited) << "signal " << proc_->result().term_signal << "\n" << proc_->err();
    EXPECT_EQ(proc_->result().exit_code, 0) << proc_->err();
    EXPECT_EQ(proc_->out(), "") << "no assertion line";
}

std::string ptr_text(const void *p)
{
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

std::string hex_text(const void *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        uint8_t b = static_cast<const uint8_t *>(p)[i];
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string cur;
    std::istringstream in(text);
    while (std::getline(in, cur)) {
        lines.push_back(cur);
    }
    return lines;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

uint16_t free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        ADD_FAILURE() << "no free port: " << strerror(errno);
    }
    if (fd >= 0) {
        close(fd);
    }
    return ntohs(sa.sin_port);
}

bool wait_until(const std::function<bool()> &pred, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace zt
