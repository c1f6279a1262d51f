// Pid-file watchdog and the supervisor's check file, on real files in a
// temporary run directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utime.h>
#include <vector>

#include "monit.h"
#include "test_support.h"
#include "timer.h"

namespace {

time_t mtime_of(const std::string &path)
{
    struct stat st{};
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

void set_old_times(const std::string &path)
{
    struct utimbuf old{1000, 1000};
    ASSERT_EQ(utime(path.c_str(), &old), 0);
}

// The check file as the supervisor reads it: each format line is padded
// with blanks to 65 characters (the exec line to 63), counting each "%s" as
// two, whatever names fill them in.
std::string expected_cfg(const std::string &s, const std::string &p)
{
    auto pad = [](int n) { return std::string(static_cast<size_t>(n), ' ') + "\n"; };
    return "check file " + s + " with path " + p + pad(39) + "    mode passive" + pad(49) + "    every 4 cycle" +
           pad(48) + "    if timestamp > 480 seconds" + pad(35) +
           "        then exec \"/usr/bin/oconfd_script_monit_bark.sh " + s + " " + p + "\"" + pad(1) +
           "        repeat every 1 cycle" + pad(37);
}

std::vector<std::string> info_lines(const monit_app_t &app)
{
    char buf[8192];
    return zt::split_lines(monit_info(&app, buf, sizeof(buf)));
}

TEST(MonitRefresh, RefreshTouchesThePidFileAndCounts)
{
    zt::ScopedRunDir run;
    std::string pid = run.file("zord.0.pid");
    write_text(pid, "1234\n");
    set_old_times(pid);
    monit_app_t app{};
    snprintf(app.pidfile, sizeof(app.pidfile), "%s", pid.c_str());
    time_t before = time(nullptr);
    zt::LogCapture log;
    monit_refresh_pidfile(nullptr, &app, nullptr, nullptr, nullptr);
    monit_refresh_pidfile(nullptr, &app, nullptr, nullptr, nullptr);
    EXPECT_GE(mtime_of(pid), before);
    EXPECT_EQ(app.count, 2u);
    EXPECT_GE(app.last_refresh, before);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(zt::read_file(pid), "1234\n");

    std::vector<std::string> lines = info_lines(app);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Monit info:");
    EXPECT_EQ(lines[1], "  PID file       : " + pid);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("  Last refreshed : [0-9]+ secs ago"))) << lines[2];
    EXPECT_EQ(lines[3], "  Total times    : 2");
    // A refresh time in the future (the wall clock was set back) reads as 0.
    monit_app_t ahead = app;
    ahead.last_refresh = time(nullptr) + 1000;
    EXPECT_EQ(info_lines(ahead)[2], "  Last refreshed : 0 secs ago");
    char buf[16];
    EXPECT_STREQ(monit_info(nullptr, buf, sizeof(buf)), "EINVAL");
    EXPECT_STREQ(monit_info(&app, nullptr, 10), "EINVAL");

    // A missing pid file: every refresh logs the system's reason, nothing is counted.
    monit_app_t absent{};
    snprintf(absent.pidfile, sizeof(absent.pidfile), "%s", run.file("absent.pid").c_str());
    monit_refresh_pidfile(nullptr, &absent, nullptr, nullptr, nullptr);
    monit_refresh_pidfile(nullptr, &absent, nullptr, nullptr, nullptr);
    EXPECT_EQ(absent.count, 0u);
    EXPECT_EQ(absent.last_refresh, 0);
    ASSERT_EQ(log.lines().size(), 2u) << log.dump();
    for (size_t i = 0; i < 2; i++) {
        EXPECT_TRUE(std::regex_match(log.lines()[i], std::regex("monit_refresh_pidfile\\[[0-9]+\\]: Error refreshing " +
                                                                run.file("absent.pid") +
                                                                ", reason: No such file or directory \\(2\\)")))
            << log.lines()[i];
        EXPECT_EQ(log.priorities()[i], LOG_LOCAL7 | LOG_ERR);
    }
    // Never refreshed: the age is counted from the epoch.
    lines = info_lines(absent);
    unsigned long secs = 0;
    ASSERT_EQ(sscanf(lines[2].c_str(), "  Last refreshed : %lu secs ago", &secs), 1) << lines[2];
    EXPECT_GE(secs, static_cast<unsigned long>(before));
    EXPECT_EQ(lines[3], "  Total times    : 0");
}

TEST(MonitWatchdog, TimerRefreshesEveryTenSecondsUntilStopped)
{
    zt::ScopedRunDir run;
    zt::FakeClock clock;
    std::string pid = run.file("zord.0.pid");
    write_text(pid, "1\n");
    timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
    auto tick = [&](int seconds, uint32_t mask = 3) {
        clock.advance_ms(1000L * seconds);
        timer_mgr_exec(mgr, mask, 100);
    };

    monit_app_t app{};
    app.count = 77;  // zero-filled on start
    monit_watchdog_start(&app, mgr, pid.c_str());
    timer_util_t *timer = app.pidfile_refresh_timer;
    ASSERT_NE(timer, nullptr);
    EXPECT_STREQ(timer->name, "monit-watchdog");
    EXPECT_EQ(timer->priority, TIMER_PRI_HIGH);
    EXPECT_EQ(timer->type, TIMER_TYPE_CYCLIC);
    EXPECT_EQ(timer_get_interval_msecs(timer), 10000);
    EXPECT_EQ(app.flags & MONIT_FLAG_STARTED, MONIT_FLAG_STARTED);
    EXPECT_EQ(app.count, 0u);
    // Starting again changes nothing.
    monit_watchdog_start(&app, mgr, "/elsewhere");
    EXPECT_EQ(app.pidfile_refresh_timer, timer);
    EXPECT_STREQ(app.pidfile, pid.c_str());

    set_old_times(pid);
    for (int i = 0; i < 9; i++) {
        tick(1);
    }
    EXPECT_EQ(app.count, 0u);
    EXPECT_EQ(mtime_of(pid), 1000);
    tick(1);
    EXPECT_EQ(app.count, 1u);
    EXPECT_GT(mtime_of(pid), 1000);
    // The high-priority wheel alone runs it too (the daemon's yield).
    tick(10, 1u << TIMER_PRI_HIGH);
    EXPECT_EQ(app.count, 2u);

    monit_watchdog_stop(&app);
    EXPECT_EQ(app.pidfile_refresh_timer, nullptr);
    EXPECT_EQ(app.flags & MONIT_FLAG_STARTED, 0u);
    tick(30);
    EXPECT_EQ(app.count, 2u);
    monit_watchdog_stop(&app);  // stopping twice is harmless

    // It starts again on the same record; a long path is cut to 4095 characters.
    std::string longpath(5000, 'p');
    monit_watchdog_start(&app, mgr, longpath.c_str());
    EXPECT_EQ(strlen(app.pidfile), 4095u);
    monit_watchdog_stop(&app);
    timer_mgr_destroy(mgr);

    EXPECT_TRUE(zt::stops_on_assertion(
        [] {
            zt::FakeClock c;
            monit_watchdog_start(nullptr, timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3), "x");
        },
        "common/monit", "app != NULL"));
    EXPECT_TRUE(zt::stops_on_assertion([] { monit_refresh_pidfile(nullptr, nullptr, nullptr, nullptr, nullptr); },
                                       "common/monit", "p_app != NULL"));
    EXPECT_TRUE(zt::stops_on_assertion([] { monit_cfg_write("zord", nullptr); }, "common/monit", "pidfile != NULL"));
}

TEST(MonitCfg, CheckFileBytesModeAndRemoval)
{
    zt::ScopedRunDir run;
    std::string pid = run.file("zord.0.pid");
    ASSERT_EQ(monit_cfg_write("zord", pid.c_str()), 0);
    std::string path = run.file("monit/zord.mcfg");
    EXPECT_EQ(zt::read_file(path), expected_cfg("zord", pid));
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // No truncation: a shorter text over a longer file keeps the old tail.
    std::string old_text = zt::read_file(path);
    ASSERT_EQ(monit_cfg_write("zord", "/p"), 0);
    std::string new_text = expected_cfg("zord", "/p");
    EXPECT_EQ(zt::read_file(path), new_text + old_text.substr(new_text.size()));

    EXPECT_EQ(monit_cfg_remove("zord"), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(monit_cfg_remove("zord"), -2);
}

TEST(MonitCfg, FailuresAreResults)
{
    zt::ScopedRunDir run;
    // The check-file directory cannot be made in a run directory that does not exist.
    setenv("ZOR_RUN_DIR", run.file("missing").c_str(), 1);
    EXPECT_EQ(monit_cfg_write("zord", "/p"), -1);
    EXPECT_EQ(errno, ENOENT);
    // A plain file where the directory should be.
    setenv("ZOR_RUN_DIR", run.path().c_str(), 1);
    write_text(run.file("monit"), "x");
    EXPECT_EQ(monit_cfg_write("zord", "/p"), -1);
    EXPECT_EQ(errno, ENOTDIR);
    // A directory in the file's place cannot be opened for writing.
    zt::ScopedRunDir run2;
    ASSERT_EQ(mkdir(run2.file("monit").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(run2.file("monit/zord.mcfg").c_str(), 0755), 0);
    EXPECT_EQ(monit_cfg_write("zord", "/p"), -1);
    EXPECT_EQ(errno, EISDIR);
}

}  // namespace
