#include "mgmt_process_support.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mp {

namespace {

bool accepts(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in sa = agent_addr(port);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return ok;
}

}  // namespace

sockaddr_in agent_addr(uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sa;
}

std::map<std::string, std::string> agent_env(uint16_t port, const std::string &secret_file)
{
    return {{"MGMTD_PORT", std::to_string(port)}, {"MGMTD_IPC_SECRET_FILE", secret_file}};
}

bool wait_output(zt::Process &p, const std::string &text, std::chrono::milliseconds limit)
{
    // Text ending with a line feed counts only as a whole line.
    auto seen = [&] {
        const std::string &out = p.out();
        if (text.empty() || text.back() != '\n') {
            return out.find(text) != std::string::npos;
        }
        return out.rfind(text, 0) == 0 || out.find("\n" + text) != std::string::npos;
    };
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!seen()) {
        if (std::chrono::steady_clock::now() >= deadline || p.wait_exit(std::chrono::milliseconds(0))) {
            return seen();
        }
        p.poll_output(50);
    }
    return true;
}

Agent::Agent(std::string db_dir, int reply_timeout_ms, std::vector<std::string> extra)
    : db_dir_(std::move(db_dir)), reply_timeout_ms_(reply_timeout_ms), extra_(std::move(extra))
{
    start();
}

Agent::~Agent()
{
    if (proc_ != nullptr && !proc_->wait_exit(std::chrono::milliseconds(0)) && !stop()) {
        ADD_FAILURE() << "the agent did not stop cleanly: " << proc_->err();
    }
}

void Agent::start()
{
    port_ = free_port();
    std::vector<std::string> args = {"-f",         "--port",   std::to_string(port_),
                                     "--db-dir",   db_dir_,    "--yang-dir",
                                     std::string(ZOR_SOURCE_DIR) + "/yang", "--reply-timeout",
                                     std::to_string(reply_timeout_ms_)};
    args.insert(args.end(), extra_.begin(), extra_.end());
    proc_ = std::make_unique<zt::Process>(zt::build_path("platform/mgmtd/mgmtd"), args,
                                          std::map<std::string, std::string>{{"MGMTD_IPC_SECRET_FILE", ""}});
    started_ = false;
    for (int i = 0; i < 1000 && !started_; i++) {
        started_ = accepts(port_);
        if (!started_ && proc_->wait_exit(std::chrono::milliseconds(20))) {
            break;  // it stopped: its stderr says why
        }
    }
}

bool Agent::stop()
{
    proc_->signal(SIGTERM);
    return proc_->wait_exit(std::chrono::seconds(20)) && proc_->result().exited && proc_->result().exit_code == 0;
}

bool Agent::restart()
{
    start();
    return started_;
}

SampleDaemon::SampleDaemon(uint16_t port, const std::vector<std::string> &args, const std::string &secret_file)
    : proc_(zt::build_path("tools/mgmt-sample-daemon"), args, agent_env(port, secret_file))
{
}

std::vector<std::string> SampleDaemon::lines(size_t first_line)
{
    proc_.poll_output(0);
    std::vector<std::string> all = zt::split_lines(proc_.out());
    if (first_line >= all.size()) {
        return {};
    }
    return {all.begin() + static_cast<std::ptrdiff_t>(first_line), all.end()};
}

zt::ChildResult zorctl(uint16_t port, const std::vector<std::string> &args, const std::string &input,
                       const std::string &secret_file)
{
    zt::Process p(zt::build_path("tools/zorctl/zorctl"), args, agent_env(port, secret_file));
    if (!input.empty()) {
        p.write_stdin(input);
    }
    p.close_stdin();
    EXPECT_TRUE(p.wait_exit(std::chrono::seconds(60))) << "zorctl did not end; stdout so far: " << p.out();
    return p.result();
}

std::unique_ptr<zt::Process> zorctl_start(uint16_t port, const std::vector<std::string> &args,
                                          const std::string &input)
{
    auto p = std::make_unique<zt::Process>(zt::build_path("tools/zorctl/zorctl"), args, agent_env(port));
    if (!input.empty()) {
        p->write_stdin(input);
    }
    p->close_stdin();
    return p;
}

}  // namespace mp
