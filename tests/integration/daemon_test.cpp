// zord as a real process: command line, pid file, start and stop lines,
// signals. Each test runs the daemon in the foreground on its own run
// directory and reads its mirrored log lines on stderr.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

std::string zord_path()
{
    return zt::build_path("zord/zord");
}

TEST(DaemonProcess, StartsWritesPidFileAndStopsOnSigusr2)
{
    zt::TempDir run;
    zt::Process zord(zord_path(), {"-f"}, {{"ZOR_RUN_DIR", run.path()}});
    ASSERT_TRUE(zord.wait_for_stderr("-INFO-1200001: Starting")) << zord.err();
    EXPECT_NE(zord.err().find("%Ostrana-"), std::string::npos);
    EXPECT_NE(zord.err().find("-ZORD-6-INFO-1200001: Starting"), std::string::npos) << zord.err();

    // The pid file appears once the daemon has initialised.
    std::string pid_file = run.file("zord.0.pid");
    for (int i = 0; i < 200 && !std::filesystem::exists(pid_file); i++) {
        usleep(10000);
    }
    ASSERT_TRUE(std::filesystem::exists(pid_file));
    EXPECT_EQ(zt::read_file(pid_file), std::to_string(zord.pid()) + "\n");

    zord.signal(SIGUSR2);
    ASSERT_TRUE(zord.wait_exit(10s));
    EXPECT_TRUE(zord.result().exited);
    EXPECT_EQ(zord.result().exit_code, 0) << zord.err();
    EXPECT_NE(zord.err().find("-ZORD-6-INFO-1299999: Terminating"), std::string::npos) << zord.err();
    EXPECT_FALSE(std::filesystem::exists(pid_file)) << "removed at a normal stop";
}

TEST(DaemonProcess, VpnIdChoosesThePidFile)
{
    zt::TempDir run;
    {
        zt::Process zord(zord_path(), {"-V", "7", "-f"}, {{"ZOR_RUN_DIR", run.path()}});
        std::string pid_file = run.file("advd.7.pid");
        for (int i = 0; i < 300 && !std::filesystem::exists(pid_file); i++) {
            usleep(10000);
        }
        EXPECT_TRUE(std::filesystem::exists(pid_file));
        EXPECT_FALSE(std::filesystem::exists(run.file("zord.0.pid")));
        zord.signal(SIGUSR2);
        ASSERT_TRUE(zord.wait_exit());
        EXPECT_EQ(zord.result().exit_code, 0);
    }
    {
        zt::Process zord(zord_path(), {"-f", "-V", "0"}, {{"ZOR_RUN_DIR", run.path()}});
        std::string pid_file = run.file("zord.0.pid");
        for (int i = 0; i < 300 && !std::filesystem::exists(pid_file); i++) {
            usleep(10000);
        }
        EXPECT_TRUE(std::filesystem::exists(pid_file)) << "VPN id 0 keeps the default pid file";
        zord.signal(SIGUSR2);
        ASSERT_TRUE(zord.wait_exit());
    }
}

TEST(DaemonProcess, UsageErrors)
{
    const std::string usage = "USAGE: zord [ -T <tenant_name -V <vpn_id> -I <tenant_id> ] -f";
    for (std::vector<std::string> args : {std::vector<std::string>{"-x"}, {"-f", "--help"}, {"-f", "-V"},
                                          {"-I"}, {"-T"}, {"-f", "-V", "3", "extra"}}) {
        zt::TempDir run;
        zt::Process zord(zord_path(), args, {{"ZOR_RUN_DIR", run.path()}});
        ASSERT_TRUE(zord.wait_exit());
        std::string joined;
        for (const auto &a : args) {
            joined += a + " ";
        }
        EXPECT_TRUE(zord.result().exited) << joined;
        EXPECT_EQ(zord.result().exit_code, 1) << joined;
        EXPECT_NE(zord.err().find(usage), std::string::npos) << joined << "\n" << zord.err();
        EXPECT_NE(zord.err().find("Failed to parse zor input parameters"), std::string::npos) << joined;
        EXPECT_FALSE(std::filesystem::exists(run.file("zord.0.pid")));
    }
}

TEST(DaemonProcess, SigtermEndsWithStatusZero)
{
    zt::TempDir run;
    zt::Process zord(zord_path(), {"-f"}, {{"ZOR_RUN_DIR", run.path()}});
    ASSERT_TRUE(zord.wait_for_stderr("Starting"));
    for (int i = 0; i < 300 && !std::filesystem::exists(run.file("zord.0.pid")); i++) {
        usleep(10000);
    }
    zord.signal(SIGTERM);
    ASSERT_TRUE(zord.wait_exit());
    EXPECT_TRUE(zord.result().exited);
    EXPECT_EQ(zord.result().exit_code, 0);
    EXPECT_EQ(zord.err().find("Terminating"), std::string::npos) << "SIGTERM ends at once, without teardown";
}

}  // namespace
