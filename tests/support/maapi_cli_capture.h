// An operator's CLI session inside the test process: everything that
// maapi_cli_printf / maapi_cli_write send to (sock, usess) is collected here
// instead of going to the agent.
#pragma once

#include <cstddef>
#include <string>

#include "confd_maapi.h"

// Registers its sink on construction, unregisters on destruction.
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
