// The processes and clocks of the agent's benchmark: CPU and memory of a
// process, the agent and zorctl started and measured, and the same-run
// loopback TCP baseline. Header only, for bench/mgmt_bench.cpp.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "confd_cdb.h"
#include "confd_hash.h"
#include "confd_lib.h"
#include "confd_wire.h"

namespace mb {

constexpr int k_paths = 4;
constexpr int k_links = 3;
constexpr uint32_t k_first_ip = 0x0A000001;  // 10.0.0.1, one TLOC per address
constexpr uint32_t k_zor_ns = mgmt_name_hash("urn:ostrana:zor");
constexpr uint32_t k_sample_ns = mgmt_name_hash("urn:ostrana:mgmt-sample");

inline double now_s()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline double clock_s(clockid_t c)
{
    timespec ts{};
    clock_gettime(c, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// User plus system CPU seconds a process has used so far (/proc/PID/stat).
inline double cpu_seconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14 || i == 15) {
            ticks += strtod(f.c_str(), nullptr);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline double children_cpu_s()
{
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline uint64_t vm_hwm_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return strtoull(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

inline uint16_t free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr *>(&sa), len);
    getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
    close(fd);
    return ntohs(sa.sin_port);
}

inline sockaddr_in loopback(uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

inline int connect_to(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

// ---------------------------------------------------------------- the agent

struct agent_proc {
    pid_t pid = -1;
    uint16_t port = 0;
};

// mgmtd -f on a free port with its database in db_dir, its log thrown away;
// waits until it accepts connections.
inline agent_proc start_agent(const std::string &mgmtd, const std::string &db_dir)
{
    agent_proc a;
    a.port = free_port();
    const std::string port = std::to_string(a.port);
    a.pid = fork();
    if (a.pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execl(mgmtd.c_str(), mgmtd.c_str(), "-f", "--port", port.c_str(), "--db-dir", db_dir.c_str(),
              "--reply-timeout", "120000", static_cast<char *>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 1000; i++) {
        const int fd = connect_to(a.port);
        if (fd >= 0) {
            close(fd);
            return a;
        }
        if (waitpid(a.pid, nullptr, WNOHANG) == a.pid) {
            break;
        }
        usleep(10000);
    }
    fprintf(stderr, "bench: %s did not start\n", mgmtd.c_str());
    exit(1);
}

inline void stop_agent(agent_proc &a)
{
    kill(a.pid, SIGTERM);
    waitpid(a.pid, nullptr, 0);
}

// ---------------------------------------------------------------- zorctl

struct cli_run {
    int status = -1;
    size_t out_bytes = 0;
    size_t system_ips = 0;  // "system-ip" members in the output
    double wall_s = 0;
    double cpu_s = 0;  // zorctl's own user + system time
};

inline cli_run run_zorctl(const std::string &zorctl, uint16_t port, const std::vector<std::string> &args)
{
    cli_run r;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return r;
    }
    // Everything the child needs is built before the fork: the provider's
    // and the subscriber's threads may hold the allocator's lock.
    std::vector<std::string> env = {"MGMTD_PORT=" + std::to_string(port)};
    for (char **e = environ; *e != nullptr; e++) {
        if (strncmp(*e, "MGMTD_", 6) != 0) {
            env.emplace_back(*e);
        }
    }
    std::vector<char *> envp;
    for (std::string &e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<char *> argv{const_cast<char *>(zorctl.c_str())};
    for (const std::string &a : args) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    const double cpu0 = children_cpu_s();
    const double t0 = now_s();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        execve(zorctl.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[1 << 16];
    ssize_t n = 0;
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
        text.append(buf, static_cast<size_t>(std::max<ssize_t>(n, 0)));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.wall_s = now_s() - t0;
    r.cpu_s = children_cpu_s() - cpu0;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out_bytes = text.size();
    for (size_t at = text.find("\"system-ip\""); at != std::string::npos; at = text.find("\"system-ip\"", at + 1)) {
        r.system_ips++;
    }
    return r;
}


// ---------------------------------------------------------------- the TCP pump

// count one-byte round trips to an echoing child process over loopback TCP;
// returns seconds.
inline double tcp_pump(uint64_t count)
{
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    socklen_t len = sizeof sa;
    if (bind(lfd, reinterpret_cast<sockaddr *>(&sa), len) != 0 || listen(lfd, 1) != 0 ||
        getsockname(lfd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        perror("bench: pump");
        return 0;
    }
    const int cfd = connect_to(ntohs(sa.sin_port));
    const int afd = accept(lfd, nullptr, nullptr);
    close(lfd);
    const int one = 1;
    setsockopt(cfd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(afd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const pid_t pid = fork();
    if (pid == 0) {
        close(cfd);  // the echo ends when the parent closes its end
        char b;
        while (read(afd, &b, 1) == 1 && write(afd, &b, 1) == 1) {
        }
        _exit(0);
    }
    close(afd);
    const double t0 = now_s();
    char b = 'x';
    for (uint64_t i = 0; i < count; i++) {
        if (write(cfd, &b, 1) != 1 || read(cfd, &b, 1) != 1) {
            break;
        }
    }
    const double t = now_s() - t0;
    close(cfd);
    waitpid(pid, nullptr, 0);
    return t;
}

}  // namespace mb
