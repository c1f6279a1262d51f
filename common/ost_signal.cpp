#include "ost_signal.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// The line of the assertion report for a fatal signal. Written with write(2)
// because stdio is not safe inside a signal handler.
constexpr char k_fatal_report[] = "common/ost_signal:64: failed assertion `0'\n";

void ost_signal_term(int, siginfo_t *, void *)
{
    // _exit rather than exit: exit() runs atexit handlers and stdio flushes,
    // which are not safe in a handler that may interrupt malloc. Nothing is
    // torn down: the process ends at once with status 0.
    _exit(0);
}

void ost_signal_fatal(int, siginfo_t *, void *)
{
    ssize_t rc = write(STDOUT_FILENO, k_fatal_report, sizeof(k_fatal_report) - 1);
    (void)rc;
    // Back to the default action so the abort below is not caught again.
    signal(SIGABRT, SIG_DFL);
    abort();
}

void install(int signo, void (*handler)(int, siginfo_t *, void *))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_sigaction = handler;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(signo, &sa, nullptr);
}

}  // namespace

void ost_signal_init()
{
    install(SIGTERM, ost_signal_term);
    install(SIGHUP, ost_signal_fatal);
    install(SIGINT, ost_signal_fatal);
    install(SIGQUIT, ost_signal_fatal);
}
