// Test support for the agent's tests: the real mgmtd program on a free
// port, and a raw client that speaks the wire protocol with mgmt_wire.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "confd_wire.h"
#include "mgmt_process_support.h"

namespace mt {

struct frame {
    mgmt_op op{};
    uint32_t xid = 0;
    std::string body;  // op, xid and fields
    mgmt_wire::reader fields() const
    {
        mgmt_wire::reader r(body);
        return r;
    }
    // ERROR frames: the code and text.
    int64_t code() const
    {
        mgmt_wire::reader r(body);
        int64_t c = 0;
        r.i64(c);
        return c;
    }
    std::string text() const
    {
        mgmt_wire::reader r(body);
        int64_t c = 0;
        std::string t;
        r.i64(c);
        r.str(t);
        return t;
    }
    // REPLY frames whose first field is a string (JSON).
    std::string str() const
    {
        mgmt_wire::reader r(body);
        std::string t;
        r.str(t);
        return t;
    }
};

class client {
public:
    client() = default;
    ~client() { close_now(); }
    client(const client &) = delete;
    client &operator=(const client &) = delete;

    // Connects and shakes hands. secret: the proof's key (nullopt: no
    // proof). True when the agent accepted; hello_reply() has its answer.
    bool connect(int port, mgmt_conn_kind kind, const std::string &name = "test", int64_t daemon = 0,
                 std::optional<std::string> secret = std::nullopt)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
            return false;
        }
        std::optional<frame> ch = read();
        if (!ch || ch->op != MGMT_OP_CHALLENGE) {
            return false;
        }
        mgmt_wire::reader r(ch->body);
        std::string_view nonce;
        r.bytes(nonce);
        std::string proof;
        if (secret) {
            unsigned char mac[EVP_MAX_MD_SIZE];
            unsigned len = 0;
            HMAC(EVP_sha256(), secret->data(), static_cast<int>(secret->size()),
                 reinterpret_cast<const unsigned char *>(nonce.data()), nonce.size(), mac, &len);
            proof.assign(reinterpret_cast<char *>(mac), len);
        }
        mgmt_wire::writer w(MGMT_OP_HELLO, 1);
        w.i64(MGMT_PROTO_VERSION).i64(kind).str(name).i64(daemon).bytes(proof).i64(getpid());
        send(w.finish());
        std::optional<frame> rep = read();
        if (!rep) {
            return false;
        }
        hello_ = *rep;
        if (rep->op != MGMT_OP_REPLY) {
            return false;
        }
        mgmt_wire::reader rr(rep->body);
        rr.i64(id_);
        rr.i64(phase_);
        return true;
    }

    void send(const std::string &bytes)
    {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (n <= 0) {
                return;
            }
            off += static_cast<size_t>(n);
        }
    }

    // The next frame, or nullopt when none came within timeout_ms or the
    // agent closed the connection (closed() tells).
    std::optional<frame> read(int timeout_ms = 5000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            std::span<const uint8_t> body;
            if (in_.next(body)) {
                frame f;
                f.body.assign(reinterpret_cast<const char *>(body.data()), body.size());
                mgmt_wire::reader r(body);
                f.op = r.op();
                f.xid = r.xid();
                return f;
            }
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            deadline - std::chrono::steady_clock::now())
                                            .count());
            if (left <= 0 || fd_ < 0) {
                return std::nullopt;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) {
                continue;
            }
            char buf[65536];
            ssize_t n = recv(fd_, buf, sizeof(buf), 0);
            if (n <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            in_.append(buf, static_cast<size_t>(n));
        }
    }

    // Sends a request built on w (its xid set here) and reads frames until
    // the reply or error with that xid; pushes met on the way are kept in
    // pushes().
    frame request(mgmt_wire::writer &w, int timeout_ms = 5000)
    {
        send(w.finish());
        return reply_to(last_xid_, timeout_ms);
    }
    frame reply_to(uint32_t xid, int timeout_ms = 5000)
    {
        for (;;) {
            std::optional<frame> f = read(timeout_ms);
            if (!f) {
                frame none;
                none.op = static_cast<mgmt_op>(0);
                return none;
            }
            if ((f->op == MGMT_OP_REPLY || f->op == MGMT_OP_ERROR) && f->xid == xid) {
                return *f;
            }
            pushes_.push_back(*f);
        }
    }
    // A writer for a request with a fresh xid.
    mgmt_wire::writer req(mgmt_op op)
    {
        last_xid_ = next_xid_++;
        return mgmt_wire::writer(op, last_xid_);
    }
    uint32_t last_xid() const { return last_xid_; }

    // Reads until the agent closes the connection (true) or timeout.
    bool wait_closed(int timeout_ms = 5000)
    {
        while (!closed_) {
            if (!read(timeout_ms) && !closed_) {
                return false;
            }
        }
        return true;
    }
    void close_now()
    {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    int64_t id() const { return id_; }
    int64_t phase() const { return phase_; }
    const frame &hello_reply() const { return hello_; }
    std::vector<frame> &pushes() { return pushes_; }

private:
    int fd_ = -1;
    mgmt_wire::frame_buffer in_;
    bool closed_ = false;
    int64_t id_ = 0;
    int64_t phase_ = -1;
    frame hello_;
    uint32_t next_xid_ = 100;
    uint32_t last_xid_ = 0;
    std::vector<frame> pushes_;
};

// The agent with a reply timeout short enough for a test that lets a
// daemon stay silent.
struct agent_process : mp::Agent {
    explicit agent_process(const std::string &db_dir, std::vector<std::string> extra = {})
        : mp::Agent(db_dir, 700, std::move(extra))
    {
    }
};

// A CLI commit of (op, path, value) edits.
inline frame commit(client &cli, const std::vector<std::tuple<int, std::string, std::string>> &edits)
{
    mgmt_wire::writer w = cli.req(MGMT_OP_CLI_COMMIT);
    w.list(static_cast<uint32_t>(edits.size()));
    for (const auto &[op, path, value] : edits) {
        w.list(3);
        w.i64(op).str(path).str(value);
    }
    return cli.request(w, 10000);
}

inline frame get_config(client &cli, const std::string &path = "")
{
    mgmt_wire::writer w = cli.req(MGMT_OP_CLI_GET_CONFIG);
    w.str(path);
    return cli.request(w);
}

}  // namespace mt
