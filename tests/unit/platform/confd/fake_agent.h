// An agent for the client library's tests: it listens on a free loopback
// port, runs the handshake of every connection (checking the proof when it
// has a secret), answers requests through handlers the test installs per
// connection kind, and queues every other frame for the test to read.
#pragma once

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "confd_wire.h"

class fake_agent {
public:
    struct peer {
        int fd = -1;
        int kind = 0;
        std::string name;
        int64_t daemon_id = 0;
        int64_t id = 0;  // the connection id the agent gave
        int64_t pid = 0;
        mgmt_wire::frame_buffer rx;
        std::mutex mu;
        std::condition_variable cv;
        std::deque<std::string> frames;  // bodies not taken by a handler
        bool closed = false;

        void send(const std::string &frame) { (void)!::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL); }
        // The next queued frame body; empty after 5 s without one.
        std::string next()
        {
            std::unique_lock<std::mutex> l(mu);
            cv.wait_for(l, std::chrono::seconds(5), [&] { return !frames.empty() || closed; });
            if (frames.empty()) {
                return {};
            }
            std::string f = std::move(frames.front());
            frames.pop_front();
            return f;
        }
        bool wait_closed()
        {
            std::unique_lock<std::mutex> l(mu);
            return cv.wait_for(l, std::chrono::seconds(5), [&] { return closed; });
        }
    };
    // Answers one request; false leaves the frame queued for the test.
    using handler = std::function<bool(peer &p, mgmt_wire::reader &r)>;

    explicit fake_agent(std::string secret = "", int64_t phase = 2) : secret_(std::move(secret)), phase_(phase)
    {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof(a));
        listen(lfd_, 16);
        socklen_t len = sizeof(addr_);
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&addr_), &len);
        (void)!pipe(wake_);
        thread_ = std::thread([this] { run(); });
    }
    ~fake_agent()
    {
        stop_ = true;
        (void)!write(wake_[1], "x", 1);
        thread_.join();
        for (auto &p : peers_) {
            if (p->fd >= 0) {
                close(p->fd);
            }
        }
        close(lfd_);
        close(wake_[0]);
        close(wake_[1]);
    }

    const sockaddr *addr() const { return reinterpret_cast<const sockaddr *>(&addr_); }
    int addrlen() const { return sizeof(addr_); }
    int port() const { return ntohs(addr_.sin_port); }

    void on(int kind, handler h)
    {
        std::lock_guard<std::mutex> g(mu_);
        handlers_[kind] = std::move(h);
    }
    // The n-th (from 0) connection of this kind that passed the handshake;
    // null after 5 s.
    peer *wait_peer(int kind, size_t n = 0)
    {
        std::unique_lock<std::mutex> l(mu_);
        peer *found = nullptr;
        cv_.wait_for(l, std::chrono::seconds(5), [&] {
            size_t seen = 0;
            for (auto &p : peers_) {
                if (p->id != 0 && p->kind == kind && seen++ == n) {
                    found = p.get();
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    // Closes the agent's end of a connection.
    void hang_up(peer *p)
    {
        std::lock_guard<std::mutex> g(mu_);
        shutdown(p->fd, SHUT_RDWR);
    }

    static std::string reply(uint32_t xid, const std::function<void(mgmt_wire::writer &)> &fields = {})
    {
        mgmt_wire::writer w(MGMT_OP_REPLY, xid);
        if (fields) {
            fields(w);
        }
        return w.finish();
    }
    static std::string error(uint32_t xid, int code, const std::string &text)
    {
        mgmt_wire::writer w(MGMT_OP_ERROR, xid);
        w.i64(code).str(text);
        return w.finish();
    }
    static std::string hmac(const std::string &key, const std::string &data)
    {
        unsigned char out[64];
        size_t len = 0;
        EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                  reinterpret_cast<const unsigned char *>(data.data()), data.size(), out, sizeof(out), &len);
        return std::string(reinterpret_cast<char *>(out), len);
    }

private:
    void run()
    {
        while (!stop_) {
            std::vector<pollfd> fds{{wake_[0], POLLIN, 0}, {lfd_, POLLIN, 0}};
            std::vector<peer *> order;
            {
                std::lock_guard<std::mutex> g(mu_);
                for (auto &p : peers_) {
                    if (!p->closed) {
                        fds.push_back({p->fd, POLLIN, 0});
                        order.push_back(p.get());
                    }
                }
            }
            if (poll(fds.data(), fds.size(), 1000) <= 0) {
                continue;
            }
            if (fds[1].revents & POLLIN) {
                accept_one();
            }
            for (size_t i = 0; i < order.size(); i++) {
                if (fds[i + 2].revents != 0) {
                    read_peer(*order[i]);
                }
            }
        }
    }

    void accept_one()
    {
        int fd = accept(lfd_, nullptr, nullptr);
        if (fd < 0) {
            return;
        }
        auto p = std::make_unique<peer>();
        p->fd = fd;
        std::string nonce(MGMT_NONCE_LEN, '\0');
        RAND_bytes(reinterpret_cast<unsigned char *>(nonce.data()), MGMT_NONCE_LEN);
        nonces_[fd] = nonce;
        mgmt_wire::writer w(MGMT_OP_CHALLENGE, 0);
        w.bytes(nonce);
        p->send(w.finish());
        std::lock_guard<std::mutex> g(mu_);
        peers_.push_back(std::move(p));
    }

    void read_peer(peer &p)
    {
        char buf[65536];
        ssize_t n = recv(p.fd, buf, sizeof(buf), 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> g(p.mu);
            p.closed = true;
            p.cv.notify_all();
            return;
        }
        p.rx.append(buf, static_cast<size_t>(n));
        std::span<const uint8_t> body;
        while (p.rx.next(body)) {
            std::string copy(reinterpret_cast<const char *>(body.data()), body.size());
            mgmt_wire::reader r{std::string_view(copy)};
            if (r.op() == MGMT_OP_HELLO) {
                hello(p, r);
                continue;
            }
            handler h;
            {
                std::lock_guard<std::mutex> g(mu_);
                auto it = handlers_.find(p.kind);
                if (it != handlers_.end()) {
                    h = it->second;
                }
            }
            if (h && h(p, r)) {
                continue;
            }
            std::lock_guard<std::mutex> g(p.mu);
            p.frames.push_back(std::move(copy));
            p.cv.notify_all();
        }
    }

    void hello(peer &p, mgmt_wire::reader &r)
    {
        int64_t version = 0, kind = 0, daemon = 0, pid = 0;
        std::string name, proof;
        if (!r.i64(version) || !r.i64(kind) || !r.str(name) || !r.i64(daemon) || !r.str(proof) || !r.i64(pid) ||
            !r.at_end() || version != MGMT_PROTO_VERSION || pid <= 0) {
            p.send(error(r.xid(), CONFD_ERR_PROTOUSAGE, "bad hello"));
            shutdown(p.fd, SHUT_RDWR);
            return;
        }
        if (!secret_.empty() && proof != hmac(secret_, nonces_[p.fd])) {
            p.send(error(r.xid(), CONFD_ERR_ACCESS_DENIED, "wrong IPC secret"));
            shutdown(p.fd, SHUT_RDWR);
            return;
        }
        std::lock_guard<std::mutex> g(mu_);
        p.kind = static_cast<int>(kind);
        p.name = name;
        p.daemon_id = daemon;
        p.pid = pid;
        p.id = ++next_id_;
        p.send(reply(r.xid(), [&](mgmt_wire::writer &w) { w.i64(p.id).i64(phase_); }));
        cv_.notify_all();
    }

    std::string secret_;
    int64_t phase_;
    int lfd_ = -1;
    int wake_[2] = {-1, -1};
    sockaddr_in addr_{};
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<peer>> peers_;
    std::map<int, handler> handlers_;
    std::map<int, std::string> nonces_;
    int64_t next_id_ = 100;
};

// A connected client socket of the library's kind.
inline int client_socket()
{
    return socket(AF_INET, SOCK_STREAM, 0);
}
