// zord as a real process: command line, pid file, start and stop lines,
// signals, the checks made before detaching and the instance lock. Each run
// is the daemon on its own run directory; its log lines are mirrored on
// stderr, each behind its time, and compared whole.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "test_support.h"

namespace {

using Strings = std::vector<std::string>;

// The lines of zord's stderr without their times; a line without one fails.
Strings log_lines(const std::string &err)
{
    static const std::regex stamp("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z (.*)");
    Strings lines;
    std::smatch m;
    for (const std::string &line : zt::split_lines(err)) {
        if (std::regex_match(line, m, stamp)) {
            lines.push_back(m[1]);
        } else if (line.empty() || line.rfind("USAGE:", 0) == 0) {
            lines.push_back(line);  // the rest of the usage line, whose text begins with a line feed
        } else {
            ADD_FAILURE() << "no time: " << line;
        }
    }
    return lines;
}

bool wait_pid_file(zt::Process &zord, const std::string &path)
{
    for (int i = 0; i < 500 && !std::filesystem::exists(path); i++) {
        zord.poll_output(10);
    }
    return std::filesystem::exists(path);
}

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
        ASSERT_TRUE(wait_pid_file(zord, pid_file)) << what << "\n" << zord.err();
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
        for (const std::string &line : log_lines(zord.err())) {
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
    for (const Strings &args : {Strings{"-x"}, Strings{"-f", "-V"}, Strings{"-f", "-T"}, Strings{"-f", "-V", "3", "x"},
                                Strings{"-f", "-V", "abc"}, Strings{"-f", "-I", "abc"}, Strings{"-f", "-I", "-1"},
                                Strings{"-f", "-V", "7x"}, Strings{"-f", "-V", "99999999999999999999"}}) {
        zt::TempDir run;
        zt::Process zord(zt::build_path("zord/zord"), args, {{"ZOR_RUN_DIR", run.path()}});
        ASSERT_TRUE(zord.wait_exit());
        EXPECT_TRUE(zord.result().exited) << args.back();
        EXPECT_EQ(zord.result().exit_code, 1) << args.back();
        // The start line shows only once -f was read; the function prefixes
        // of the log lines are cut off.
        Strings err;
        for (const std::string &line : log_lines(zord.err())) {
            err.push_back(line.find("]: ") == std::string::npos ? line : line.substr(line.find("]: ") + 3));
        }
        if (args[0] == "-f") {
            ASSERT_FALSE(err.empty());
            EXPECT_EQ(err[0], event_line("1200001: Starting"));
            err.erase(err.begin());
        }
        EXPECT_EQ(err, (Strings{"", "USAGE: zord [ -T <tenant_name -V <vpn_id> -I <tenant_id> ] -f",
                                "Failed to parse zor input parameters"}));
        // The usage is the parser's line, the failure main's own.
        const std::regex lines("Z zor_get_input_params\\[[0-9]+\\]: \nUSAGE: zord \\[ -T <tenant_name -V <vpn_id> "
                               "-I <tenant_id> \\] -f\n.*Z main\\[[0-9]+\\]: Failed to parse zor input parameters\n");
        EXPECT_TRUE(std::regex_search(zord.err(), lines)) << zord.err();
        EXPECT_TRUE(std::filesystem::is_empty(run.path())) << "no pid file";
    }
}

// Runs zord with the run directory on a fresh tmpfs mounted with options,
// in a mount namespace of its own; false where mounts are not allowed.
bool can_mount_tmpfs()
{
    zt::TempDir dir;
    zt::Process probe([&] {
        bool ok = unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("none", dir.path().c_str(), "tmpfs", 0, "size=1m") == 0;
        _exit(ok ? 0 : 1);
    });
    return probe.wait_exit() && probe.result().exit_code == 0;
}

std::unique_ptr<zt::Process> zord_on_tmpfs(const std::string &dir, const std::string &options, const Strings &args)
{
    return std::make_unique<zt::Process>(zt::build_path("zord/zord"), args,
                                         std::map<std::string, std::string>{{"ZOR_RUN_DIR", dir}}, [=] {
                                             if (unshare(CLONE_NEWNS) != 0 ||
                                                 mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                                 mount("none", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
                                                 _exit(99);
                                             }
                                         });
}

// A run directory zord cannot serve from ends the start with one line on
// stderr and status 1, in the foreground and when detaching alike, and
// before any listener or pid file exists.
TEST(DaemonProcess, RunDirectoryThatCannotServeStopsTheStart)
{
    zt::TempDir base;
    const std::string file = base.file("a-file");
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    struct Case {
        std::string run_dir;
        std::string tmpfs;  // mount options of a tmpfs on run_dir, when not empty
        std::string line;
    };
    const std::string missing = base.file("missing");
    const std::string ro = base.file("ro");
    const std::string full = base.file("full");
    std::filesystem::create_directory(ro);
    std::filesystem::create_directory(full);
    // A socket path taken by a directory: the run directory works, the
    // listener cannot.
    const std::string taken = base.file("taken");
    std::filesystem::create_directories(taken + "/.zord/x");
    const bool mounts = can_mount_tmpfs();
    std::vector<Case> cases{
        {missing, "", "zord: run directory " + missing + " does not exist (create it, or name another with ZOR_RUN_DIR)"},
        {file, "", "zord: cannot use run directory " + file + ": Not a directory"},
        {taken, "", "zord: cannot listen on " + taken + "/.zord: Is a directory"},
    };
    if (mounts) {
        cases.push_back({ro, "ro,size=1m", "zord: cannot use run directory " + ro + ": Read-only file system"});
        // The root of a tmpfs takes its only inode.
        cases.push_back({full, "size=1m,nr_inodes=1", "zord: cannot use run directory " + full + ": No space left on device"});
    }
    for (const Case &c : cases) {
        for (const Strings &args : {Strings{"-f"}, Strings{}}) {
            const std::string what = c.run_dir + (args.empty() ? " detached" : " -f");
            std::unique_ptr<zt::Process> zord =
                c.tmpfs.empty() ? std::make_unique<zt::Process>(zt::build_path("zord/zord"), args,
                                                                std::map<std::string, std::string>{{"ZOR_RUN_DIR", c.run_dir}})
                                : zord_on_tmpfs(c.run_dir, c.tmpfs, args);
            ASSERT_TRUE(zord->wait_exit()) << what;
            EXPECT_TRUE(zord->result().exited) << what << " " << zord->result().term_signal;
            EXPECT_EQ(zord->result().exit_code, 1) << what << "\n" << zord->err();
            EXPECT_EQ(zord->out(), "") << what << ": no assertion";
            Strings plain;
            for (const std::string &line : zt::split_lines(zord->err())) {
                if (line.rfind("zord: ", 0) == 0) {
                    plain.push_back(line);
                }
            }
            EXPECT_EQ(plain, Strings{c.line}) << what << "\n" << zord->err();
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(ro));
    if (!mounts) {
        GTEST_SKIP() << "no tmpfs mounts here: read-only and full file systems not tried";
    }
}

// One zord per pid file: a second is refused with the first one's pid and
// leaves it serving; what a killed zord leaves behind does not block the
// next.
TEST(DaemonProcess, SecondInstanceRefusedStaleFilesDoNotBlock)
{
    zt::TempDir run;
    const std::map<std::string, std::string> env{{"ZOR_RUN_DIR", run.path()}};
    const std::string pid_file = run.file("zord.0.pid");
    auto first = std::make_unique<zt::Process>(zt::build_path("zord/zord"), Strings{"-f"}, env);
    ASSERT_TRUE(wait_pid_file(*first, pid_file)) << first->err();
    for (const Strings &args : {Strings{"-f"}, Strings{}}) {
        zt::Process second(zt::build_path("zord/zord"), args, env);
        ASSERT_TRUE(second.wait_exit());
        EXPECT_EQ(second.result().exit_code, 1) << second.err();
        EXPECT_NE(second.err().find("zord: another zord (pid " + std::to_string(first->pid()) + ") runs with " +
                                    pid_file + "; not starting\n"),
                  std::string::npos)
            << second.err();
    }
    EXPECT_EQ(zt::read_file(pid_file), std::to_string(first->pid()) + "\n") << "the first keeps its pid file";
    EXPECT_TRUE(std::filesystem::exists(run.file(".zord"))) << "and its socket";

    // Killed: its socket, pid file and lock file stay behind, and so does a
    // pid file of some long-gone process.
    first->signal(SIGKILL);
    ASSERT_TRUE(first->wait_exit());
    ASSERT_TRUE(std::filesystem::exists(run.file(".zord")));
    ASSERT_TRUE(std::filesystem::exists(run.file("zord.0.pid.lock")));
    FILE *stale = fopen(pid_file.c_str(), "w");
    ASSERT_NE(stale, nullptr);
    fputs("999999\n", stale);
    fclose(stale);
    zt::Process next(zt::build_path("zord/zord"), {"-f"}, env);
    for (int i = 0; i < 500 && zt::read_file(pid_file) != std::to_string(next.pid()) + "\n"; i++) {
        next.poll_output(10);
    }
    EXPECT_EQ(zt::read_file(pid_file), std::to_string(next.pid()) + "\n") << next.err();
    next.signal(SIGUSR2);
    ASSERT_TRUE(next.wait_exit());
    EXPECT_EQ(next.result().exit_code, 0) << next.err();
    EXPECT_FALSE(std::filesystem::exists(run.file("zord.0.pid.lock"))) << "removed at a normal stop";
}

}  // namespace
