// The real zorctl against a scripted agent on a real socket: the handshake
// proof (checked with OpenSSL here), a command's output streamed before its
// reply, notification lines, and how refusals and a broken connection end
// the program. The agent's own behaviour is tested with the real mgmtd in
// zorctl_agent_test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <openssl/hmac.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "confd_wire.h"
#include "test_support.h"

namespace {

// Serves zorctl connections one after the other: the handshake, then each
// request to serve(), which writes its pushes and reply itself and returns
// false to close the connection.
class scripted_agent {
public:
    using serve_fn = std::function<bool(int fd, mgmt_wire::reader &req)>;

    scripted_agent(std::string secret, serve_fn serve) : secret_(std::move(secret)), serve_(std::move(serve))
    {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        EXPECT_EQ(bind(lfd_, reinterpret_cast<sockaddr *>(&sa), len), 0);
        EXPECT_EQ(listen(lfd_, 4), 0);
        getsockname(lfd_, reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~scripted_agent()
    {
        shutdown(lfd_, SHUT_RDWR);
        thread_.join();
        close(lfd_);
    }
    uint16_t port() const { return port_; }
    int proofs_accepted() const { return accepted_; }

    static void send_frame(int fd, const std::string &frame)
    {
        ASSERT_EQ(write(fd, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }

private:
    // The next frame's body, false at the end of the connection.
    static bool read_frame(int fd, mgmt_wire::frame_buffer &in, std::string &body)
    {
        for (;;) {
            std::span<const uint8_t> f;
            if (in.next(f)) {
                body.assign(reinterpret_cast<const char *>(f.data()), f.size());
                return true;
            }
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                return false;
            }
            in.append(buf, static_cast<size_t>(n));
        }
    }

    void run()
    {
        int fd;
        while ((fd = accept(lfd_, nullptr, nullptr)) >= 0) {
            serve_connection(fd);
            close(fd);
        }
    }

    void serve_connection(int fd)
    {
        const std::string nonce(MGMT_NONCE_LEN, 'n');
        send_frame(fd, mgmt_wire::writer(MGMT_OP_CHALLENGE).bytes(nonce).finish());
        mgmt_wire::frame_buffer in;
        std::string body;
        int64_t version = 0, kind = 0, id = 0;
        std::string name;
        std::string_view proof;
        if (!read_frame(fd, in, body)) {
            return;
        }
        mgmt_wire::reader hello(body);
        ASSERT_TRUE(hello.i64(version) && hello.i64(kind) && hello.str(name) && hello.i64(id) && hello.bytes(proof));
        EXPECT_EQ(kind, MGMT_CONN_CLI);
        unsigned char mac[32];
        unsigned int mac_len = 0;
        HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
             reinterpret_cast<const unsigned char *>(nonce.data()), nonce.size(), mac, &mac_len);
        if (proof != std::string_view(reinterpret_cast<const char *>(mac), mac_len)) {
            send_frame(fd, mgmt_wire::writer(MGMT_OP_ERROR, hello.xid()).i64(3).str("access denied").finish());
            return;
        }
        accepted_++;
        send_frame(fd, mgmt_wire::writer(MGMT_OP_REPLY, hello.xid()).i64(41).i64(2).finish());
        while (read_frame(fd, in, body)) {
            mgmt_wire::reader req(body);
            if (!serve_(fd, req)) {
                return;
            }
        }
    }

    std::string secret_;
    serve_fn serve_;
    int lfd_ = -1;
    uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

zt::ChildResult zorctl(uint16_t port, const std::vector<std::string> &args, const std::string &secret_file)
{
    zt::Process p(zt::build_path("tools/zorctl/zorctl"), args,
                  {{"MGMTD_PORT", std::to_string(port)}, {"MGMTD_IPC_SECRET_FILE", secret_file}});
    EXPECT_TRUE(p.wait_exit(std::chrono::seconds(30)));
    return p.result();
}

TEST(ZorctlStream, OutputAndNotificationsStreamRefusalsAndBreaksEndTheProgram)
{
    zt::TempDir dir;
    const std::string secret = "s3cret\nwith a line feed";
    std::ofstream(dir.file("secret")) << secret;
    std::mutex mu;
    std::vector<std::string> argv_seen;
    scripted_agent agent(secret, [&](int fd, mgmt_wire::reader &req) -> bool {
        using w = mgmt_wire::writer;
        std::string point, arg;
        uint32_t n = 0;
        if (req.op() == MGMT_OP_CLI_COMMAND) {
            EXPECT_TRUE(req.str(point) && req.list(n));
            for (uint32_t i = 0; i < n && req.str(arg); i++) {
                std::lock_guard<std::mutex> lock(mu);
                argv_seen.push_back(arg);
            }
            scripted_agent::send_frame(fd, w(MGMT_OP_CLI_OUTPUT, req.xid()).bytes("Clients:\n  advd").finish());
            if (point == "zor_dump_msgq") {
                return false;  // the agent goes away in the middle of the output
            }
            scripted_agent::send_frame(fd, w(MGMT_OP_CLI_OUTPUT, req.xid()).bytes(" 2\n  ftmd 7").finish());
            scripted_agent::send_frame(fd, w(MGMT_OP_REPLY, req.xid()).finish());
        } else if (req.op() == MGMT_OP_CLI_NOTIFS) {
            // One line with its newline, one without: each prints as one line.
            for (const char *line : {"{\"stream\":\"snmp\",\"n\":1}", "{\"stream\":\"snmp\",\"n\":2}\n"}) {
                scripted_agent::send_frame(fd, w(MGMT_OP_CLI_NOTIF, req.xid()).str(line).finish());
            }
            scripted_agent::send_frame(fd, w(MGMT_OP_REPLY, req.xid()).finish());
        } else {
            scripted_agent::send_frame(
                fd, w(MGMT_OP_ERROR, req.xid()).i64(31).str("validation failed:\nline 2 of the reason\n").finish());
        }
        return true;
    });

    zt::ChildResult r = zorctl(agent.port(), {"show", "zor", "clients", "--detail"}, dir.file("secret"));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Clients:\n  advd 2\n  ftmd 7\n");  // the last line gets its newline
    EXPECT_EQ(r.err, "");
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_EQ(argv_seen, (std::vector<std::string>{"zor_dump_clients", "--detail"}));
    }

    r = zorctl(agent.port(), {"notifications", "--stream", "snmp"}, dir.file("secret"));
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"stream\":\"snmp\",\"n\":1}\n{\"stream\":\"snmp\",\"n\":2}\n");

    r = zorctl(agent.port(), {"agent", "phase", "2"}, dir.file("secret"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "zorctl: validation failed:; line 2 of the reason\n");

    r = zorctl(agent.port(), {"show", "zor", "msgq"}, dir.file("secret"));
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_EQ(r.out, "Clients:\n  advd\n");
    EXPECT_EQ(r.err, "zorctl: the agent closed the connection\n");
    EXPECT_EQ(agent.proofs_accepted(), 4);

    std::ofstream(dir.file("wrong")) << "not the secret";
    r = zorctl(agent.port(), {"agent", "status"}, dir.file("wrong"));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "zorctl: the agent refused the connection: access denied\n");
    r = zorctl(agent.port(), {"agent", "status"}, dir.file("missing"));
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err,
              "zorctl: cannot read the IPC secret file " + dir.file("missing") + ": No such file or directory\n");
    EXPECT_EQ(agent.proofs_accepted(), 4);
}

}  // namespace
