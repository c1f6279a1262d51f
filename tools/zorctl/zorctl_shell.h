// zorctl's interactive shell: a command per line, config mode with its
// pending edits, libedit line editing with history in ~/.zorctl_history and
// tab completion on a terminal; plain lines (no prompt) from a pipe.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "zorctl_run.h"

class zc_shell {
public:
    zc_shell(zc_session &session, FILE *out, FILE *err) : session_(session), out_(out), err_(err) {}

    // Runs one line; the exit code of what it ran (0 for an empty line).
    // Sets done() after exit outside config mode.
    int run_line(const std::string &line);
    bool done() const { return done_; }
    bool config_mode() const { return config_mode_; }
    const std::vector<zc_edit> &pending() const { return pending_; }
    zc_session &session() { return session_; }

    // Reads lines from stdin until end of input or exit: with libedit on a
    // terminal, plainly otherwise. The exit code of the last line run.
    int loop();

private:
    int fail(const zc_error &e);
    int local(zc_local what);
    int loop_terminal();
    int loop_plain();

    zc_session &session_;
    FILE *out_;
    FILE *err_;
    bool config_mode_ = false;
    bool done_ = false;
    std::vector<zc_edit> pending_;
};

// The help of the interactive shell's own commands.
const char *zc_shell_help_text();
