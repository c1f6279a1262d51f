// The plain AF_UNIX pumps that the distribution figures are set beside: one
// sender process fans messages of one size out to several reader
// processes, as zord fans changes out to its clients, in three ways:
//
//   one send per message: the readers in turn, one message each, one send()
//     per message (the best a transport that sends each message alone can do);
//   runs per reader: 64 messages to one reader, one send() each, then the
//     next reader (a walk slice per client, sent message by message);
//   16 frames per send: 64 messages to one reader in sendmsg() calls of 16
//     frames each, then the next reader.
//
// Each reader reads with 64 KiB reads until it has its share. Header only,
// beside bench/zor_bench_support.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "zor_bench_support.h"

namespace zb {

struct pump_kind {
    const char *name;
    uint32_t run;     // messages to one reader before the next
    uint32_t frames;  // messages per system call
};
inline constexpr pump_kind k_pumps[] = {
    {"one send per message", 1, 1},
    {"runs of sends per reader", 64, 1},
    {"16 frames per send", 64, 16},
};

// Sends all of iov, resuming after short sends; false on an error.
inline bool send_all(int fd, iovec *iov, int count)
{
    while (count > 0) {
        msghdr mh{};
        mh.msg_iov = iov;
        mh.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &mh, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        while (count > 0 && static_cast<size_t>(n) >= iov->iov_len) {
            n -= static_cast<ssize_t>(iov->iov_len);
            iov++;
            count--;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + n;
            iov->iov_len -= static_cast<size_t>(n);
        }
    }
    return true;
}

// per_reader messages of size bytes to each of readers processes, the
// pump's way. Returns the seconds from the start until the last reader had
// all of its share; 0 on a failure.
inline double fan_pump(const pump_kind &kind, uint64_t per_reader, size_t size, int readers)
{
    std::vector<int> socks;
    std::vector<pid_t> pids;
    int done[2];
    if (pipe(done) != 0) {
        return 0;
    }
    for (int r = 0; r < readers; r++) {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
            return 0;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(sv[0]);
            close(done[0]);
            std::vector<uint8_t> buf(1 << 16);
            uint64_t got = 0;
            while (got < per_reader * size) {
                ssize_t n = read(sv[1], buf.data(), buf.size());
                if (n <= 0) {
                    _exit(1);
                }
                got += static_cast<uint64_t>(n);
            }
            (void)!write(done[1], "d", 1);
            _exit(0);
        }
        close(sv[1]);
        socks.push_back(sv[0]);
        pids.push_back(pid);
    }
    close(done[1]);
    std::vector<uint8_t> msg(size, 0x5a);
    std::vector<iovec> iov(kind.frames);
    const uint64_t t0 = now_ns();
    bool ok = true;
    for (uint64_t sent = 0; ok && sent < per_reader; sent += kind.run) {
        const uint64_t run = std::min<uint64_t>(kind.run, per_reader - sent);
        for (int fd : socks) {
            for (uint64_t i = 0; ok && i < run; i += kind.frames) {
                const int k = static_cast<int>(std::min<uint64_t>(kind.frames, run - i));
                for (int f = 0; f < k; f++) {
                    iov[static_cast<size_t>(f)] = {msg.data(), size};
                }
                ok = send_all(fd, iov.data(), k);
            }
        }
    }
    char c;
    for (int r = 0; ok && r < readers; r++) {
        ok = read(done[0], &c, 1) == 1;
    }
    const uint64_t t1 = now_ns();
    for (int fd : socks) {
        close(fd);
    }
    close(done[0]);
    for (pid_t pid : pids) {
        waitpid(pid, nullptr, 0);
    }
    return ok ? static_cast<double>(t1 - t0) / 1e9 : 0;
}

// The three pumps for count messages in all (count / readers each), as
// messages per second, printed on one line after label.
inline void print_pumps(const char *label, uint64_t count, size_t size, int readers)
{
    printf("%s", label);
    for (const pump_kind &k : k_pumps) {
        const double s = fan_pump(k, count / static_cast<uint64_t>(readers), size, readers);
        printf("  %s %.0f/s", k.name, s > 0 ? static_cast<double>(count) / s : 0.0);
    }
    printf("\n");
    fflush(stdout);
}

}  // namespace zb
