// zord as a real process: command line, pid file, start and stop lines,
// signals. Each run is the daemon in the foreground on its own run
// directory; its log lines are mirrored on stderr and compared whole.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <string>
#include <unistd.h>

#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

std::string event_line(const std::string &id_and_text)
{
    char host[32] = {};
    gethostname(host, sizeof(host) - 1);
    return std::string("%Ostrana-") + host + "-ZORD-6-INFO-" + id_and_text;
}

TEST(DaemonProcess, PidFileAndStopBySignal)
{
    struct Case {
        Strings args;
        const char *pid_file;
        int signo;
        Strings lines;  // the event lines of stderr
    };
    const std::string start = event_line("1200001: Starting");
    const std::string stop = event_line("1299999: Terminating");
    for (const Case &c : {Case{{"-f"}, "zord.0.pid", SIGUSR2, {start, stop}},
                          Case{{"-V", "7", "-f"}, "advd.7.pid", SIGUSR2, {start, stop}},
                          Case{{"-f", "-V", "0"}, "zord.0.pid", SIGUSR2, {start, stop}},
                          // SIGTERM ends at once, without the teardown.
                          Case{{"-f"}, "zord.0.pid", SIGTERM, {start}}}) {
        const std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "") + " " + strsignal(c.signo);
        zt::TempDir run;
        zt::Process zord(zt::build_path("zord/zord"), c.args, {{"ZOR_RUN_DIR", run.path()}});
        // The pid file appears once the daemon has initialised.
        const std::string pid_file = run.file(c.pid_file);
        for (int i = 0; i < 500 && !std::filesystem::exists(pid_file); i++) {
            zord.poll_output(10);
        }
        ASSERT_TRUE(std::filesystem::exists(pid_file)) << what << "\n" << zord.err();
        EXPECT_EQ(zt::read_file(pid_file), std::to_string(zord.pid()) + "\n") << what;
        int pid_files = 0;
        for (const auto &f : std::filesystem::directory_iterator(run.path())) {
            pid_files += f.path().extension() == ".pid";
        }
        EXPECT_EQ(pid_files, 1) << what;

        zord.signal(c.signo);
        ASSERT_TRUE(zord.wait_exit(std::chrono::seconds(10))) << what;
        EXPECT_TRUE(zord.result().exited) << what;
        EXPECT_EQ(zord.result().exit_code, 0) << what;
        // Without an agent the integration module logs its connection
        // attempts in between; the start and stop lines are main's own.
        Strings events;
        for (const std::string &line : zt::split_lines(zord.err())) {
            if (line.rfind("%Ostrana-", 0) == 0) {
                events.push_back(line);
            }
        }
        EXPECT_EQ(events, c.lines) << what;
        EXPECT_EQ(zord.out(), "") << what;
        if (c.signo == SIGUSR2) {
            EXPECT_FALSE(std::filesystem::exists(pid_file)) << what << ": removed at a normal stop";
        }
    }
}

TEST(DaemonProcess, UsageErrorsExitWithStatusOne)
{
    for (const Strings &args : {Strings{"-x"}, Strings{"-f", "-V"}, Strings{"-f", "-V", "3", "extra"}}) {
        zt::TempDir run;
        zt::Process zord(zt::build_path("zord/zord"), args, {{"ZOR_RUN_DIR", run.path()}});
        ASSERT_TRUE(zord.wait_exit());
        EXPECT_TRUE(zord.result().exited) << args.back();
        EXPECT_EQ(zord.result().exit_code, 1) << args.back();
        // The start line shows only once -f was read; the function prefixes
        // of the log lines are cut off.
        Strings err;
        for (const std::string &line : zt::split_lines(zord.err())) {
            err.push_back(line.find("]: ") == std::string::npos ? line : line.substr(line.find("]: ") + 3));
        }
        if (args[0] == "-f") {
            ASSERT_FALSE(err.empty());
            EXPECT_EQ(err[0], event_line("1200001: Starting"));
            err.erase(err.begin());
        }
        EXPECT_EQ(err, (Strings{"", "USAGE: zord [ -T <tenant_name -V <vpn_id> -I <tenant_id> ] -f",
                                "Failed to parse zor input parameters"}));
        // The failure is main's own line.
        const std::regex main_line("\nmain\\[[0-9]+\\]: Failed to parse zor input parameters\n");
        EXPECT_TRUE(std::regex_search(zord.err(), main_line)) << zord.err();
        EXPECT_TRUE(std::filesystem::is_empty(run.path())) << "no pid file";
    }
}

}  // namespace
