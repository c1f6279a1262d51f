// Stand-in for the management agent's CLI output call and the user
// information that command callbacks receive.
//
// maapi_cli_printf writes formatted text to the CLI session of a user. Here
// the session is an output sink that a caller registers for a (socket,
// session id) pair: the management integration registers the operator's
// session, tests register a capture buffer. Text for a pair without a sink
// is dropped and the call reports failure, as the agent does for a session
// that has gone.
#pragma once

#include <cstddef>
#include <string>

#include "confd_maapi.h"

// Collects everything printed to one session while it lives. For tests and
// tools; registers on construction, unregisters on destruction.
class maapi_cli_capture {
public:
    maapi_cli_capture(int sock, int usess);
    ~maapi_cli_capture();
    maapi_cli_capture(const maapi_cli_capture &) = delete;
    maapi_cli_capture &operator=(const maapi_cli_capture &) = delete;

    const std::string &text() const { return text_; }
    void clear() { text_.clear(); }
    // A user information record that points at this session.
    confd_user_info *uinfo() { return &uinfo_; }

private:
    static void sink(int sock, int usess, const char *text, size_t len, void *arg);
    int sock_;
    int usess_;
    std::string text_;
    confd_user_info uinfo_{};
};
