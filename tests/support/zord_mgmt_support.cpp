#include "zord_mgmt_support.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

namespace zm {

namespace {

// The processes every wait reads from.
std::vector<Live *> &live_set()
{
    static std::vector<Live *> set;
    return set;
}

void pump_all()
{
    for (Live *l : live_set()) {
        l->proc().poll_output(0);
    }
}

}  // namespace

bool wait_until(const std::function<bool()> &cond, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        pump_all();
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::string sanitizer_report(const std::string &err)
{
    for (const std::string &line : zt::split_lines(err)) {
        for (const char *mark : {"AddressSanitizer", "LeakSanitizer", "UndefinedBehaviorSanitizer", "runtime error:"}) {
            if (line.find(mark) != std::string::npos) {
                return line;
            }
        }
    }
    return "";
}

Live::Live(const std::string &program, const std::vector<std::string> &args,
           const std::map<std::string, std::string> &env)
    : proc_(std::make_unique<zt::Process>(program, args, env))
{
    live_set().push_back(this);
}

Live::Live(const std::function<void()> &fn) : proc_(std::make_unique<zt::Process>(fn))
{
    live_set().push_back(this);
}

Live::~Live()
{
    std::erase(live_set(), this);
}

bool Live::stop(int signo)
{
    proc_->signal(signo);
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (!proc_->wait_exit(20ms)) {
        pump_all();
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "did not stop on signal " << signo << "\n" << err();
            return false;
        }
    }
    const zt::ChildResult &r = proc_->result();
    EXPECT_TRUE(r.exited && r.exit_code == 0) << "exit " << r.exit_code << ", signal " << r.term_signal << "\n"
                                              << err();
    EXPECT_EQ(out(), "") << "nothing on stdout (no assertion line)";
    const std::string report = sanitizer_report(err());
    EXPECT_EQ(report, "") << err();
    return r.exited && r.exit_code == 0 && out().empty() && report.empty();
}

bool Agent::start()
{
    const std::vector<std::string> args = {"-f",       "--port",    std::to_string(port_),
                                           "--db-dir", db_dir_,     "--yang-dir",
                                           std::string(ZOR_SOURCE_DIR) + "/yang"};
    live_ = std::make_unique<Live>(zt::build_path("platform/mgmtd/mgmtd"), args,
                                   mp::agent_env(static_cast<uint16_t>(port_)));
    const bool up = wait_until([&] { return live_->err().find("serving 127.0.0.1:") != std::string::npos; });
    EXPECT_TRUE(up) << live_->err();
    return up;
}

bool Agent::stop()
{
    const bool clean = live_ != nullptr && live_->stop(SIGTERM);
    live_.reset();
    return clean;
}

CliResult zorctl(int port, const std::vector<std::string> &args)
{
    Live cli(zt::build_path("tools/zorctl/zorctl"), args, mp::agent_env(static_cast<uint16_t>(port)));
    cli.proc().close_stdin();
    const bool ended = wait_until([&] { return cli.proc().wait_exit(0ms); }, 90s);
    EXPECT_TRUE(ended) << "zorctl did not end";
    EXPECT_EQ(sanitizer_report(cli.err()), "") << cli.err();
    return {ended && cli.proc().result().exited ? cli.proc().result().exit_code : -1, cli.out(), cli.err()};
}

Zord::Zord(int port, const std::vector<std::string> &args, const std::string &pid_file)
{
    std::vector<std::string> argv = args;
    argv.push_back("-f");
    std::map<std::string, std::string> env = mp::agent_env(static_cast<uint16_t>(port));
    env["ZOR_RUN_DIR"] = run_.path();
    live_ = std::make_unique<Live>(zt::build_path("zord/zord"), argv, env);
    wait_started(pid_file);
}

Zord::Zord(int port, const std::function<void(const std::vector<std::string> &argv)> &launch,
           const std::vector<std::string> &args, const std::string &pid_file)
{
    std::vector<std::string> argv = {zt::build_path("zord/zord")};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("-f");
    const std::string run = run_.path();
    live_ = std::make_unique<Live>([=] {
        setenv("ZOR_RUN_DIR", run.c_str(), 1);
        for (const auto &[name, value] : mp::agent_env(static_cast<uint16_t>(port))) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        launch(argv);
    });
    wait_started(pid_file);
}

void Zord::wait_started(const std::string &pid_file)
{
    const std::string path = run_.file(pid_file);
    started_ = wait_until([&] { return std::filesystem::exists(path) || live_->proc().wait_exit(0ms); });
    started_ = started_ && std::filesystem::exists(path);
}

bool Zord::wait_log(const std::string &text, size_t from)
{
    return wait_until([&] { return err().size() > from && err().find(text, from) != std::string::npos; });
}

Peer::Peer(const std::string &run_dir, const std::string &module, const std::vector<std::string> &extra)
    : module_(module), live_(zt::build_path("tools/zor-peer"), [&] {
          std::vector<std::string> args = {"--module", module,  "--run-dir", run_dir,
                                           "--idle",   "300",   "--timeout", "20"};
          args.insert(args.end(), extra.begin(), extra.end());
          return args;
      }())
{
}

std::vector<std::string> Peer::received(const std::vector<std::string> &texts) const
{
    std::vector<std::string> out;
    for (const std::string &line : zt::split_lines(live_.out())) {
        if (std::all_of(texts.begin(), texts.end(),
                        [&](const std::string &t) { return line.find(t) != std::string::npos; })) {
            out.push_back(line);
        }
    }
    return out;
}

bool Peer::wait_received(const std::vector<std::string> &texts, size_t n)
{
    return wait_until([&] { return received(texts).size() >= n || live_.proc().wait_exit(0ms); }) &&
           received(texts).size() >= n;
}

bool Peer::finish()
{
    live_.proc().close_stdin();
    const bool ended = wait_until([&] { return live_.proc().wait_exit(0ms); });
    const zt::ChildResult &r = live_.proc().result();
    EXPECT_TRUE(ended && r.exited && r.exit_code == 0)
        << module_ << ": exit " << r.exit_code << ", signal " << r.term_signal << "\n" << live_.err();
    EXPECT_EQ(sanitizer_report(live_.err()), "") << live_.err();
    return ended && r.exited && r.exit_code == 0;
}

std::string tloc_member(const std::string &tloc)
{
    return "\"tloc\":\"" + tloc + "\"";
}

}  // namespace zm
