// Pid-file watchdog and the supervisor's check file, on real files in a
// temporary run directory.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <utime.h>

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
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

void set_old_times(const std::string &path)
{
    struct utimbuf old{};
    old.actime = 1000;
    old.modtime = 1000;
    ASSERT_EQ(utime(path.c_str(), &old), 0);
}

// The check file text, written out by hand: six lines padded with blanks to
// 65 characters (the exec line to 63) before each line feed.
std::string check_file_text(const std::string &service, const std::string &pidfile)
{
    auto pad = [](std::string line, size_t width) {
        line.append(width - line.size(), ' ');
        return line + "\n";
    };
    // The padding belongs to the format, so it is counted with "%s" in place
    // of each name: each "%s" is two characters of the padded width.
    auto line = [&](const std::string &fmt_text, size_t width, const std::string &filled) {
        std::string padded = pad(fmt_text, width);
        return filled + padded.substr(fmt_text.size());
    };
    std::string text;
    text += line("check file %s with path %s", 65, "check file " + service + " with path " + pidfile);
    text += line("    mode passive", 65, "    mode passive");
    text += line("    every 4 cycle", 65, "    every 4 cycle");
    text += line("    if timestamp > 480 seconds", 65, "    if timestamp > 480 seconds");
    text += line("        then exec \"/usr/bin/oconfd_script_monit_bark.sh %s %s\"", 63,
                 "        then exec \"/usr/bin/oconfd_script_monit_bark.sh " + service + " " + pidfile + "\"");
    text += line("        repeat every 1 cycle", 65, "        repeat every 1 cycle");
    return text;
}

TEST(MonitRefresh, RefreshMovesTheMtimeAndCounts)
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
    EXPECT_GE(mtime_of(pid), before);
    EXPECT_EQ(app.count, 1u);
    EXPECT_GE(app.last_refresh, before);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
    EXPECT_EQ(zt::read_file(pid), "1234\n");  // the content is not touched

    set_old_times(pid);
    monit_refresh_pidfile(nullptr, &app, nullptr, nullptr, nullptr);
    EXPECT_GE(mtime_of(pid), before);
    EXPECT_EQ(app.count, 2u);

    char buf[8192];
    std::string info = monit_info(&app, buf, sizeof(buf));
    std::vector<std::string> lines = zt::split_lines(info);
    ASSERT_EQ(lines.size(), 4u) << info;
    EXPECT_EQ(lines[0], "Monit info:");
    EXPECT_EQ(lines[1], "  PID file       : " + pid);
    EXPECT_TRUE(std::regex_match(lines[2], std::regex("  Last refreshed : [0-9]+ secs ago"))) << lines[2];
    EXPECT_EQ(lines[3], "  Total times    : 2");

    // A refresh time in the future (the wall clock was set back) reads as 0.
    monit_app_t ahead = app;
    ahead.last_refresh = time(nullptr) + 1000;
    lines = zt::split_lines(monit_info(&ahead, buf, sizeof(buf)));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "  Last refreshed : 0 secs ago");

    EXPECT_STREQ(monit_info(nullptr, buf, sizeof(buf)), "EINVAL");
    EXPECT_STREQ(monit_info(&app, nullptr, 10), "EINVAL");
}

TEST(MonitRefresh, MissingFileLogsAndKeepsTheCount)
{
    zt::ScopedRunDir run;
    std::string pid = run.file("absent.pid");
    monit_app_t app{};
    snprintf(app.pidfile, sizeof(app.pidfile), "%s", pid.c_str());

    zt::LogCapture log;
    monit_refresh_pidfile(nullptr, &app, nullptr, nullptr, nullptr);
    monit_refresh_pidfile(nullptr, &app, nullptr, nullptr, nullptr);
    EXPECT_EQ(app.count, 0u);
    EXPECT_EQ(app.last_refresh, 0);
    ASSERT_EQ(log.lines().size(), 2u) << log.dump();
    std::regex expect("monit_refresh_pidfile\\[[0-9]+\\]: Error refreshing " + pid +
                      ", reason: No such file or directory \\(2\\)");
    for (size_t i = 0; i < 2; i++) {
        EXPECT_TRUE(std::regex_match(log.lines()[i], expect)) << log.lines()[i];
        EXPECT_EQ(log.priorities()[i], LOG_LOCAL7 | LOG_ERR);
    }

    // Never refreshed: the age is counted from the epoch.
    time_t before = time(nullptr);
    char buf[8192];
    std::vector<std::string> lines = zt::split_lines(monit_info(&app, buf, sizeof(buf)));
    time_t after = time(nullptr);
    ASSERT_EQ(lines.size(), 4u);
    unsigned long secs = 0;
    ASSERT_EQ(sscanf(lines[2].c_str(), "  Last refreshed : %lu secs ago", &secs), 1) << lines[2];
    EXPECT_GE(secs, static_cast<unsigned long>(before));
    EXPECT_LE(secs, static_cast<unsigned long>(after));
    EXPECT_EQ(lines[3], "  Total times    : 0");
}

TEST(MonitWatchdog, TimerRefreshesEveryTenSecondsUntilStopped)
{
    zt::ScopedRunDir run;
    zt::FakeClock clock;
    std::string pid = run.file("zord.0.pid");
    write_text(pid, "1\n");
    timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
    ASSERT_NE(mgr, nullptr);

    monit_app_t app{};
    app.count = 77;  // zero-filled on start
    monit_watchdog_start(&app, mgr, pid.c_str());
    ASSERT_NE(app.pidfile_refresh_timer, nullptr);
    EXPECT_STREQ(app.pidfile_refresh_timer->name, "monit-watchdog");
    EXPECT_EQ(app.pidfile_refresh_timer->priority, TIMER_PRI_HIGH);
    EXPECT_EQ(app.pidfile_refresh_timer->type, TIMER_TYPE_CYCLIC);
    EXPECT_EQ(timer_get_interval_msecs(app.pidfile_refresh_timer), 10000);
    EXPECT_TRUE(timer_is_enabled(app.pidfile_refresh_timer));
    EXPECT_EQ(app.flags & MONIT_FLAG_STARTED, MONIT_FLAG_STARTED);
    EXPECT_EQ(app.count, 0u);
    EXPECT_STREQ(app.pidfile, pid.c_str());

    // Starting again changes nothing.
    timer_util_t *timer = app.pidfile_refresh_timer;
    monit_watchdog_start(&app, mgr, "/elsewhere");
    EXPECT_EQ(app.pidfile_refresh_timer, timer);
    EXPECT_STREQ(app.pidfile, pid.c_str());

    auto tick = [&](int seconds) {
        for (int i = 0; i < seconds; i++) {
            clock.advance_ms(1000);
            timer_mgr_exec(mgr, 3, 100);
        }
    };
    set_old_times(pid);
    tick(9);
    EXPECT_EQ(app.count, 0u);
    EXPECT_EQ(mtime_of(pid), 1000);
    tick(1);
    EXPECT_EQ(app.count, 1u);
    EXPECT_GT(mtime_of(pid), 1000);
    tick(10);
    EXPECT_EQ(app.count, 2u);

    // The high-priority wheel alone runs it too (the daemon's yield).
    set_old_times(pid);
    clock.advance_ms(10000);
    timer_mgr_exec(mgr, 1u << TIMER_PRI_HIGH, 100);
    EXPECT_EQ(app.count, 3u);
    EXPECT_GT(mtime_of(pid), 1000);

    monit_watchdog_stop(&app);
    EXPECT_EQ(app.pidfile_refresh_timer, nullptr);
    EXPECT_EQ(app.flags & MONIT_FLAG_STARTED, 0u);
    tick(30);
    EXPECT_EQ(app.count, 3u);
    monit_watchdog_stop(&app);  // stopping twice is harmless

    // It can start again on the same record.
    monit_watchdog_start(&app, mgr, pid.c_str());
    EXPECT_EQ(app.count, 0u);
    tick(10);
    EXPECT_EQ(app.count, 1u);
    monit_watchdog_stop(&app);
    timer_mgr_destroy(mgr);
}

TEST(MonitWatchdog, LongPidPathIsCutTo4095Characters)
{
    zt::FakeClock clock;
    timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
    std::string longpath(5000, 'p');
    monit_app_t app{};
    monit_watchdog_start(&app, mgr, longpath.c_str());
    EXPECT_EQ(strlen(app.pidfile), 4095u);
    monit_watchdog_stop(&app);
    timer_mgr_destroy(mgr);
}

TEST(MonitWatchdog, ArgumentChecksAreAssertions)
{
    zt::ChildResult r = zt::run_in_child([] {
        zt::FakeClock clock;
        timer_mgr_t *mgr = timer_mgr_create(TIMER_RES_1SEC, nullptr, nullptr, nullptr, 3);
        monit_watchdog_start(nullptr, mgr, "x");
    });
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("common/monit:[0-9]+: failed assertion `app != NULL'\n"))) << r.out;

    r = zt::run_in_child([] {
        monit_app_t app{};
        monit_refresh_pidfile(nullptr, nullptr, &app, nullptr, nullptr);
    });
    EXPECT_EQ(r.term_signal, SIGABRT);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("common/monit:[0-9]+: failed assertion `p_app != NULL'\n")))
        << r.out;

    r = zt::run_in_child([] { monit_cfg_write("zord", nullptr); });
    EXPECT_TRUE(std::regex_match(r.out, std::regex("common/monit:[0-9]+: failed assertion `pidfile != NULL'\n")))
        << r.out;
}

TEST(MonitCfg, CheckFileBytesModeAndRemoval)
{
    zt::ScopedRunDir run;
    std::string pid = run.file("zord.0.pid");
    ASSERT_EQ(monit_cfg_write("zord", pid.c_str()), 0);
    std::string path = run.file("monit/zord.mcfg");
    std::string text = zt::read_file(path);
    EXPECT_EQ(text, check_file_text("zord", pid));

    // The literal bytes for short names, as the supervisor reads them.
    ASSERT_EQ(monit_cfg_write("s", "/p"), 0);
    std::string expect = std::string("check file s with path /p") + std::string(39, ' ') + "\n" +
                         "    mode passive" + std::string(49, ' ') + "\n" +
                         "    every 4 cycle" + std::string(48, ' ') + "\n" +
                         "    if timestamp > 480 seconds" + std::string(35, ' ') + "\n" +
                         "        then exec \"/usr/bin/oconfd_script_monit_bark.sh s /p\"" + " \n" +
                         "        repeat every 1 cycle" + std::string(37, ' ') + "\n";
    EXPECT_EQ(zt::read_file(run.file("monit/s.mcfg")), expect);
    std::vector<std::string> lines = zt::split_lines(expect);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].rfind("check file s with path /p", 0), 0u);

    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(stat(run.file("monit").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    EXPECT_EQ(monit_cfg_remove("zord"), 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_EQ(monit_cfg_remove("zord"), -2);
    EXPECT_EQ(monit_cfg_remove("never"), -2);
}

TEST(MonitCfg, ShorterTextOverALongerFileKeepsTheOldTail)
{
    zt::ScopedRunDir run;
    std::string long_pid = run.file("a-rather-long-directory-name/with-a-long-pid-file-name.pid");
    ASSERT_EQ(monit_cfg_write("zord", long_pid.c_str()), 0);
    std::string path = run.file("monit/zord.mcfg");
    std::string old_text = zt::read_file(path);
    std::string new_text = check_file_text("zord", "/p");
    ASSERT_LT(new_text.size(), old_text.size());

    ASSERT_EQ(monit_cfg_write("zord", "/p"), 0);
    std::string now = zt::read_file(path);
    EXPECT_EQ(now.size(), old_text.size());
    EXPECT_EQ(now, new_text + old_text.substr(new_text.size()));
}

TEST(MonitCfg, FailuresAreResults)
{
    zt::ScopedRunDir run;
    // A run directory that does not exist: the check-file directory cannot
    // be made.
    setenv("ZOR_RUN_DIR", run.file("missing").c_str(), 1);
    EXPECT_EQ(monit_cfg_write("zord", "/p"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(monit_cfg_remove("zord"), -2);

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
