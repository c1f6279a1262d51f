// Termination signals, each in a forked child that installs the handlers.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "ost_signal.h"
#include "test_support.h"

namespace {

// Runs in the child: installs the handlers, then spins on the main thread
// while a helper thread delivers signo to it. The helper blocks the signal
// itself so that only the busy thread can take it. An alarm ends a child
// whose handler failed to stop it, so a fault shows as SIGALRM, not a hang.
[[noreturn]] void busy_until_signalled(int signo)
{
    alarm(30);
    ost_signal_init();
    static std::atomic<bool> spinning{false};
    pthread_t main_thread = pthread_self();
    std::thread sender([main_thread, signo] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, signo);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        while (!spinning.load()) {
            std::this_thread::yield();
        }
        pthread_kill(main_thread, signo);
    });
    sender.detach();
    volatile unsigned long work = 0;
    spinning.store(true);
    for (;;) {
        work = work + 1;
    }
}

TEST(OstSignal, SigtermEndsABusyProcessAndTheOthersReportTheAssertion)
{
    for (int signo : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) {
        zt::ChildResult r = zt::run_in_child([signo] { busy_until_signalled(signo); });
        if (signo == SIGTERM) {
            EXPECT_TRUE(r.exited && r.exit_code == 0) << "signal " << r.term_signal;
            EXPECT_EQ(r.out, "");
        } else {
            EXPECT_EQ(r.term_signal, SIGABRT) << signo;
            EXPECT_EQ(r.out, "common/ost_signal:64: failed assertion `0'\n") << signo;
        }
    }
}

}  // namespace
