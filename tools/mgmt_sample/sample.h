// The sample daemon's shared state: what it was asked to run, its sockets
// towards the agent, and the subscription points it holds.
//
// Every event it receives becomes one line on stdout (see emit), so that a
// test compares whole lines:
//   ready
//   commit first: created /sample/first{a}; set /sample/first{a}/value=5
//   commit first-deletes: deleted /sample/first{a}
//   commit first (trigger): created /sample/first{a}; set /sample/first{a}/value=5
//   prepare forbidden: set /sample/forbidden=x
//   refused forbidden: Unable to apply changes
//   action sample-action user=admin usid=3 params count=2
//   command sample-show user=admin usid=3 args --lines=2
//   get_next_object sample-groups /sample-state/group next=-1
#pragma once

#include <cstdint>
#include <string>

#include "confd_cdb.h"
#include "confd_lib.h"

struct sample_options {
    bool subs = true;      // the lists at priorities 1 and 2, and the delete subscription
    bool twophase = true;  // the two-phase subscriber of /sample/forbidden
    bool action = true;
    bool command = true;
    bool data = true;
    bool hang_command = false;  // block for good inside the command callback
    bool hang_data = false;     // block for good inside the data callbacks
    std::string name = "mgmt-sample";
};

struct sample_daemon {
    sample_options opt;
    confd_daemon_ctx *dx = nullptr;
    int ctl = -1;
    int worker = -1;
    int sub = -1;
    int maapi = -1;
    int point_first = -1;
    int point_second = -1;
    int point_first_del = -1;
    int point_forbidden = -1;
};

extern sample_daemon g_sample;

// The module's namespace number: the hash of its namespace URI.
uint32_t sample_ns();

// One event line on stdout, flushed at once; any thread.
void emit(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Blocks for good (what --hang-command and --hang-data ask for).
[[noreturn]] void hang(const char *where);

// Registrations of the callbacks chosen by the options; CONFD_OK or the
// library's error.
int sample_register_callbacks();
// Subscriptions chosen by the options, then cdb_subscribe_done.
int sample_subscribe();
// Asks the agent for the whole configuration at this daemon's
// subscriptions, as triggered commits: what a daemon that (re)joins has
// missed. The agent answers once they have synchronised, which the main
// loop does, so the request waits on a thread of its own, which prints
// "ready" once it is answered. A failure is a line on stderr, and the
// daemon goes on.
void sample_read_configuration();
// Serves one readable subscription socket: CONFD_OK, CONFD_EOF or CONFD_ERR.
int sample_sub_ready();
